// quorin-report [--svg FILE] LOG
//
// Reads the outer Gaussian log of a run (or a captured console stream of
// quorin calls; "-" reads standard input) and prints one row per quorin call
// and a summary of the run.  With --svg it also draws the followed state's
// energy and the candidates' SNTO values per step into FILE.
//
// Exit status: 0 when a report was produced (also for a run that stopped with
// an error), 1 when the log cannot be read or holds no quorin call, 2 for a
// wrong command line or an SVG file that cannot be written.
#include <fstream>
#include <iostream>
#include <string>

#include "quorin_version.hpp"
#include "report.hpp"

namespace {

int usage(std::ostream& out, int status) {
    out << "usage: quorin-report [--svg FILE] LOG\n"
           "  LOG   the outer Gaussian log of a run through quorin, or a captured console\n"
           "        stream of quorin calls; - reads standard input\n"
           "  --svg FILE  also draw the followed state's energy and the SNTO values per step\n"
           "  --version   print the version\n";
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::string svg, log;
    bool have_log = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") return usage(std::cout, 0);
        if (a == "--version") {
            std::cout << "quorin-report " QUORIN_VERSION "\n";
            return 0;
        }
        if (a == "--svg") {
            if (i + 1 >= argc) return usage(std::cerr, 2);
            svg = argv[++i];
        } else if (a.rfind("--svg=", 0) == 0) {
            svg = a.substr(6);
        } else if (!have_log && (a == "-" || a.empty() || a[0] != '-')) {
            log = a;
            have_log = true;
        } else {
            std::cerr << "quorin-report: unexpected argument " << a << "\n";
            return usage(std::cerr, 2);
        }
    }
    if (!have_log || log.empty()) return usage(std::cerr, 2);

    quorin::report::Run run;
    if (log == "-") {
        run = quorin::report::parse_log(std::cin, "standard input");
        if (std::cin.bad()) {
            std::cerr << "quorin-report: cannot read standard input\n";
            return 1;
        }
    } else {
        std::ifstream in(log, std::ios::binary);
        if (!in) {
            std::cerr << "quorin-report: cannot open " << log << "\n";
            return 1;
        }
        run = quorin::report::parse_log(in, log);
        if (in.bad()) {
            std::cerr << "quorin-report: cannot read " << log << "\n";
            return 1;
        }
    }
    if (run.calls.empty()) {
        std::cerr << "quorin-report: " << run.source << " (" << run.lines << " lines) holds no quorin call\n";
        for (const auto& p : run.problems) std::cerr << "  " << p << "\n";
        return 1;
    }
    std::cout << quorin::report::format_report(run);
    if (!svg.empty()) {
        std::ofstream out(svg, std::ios::binary | std::ios::trunc);
        out << quorin::report::render_svg(run);
        out.close();
        if (!out) {
            std::cerr << "quorin-report: cannot write " << svg << "\n";
            return 2;
        }
        std::cout << "\nSVG written: " << svg << "\n";
    }
    return 0;
}
