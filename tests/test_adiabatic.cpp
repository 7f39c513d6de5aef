// The adiabatic step through the whole program with the stand-ins: what a
// step hands back when the inner job or its checkpoint goes wrong.
#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

const std::string kConfig = "config.toml";
const std::string kStandinLog = "standin.log";

void write_config() { write_file(kConfig, "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\n"); }

// One call at the start geometry moved by s along the crossing stretch.
ProcessResult call_at(double s, const std::string& faults = "") {
    write_external_input(1, s);
    fs::remove("out.EOu");
    std::string env = "QUORIN_STANDIN_LOG='" + fs::absolute(kStandinLog).string() + "'";
    if (!faults.empty()) env += " QUORIN_STANDIN_FAULTS=" + faults;
    fs::remove(kStandinLog);
    return external_call(kConfig, env);
}

std::string g16_calls() {
    std::string calls;
    for (const auto& line : lines_of(read_file(kStandinLog)))
        if (line.rfind("g16 ", 0) == 0) calls += line + "\n";
    return calls;
}

bool has_line(const std::string& out, const std::string& line) { return ("\n" + out).find("\n" + line + "\n") != std::string::npos; }

TEST(Adiabatic, ADamagedOrEmptyCheckpointCostsOneRerunNotTheStep) {
    ScratchDir dir;
    write_config();
    ASSERT_EQ(call_at(0.0).status, 0);
    const ProcessResult clean = call_at(0.1);
    ASSERT_EQ(clean.status, 0) << clean.out;
    const std::string want = read_file("out.EOu");
    ASSERT_FALSE(want.empty());

    // A checkpoint damaged by a crashed node: the job that reads it fails,
    // the checkpoint goes, the job runs once more from a fresh guess.
    write_file("temp/tddft_pelun.chk", "garbage after a node crash\n");
    ProcessResult r = call_at(0.1);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file("out.EOu"), want);
    EXPECT_EQ(g16_calls(), "g16 force root=1 nstate=3 guess_read=1 td_read=0 error\n"
                           "g16 force root=1 nstate=3 guess_read=0 td_read=0\n");
    EXPECT_TRUE(has_line(r.out, " WARNING: The inner job failed after reading its guess from temp/tddft_pelun.chk "
                                "(temp/tddft_pelun.log)."))
        << r.out;
    EXPECT_TRUE(has_line(r.out, "          Removing the checkpoint and running the job once more from a fresh guess."));

    // An empty checkpoint is no guess at all: nothing is read from it.
    write_file("temp/tddft_pelun.chk", "");
    r = call_at(0.1);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file("out.EOu"), want);
    EXPECT_EQ(g16_calls(), "g16 force root=1 nstate=3 guess_read=0 td_read=0\n");
    EXPECT_EQ(r.out.find("Found previous chk file"), std::string::npos);
}

TEST(Adiabatic, FailedOrForeignInnerJobsHandNothingBack) {
    ScratchDir dir;
    write_config();
    struct Case {
        std::string faults, error, g16;
    };
    const Case cases[] = {
        // Forces without the excited-state energy.
        {"no_energy", " ERROR: Energy not found in log file", "g16 force root=1 nstate=3 guess_read=0 td_read=0\n"},
        // A forces table, then Error termination: the job failed.
        {"error_after_forces", " ERROR: Gaussian reported Error termination in temp/tddft_pelun.log",
         "g16 force root=1 nstate=3 guess_read=0 td_read=0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        fs::remove_all("temp");
        const ProcessResult r = call_at(0.0, c.faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has_line(r.out, c.error)) << r.out;
        EXPECT_FALSE(fs::exists("out.EOu"));
        EXPECT_EQ(g16_calls(), c.g16);
    }

    // With a guess to blame, the failing job gets its one rerun, no more.
    ASSERT_EQ(call_at(0.0).status, 0);
    ProcessResult r = call_at(0.1, "error_after_forces");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(g16_calls(), "g16 force root=1 nstate=3 guess_read=1 td_read=0\n"
                           "g16 force root=1 nstate=3 guess_read=0 td_read=0\n");
    EXPECT_FALSE(fs::exists("out.EOu"));

    // A job that left the previous step's checkpoint behind: its formatted
    // checkpoint holds another geometry, and nothing is handed back.
    ASSERT_EQ(call_at(0.0).status, 0);
    r = call_at(0.01, "no_chk");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(" ERROR: temp/tddft_pelun.fchk does not belong to this step's geometry: coordinate 2 of "
                         "atom 2 is "),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists("out.EOu"));
    // A shift of 1e-5 bohr lies within the rounding of the inner input.
    r = call_at(0.00001, "no_chk");
    EXPECT_EQ(r.status, 0) << r.out;
}

}  // namespace
}  // namespace quorin
