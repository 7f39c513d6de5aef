// Stand-in for voskSNTO: writes the NTO files of the requested roots of the
// model molecule and, given a reference NTO file, their SNTO values in a
// summary file.
//
//   voskSNTO --newnto FCHK LOG [--oldfch REF] [--autorange T] [--otype K]
//            [--sntofile PATH] [--sntodebug] (--state N --outfch PATH)...
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "nto_model.hpp"

namespace {

using namespace standin;

struct Request {
    long long state = 0;
    std::string outfch;
};

struct Options {
    std::string fchk, log, oldfch, sntofile;
    double threshold = 0.3;
    int otype = 1;
    bool debug = false;
    std::vector<Request> requests;
};

[[noreturn]] void usage_error(const std::string& msg) {
    std::cerr << "voskSNTO: " << msg << "\n"
              << "usage: voskSNTO --newnto FCHK LOG [--oldfch REF] [--autorange T] [--otype 1|2]"
                 " [--sntofile PATH] [--sntodebug] (--state N --outfch PATH)...\n";
    std::exit(2);
}

bool parse_number(const std::string& s, double& v) {
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return !s.empty() && end && *end == '\0';
}

bool parse_integer(const std::string& s, long long& v) {
    char* end = nullptr;
    v = std::strtoll(s.c_str(), &end, 10);
    return !s.empty() && end && *end == '\0';
}

Options parse(int argc, char** argv) {
    Options o;
    auto value = [&](int& a, const std::string& opt) -> std::string {
        if (a + 1 >= argc) usage_error("missing value after " + opt);
        return argv[++a];
    };
    for (int a = 1; a < argc; ++a) {
        std::string opt = argv[a];
        if (opt == "--newnto") {
            o.fchk = value(a, opt);
            o.log = value(a, opt);
        } else if (opt == "--oldfch") {
            o.oldfch = value(a, opt);
        } else if (opt == "--autorange") {
            std::string t = value(a, opt);
            if (!parse_number(t, o.threshold)) usage_error("bad threshold '" + t + "'");
        } else if (opt == "--otype") {
            std::string t = value(a, opt);
            long long k = 0;
            if (!parse_integer(t, k) || (k != 1 && k != 2)) usage_error("--otype must be 1 or 2, not '" + t + "'");
            o.otype = (int)k;
        } else if (opt == "--sntofile") {
            o.sntofile = value(a, opt);
        } else if (opt == "--sntodebug") {
            o.debug = true;
        } else if (opt == "--state") {
            std::string t = value(a, opt);
            Request r;
            if (!parse_integer(t, r.state)) usage_error("bad state number '" + t + "'");
            o.requests.push_back(r);
        } else if (opt == "--outfch") {
            std::string t = value(a, opt);
            if (o.requests.empty() || !o.requests.back().outfch.empty())
                usage_error("--outfch " + t + " without a --state before it");
            o.requests.back().outfch = t;
        } else {
            usage_error("unknown option '" + opt + "'");
        }
    }
    if (o.fchk.empty()) usage_error("--newnto FCHK LOG is required");
    for (const Request& r : o.requests)
        if (r.outfch.empty()) usage_error("--state " + std::to_string(r.state) + " has no --outfch");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    log_invocation("voskSNTO", argc, argv);
    misbehave("voskSNTO");
    Options o = parse(argc, argv);
    const bool matching = !o.oldfch.empty() && !o.sntofile.empty();

    std::string err;
    ModelStates model;
    if (!read_model_states(o.fchk, model, err)) {
        std::cerr << "voskSNTO: ERROR: " << err << "\n";
        if (matching) std::remove(o.sntofile.c_str());
        return 1;
    }

    int status = 0;
    for (const Request& r : o.requests) {
        if (!model.has_root(r.state)) {
            std::cerr << "voskSNTO: ERROR: state " << r.state << " does not exist (" << model.nroots
                      << " excited states in " << o.fchk << ")\n";
            status = 1;
            continue;
        }
        if (!write_text_file(r.outfch, nto_file_text(r.state, model.vector_of(r.state)))) {
            std::cerr << "voskSNTO: ERROR: cannot write " << r.outfch << "\n";
            status = 1;
        }
    }
    if (!matching) return status;

    NtoFile ref;
    if (!read_nto_file(o.oldfch, ref, err)) {
        std::cerr << "voskSNTO: ERROR: " << err << "\n";
        std::remove(o.sntofile.c_str());
        return 1;
    }

    // Reference orbitals taking part: eigenvalue magnitude above the threshold.
    std::vector<int> orbitals;
    for (int i = 1; i <= ref.nif; ++i)
        if (std::fabs(ref.eigen[i - 1]) > o.threshold) orbitals.push_back(i);

    std::string text = "# voskSNTO stand-in\n";
    text += "# newnto " + o.fchk + " " + o.log + "\n";
    text += "# oldfch " + o.oldfch + " (state " + std::to_string(ref.state) + ", " +
            std::to_string(ref.nif) + " orbitals)\n";
    char buf[512];
    std::snprintf(buf, sizeof buf, "# autorange %.6f: %zu reference orbitals, otype %d\n", o.threshold,
                  orbitals.size(), o.otype);
    text += buf;
    text += "# state        SNTO      dE(eV)    weight  outfch  status\n";
    text += "BEGIN_STATES\n";
    std::string debug_text;
    const double hartree_ev = 27.211386245988;
    for (const Request& r : o.requests) {
        if (fault("empty_summary")) break;
        if (!model.has_root(r.state)) {
            std::snprintf(buf, sizeof buf, "%6lld %12.8f %10.5f %9.6f  '%s'  1\n", r.state, 0.0, 0.0, 0.0,
                          r.outfch.c_str());
            text += buf;
            continue;
        }
        NtoFile cand;
        cand.vec = model.vector_of(r.state);
        cand.nif = (int)cand.vec.size() + 2;
        cand.eigen = nto_eigenvalues(cand.vec);
        cand.state = r.state;
        double snto = 0.0;
        for (int i : orbitals) {
            double s = orbital_overlap(ref, cand, i, o.otype);
            double c = std::fabs(ref.eigen[i - 1]) * std::fabs(s);
            snto += c;
            std::snprintf(buf, sizeof buf, "DEBUG state %lld orbital %d lambda_ref %.8f overlap %.8f contribution %.8f\n",
                          r.state, i, ref.eigen[i - 1], s, c);
            debug_text += buf;
        }
        double weight = 0.0;
        for (double v : cand.vec) weight = std::max(weight, v * v);
        double de = (model.energy_of(r.state) - model.energy_of(1)) * hartree_ev;
        std::snprintf(buf, sizeof buf, "%6lld %12.8f %10.5f %9.6f  '%s'  %d\n", r.state, snto, de, weight,
                      r.outfch.c_str(), fault("failed_rows") ? 1 : 0);
        text += buf;
        if (fault("summary_cut")) break;
    }
    if (!fault("summary_cut")) text += "END_STATES\n";
    if (o.debug) text += "# per-orbital contributions\n" + debug_text;
    if (!write_text_file(o.sntofile, text)) {
        std::cerr << "voskSNTO: ERROR: cannot write " << o.sntofile << "\n";
        return 1;
    }
    return status;
}
