// The runner of outside programs and the file work around it, through whole
// quorin processes: one run per directory, inner jobs ended with quorin, and
// what a killed run leaves behind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <thread>

#include "outside_programs.hpp"

#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

// Every file below the directory with its contents, for "nothing was touched".
std::map<std::string, std::string> tree() {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator("."))
        if (e.is_regular_file()) files[e.path().string()] = read_file(e.path());
    return files;
}

std::vector<pid_t> inner_pids() {
    std::vector<pid_t> pids;
    std::istringstream in(read_file("temp/g16.pids"));
    for (pid_t p; in >> p;) pids.push_back(p);
    return pids;
}

// Whether no process holds the directory's lock any more.
bool lock_free() {
    const int fd = ::open("temp/.quorin.lock", O_RDWR);
    if (fd < 0) return false;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

TEST(OutsidePrograms, OneRunPerDirectoryAndKilledRunsNeitherBlockNorLeaveParts) {
    ScratchDir dir;
    write_config();
    write_external_input(1);
    Background first(external_command(kConfig, "QUORIN_STANDIN_FAULTS=slow=30"), "first.out", "first.err");
    ASSERT_TRUE(wait_for_file("temp/g16.pids", 20)) << read_file("first.out") << read_file("first.err");
    using P = fs::perms;  // a lock file that any later run of its owner can open to read and write
    EXPECT_EQ(fs::status("temp/.quorin.lock").permissions() & (P::owner_all | P::sticky_bit), P::owner_read | P::owner_write);

    // A second run in the same directory stops at once and touches nothing.
    const auto before = tree();
    const ProcessResult second = external_call(kConfig);
    const std::string held = " >>>>> TD-DFT External Interface Starting\n ERROR: Another quorin run holds this directory "
                             "(temp/.quorin.lock, process " + std::to_string(first.pid);
    const std::string apart = ").\n        Runs that share temp/ would mix their followed states: give each job its own "
                              "directory.\n";
    EXPECT_EQ(std::to_string(second.status) + second.err + second.out, "1STOP 1\n" + held + apart);
    EXPECT_EQ(tree(), before);

    // Killed outright, quorin cannot end its inner job: the job keeps the
    // directory until it is gone, and the message says so.
    kill(first.pid, SIGKILL);
    EXPECT_EQ(first.wait(), 128 + SIGKILL);
    const ProcessResult third = external_call(kConfig);
    EXPECT_EQ(std::to_string(third.status) + third.out,
              "1" + held + ", which has ended while an inner job it started still runs" + apart);
    // The inner job is its whole process group (the shell between quorin and
    // g16 holds the lock too); end it and wait until the lock is free.
    const pid_t group = getpgid(inner_pids().front());
    ASSERT_GT(group, 0);
    kill(-group, SIGKILL);
    for (int i = 0; i < 1000 && !lock_free(); ++i) usleep(10000);
    ASSERT_TRUE(lock_free());

    // Once it is gone the next call runs, and the half-written files of the
    // killed run go; other dot-files stay.
    write_file("temp/.quorin-part-0123456789abcdef", "half a state file");
    write_file(".quorin-part-fedcba9876543210", "half an External output");
    write_file("temp/.keep", "kept");
    const ProcessResult fourth = external_call(kConfig);
    ASSERT_EQ(fourth.status, 0) << fourth.out << fourth.err;
    EXPECT_TRUE(fs::exists("out.EOu"));
    EXPECT_FALSE(fs::exists("temp/.quorin-part-0123456789abcdef"));
    EXPECT_FALSE(fs::exists(".quorin-part-fedcba9876543210"));
    EXPECT_TRUE(fs::exists("temp/.keep"));
}

TEST(OutsidePrograms, CancellingTheJobEndsTheInnerJobWithQuorin) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        ScratchDir dir;
        write_config();
        write_external_input(1);
        // The inner job runs 3 s: long enough that a loaded machine still
        // signals quorin while it runs.  Deaf to SIGHUP, it is killed after
        // the grace period.
        const bool deaf = sig == SIGHUP;
        Background run(external_command(kConfig, deaf ? "QUORIN_STANDIN_FAULTS=slow=30,deaf" : "QUORIN_STANDIN_FAULTS=slow=3"));
        ASSERT_TRUE(wait_for_file("temp/g16.pids", 20)) << read_file("bg.out") << read_file("bg.err");
        const auto job_started = std::chrono::steady_clock::now();
        const std::vector<pid_t> inner = inner_pids();
        ASSERT_EQ(inner.size(), 2u);
        const pid_t group = getpgid(inner.front());
        kill(run.pid, sig);
        EXPECT_EQ(run.wait(), 128 + sig);
        const std::string name = sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "SIGHUP";
        EXPECT_TRUE(read_file("bg.out").ends_with("\n ERROR: quorin received " + name + " and ended the inner job it "
                                                  "was running (process group " + std::to_string(group) + ").\n"));
        EXPECT_EQ(read_file("bg.err"), "STOP " + std::to_string(128 + sig) + "\n");
        for (pid_t p : inner) EXPECT_NE(kill(p, 0), 0) << "inner process " << p << " outlived quorin";
        EXPECT_EQ(read_file("temp/link_signal"), deaf ? "" : name + "\n");
        std::this_thread::sleep_until(job_started + std::chrono::milliseconds(3500));  // past its end
        EXPECT_FALSE(fs::exists("temp/late_write"));
        EXPECT_FALSE(fs::exists("out.EOu"));
    }
}

// Pieces of every size through the smallest buffer, written or put into its room in part, make the file in order:
// across flushes, past the buffer's size, and none when the replacement is dropped uncommitted, which leaves the
// file as it was and no part file.
TEST(OutsidePrograms, AReplacementHoldsEveryPieceInOrderOrNothing) {
    ScratchDir dir;
    std::mt19937 rng(11);
    auto size = [&](std::size_t hi) { return std::uniform_int_distribution<std::size_t>(0, hi)(rng); };
    std::string file;
    for (int round = 0; round < 16; ++round) {
        std::string all;
        {
            FileReplacement out("f.txt", 4096);
            for (int k = 0; k < 40; ++k) {
                std::string piece(size(k % 5 ? 700 : 9000), ' ');
                for (char& ch : piece) ch = static_cast<char>('!' + size(90));
                if (k % 3) {
                    out.write(piece);
                } else {
                    piece.resize(std::min<std::size_t>(piece.size(), 64));
                    std::ranges::copy(piece, out.room<64>().begin());
                    out.used(piece.size());
                }
                all += piece;
            }
            if (round % 4) out.commit(), file = all;
        }
        EXPECT_EQ(read_file("f.txt"), file) << round;
        EXPECT_EQ(list_matching(".", ".quorin-part-*"), std::vector<std::string>{});
    }
}

// Files replaced together: a change given up leaves nothing staged and its
// targets as they were; a recorded one is completed, by the next call if need be.
TEST(OutsidePrograms, StagedFilesReplaceTheirTargetsTogether) {
    ScratchDir dir;
    write_file("a.dat", "old a");
    for (const bool commit : {false, true}) {
        EXPECT_EQ(list_matching(".", ".quorin-stage-*"), std::vector<std::string>{});
        StagedCommit change("step.dat");
        change.stage_text("a.dat", "new a");
        EXPECT_EQ(change.stage_copy(commit ? "a.dat" : "missing", "b.dat"), commit);  // staging leaves a.dat as it is
        if (commit) change.commit("step 2");
    }
    EXPECT_EQ(read_file("a.dat") + read_file("b.dat") + finish_commit("step.dat"), "new aold astep 2");
    write_file(".quorin-stage-1", "newer a");
    write_file(".quorin-stage-2", "staged without a record");
    write_file("step.dat", "step 3\n.quorin-stage-1 a.dat\n");
    EXPECT_EQ(finish_commit("step.dat"), "step 3");
    EXPECT_EQ(tree(), (std::map<std::string, std::string>{
                          {"./a.dat", "newer a"}, {"./b.dat", "old a"}, {"./step.dat", "step 3\n.quorin-stage-1 a.dat\n"}}));
}

TEST(OutsidePrograms, AFullDiskLeavesThePreviousStateFile) {
    ScratchDir dir;
    replace_file_atomically("sdn_meta.dat", "previous step\n");
    write_file("big", std::string(4096, 'x'));
    // A file-size limit fails the write as a full disk does; done in a child
    // so that the limit stays there.  Its raw wait status: 0 for the I/O
    // failure that names the file, after a copy that failed as well.
    auto write_over_the_limit = [](bool signal_ignored) {
        const pid_t child = fork();
        if (child == 0) {
            if (signal_ignored) std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{64, 64};
            setrlimit(RLIMIT_FSIZE, &limit);
            try {
                if (signal_ignored && copy_file_over("big", "copy")) _exit(3);
                replace_file_atomically("sdn_meta.dat", std::string(4096, 'x'));
            } catch (const IoFailure& e) {
                _exit(std::string(e.what()).rfind("cannot write sdn_meta.dat: ", 0) == 0 ? 0 : 2);
            }
            _exit(1);
        }
        int raw = 0;
        waitpid(child, &raw, 0);
        return raw;
    };
    EXPECT_EQ(write_over_the_limit(true), 0) << "no I/O failure naming the file";
    EXPECT_EQ(read_file("sdn_meta.dat"), "previous step\n");
    // A rename that fails (a directory holds the name) leaves no part file either.
    fs::create_directories("taken/x");
    std::string message;
    EXPECT_EQ(status_of([] { replace_file_atomically("taken", "x"); }, &message), 2);
    EXPECT_EQ(message, "cannot replace taken: Is a directory");
    EXPECT_EQ(list_matching(".", ".quorin-part-*"), std::vector<std::string>{});
    const CounterStep lost = next_counter_value("none/count");  // a counter that cannot be written says so
    EXPECT_TRUE(lost.value == 1 && !lost.recorded);

    // Killed in the middle of the write (SIGXFSZ's own action): the partial
    // file stays behind, and is what the next call's clean-up removes.
    const int raw = write_over_the_limit(false);
    ASSERT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGXFSZ);
    EXPECT_EQ(read_file("sdn_meta.dat"), "previous step\n");
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 4);
    remove_partial_files(".");
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 3);
    EXPECT_EQ(read_file("sdn_meta.dat"), "previous step\n");
}

}  // namespace
}  // namespace quorin
