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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <random>
#include <thread>

#include "text_fields.hpp"

namespace fs = std::filesystem;

namespace quorin {

namespace {
// A short sibling name (same directory, so the rename is atomic) that no
// other writer is using at the same moment; short so that a long target
// name still leaves room for it.
std::string sibling_name(const std::string& path, const char* prefix = ".quorin-part-") {
    std::random_device entropy;
    const std::uint64_t tag = (static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^
                              static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%016llx", prefix, static_cast<unsigned long long>(tag));
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

// Ends the process group that the command `pid` leads, once it was told to
// end (by `first`, when not 0, sent here): waits until its leader is reaped
// and no process of it is left, sends SIGKILL when that takes longer than
// the grace period, and waits once more.
void end_group(pid_t pid, bool reaped, int first) {
    if (first != 0) kill(-pid, first);
    auto settle = [&](std::chrono::steady_clock::duration limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (!reaped && waitpid(pid, nullptr, WNOHANG) == pid) reaped = true;
            if (reaped && !group_alive(pid)) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    };
    if (!settle(kGracePeriod)) {
        kill(-pid, SIGKILL);
        settle(std::chrono::seconds(10));
    }
}

}  // namespace

void install_signal_forwarding() {
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kForwarded) sigaction(sig, &sa, nullptr);
}

void run_shell(const std::string& command, const ShellOptions& options) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);

    // The signals wait until the child is known to the handler, so none can
    // slip in between the fork and the bookkeeping and leave an orphan.
    // SIGCHLD stays blocked until the command has ended: the wait below
    // takes it as the sign that the child is done.
    sigset_t blocked = forwarded_set(), previous;
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        io_failure("cannot start a process for \"" + command + "\": " + std::strerror(err));
    }
    if (pid == 0) {
        setpgid(0, 0);
        for (int sig : kForwarded) std::signal(sig, SIG_DFL);
        if (const int null = ::open("/dev/null", O_RDONLY); null >= 0 && null != 0) {
            dup2(null, 0);
            ::close(null);
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);  // also from this side, so the group exists before any signal is sent to it
    running_group().store(pid);
    sigset_t waiting = previous, child_ended;
    sigaddset(&waiting, SIGCHLD);
    sigprocmask(SIG_SETMASK, &waiting, nullptr);
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);

    const bool limited = options.timeout_seconds > 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    bool reaped = false, timed_out = false;
    for (;;) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            reaped = r == pid;
            break;
        }
        if (received_signal().load() != 0) break;
        if (!limited) {
            sigwaitinfo(&child_ended, nullptr);  // the child's end, or a signal for the handler
            continue;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            timed_out = true;
            break;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        sigtimedwait(&child_ended, nullptr, &wait);
    }

    // Signals stay blocked until the process ends, so a second one cannot
    // cut the ending of the group short.
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    running_group().store(0);
    if (const int sig = received_signal().load(); sig != 0) {
        end_group(pid, reaped, 0);  // the handler has passed the signal on
        say({std::string("ERROR: quorin received ") + signal_name(sig) +
             " and ended the inner job it was running (process group " + fmt_I0(pid) + ")."});
        stop(128 + sig);
    }
    if (timed_out) {
        end_group(pid, reaped, SIGTERM);
        stop_with({"ERROR: " + std::string(options.program) + " did not finish within " +
                   fmt_I0(options.timeout_seconds) + " s (tooltimeout); quorin ended it (process group " + fmt_I0(pid) +
                   ")."});
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// ---------------------------------------------------------- directory lock

DirectoryLock::DirectoryLock(const std::string& lock_file) {
    // Not close-on-exec on purpose: the inner programs inherit the lock, so
    // the directory stays taken while an inner job of a killed run lives on.
    fd_ = ::open(lock_file.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd_ < 0) stop_with({"ERROR: Cannot open the lock file " + lock_file + ": " + std::strerror(errno)});
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
    stop_with({"ERROR: Another quorin run holds this directory (" + lock_file + who + ")."},
              {"       Runs that share temp/ would mix their followed states: give each job its own directory."});
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

// ------------------------------------------------------------ staged commits

namespace {
constexpr const char* kStagePrefix = ".quorin-stage-";
}

StagedCommit::~StagedCommit() {
    if (committed_) return;
    for (const auto& [staged, target] : staged_) remove_file(staged);
}

bool StagedCommit::stage_copy(const std::string& from, const std::string& target) {
    staged_.emplace_back(sibling_name(target, kStagePrefix), target);
    return copy_file_over(from, staged_.back().first);
}

void StagedCommit::stage_text(const std::string& target, const std::string& text) {
    staged_.emplace_back(sibling_name(target, kStagePrefix), target);
    replace_file_atomically(staged_.back().first, text);
}

void StagedCommit::commit(const std::string& note) {
    std::string record = note + "\n";
    for (const auto& [staged, target] : staged_) record += staged + " " + target + "\n";
    replace_file_atomically(record_, record);
    committed_ = true;  // from here on the record speaks for the staged files
    finish_commit(record_);
}

std::string finish_commit(const std::string& record) {
    const fs::path dir = directory_of(fs::path(record));
    std::ifstream in;
    std::string note, line;
    if (open_for_reading(record, in) && read_line(in, note)) {
        while (read_line(in, line)) {
            const std::size_t blank = line.find(' ');
            if (blank == std::string::npos) continue;
            const std::string staged = line.substr(0, blank), target = line.substr(blank + 1);
            if (!file_exists(staged)) continue;  // in place already
            std::error_code ec;
            fs::rename(staged, target, ec);
            if (ec) io_failure("cannot put " + staged + " in place as " + target + ": " + ec.message());
        }
        sync_path(dir, true);
    }
    // What is still staged belongs to a change that never reached its record.
    remove_matching(dir.string(), std::string(kStagePrefix) + "*");
    return note;
}

void replace_file_atomically(const std::string& path, const std::string& content) {
    FileReplacement out(path, std::size_t(1) << 16);
    out.write(content);
    out.commit();
}

CounterStep next_counter_value(const std::string& file) {
    CounterStep next;
    std::ifstream in;
    std::int32_t last = 0;
    if (open_for_reading(file, in) && FreeRead(in, file).get(last) && last >= 0 &&
        last < std::numeric_limits<std::int32_t>::max())
        next.value = last + 1;
    try {
        replace_file_atomically(file, free_line({next.value}) + "\n");
    } catch (const IoFailure&) {
        next.recorded = false;
    }
    return next;
}

}  // namespace quorin
