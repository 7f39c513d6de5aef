// Shared helpers of the test programs: scratch directories, captured console
// output, the stop status of a call, and runs of whole processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
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
    const standin::DefaultGeometry g = standin::default_geometry();
    std::string text = std::to_string(m.natoms) + " " + std::to_string(ider) + " 0 1\n";
    for (int a = 0; a < m.natoms; ++a) {
        text += std::to_string(m.start_z[static_cast<std::size_t>(a)]);
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t i = 3 * static_cast<std::size_t>(a) + c;
            text += " " + standin::exact(m.start_x[i] + s * g.u[i]);
        }
        text += "\n";
    }
    write_file("in.EIn", text);
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
