#include "outside_programs.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "text_fields.hpp"

namespace fs = std::filesystem;

namespace quorin {

namespace {
// A short sibling name (same directory, so the rename is atomic) that no
// other writer is using at the same moment; short so that a long target
// name still leaves room for it.
std::string sibling_name(const std::string& path) {
    std::random_device entropy;
    const std::uint64_t tag = (static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^
                              static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char buf[40];
    std::snprintf(buf, sizeof buf, ".quorin-part-%016llx", static_cast<unsigned long long>(tag));
    return (fs::path(path).parent_path() / buf).string();
}
}  // namespace

// ------------------------------------------------------------ shell runner

namespace {

// What the signal handler needs: the process group of the command now
// running (0 when none) and the signal that asked quorin to end.  A handler
// can reach nothing but static storage, hence these two; both are lock-free
// atomics, which a handler may touch.
std::atomic<pid_t>& running_group() {
    static std::atomic<pid_t> group{0};
    return group;
}
std::atomic<int>& received_signal() {
    static std::atomic<int> sig{0};
    return sig;
}
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

constexpr int kForwarded[] = {SIGTERM, SIGINT, SIGHUP};
// How long the inner job may take to end after the signal before it is killed.
constexpr auto kGracePeriod = std::chrono::seconds(5);

extern "C" void forward_signal(int sig) {
    const pid_t group = running_group().load();
    if (group > 0) {
        received_signal().store(sig);
        kill(-group, sig);
        return;
    }
    // No inner job: the signal has its usual effect once the handler returns.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

sigset_t forwarded_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kForwarded) sigaddset(&set, sig);
    return set;
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

bool group_alive(pid_t group) { return kill(-group, 0) == 0 || errno == EPERM; }

// Waits until no process of the group is left, or the deadline passes.
bool wait_for_group_end(pid_t group, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (group_alive(group)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The inner job was told to end: make sure every process of its group is
// gone, then stop the call.  Signals stay blocked until the process ends, so
// a second one cannot cut this short.
[[noreturn]] void end_group_and_stop(pid_t group, int sig) {
    if (!wait_for_group_end(group, kGracePeriod)) {
        kill(-group, SIGKILL);
        wait_for_group_end(group, std::chrono::seconds(10));
    }
    say({std::string("ERROR: quorin received ") + signal_name(sig) +
         " and ended the inner job it was running (process group " + fmt_I0(group) + ")."});
    stop(128 + sig);
}

}  // namespace

void install_signal_forwarding() {
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kForwarded) sigaction(sig, &sa, nullptr);
}

int run_shell(const std::string& command) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);

    // The signals wait until the child is known to the handler, so none can
    // slip in between the fork and the bookkeeping and leave an orphan.
    const sigset_t forwarded = forwarded_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &forwarded, &previous);
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        io_failure("cannot start a process for \"" + command + "\": " + std::strerror(err));
    }
    if (pid == 0) {
        setpgid(0, 0);
        for (int sig : kForwarded) std::signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);  // also from this side, so the group exists before any signal is sent to it
    running_group().store(pid);
    sigprocmask(SIG_SETMASK, &previous, nullptr);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    sigprocmask(SIG_BLOCK, &forwarded, nullptr);
    running_group().store(0);
    const int sig = received_signal().load();
    if (sig != 0) end_group_and_stop(pid, sig);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---------------------------------------------------------- directory lock

DirectoryLock::DirectoryLock(const std::string& lock_file) {
    // Not close-on-exec on purpose: the inner programs inherit the lock, so
    // the directory stays taken while an inner job of a killed run lives on.
    fd_ = ::open(lock_file.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd_ < 0) {
        say({"ERROR: Cannot open the lock file " + lock_file + ": " + std::strerror(errno)});
        stop(1);
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        const std::string me = fmt_I0(getpid()) + "\n";
        if (ftruncate(fd_, 0) == 0) {
            [[maybe_unused]] ssize_t n = ::write(fd_, me.data(), me.size());
        }
        return;
    }
    const int err = errno;
    if (err != EWOULDBLOCK) {
        // Some cluster file systems offer no locks at all; the run goes on.
        say({"WARNING: Cannot lock " + lock_file + " (" + std::strerror(err) +
             "); two runs in this directory would not be kept apart."});
        return;
    }
    char buf[32] = {};
    [[maybe_unused]] ssize_t n = pread(fd_, buf, sizeof buf - 1, 0);
    ::close(fd_);
    fd_ = -1;
    std::int32_t holder = 0;
    std::string who;
    const std::string_view text(buf);
    if (try_read_free(text.substr(0, text.find('\n')), holder) && holder > 0) {
        who = ", process " + fmt_I0(holder);
        if (kill(holder, 0) != 0 && errno == ESRCH) who += ", which has ended while an inner job it started still runs";
    }
    say({"ERROR: Another quorin run holds this directory (" + lock_file + who + ")."});
    say({"       Runs that share temp/ would mix their followed states: give each job its own directory."});
    stop(1);
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool found_on_path(std::string_view program, std::string_view path_list) {
    constexpr auto any_exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = path_list.find(':', start);
        const std::string_view dir = path_list.substr(start, colon == std::string_view::npos ? colon : colon - start);
        std::error_code ec;
        const fs::file_status st = fs::status(fs::path(dir.empty() ? "." : dir) / program, ec);
        if (!ec && fs::is_regular_file(st) && (st.permissions() & any_exec) != fs::perms::none) return true;
        if (colon == std::string_view::npos) return false;
        start = colon + 1;
    }
}



bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::path(path), ec);
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(fs::path(path), ec);
}

namespace {

// Flushes a file, or a directory's entries, to disk.
bool sync_path(const fs::path& path, bool directory) {
    const int fd = ::open(path.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    ::close(fd);
    return ok;
}

fs::path directory_of(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// Puts a finished sibling in place of `target`: the sibling's data reach the
// disk before the rename, and the rename itself after it.
bool commit_sibling(const fs::path& sibling, const fs::path& target) {
    std::error_code ec;
    if (!sync_path(sibling, false)) {
        fs::remove(sibling, ec);
        return false;
    }
    fs::rename(sibling, target, ec);
    if (ec) {
        std::error_code ec2;
        fs::remove(sibling, ec2);
        return false;
    }
    sync_path(directory_of(target), true);
    return true;
}

}  // namespace

bool copy_file_over(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::path target(to);
    if (fs::is_directory(target, ec)) target /= fs::path(from).filename();
    const fs::path tmp = sibling_name(target.string());
    if (!fs::copy_file(fs::path(from), tmp, fs::copy_options::overwrite_existing, ec)) {
        fs::remove(tmp, ec);
        return false;
    }
    return commit_sibling(tmp, target);
}

void remove_file(const std::string& path) {
    std::error_code ec;
    fs::remove(fs::path(path), ec);
}

bool glob_match(std::string_view p, std::string_view s) {
    // Iterative '*' matcher with backtracking to the last star.
    std::size_t pi = 0, si = 0, star = std::string_view::npos, mark = 0;
    while (si < s.size()) {
        if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = si;
        } else if (pi < p.size() && p[pi] == s[si]) {
            ++pi;
            ++si;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

std::vector<std::string> list_matching(const std::string& dir, std::string_view pattern) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(fs::path(dir.empty() ? "." : dir), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (!it->is_regular_file(ec2)) continue;
        std::string name = it->path().filename().string();
        // Like the shell, a leading dot is matched only by a leading dot.
        if (!name.empty() && name[0] == '.' && (pattern.empty() || pattern[0] != '.')) continue;
        if (glob_match(pattern, name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void remove_matching(const std::string& dir, std::string_view pattern) {
    for (const auto& name : list_matching(dir, pattern)) remove_file((fs::path(dir) / name).string());
}

void remove_partial_files(const std::string& dir) { remove_matching(dir, ".quorin-part-*"); }

FileReplacement::FileReplacement(const std::string& path, std::size_t buffer_size)
    : path_(path), sibling_(sibling_name(path)), size_(std::max<std::size_t>(buffer_size, 4096)) {
    fd_ = ::open(sibling_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) io_failure("cannot create " + sibling_ + " to write " + path_ + ": " + std::strerror(errno));
    buf_ = std::make_unique_for_overwrite<char[]>(size_);
}

FileReplacement::~FileReplacement() {
    if (fd_ < 0) return;  // committed, or failed and cleaned up already
    ::close(fd_);
    remove_file(sibling_);
}

void FileReplacement::fail(const std::string& what, int err) {
    ::close(fd_);
    fd_ = -1;
    remove_file(sibling_);
    io_failure(what + path_ + ": " + std::strerror(err));
}

void FileReplacement::write_out(const char* p, std::size_t left) {
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("cannot write ", errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void FileReplacement::flush() {
    write_out(buf_.get(), fill_);
    written_ += fill_;
    fill_ = 0;
#ifdef SYNC_FILE_RANGE_WRITE
    // Start the disk writes of what is written so far without waiting for
    // them, so that the flush on commit finds most of a long file on disk
    // already instead of writing all of it then.
    constexpr std::size_t kWriteBehind = std::size_t(8) << 20;
    if (written_ - synced_ >= kWriteBehind) {
        sync_file_range(fd_, static_cast<off_t>(synced_), static_cast<off_t>(written_ - synced_),
                        SYNC_FILE_RANGE_WRITE);
        synced_ = written_;
    }
#endif
}

void FileReplacement::write(std::string_view text) {
    if (text.size() > size_ - fill_) {
        flush();
        if (text.size() >= size_) {  // no copy of a long text
            write_out(text.data(), text.size());
            written_ += text.size();
            return;
        }
    }
    std::memcpy(buf_.get() + fill_, text.data(), text.size());
    fill_ += text.size();
}

void FileReplacement::commit() {
    flush();
    // A full disk may only show here, on file systems that write late.
    if (fsync(fd_) != 0) fail("cannot write ", errno);
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
        const int err = errno;
        remove_file(sibling_);
        io_failure("cannot write " + path_ + ": " + std::strerror(err));
    }
    std::error_code ec;
    fs::rename(fs::path(sibling_), fs::path(path_), ec);
    if (ec) {
        remove_file(sibling_);
        io_failure("cannot replace " + path_ + ": " + ec.message());
    }
    sync_path(directory_of(fs::path(path_)), true);
}

void replace_file_atomically(const std::string& path, const std::string& content) {
    FileReplacement out(path, std::size_t(1) << 16);
    out.write(content);
    out.commit();
}

}  // namespace quorin
