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
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorin {

// How run_shell runs a command: `program` names it in messages, and a
// limit above 0 ends it after that many seconds (g16 has none: inner jobs
// legitimately run for days).
struct ShellOptions {
    std::string_view program;
    int timeout_seconds = 0;
};

// Runs one command line through /bin/sh, synchronously, after flushing the
// console so that its lines stay in order.  Its exit status is not
// returned: outside programs are judged by the files they leave, never by it.
//
// The command reads /dev/null as its standard input: a tool that waits for
// input (Multiwfn after a bad template) ends at once, and none can read
// Gaussian's own input.  It runs in a process group of its own.  When
// SIGTERM, SIGINT or SIGHUP reaches quorin meanwhile (a batch system
// cancelling the job), or the time limit passes, the whole group is ended --
// politely first, then with SIGKILL -- and the call stops: with status 128 +
// the signal number, or with status 1 after an ERROR line naming the program
// and the time waited.  No outside program outlives quorin and writes into
// temp/ afterwards.
void run_shell(const std::string& command, const ShellOptions& options = {});

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
[[nodiscard]] bool found_on_path(std::string_view program, std::string_view path_list);

// ------------------------------------------------------------ file operations

[[nodiscard]] bool file_exists(const std::string& path);
// Like "mkdir -p": creates the directory and its parents; failures are left
// for later steps to meet.
void make_dirs(const std::string& path);
// Like "cp -f": replaces `to` with a copy of `from` (written to a sibling and
// renamed into place).  Returns false when the copy could not be made.
[[nodiscard]] bool copy_file_over(const std::string& from, const std::string& to);
// Like "rm -f": a missing file is no error.
void remove_file(const std::string& path);
// Like "rm -f dir/pattern" where the pattern may hold '*' (any run of
// characters, dots included).
void remove_matching(const std::string& dir, std::string_view pattern);
// Names of the regular files in `dir` matching the pattern, sorted.
[[nodiscard]] std::vector<std::string> list_matching(const std::string& dir, std::string_view pattern);
[[nodiscard]] bool glob_match(std::string_view pattern, std::string_view name);

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
    // Room for N more bytes (no more than the buffer size) at the end of
    // the text; used(k) then takes the first k of them into the file.
    template <std::size_t N>
    [[nodiscard]] std::span<char, N> room() {
        if (size_ - fill_ < N) flush();
        return std::span<char, N>(buf_.get() + fill_, N);
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

// Files that replace their targets together, even when the call is killed
// halfway.  Each new file is staged first: written whole and flushed under a
// name of its own (.quorin-stage-*) beside its target.  commit() then writes
// the record -- atomically, the moment from which the change counts, with a
// note of the caller's (what the change answered) -- and renames the staged
// files over their targets in the order they were staged.  A call killed
// before the record leaves the targets as they were (finish_commit removes
// its staged files); one killed after it is completed by finish_commit.
// Destroyed uncommitted, the staged files are removed.
class StagedCommit {
public:
    explicit StagedCommit(std::string record) : record_(std::move(record)) {}
    ~StagedCommit();
    StagedCommit(const StagedCommit&) = delete;
    StagedCommit& operator=(const StagedCommit&) = delete;

    // `target`'s next content: a copy of `from` (false when it cannot be
    // made), or a text (a failure to write throws IoFailure).
    [[nodiscard]] bool stage_copy(const std::string& from, const std::string& target);
    void stage_text(const std::string& target, const std::string& text);
    void commit(const std::string& note);

private:
    std::string record_;
    std::vector<std::pair<std::string, std::string>> staged_;  // staged name, target
    bool committed_ = false;
};

// Completes the change the record describes (renaming what is still staged
// over its targets) and removes files staged by calls that never wrote their
// record.  Returns the note of the last recorded change, or "" when there is
// none.  Only safe while the lock is held.
std::string finish_commit(const std::string& record);

// Replaces `path` with `content` atomically: the text goes to a sibling file
// that is flushed to disk and then renamed over the target, and the
// directory is flushed after the rename, so a reader -- or a later call after
// a kill or a power cut -- sees the old file or the new one, never half of
// one.  A failure to write throws IoFailure naming the file.
void replace_file_atomically(const std::string& path, const std::string& content);

// The next number of a counter kept in `file`: one more than the number
// there, or 1 when there is none, it does not read or it cannot be stepped
// on.  The new number is written back atomically; `recorded` is false when
// it could not be (the next call then hands out the same number again).
struct CounterStep {
    int value = 1;
    bool recorded = true;
};
[[nodiscard]] CounterStep next_counter_value(const std::string& file);

}  // namespace quorin
