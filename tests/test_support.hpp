// Shared helpers of the test programs: scratch directories, captured console
// output, the stop status of a call, runs of whole processes, and expected
// results from outside the code under test (gfortran's own text fields, the
// stand-ins' model, the echo rule applied to an inner log).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "model.hpp"
#include "text_fields.hpp"

namespace quorin::test {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& p) {
    std::ostringstream ss;
    ss << std::ifstream(p, std::ios::binary).rdbuf();
    return ss.str();
}

inline void write_file(const fs::path& p, const std::string& text) {
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A fresh directory that the test works in; the previous working directory
// is restored and the directory removed afterwards.
class ScratchDir {
public:
    ScratchDir() : old_(fs::current_path()) {
        std::random_device rd;
        path_ = fs::temp_directory_path() / ("quorin_test_" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path_);
        fs::current_path(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::current_path(old_, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path old_, path_;
};

// Collects what the code under test writes to std::cout.
class CaptureStdout {
public:
    CaptureStdout() : old_(std::cout.rdbuf(buf_.rdbuf())) {}
    ~CaptureStdout() { std::cout.rdbuf(old_); }
    std::string text() const { return buf_.str(); }

private:
    std::ostringstream buf_;
    std::streambuf* old_;
};

// Runs f and tells how the call ended: -1 when it returned, the status of a
// stop, or 2 for an unhandled I/O failure (whose message goes to *message).
template <class F>
int status_of(F&& f, std::string* message = nullptr) {
    try {
        f();
    } catch (const Stop& s) {
        return s.status;
    } catch (const IoFailure& e) {
        if (message) *message = e.what();
        return 2;
    }
    return -1;
}

// How a call ended (status as status_of gives it; failure: an unhandled I/O
// failure's message) and what it printed.
struct Outcome {
    int status;
    std::string out, failure;
};
template <class F>
Outcome outcome_of(F&& f) {
    CaptureStdout cap;
    Outcome o;
    o.status = status_of(f, &o.failure);
    o.out = cap.text();
    return o;
}

// Checks that a call stopped with status 1 after printing `message`.
inline void expect_stop(const Outcome& o, const std::string& message) {
    EXPECT_EQ(o.status, 1) << message;
    EXPECT_EQ(o.out, message);
}

// printf into a string.
template <class... A>
std::string strf(const char* format, A... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// A shell script at p that its owner may run.
inline void write_script(const fs::path& p, const std::string& text) {
    write_file(p, text);
    fs::permissions(p, fs::perms::owner_all);
}

// The names of the entries of a directory.
inline std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// The configuration file of the workflow tests: the usual settings and `keys`.
inline const std::string kConfig = "config.toml";
inline void write_config(const std::string& keys = "", const std::string& file = kConfig) {
    write_file(file, "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\n" + keys);
}

// Stand-in outside programs first on PATH for this process and its children.
inline void use_stand_ins() {
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    if (path.rfind(STAND_IN_DIR ":", 0) != 0) setenv("PATH", (STAND_IN_DIR ":" + path).c_str(), 1);
}

struct ProcessResult {
    int status = -1;
    std::string out, err;
};

// Runs a whole command through the shell in the current directory, with its
// standard output and error collected.
inline ProcessResult run_process(const std::string& command) {
    const std::string base = fs::temp_directory_path() / ("quorin_run_" + std::to_string(std::random_device{}()));
    const int raw = std::system((command + " >" + base + ".out 2>" + base + ".err").c_str());
    ProcessResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(base + ".out"), read_file(base + ".err")};
    fs::remove(base + ".out");
    fs::remove(base + ".err");
    return r;
}

// One call of quorin as Gaussian's External keyword makes it, in the current
// directory: `quorin [config] layer in.EIn out.EOu msg fchk matel`, the
// stand-ins first on PATH, `env` (assignments) in front.
inline std::string external_command(const std::string& config, const std::string& env = "") {
    use_stand_ins();
    return (env.empty() ? "" : "env " + env + " ") + QUORIN_EXE + " " + config + " layer in.EIn out.EOu msg fchk matel";
}
inline ProcessResult external_call(const std::string& config, const std::string& env = "") {
    return run_process(external_command(config, env));
}

// in.EIn for the model molecule: its start geometry moved by s bohr along
// the stretch on which its first two states cross, derivative level ider.
inline void write_external_input(int ider, double s = 0.0) {
    const standin::Model m = standin::default_model();
    const std::vector<double> u = standin::default_geometry().u;
    std::string text = "3 " + std::to_string(ider) + " 0 1\n";
    for (std::size_t i = 0; i < 9; ++i)
        text += (i % 3 ? "" : std::to_string(m.start_z[i / 3])) + " " + standin::exact(m.start_x[i] + s * u[i]) +
                (i % 3 == 2 ? " 0.0\n" : "");  // the charge field closes each atom line
    write_file("in.EIn", text);
}

// One call at the start geometry moved by s along the crossing stretch (or
// with `ein` as in.EIn), the stand-ins' runs recorded in standin.log (read by
// standin_runs).  `env` may end in a redirection of the call's input.
inline ProcessResult call_at(double s, const std::string& config, const std::string& env = "", int ider = 1,
                             const std::string& ein = "") {
    write_external_input(ider, s);
    if (!ein.empty()) write_file("in.EIn", ein);
    fs::remove("out.EOu");
    fs::remove("standin.log");
    return external_call(config, "QUORIN_STANDIN_LOG='" + fs::absolute("standin.log").string() + "' " + env);
}
inline std::string standin_runs() { return read_file("standin.log"); }

// Wrappers first on PATH that say on standard output and error that they ran,
// then run the stand-in of their name; the env assignment that puts them there.
inline std::string announcing_wrappers(const fs::path& dir, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        write_script(dir / name, "#!/bin/sh\necho ' " + name + " writes to standard output'\necho ' " + name +
                                     " writes to standard error' >&2\nexec '" STAND_IN_DIR "/" + name + "' \"$@\"\n");
    }
    return "PATH='" + dir.string() + "':\"$PATH\"";
}

// ------------------------------------------------- expectations from outside

// The coordinates of an External input (bohr) in angstrom.
inline std::vector<double> ein_angstrom(const std::string& ein) {
    std::vector<double> x;
    const auto lines = lines_of(ein);
    for (std::size_t a = 1; a < lines.size(); ++a) {  // Z x y z (and more) per atom
        double z, v[3];
        std::istringstream(lines[a]) >> z >> v[0] >> v[1] >> v[2];
        for (double c : v) x.push_back(c * 0.529177249);
    }
    return x;
}

// gfortran's own text for reals, from the Fortran reference program: the
// free-form line (print *, x) and the D20.12, F20.12, F10.6, F6.3, F12.6, F4.3, F5.3, F8.0 and F5.1 fields.
// Tests that use it skip in a build without a Fortran compiler.
#define QUORIN_FORTRAN_OR_SKIP() \
    if (std::string(FORTRAN_REF).empty()) GTEST_SKIP() << "no Fortran compiler in this build"
struct FortranText {
    std::string free, d20, f20, f10, f6, f12, f4, f5, f8, f51;
};
inline std::vector<FortranText> gfortran(const std::vector<double>& xs) {
    std::string input;
    for (double x : xs) input += "R " + std::to_string(std::bit_cast<std::int64_t>(x)) + "\n";
    const fs::path in = fs::temp_directory_path() / ("quorin_ref_" + std::to_string(std::random_device{}()));
    write_file(in, input);
    const auto out = lines_of(run_process(std::string(FORTRAN_REF) + " < '" + in.string() + "'").out);
    fs::remove(in);
    std::vector<FortranText> texts;
    for (std::size_t i = 0; i + 9 < out.size(); i += 10)
        texts.push_back({out[i], out[i + 1], out[i + 2], out[i + 3], out[i + 4], out[i + 5], out[i + 6], out[i + 7],
                         out[i + 8], out[i + 9]});
    EXPECT_EQ(texts.size(), xs.size()) << "the Fortran reference program failed";
    texts.resize(xs.size());
    return texts;
}
// Rows of D20.12 fields, `per_row` to a line, each line led by `lead`.
inline std::string d20_rows(const std::vector<double>& xs, std::size_t per_row, const std::string& lead = "") {
    std::string text;
    const auto f = gfortran(xs);
    for (std::size_t i = 0; i < f.size(); ++i)
        text += (i % per_row == 0 ? lead : "") + f[i].d20 + (i % per_row == per_row - 1 || i + 1 == f.size() ? "\n" : "");
    return text;
}

// What the model gives for `root` (of `nstate` roots) at the geometry g16
// read for an External input (its values in angstrom with 12 decimals, the
// inner input's F20.12, read back), and the External output file that hands
// its energy and gradient back: energy and a zero dipole, then a line per atom.
inline standin::Evaluation model_at(const std::string& ein, int root, int nstate, bool hessian = false) {
    std::vector<double> x;
    for (double a : ein_angstrom(ein)) x.push_back(std::strtod(strf("%.12f", a).c_str(), nullptr) / 0.529177249);
    return standin::evaluate(standin::default_model(), x, root, nstate, hessian);
}
inline std::string external_output(const standin::Evaluation& e) {
    return d20_rows({e.energy, 0.0, 0.0, 0.0}, 4) + d20_rows(e.gradient, 3);
}

// What quorin echoes of an inner log: the excited-state summary from its
// title line to the first line holding both "SavETr:" and "write", without
// the transition lines whose coefficient lies below 0.1 in magnitude; with
// debug also a blank line and the forces table after a separator.
inline std::string echo_of(const std::string& log, bool debug) {
    auto has = [](const std::string& l, const char* part) { return l.find(part) != std::string::npos; };
    std::string out;
    bool in = false;
    for (const auto& line : lines_of(log)) {
        const std::string l = line.substr(0, line.find_last_not_of(' ') + 1);
        in = in || has(l, "Excitation energies and oscillator strengths:");
        const std::string last = l.substr(l.rfind(' ') + 1);
        char* end = nullptr;
        const double c = std::strtod(last.c_str(), &end);
        if (!in || ((has(l, "->") || has(l, "<-")) && *end == '\0' && end != last.c_str() && std::fabs(c) < 0.1)) continue;
        out += l + "\n";
        if (has(l, "SavETr:") && has(l, "write")) break;
    }
    if (!debug) return out;
    out += " \n";
    in = false;
    for (const auto& l : lines_of(log)) {
        if (!in && has(l, "Forces (Hartrees/Bohr)")) out += " " + std::string(67, '-') + "\n";
        in = in || has(l, "Forces (Hartrees/Bohr)");
        if (in) out += l + "\n";
        if (in && has(l, "Cartesian Forces:")) break;
    }
    return out;
}

// A whole process started in the background (its output to out/err files);
// `pid` is the program's own, the shell having made way for it.
struct Background {
    pid_t pid = -1;
    explicit Background(const std::string& command, const std::string& out = "bg.out", const std::string& err = "bg.err") {
        pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + command + " >" + out + " 2>" + err).c_str(), (char*)nullptr);
            _exit(127);
        }
    }
    // Waits for the end and returns the exit status (128 + n for signal n).
    int wait() {
        int raw = 0;
        waitpid(pid, &raw, 0);
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
};

// Waits up to `seconds` for a file to appear.
inline bool wait_for_file(const fs::path& p, double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 100) && !fs::exists(p); ++i) usleep(10000);
    return fs::exists(p);
}

// A real Gaussian sample file as `var`; the test is skipped when the samples are absent.
#define QUORIN_SAMPLE_OR_SKIP(var, name)                                               \
    const std::string var = (std::filesystem::path(SAMPLES_DIR) / (name)).string();   \
    if (!std::filesystem::exists(var)) GTEST_SKIP() << "sample " << (name) << " not present"

}  // namespace quorin::test
