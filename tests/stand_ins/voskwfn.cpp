// Stand-in for voskwfn, the script runner that drives Multiwfn: reads a
// template, fills its placeholders from the command line and carries it out,
// doing what Multiwfn would do for the directives of its [section]s.
//
//   voskwfn TEMPLATE INPUT -v name=value [-v name=value ...]
//
// Template:
//   [section]          module: excit (directive nto) or of2 (orb_integral)
//   %process           directives, one a line
//   %command           shell lines, run with /bin/sh -c in the current directory
//   end
// ${name} is replaced by the -v value of name; ${input} is INPUT's file name
// without directory and extension. A value "(a b c)" is a list: the whole
// template is carried out once per entry (several lists go in step).
// Directives:
//   nto state S                              NTO file of root S of INPUT -> ex_S.fchk
//   orb_integral inttype -1|-2 range A,B fch2 FILE
//        orbital overlaps of INPUT (reference NTO file) with FILE ->
//        convmat.txt (-1) or Snormmat.txt (-2), "i j value" lines
// Each section that runs directives leaves its log <section>_<input>.out.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "nto_model.hpp"

namespace {

using namespace standin;

int errors = 0;

void error(const std::string& msg) {
    std::cerr << "voskwfn: ERROR: " << msg << "\n";
    ++errors;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> w;
    std::istringstream in(s);
    std::string t;
    while (in >> t) w.push_back(t);
    return w;
}

struct Line {
    int number = 0;
    std::string text;
};

struct Section {
    std::string name;
    int number = 0;
    std::vector<Line> directives;
    std::vector<Line> commands;
};

struct Template {
    std::string path;
    std::vector<Section> sections;
};

bool read_template(const std::string& path, Template& t) {
    std::ifstream in(path);
    if (!in) return false;
    t.path = path;
    enum class Block { none, process, command } block = Block::none;
    bool open = false;
    Section cur;
    std::string raw;
    int number = 0;
    auto where = [&](int n) { return path + ":" + std::to_string(n) + ": "; };
    while (std::getline(in, raw)) {
        ++number;
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            if (open) error(where(cur.number) + "section [" + cur.name + "] has no end; skipped");
            cur = Section{};
            cur.name = trim(line.substr(1, line.size() - 2));
            cur.number = number;
            open = true;
            block = Block::none;
        } else if (!open) {
            error(where(number) + "'" + line + "' outside a [section]");
        } else if (line == "%process") {
            block = Block::process;
        } else if (line == "%command") {
            block = Block::command;
        } else if (line == "end") {
            t.sections.push_back(cur);
            open = false;
            block = Block::none;
        } else if (block == Block::process) {
            cur.directives.push_back({number, line});
        } else if (block == Block::command) {
            cur.commands.push_back({number, line});
        } else {
            error(where(number) + "'" + line + "' outside %process and %command");
        }
    }
    if (open) error(where(cur.number) + "section [" + cur.name + "] has no end; skipped");
    return true;
}

// Fills ${name} placeholders; false when one has no value.
bool substitute(const std::string& text, const std::map<std::string, std::string>& vars, std::string& out,
                std::string& missing) {
    out.clear();
    std::size_t pos = 0;
    while (true) {
        std::size_t b = text.find("${", pos);
        if (b == std::string::npos) break;
        std::size_t e = text.find('}', b + 2);
        if (e == std::string::npos) break;
        std::string name = text.substr(b + 2, e - b - 2);
        auto it = vars.find(name);
        if (it == vars.end()) {
            missing = name;
            return false;
        }
        out += text.substr(pos, b - pos) + it->second;
        pos = e + 1;
    }
    out += text.substr(pos);
    return true;
}

std::string input_stem(const std::string& input) {
    std::string name = input;
    std::size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
    return name;
}

// Keyword/value pairs after the directive name; false on an odd count.
bool keyword_values(const std::vector<std::string>& w, std::map<std::string, std::string>& kv) {
    if (w.size() % 2 != 1) return false;
    for (std::size_t i = 1; i + 1 < w.size(); i += 2) kv[w[i]] = w[i + 1];
    return true;
}

bool to_int(const std::string& s, long long& v) {
    char* end = nullptr;
    v = std::strtoll(s.c_str(), &end, 10);
    return !s.empty() && end && *end == '\0';
}

void run_nto(const std::map<std::string, std::string>& kv, const std::string& input, std::string& log) {
    long long state = 0;
    auto it = kv.find("state");
    if (kv.size() != 1 || it == kv.end() || !to_int(it->second, state)) {
        error("nto needs exactly 'state S'");
        log += " nto: bad arguments\n";
        return;
    }
    ModelStates model;
    std::string err;
    if (!read_model_states(input, model, err)) {
        error(err);
        log += " nto: " + err + "\n";
        return;
    }
    if (!model.has_root(state)) {
        error("state " + std::to_string(state) + " does not exist (" + std::to_string(model.nroots) +
              " excited states in " + input + ")");
        log += " nto: no state " + std::to_string(state) + "\n";
        return;
    }
    std::string out = "ex_" + std::to_string(state) + ".fchk";
    if (!write_text_file(out, nto_file_text(state, model.vector_of(state)))) {
        error("cannot write " + out);
        return;
    }
    char buf[256];
    log += " NTO analysis of excited state " + std::to_string(state) + " of " + input + "\n";
    for (std::size_t k = 0; k < model.vector_of(state).size(); ++k) {
        double v = model.vector_of(state)[k];
        std::snprintf(buf, sizeof buf, "  NTO pair %3zu  eigenvalue %12.8f\n", k + 2, v * v);
        log += buf;
    }
    log += " NTO orbitals written to " + out + "\n";
}

void run_orb_integral(const std::map<std::string, std::string>& kv, const std::string& input, std::string& log) {
    auto get = [&](const char* key) {
        auto it = kv.find(key);
        return it == kv.end() ? std::string() : it->second;
    };
    long long inttype = 0;
    std::string range = get("range"), fch2 = get("fch2");
    if (kv.size() != 3 || !to_int(get("inttype"), inttype) || range.empty() || fch2.empty()) {
        error("orb_integral needs 'inttype -1|-2 range A,B fch2 FILE'");
        log += " orb_integral: bad arguments\n";
        return;
    }
    if (inttype != -1 && inttype != -2) {
        error("orb_integral: unknown inttype " + std::to_string(inttype));
        return;
    }
    long long a = 0, b = 0;
    std::size_t comma = range.find(',');
    if (comma == std::string::npos || !to_int(range.substr(0, comma), a) || !to_int(range.substr(comma + 1), b)) {
        error("orb_integral: bad range '" + range + "'");
        return;
    }
    NtoFile ref, cand;
    std::string err;
    if (!read_nto_file(input, ref, err) || !read_nto_file(fch2, cand, err)) {
        error(err);
        log += " orb_integral: " + err + "\n";
        return;
    }
    const int scheme = inttype == -1 ? 1 : 2;
    const std::string out = scheme == 1 ? "convmat.txt" : "Snormmat.txt";
    long long first = std::max(a, 1LL), last = std::min(b, (long long)ref.nif);
    std::string text = " Orbital overlap integrals, rows " + input + ", columns " + fch2 +
                       (scheme == 1 ? " (direct)\n" : " (wavefunction norm)\n");
    char buf[128];
    for (long long i = first; i <= last; ++i) {
        if (i == first && fault("overlap_gap")) continue;
        const auto inf = fault("inf_overlap");
        const bool bad = i == first && inf && fch2.find("new_state" + *inf + ".fch") != std::string::npos;
        const double s = bad ? INFINITY : orbital_overlap(ref, cand, (int)i, scheme);
        std::snprintf(buf, sizeof buf, "%6lld%6lld%20.12f\n", i, i, s);
        text += buf;
    }
    // Where orbital i of the candidate does not overlap its counterpart, it
    // overlaps a neighbour: two such entries for the first inner orbitals.
    int written = 0;
    for (long long i = std::max(first, 2LL); i <= std::min(last, (long long)ref.nif - 1) && written < 2; ++i) {
        double s = orbital_overlap(ref, cand, (int)i, scheme);
        long long j = i + 1 <= ref.nif ? i + 1 : i - 1;
        std::snprintf(buf, sizeof buf, "%6lld%6lld%20.12f\n", i, j, std::sqrt(std::max(0.0, 1.0 - s * s)));
        text += buf;
        ++written;
    }
    if (!write_text_file(out, text)) {
        error("cannot write " + out);
        return;
    }
    log += " Overlap of orbitals " + std::to_string(first) + " to " + std::to_string(last) + " of " + input +
           " with " + fch2 + " written to " + out + "\n";
}

void run_directive(const Section& s, const std::string& line, const std::string& input, std::string& log) {
    std::vector<std::string> w = words(line);
    if (w.empty()) return;
    std::map<std::string, std::string> kv;
    const std::string& name = w[0];
    bool known = (name == "nto" && s.name == "excit") || (name == "orb_integral" && s.name == "of2");
    if (!known) {
        error("unknown directive '" + name + "' in section [" + s.name + "]");
        log += " unknown directive " + name + "\n";
        return;
    }
    if (!keyword_values(w, kv)) {
        error("'" + line + "': keywords and values do not pair up");
        return;
    }
    if (name == "nto") run_nto(kv, input, log);
    else run_orb_integral(kv, input, log);
}

void run_pass(const Template& t, const std::map<std::string, std::string>& vars, const std::string& input,
              const std::string& stem) {
    for (const Section& s : t.sections) {
        std::string filled, missing;
        if (!s.directives.empty()) {
            std::string log = " voskwfn stand-in, module [" + s.name + "], input " + input + "\n";
            for (const Line& l : s.directives) {
                if (!substitute(l.text, vars, filled, missing)) {
                    error(t.path + ":" + std::to_string(l.number) + ": no value for ${" + missing + "}");
                    continue;
                }
                run_directive(s, filled, input, log);
            }
            std::string logname = s.name + "_" + stem + ".out";
            if (!write_text_file(logname, log)) error("cannot write " + logname);
        }
        for (const Line& l : s.commands) {
            if (!substitute(l.text, vars, filled, missing)) {
                error(t.path + ":" + std::to_string(l.number) + ": no value for ${" + missing + "}");
                continue;
            }
            std::fflush(nullptr);
            std::system(filled.c_str());
        }
    }
}

[[noreturn]] void usage(const std::string& msg) {
    std::cerr << "voskwfn: " << msg << "\nusage: voskwfn TEMPLATE INPUT -v name=value [-v name=value ...]\n";
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    log_invocation("voskwfn", argc, argv);
    misbehave("voskwfn");
    if (argc < 3) usage("TEMPLATE and INPUT are required");
    const std::string tpath = argv[1], input = argv[2];
    std::map<std::string, std::string> scalars;
    std::map<std::string, std::vector<std::string>> lists;
    for (int a = 3; a < argc; ++a) {
        std::string opt = argv[a];
        if (opt != "-v" || a + 1 >= argc) usage("unexpected argument '" + opt + "'");
        std::string nv = argv[++a];
        std::size_t eq = nv.find('=');
        if (eq == std::string::npos || eq == 0) usage("-v needs name=value, not '" + nv + "'");
        std::string name = nv.substr(0, eq), value = trim(nv.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '(' && value.back() == ')') {
            lists[name] = words(value.substr(1, value.size() - 2));
            scalars.erase(name);
        } else {
            scalars[name] = value;
            lists.erase(name);
        }
    }

    Template t;
    if (!read_template(tpath, t)) {
        error("cannot open template " + tpath);
        return 1;
    }
    const std::string stem = input_stem(input);
    std::map<std::string, std::string> vars = scalars;
    vars["input"] = stem;

    std::size_t passes = 1;
    if (!lists.empty()) {
        passes = lists.begin()->second.size();
        for (const auto& [name, entries] : lists)
            if (entries.size() != passes) {
                error("lists of different lengths (" + lists.begin()->first + ", " + name + ")");
                return 1;
            }
    }
    for (std::size_t p = 0; p < passes; ++p) {
        for (const auto& [name, entries] : lists) vars[name] = entries[p];
        run_pass(t, vars, input, stem);
    }
    return errors ? 1 : 0;
}
