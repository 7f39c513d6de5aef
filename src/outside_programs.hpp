// The outside programs quorin runs, and the file work it does itself.
//
// Gaussian (g16, formchk) and the NTO tools (voskSNTO, voskwfn) run through
// one shell runner with fixed command texts; none of those texts holds a
// name that came from a user, a directory listing or a file.  Everything
// else -- making directories, copying, removing, listing -- is done here with
// std::filesystem, never through a shell.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

// Command lines of the inner Gaussian jobs, run from the working directory.
inline constexpr std::string_view kG16Command = "cd temp && g16 < tddft_pelun.gjf > tddft_pelun.log 2>&1";
inline constexpr std::string_view kG16FreqCommand = "cd temp && g16 < tddft_freq.gjf > tddft_freq.log 2>&1";
inline constexpr std::string_view kFormchkCommand =
    "cd temp && formchk tddft_pelun.chk tddft_pelun.fchk > formchk.log 2>&1";

// Runs one command line through /bin/sh, synchronously, after flushing the
// console so that its lines stay in order.  The status is returned for
// logging only: outside programs are judged by the files they leave.
//
// The command runs in a process group of its own.  When SIGTERM, SIGINT or
// SIGHUP reaches quorin meanwhile (a batch system cancelling the job), the
// whole group is ended -- politely first, then with SIGKILL -- and the call
// stops with status 128 + the signal number, so that no inner job outlives
// quorin and writes into temp/ afterwards.
int run_shell(const std::string& command);

// Installs the handlers that run_shell relies on.  Called once by main.
// Outside a command, the signals keep their usual effect (the process ends);
// every file that carries state is replaced atomically, so nothing is torn.
void install_signal_forwarding();

// One run per working directory: an exclusive lock on temp/.quorin.lock held
// for the whole call.  The kernel drops it when the process and the inner
// programs it started are gone, so a killed run never blocks the next call
// once its inner job has ended.  A second run finds it held and stops with
// status 1 without touching any file.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& lock_file);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    int fd_ = -1;
};

// Removes what an interrupted atomic replacement left behind in `dir`
// (sibling files named .quorin-part-*).  Only safe while the lock is held.
void remove_partial_files(const std::string& dir);

// Whether `program` is an executable regular file in one of the directories
// of `path_list` (a PATH value: directories separated by ':', an empty entry
// meaning the current directory), looked up as a shell would, without one.
bool found_on_path(std::string_view program, std::string_view path_list);

// ------------------------------------------------------------ file operations

bool file_exists(const std::string& path);
// Like "mkdir -p": creates the directory and its parents; failures are left
// for later steps to meet.
void make_dirs(const std::string& path);
// Like "cp -f": replaces `to` with a copy of `from` (written to a sibling and
// renamed into place).  Returns false when the copy could not be made.
bool copy_file_over(const std::string& from, const std::string& to);
// Like "rm -f": a missing file is no error.
void remove_file(const std::string& path);
// Like "rm -f dir/pattern" where the pattern may hold '*' (any run of
// characters, dots included).
void remove_matching(const std::string& dir, std::string_view pattern);
// Names of the regular files in `dir` matching the pattern, sorted.
std::vector<std::string> list_matching(const std::string& dir, std::string_view pattern);
bool glob_match(std::string_view pattern, std::string_view name);

// A file written in pieces that replaces `path` only when committed: the
// text goes through a large buffer to a sibling file, and commit() flushes
// the sibling to disk, renames it over the target and flushes the directory.
// Destroyed uncommitted -- an error, a stop, any exception -- it removes the
// sibling and leaves the target as it was, so a reader never sees a torn
// file.  Write failures throw IoFailure naming the target.
class FileReplacement {
public:
    explicit FileReplacement(const std::string& path, std::size_t buffer_size = std::size_t(1) << 20);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    void write(std::string_view text);
    // Room for n more bytes (n no more than the buffer size) at the end of
    // the text; used(k) then takes the first k of them into the file.
    char* room(std::size_t n) {
        if (size_ - fill_ < n) flush();
        return buf_.get() + fill_;
    }
    void used(std::size_t k) { fill_ += k; }
    void commit();

private:
    void flush();
    void write_out(const char* p, std::size_t n);
    [[noreturn]] void fail(const std::string& what, int err);

    std::string path_, sibling_;
    int fd_ = -1;
    std::unique_ptr<char[]> buf_;
    std::size_t size_ = 0, fill_ = 0;
    std::size_t written_ = 0, synced_ = 0;  // bytes handed to the file, and to its disk writes
};

// Replaces `path` with `content` atomically: the text goes to a sibling file
// that is flushed to disk and then renamed over the target, and the
// directory is flushed after the rename, so a reader -- or a later call after
// a kill or a power cut -- sees the old file or the new one, never half of
// one.  A failure to write throws IoFailure naming the file.
void replace_file_atomically(const std::string& path, const std::string& content);

}  // namespace quorin
