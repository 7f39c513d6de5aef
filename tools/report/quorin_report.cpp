// quorin-report [--svg FILE] [--csv FILE] [--json FILE] LOG...
//
// Reads the outer Gaussian log of a run (or a captured console stream of
// quorin calls; "-" reads standard input), or several logs of one run
// restarted in new logs, in the order given, and prints one row per quorin
// call and a summary of the run. --svg draws the steps, --csv and --json
// write one record per call; "-" as their FILE writes to standard output
// instead of the table.
//
// Exit status (see usage()): 0 report written (also for a run that stopped
// with an error), 1 a log cannot be read, 2 wrong command line, 3 an output
// cannot be written, 4 the logs hold no quorin call.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "quorin_version.hpp"
#include "report.hpp"

namespace {

enum Status { kOk = 0, kUnreadable = 1, kUsage = 2, kUnwritable = 3, kNoCall = 4 };

int usage(std::ostream& out, int status) {
    out << "usage: quorin-report [--svg FILE] [--csv FILE] [--json FILE] LOG...\n"
           "  LOG          the outer Gaussian log of a run through quorin, or a captured console\n"
           "               stream of quorin calls; - reads standard input. Several logs of one run\n"
           "               (restarted in a new log) are read in the order given, steps numbered on.\n"
           "  --svg FILE   also draw every root's excitation energy, the energy handed back and\n"
           "               the SNTO values per step\n"
           "  --csv FILE   also write one record per call as CSV (empty field: no value)\n"
           "  --json FILE  also write one record per call as JSON (null: no value)\n"
           "               FILE - writes to standard output instead of the table (one output only)\n"
           "  --version    print the version\n"
           "exit status: 0 report written (also when the run itself failed), 1 a log cannot be\n"
           "  read, 2 wrong command line, 3 an output file (or standard output) cannot be written,\n"
           "  4 the logs hold no quorin call\n";
    return status;
}

struct Output {
    const char* option;  // "--svg"
    const char* what;    // "SVG"
    std::string file;
    std::string (*make)(const quorin::report::Run&);
};

struct Options {
    std::vector<Output> outputs{{"--svg", "SVG", "", quorin::report::render_svg},
                                {"--csv", "CSV", "", quorin::report::format_csv},
                                {"--json", "JSON", "", quorin::report::format_json}};
    std::vector<std::string> logs;
};

// Takes argument i (and the value of an option); false for a wrong one.
bool take_argument(Options& opt, int& i, int argc, char** argv) {
    const std::string a = argv[i];
    for (Output& out : opt.outputs) {
        const std::string name = out.option;
        if (a == name && i + 1 < argc) {
            out.file = argv[++i];
            return !out.file.empty();
        }
        if (a.rfind(name + "=", 0) == 0) {
            out.file = a.substr(name.size() + 1);
            return !out.file.empty();
        }
        if (a == name) return false;  // without its FILE
    }
    if (a == "-" || (!a.empty() && a[0] != '-')) {
        opt.logs.push_back(a);
        return true;
    }
    std::cerr << "quorin-report: unexpected argument " << a << "\n";
    return false;
}

bool command_line_sound(const Options& opt) {
    const auto stdin_logs = std::count(opt.logs.begin(), opt.logs.end(), "-");
    const auto stdout_outputs =
        std::count_if(opt.outputs.begin(), opt.outputs.end(), [](const Output& o) { return o.file == "-"; });
    if (stdin_logs > 1) std::cerr << "quorin-report: standard input can be read only once\n";
    if (stdout_outputs > 1) std::cerr << "quorin-report: only one output can go to standard output\n";
    return !opt.logs.empty() && stdin_logs <= 1 && stdout_outputs <= 1;
}

// Reads every log into one run; false (after saying why) when one cannot be read.
bool read_logs(const std::vector<std::string>& logs, quorin::report::Run& run) {
    for (const std::string& log : logs) {
        if (log == "-") {
            quorin::report::append_log(run, std::cin, "standard input");
            if (!std::cin.bad()) continue;
            std::cerr << "quorin-report: cannot read standard input\n";
            return false;
        }
        std::error_code ec;
        std::ifstream in;
        if (!std::filesystem::is_directory(log, ec)) in.open(log, std::ios::binary);
        if (!in.is_open()) {
            std::cerr << "quorin-report: cannot open " << log << "\n";
            return false;
        }
        quorin::report::append_log(run, in, log);
        if (in.bad()) {
            std::cerr << "quorin-report: cannot read " << log << "\n";
            return false;
        }
    }
    return true;
}

bool write_output(const std::string& file, const std::string& text) {
    if (file == "-") return static_cast<bool>(std::cout << text << std::flush);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// Writes the table (unless an output goes to standard output) and every output asked for.
int write_outputs(const Options& opt, const quorin::report::Run& run) {
    const bool table =
        std::none_of(opt.outputs.begin(), opt.outputs.end(), [](const Output& o) { return o.file == "-"; });
    bool ok = !table || write_output("-", quorin::report::format_report(run));
    std::string written;  // told after the table
    for (const Output& out : opt.outputs) {
        if (out.file.empty()) continue;
        if (write_output(out.file, out.make(run))) {
            written += std::string(out.what) + " written: " + out.file + "\n";
        } else {
            std::cerr << "quorin-report: cannot write " << (out.file == "-" ? "standard output" : out.file) << "\n";
            ok = false;
        }
    }
    if (table && !written.empty()) ok = write_output("-", "\n" + written) && ok;
    if (table && !std::cout) std::cerr << "quorin-report: cannot write standard output\n";
    return ok ? kOk : kUnwritable;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") return usage(std::cout, 0);
        if (a == "--version") {
            std::cout << "quorin-report " QUORIN_VERSION "\n";
            return 0;
        }
        if (!take_argument(opt, i, argc, argv)) return usage(std::cerr, kUsage);
    }
    if (!command_line_sound(opt)) return usage(std::cerr, kUsage);

    quorin::report::Run run;
    if (!read_logs(opt.logs, run)) return kUnreadable;
    if (run.calls.empty()) {
        std::cerr << "quorin-report: " << run.source() << " holds no quorin call\n";
        for (const auto& l : run.logs)
            for (const auto& p : l.problems) std::cerr << "  " << l.source << ": " << p << "\n";
        return kNoCall;
    }
    return write_outputs(opt, run);
}
