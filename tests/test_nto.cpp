// NTO module: readers, range, SNTO sums, summary files, snapshots, the tool
// command texts and the choice of the matching state.  No NTO tool exists
// here, so every file a tool would leave is made beforehand and the commands
// are checked through the shell command log.

#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>

#include "module_nto.hpp"
#include "outside_programs.hpp"
#include "test_support.hpp"

namespace quorin {
namespace {

using test::CaptureStdout;
using test::read_file;
using test::status_of;
using test::write_file;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::string fch_header(const char* name, const char* kind, long long value) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-40s   %s%12lld\n", name, kind, value);
    return buf;
}

std::string fch_section(const char* name, const std::vector<double>& v) {
    std::string s = fch_header(name, "R   N=", static_cast<long long>(v.size()));
    char buf[32];
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%16.8E", v[i]);
        s += buf;
        if (i % 5 == 4 || i + 1 == v.size()) s += "\n";
    }
    return s;
}

// A formatted-checkpoint text whose alpha orbital energies are `alpha`.
std::string fch(const std::vector<double>& alpha, const std::vector<double>* beta = nullptr) {
    std::string s = "NTO file\nSP        RB3LYP                                                      6-31G\n";
    s += fch_header("Number of basis functions", "I     ", static_cast<long long>(alpha.size()));
    s += fch_section("Alpha Orbital Energies", alpha);
    if (beta) s += fch_section("Beta Orbital Energies", *beta);
    return s + fch_section("Total SCF Density", {1.0, 2.0});
}

// The number at the end of the first output line starting with `head`.
double value_after(const std::vector<std::string>& lines, const std::string& head) {
    for (const auto& l : lines)
        if (l.rfind(head, 0) == 0) return std::strtod(l.c_str() + head.size(), nullptr);
    ADD_FAILURE() << "no line starting with \"" << head << "\"";
    return -99.0;
}

class Nto : public ::testing::Test {
protected:
    void SetUp() override {
        CaptureStdout quiet;
        set_nto_overlap_inttype(1);
        set_nto_vosksnto_flag(false);
        set_nto_threshold(0.3);
        set_snto_debug_flag(false);
        clear_shell_command_log();
    }
    const std::vector<std::string>& cmds() { return shell_command_log(); }
    struct Result {
        int best = -1;
        double value = 0;
        std::vector<double> snto;
    };
    Result match(const std::vector<int>& states) {
        Result r;
        match_nto_states("temp/old.fch", "temp/tddft_pelun.fchk", "2,3", states, r.best, r.value, r.snto);
        return r;
    }
    test::ScratchDir dir;
};

TEST_F(Nto, UnsupportedInttypeWarnsFallsBackAndInvalidatesTemplates) {
    for (int given : {0, 3, 2}) {
        templates_ready = true;
        CaptureStdout out;
        set_nto_overlap_inttype(given);
        const bool bad = given != 2;
        EXPECT_EQ(out.text(), bad ? " WARNING: Unsupported inttype=           " + std::to_string(given) +
                                        " , defaulting to 1\n" : "");
        EXPECT_EQ(overlap_inttype, bad ? 1 : 2);
        EXPECT_FALSE(templates_ready);
    }
}

TEST_F(Nto, BasisFunctionCountComesFromTheFirstHeaderAndIsChecked) {
    // Only the first 19 characters name the line; the value starts in column 50.
    write_file("a.fch", pad("Number of basis funny", 47) + "99           7\r\n" +
                            fch_header("Number of basis functions", "I     ", 9));
    EXPECT_EQ(read_nif_from_fch("a.fch  "), 7);

    CaptureStdout out;
    std::string msg;
    EXPECT_EQ(status_of([] { read_nif_from_fch("missing.fch"); }), 1);
    write_file("b.fch", fch_section("Alpha Orbital Energies", {1.0}));
    EXPECT_EQ(status_of([] { read_nif_from_fch("b.fch"); }), 1);
    write_file("c.fch", fch_header("Number of basis functions", "I     ", 0).replace(55, 4, "  x1"));
    EXPECT_EQ(status_of([] { read_nif_from_fch("c.fch"); }, &msg), 2);
    EXPECT_THAT(msg, HasSubstr("c.fch"));
    EXPECT_THAT(msg, HasSubstr("x1"));
    for (long long absurd : {-5LL, 10000001LL, 99999999999LL}) {
        write_file("d.fch", fch_header("Number of basis functions", "I     ", absurd));
        EXPECT_EQ(status_of([] { read_nif_from_fch("d.fch"); }), 1) << absurd;
    }
    auto lines = out.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], " ERROR: Cannot open fch file: missing.fch");
    EXPECT_EQ(lines[1], " ERROR: Could not find number of basis functions in b.fch");
    for (int i = 2; i < 5; ++i) {
        EXPECT_THAT(lines[i], ::testing::StartsWith(" ERROR: "));
        EXPECT_THAT(lines[i], HasSubstr("d.fch"));
    }
}

TEST_F(Nto, OrbitalEnergiesWithAndWithoutBeta) {
    std::vector<double> a{0.1, -0.2, 0.3, 0.4, 0.5, 0.6, -0.7}, b{1, 2, 3, 4, 5, 6, 7};
    write_file("ab.fch", fch(a, &b));
    write_file("a.fch", fch(a));
    std::vector<double> alpha, beta;
    bool found = false;
    read_orbital_energies_from_fch("ab.fch", 7, alpha, &beta, &found);
    EXPECT_EQ(alpha, a);
    EXPECT_EQ(beta, b);
    EXPECT_TRUE(found);

    CaptureStdout out;
    read_orbital_energies_from_fch("a.fch", 7, alpha, &beta, &found);
    EXPECT_EQ(alpha, a);
    EXPECT_EQ(beta, std::vector<double>(7, 0.0));
    EXPECT_FALSE(found);
    found = true;
    read_orbital_energies_from_fch("ab.fch", 7, alpha, nullptr, &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(out.text(), "");

    // More values asked for than the section holds: the read runs into the
    // next header and fails naming the file.
    std::string msg;
    EXPECT_EQ(status_of([&] { read_orbital_energies_from_fch("a.fch", 11, alpha); }, &msg), 2);
    EXPECT_THAT(msg, HasSubstr("a.fch"));
    EXPECT_EQ(status_of([&] { read_orbital_energies_from_fch("a.fch", -1, alpha); }), 1);
}

TEST_F(Nto, RangeFollowsMagnitudesAboveTheThreshold) {
    std::string range;
    int count = -1;
    CaptureStdout out;
    write_file("r.fch", fch({0.01, -0.45, 0.2, 0.9, 0.05}));
    find_nto_range("r.fch", 0.3, range, count);
    EXPECT_EQ(range, "2,4");
    EXPECT_EQ(count, 2);
    write_file("r.fch", fch({0.3, 0.5, -0.3, 0.25}));
    find_nto_range("r.fch", 0.3, range, count);
    EXPECT_EQ(range, "2,2");
    EXPECT_EQ(count, 1);
    EXPECT_EQ(out.text(), "");

    write_file("r.fch", fch(std::vector<double>(112, -0.3)));
    find_nto_range("r.fch", 0.3, range, count);
    EXPECT_EQ(range, "1,112");
    EXPECT_EQ(count, 112);
    EXPECT_THAT(out.lines(), ElementsAre(" WARNING: No orbitals found with eigenvalue >   0.29999999999999999     ",
                                         "          Using all orbitals as fallback"));
}

TEST_F(Nto, SntoSumsWeightedDiagonalOverlapsInRange) {
    write_file("ref.fch", fch({0.9, 0.9, 0.5, -0.3, 0.1, 0.9}));
    write_file("ov.txt",
               "3 3 0.9\n\n4 4 0.7\nx y z\n4 4 -0.8\r\n4 5 0.7\n5 5 /\n0 0 5\n7 7 5\n-1 -1 5\n6 6\n2 2 0.5 extra\n");
    EXPECT_THAT(read_overlap_integral_file("ov.txt", 6), ElementsAre(0.0, 0.5, 0.9, -0.8, 0.0, 0.0));
    EXPECT_NEAR(calculate_snto("ref.fch", "ov.txt", "3,5"), 0.69, 1e-12);
    EXPECT_NEAR(calculate_snto("ref.fch", "ov.txt", " 3 , 5  "), 0.69, 1e-12);
    EXPECT_EQ(calculate_snto("ref.fch", "ov.txt", "5,3"), 0.0);
    EXPECT_NEAR(calculate_snto("ref.fch", "ov.txt", "-4,3"), 0.45 + 0.45, 1e-12);
    write_file("two.fch", fch({0.5, 0.25}));
    write_file("ov2.txt", "1 1 0.5\n2 2 -1\n3 3 1\n");
    EXPECT_NEAR(calculate_snto("two.fch", "ov2.txt", "0,3"), 0.5, 1e-15);

    CaptureStdout out;
    std::string msg;
    EXPECT_EQ(status_of([] { calculate_snto("ref.fch", "ov.txt", "3"); }), 1);
    EXPECT_EQ(status_of([] { calculate_snto("ref.fch", "none.txt", "3,5"); }), 1);
    EXPECT_EQ(status_of([] { calculate_snto("ref.fch", "ov.txt", "a,5"); }, &msg), 2);
    EXPECT_THAT(msg, HasSubstr("a,5"));
    EXPECT_THAT(out.lines(), ElementsAre(" ERROR: Invalid range format: 3", " ERROR: Cannot open overlap file: none.txt"));
}

TEST_F(Nto, SummaryRowsCountInsideTheBlockWithStatusZero) {
    write_file("s.snto",
               "2 0.99 0 0 x 0\nBEGIN_STATES extra\n# 3 0.9 0 0 x 0\n! 4 0.9 0 0 x 0\n\n"
               "  3  0.7  0.0 0.0  x  0\r\n 4 0.5 0 0 'two words' 0\n5 0.6 0 0 x 1\n6 0.4 0 0 x\n"
               "3 0.8 0 0 x 0\n4 0.95 0 0 x 2\n7 oops 0 0 x 0\n    END_STATES here\n2 0.1 0 0 x 0\n");
    std::vector<double> v;
    read_sntofile_summary("s.snto", {2, 3, 4, 5, 6, 3, 7, 9}, v);
    EXPECT_THAT(v, ElementsAre(kNoSnto, 0.8, 0.5, kNoSnto, kNoSnto, 0.8, kNoSnto, kNoSnto));
    write_file("nobegin.snto", "3 0.7 0 0 x 0\nEND_STATES\n");
    read_sntofile_summary("nobegin.snto", {3}, v);
    EXPECT_THAT(v, ElementsAre(kNoSnto));

    CaptureStdout out;
    EXPECT_EQ(status_of([&] { read_sntofile_summary("gone.snto", {3}, v); }), 1);
    EXPECT_EQ(out.text(), " ERROR: Cannot open .snto file: gone.snto\n");
}

TEST_F(Nto, SnapshotNumbersCountAcrossCallsAndKeepAllDigits) {
    const std::string counter = "temp/debug_snapshots/.snto_counter";
    EXPECT_EQ(next_snto_snapshot_id(), 1);  // no directory: not recorded
    EXPECT_EQ(next_snto_snapshot_id(), 1);
    EXPECT_FALSE(file_exists(counter));
    make_dirs("temp/debug_snapshots");
    EXPECT_EQ(next_snto_snapshot_id(), 1);
    EXPECT_EQ(next_snto_snapshot_id(), 2);
    write_file(counter, "6\n");
    EXPECT_EQ(next_snto_snapshot_id(), 7);
    EXPECT_EQ(read_file(counter), "           7\n");
    write_file(counter, "seven\n");
    EXPECT_EQ(next_snto_snapshot_id(), 1);
    write_file(counter, "9999\n");
    EXPECT_EQ(next_snto_snapshot_id(), 10000);
    EXPECT_EQ(snapshot_number(7), "0007");
    EXPECT_EQ(snapshot_number(123), "0123");
    EXPECT_EQ(snapshot_number(10000), "10000");
    EXPECT_EQ(snapshot_number(1234567), "1234567");

    write_file("temp/snto.snto", "BEGIN_STATES\n");
    {
        CaptureStdout out;
        backup_snto_snapshot("temp/snto.snto", "old", 7);
        EXPECT_EQ(out.text(), "");
    }
    std::filesystem::remove_all("temp/debug_snapshots");
    set_snto_debug_flag(true);
    CaptureStdout out;
    backup_snto_snapshot("temp/snto.snto", "old ", 10001);
    backup_snto_snapshot("temp/none.snto", "nminus", 10001);
    EXPECT_EQ(read_file("temp/debug_snapshots/snto10001_old.snto"), "BEGIN_STATES\n");
    EXPECT_THAT(out.lines(), ElementsAre("  [Debug] Saved SNTO snapshot -> temp/debug_snapshots/snto10001_old.snto",
                                         "  [Debug] Skip SNTO backup: temp/none.snto not found"));
    EXPECT_TRUE(cmds().empty());
}

const char* kNtoTemplateText =
    "[excit]\n%process\n    nto state ${state}\n%command\n    mv ex_${state}.fchk temp/new_state${state}.fch\n"
    "    rm excit_${input}.out\nend\n\n";

std::string integral_template(const char* inttype, const char* matrix) {
    return std::string("[of2]\n%process\n    orb_integral inttype ") + inttype +
           " range ${range} fch2 ${fch2}\n%command\n    mv " + matrix + " ${fch2}.txt\n    rm of2_${input}.out\nend\n\n";
}

TEST_F(Nto, TemplatesAreWrittenOncePerScheme) {
    ensure_nto_templates();
    EXPECT_EQ(read_file("temp/NTO.bw"), kNtoTemplateText);
    EXPECT_EQ(read_file("temp/integral.bw"), integral_template("-1", "convmat.txt"));
    write_file("temp/integral.bw", "edited\n");
    ensure_nto_templates();
    EXPECT_EQ(read_file("temp/integral.bw"), "edited\n");
    set_nto_overlap_inttype(2);
    ensure_nto_templates();
    EXPECT_EQ(read_file("temp/integral.bw"), integral_template("-2", "Snormmat.txt"));
    EXPECT_EQ(read_file("temp/NTO.bw"), kNtoTemplateText);
    EXPECT_TRUE(cmds().empty());
}

TEST_F(Nto, GenerationCommandsCopiesAndMissingOutputs) {
    CaptureStdout out;
    write_file("temp/new_state3.fch", "three\n");
    write_file("temp/new_state5.fch", "five\n");
    calculate_nto_for_state("temp/tddft_pelun.fchk", 3, "temp/old.fch");
    EXPECT_EQ(read_file("temp/old.fch"), "three\n");
    calculate_nto_for_state("temp/tddft_pelun.fchk", 5, "temp/new_state5.fch");
    EXPECT_EQ(read_file("temp/new_state5.fch"), "five\n");
    EXPECT_EQ(status_of([] { calculate_nto_for_state("temp/tddft_pelun.fchk", 4, "temp/old.fch"); }), 1);
    calculate_nto_for_states_batch("temp/tddft_pelun.fchk", {4}, "temp/new_state", ".fch");
    calculate_nto_for_states_batch("temp/tddft_pelun.fchk", {}, "temp/new_state", ".fch");
    EXPECT_THAT(cmds(), ElementsAre("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v state=3",
                                    "voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v state=5",
                                    "voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v state=4",
                                    "voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v 'state=(4)'",
                                    "voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v 'state=()'"));
    EXPECT_THAT(out.lines(), Contains(" ERROR: Expected template output file not found: temp/new_state4.fch"));
    EXPECT_THAT(out.lines(), Contains("          voskwfn may have failed for state            4"));

    clear_shell_command_log();
    set_nto_vosksnto_flag(true);
    calculate_nto_for_state("temp/tddft_pelun.fchk", 3, "temp/old.fch");
    EXPECT_EQ(status_of([] { calculate_nto_for_state("temp/tddft_pelun.fchk", 2, "temp/x.fch"); }), 1);
    calculate_nto_for_states_batch("temp/tddft_pelun.fchk", {3, 6}, "temp/new_state", ".fch");
    EXPECT_THAT(cmds(), ElementsAre("voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --state 3 "
                                    "--outfch 'temp/old.fch'",
                                    "voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --state 2 "
                                    "--outfch 'temp/x.fch'",
                                    "voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --state 3 "
                                    "--outfch 'temp/new_state3.fch' --state 6 --outfch 'temp/new_state6.fch'"));
    auto lines = out.lines();
    EXPECT_THAT(lines, Contains(" ERROR: Expected output file not found: temp/x.fch"));
    EXPECT_THAT(lines, Contains(" WARNING: Expected output file not found: temp/new_state6.fch"));
    EXPECT_THAT(lines, Not(Contains(" WARNING: Expected output file not found: temp/new_state3.fch")));
}

TEST_F(Nto, OverlapCommandsAndMissingOverlapFiles) {
    CaptureStdout out;
    write_file("temp/new_state2.fch.txt", "2 2 1\n");
    calculate_nto_overlap_batch("temp/old.fch", {"temp/new_state2.fch", "temp/new_state3.fch"}, "3,5",
                                {"temp/new_state2.fch.txt", "temp/new_state3.fch.txt"});
    calculate_nto_overlap("temp/old.fch", "temp/new_state2.fch", "3,5", "temp/new_state2.fch.txt");
    EXPECT_EQ(status_of([] { calculate_nto_overlap("temp/old.fch", "temp/b.fch", "3,5", "temp/b.fch.txt"); }), 1);
    EXPECT_THAT(cmds(), ElementsAre("voskwfn temp/integral.bw temp/old.fch -v range=3,5 -v "
                                    "'fch2=(temp/new_state2.fch temp/new_state3.fch)'",
                                    "voskwfn temp/integral.bw temp/old.fch -v range=3,5 -v fch2=temp/new_state2.fch",
                                    "voskwfn temp/integral.bw temp/old.fch -v range=3,5 -v fch2=temp/b.fch"));
    auto lines = out.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("WARNING") != l.npos; }), 1);
    EXPECT_THAT(lines, Contains(" WARNING: Expected overlap file not found: temp/new_state3.fch.txt"));
    EXPECT_THAT(lines, Contains("          voskwfn may have failed for file temp/new_state3.fch"));
    EXPECT_THAT(lines, Contains(" ERROR: Expected overlap file not found: temp/b.fch.txt"));
}

// voskwfn matching over range 2,3: the reference old.fch weighs only orbital
// 2 and n-1.fch only orbital 3, so s2 is a candidate's value against old.fch
// and s3 its value against n-1.fch.
void candidates(const std::vector<int>& states, const std::vector<double>& s2, const std::vector<double>& s3) {
    write_file("temp/old.fch", fch({0.0, 1.0, 0.0}));
    for (std::size_t i = 0; i < states.size(); ++i) {
        std::string name = "temp/new_state" + std::to_string(states[i]) + ".fch";
        write_file(name, "nto\n");
        char buf[96];
        std::snprintf(buf, sizeof buf, "2 2 %.17g\n3 3 %.17g\n", s2[i], s3[i]);
        write_file(name + ".txt", buf);
    }
}

TEST_F(Nto, VoskwfnMatchingWithAndWithoutTheOlderReference) {
    const std::vector<int> states{2, 3, 4};
    {
        CaptureStdout out;
        candidates(states, {0.625, 0.59375, 0.5}, {0.3, 0.4, 0.9});
        Result r = match(states);
        EXPECT_EQ(r.best, 2);
        EXPECT_EQ(r.value, 0.625);
        EXPECT_THAT(r.snto, ElementsAre(0.625, 0.59375, 0.5));
        EXPECT_THAT(out.lines(), Not(Contains(HasSubstr("Near-degenerate"))));
        EXPECT_THAT(out.lines(), Contains("  Checking            3  states:            2           3           4"));
        EXPECT_EQ(cmds().size(), 2u);
    }
    write_file("temp/n-1.fch", fch({0.0, 0.0, 1.0}));
    clear_shell_command_log();
    CaptureStdout out;
    Result r = match(states);
    EXPECT_EQ(r.best, 3);  // 0.59375 is within the inclusive 5 % bound and wins against n-1.fch
    EXPECT_EQ(r.value, 0.59375);
    EXPECT_THAT(cmds(), ElementsAre("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v 'state=(2 3 4)'",
                                    "voskwfn temp/integral.bw temp/old.fch -v range=2,3 -v "
                                    "'fch2=(temp/new_state2.fch temp/new_state3.fch temp/new_state4.fch)'",
                                    "voskwfn temp/integral.bw temp/n-1.fch -v range=2,3 -v "
                                    "'fch2=(temp/new_state2.fch temp/new_state3.fch)'"));
    EXPECT_FALSE(file_exists("temp/new_state2.fch.txt"));
    EXPECT_FALSE(file_exists("temp/new_state3.fch.txt"));
    EXPECT_TRUE(file_exists("temp/new_state4.fch.txt"));
    auto lines = out.lines();
    EXPECT_NEAR(value_after(lines, "  WARNING: Near-degenerate candidate: state            3  delta ="), 0.05, 1e-15);
    EXPECT_THAT(lines, Contains(HasSubstr("  State            3 : n-1.fch SNTO =   0.40000000000000002")));
    const std::vector<std::string> tail(lines.end() - 5, lines.end());
    EXPECT_THAT(tail, ElementsAre(" ", " Resolved best state after near-degenerate check:           3", " ",
                                  "  Final best matching state:            3",
                                  "  Best SNTO value:   0.59375000000000000     "));

    // A tie against n-1.fch keeps the first-pass best; 0.76 against 0.80 is out.
    candidates(states, {0.625, 0.59375, 0.5}, {0.5, 0.5, 0.9});
    EXPECT_EQ(match(states).value, 0.625);
    candidates(states, {0.8, 0.76, 0.2}, {0.1, 0.9, 0.9});
    clear_shell_command_log();
    EXPECT_EQ(match(states).best, 2);
    EXPECT_EQ(cmds().size(), 2u);
    candidates(states, {0.8, 0.8, 0.2}, {0.5, 0.5, 0.9});
    EXPECT_EQ(match(states).best, 2);

    // A tiny best value: absolute differences decide and are what is printed.
    candidates(states, {1e-9, 0.0, 0.0}, {0.0, 0.1, 0.05});
    CaptureStdout tiny;
    r = match(states);
    EXPECT_EQ(r.best, 3);
    EXPECT_EQ(r.value, 0.0);
    EXPECT_EQ(value_after(tiny.lines(), "  WARNING: Near-degenerate candidate: state            3  delta ="), 1e-9);
}

// Summary file rows "state value 0 0 x 0".
void summary(const std::string& file, const std::vector<int>& states, const std::vector<double>& v) {
    std::string s = "header\nBEGIN_STATES\n";
    char buf[96];
    for (std::size_t i = 0; i < states.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%d %.17g 0.0 0.0 x 0\n", states[i], v[i]);
        s += buf;
    }
    write_file(file, s + "END_STATES\n");
}

TEST_F(Nto, VoskSntoMatchingCommandsSnapshotsAndCleanUp) {
    set_nto_vosksnto_flag(true);
    CaptureStdout out;
    summary("temp/snto.snto", {1, 3}, {0.80, 0.80});  // state 2 missing, a tie
    Result r = match({1, 2, 3});
    EXPECT_EQ(r.best, 1);
    EXPECT_THAT(r.snto, ElementsAre(0.80, kNoSnto, 0.80));
    EXPECT_THAT(cmds(), ElementsAre("voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --oldfch "
                                    "'temp/old.fch' --autorange 0.300000 --otype 1 --sntofile 'temp/snto.snto' "
                                    "--state 1 --outfch 'temp/new_state1.fch' --state 2 --outfch "
                                    "'temp/new_state2.fch' --state 3 --outfch 'temp/new_state3.fch'"));
    EXPECT_FALSE(file_exists("temp/snto.snto"));
    EXPECT_EQ(status_of([&] { match({1}); }), 1);

    // Debug, scheme 2, an older reference and a counter standing at 6.
    set_snto_debug_flag(true);
    set_nto_overlap_inttype(2);
    set_nto_threshold(0.05);
    write_file("temp/debug_snapshots/.snto_counter", "6\n");
    write_file("temp/n-1.fch", "older\n");
    summary("temp/snto.snto", {2, 3, 4}, {0.77, 0.80, 0.10});
    summary("temp/snto_nminus.snto", {3, 2}, {0.5, 0.6});
    clear_shell_command_log();
    r = match({2, 3, 4});
    EXPECT_EQ(r.best, 2);
    EXPECT_EQ(r.value, 0.77);
    EXPECT_THAT(cmds(), ElementsAre(HasSubstr("--autorange 0.050000 --otype 2 --sntofile 'temp/snto.snto' "
                                              "--sntodebug --state 2 --outfch"),
                                    "voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --oldfch "
                                    "'temp/n-1.fch' --autorange 0.050000 --otype 2 --sntofile "
                                    "'temp/snto_nminus.snto' --sntodebug --state 3 --outfch "
                                    "'temp/new_state3.fch' --state 2 --outfch 'temp/new_state2.fch'"));
    EXPECT_TRUE(file_exists("temp/debug_snapshots/snto0007_old.snto"));
    EXPECT_EQ(read_file("temp/debug_snapshots/snto0007_nminus.snto"), read_file("temp/snto_nminus.snto"));
    EXPECT_TRUE(file_exists("temp/snto.snto"));
    EXPECT_THAT(out.lines(), Not(Contains(HasSubstr("Resolved best state"))));
    EXPECT_THAT(out.lines(), Contains("  [Debug] Saved SNTO snapshot -> temp/debug_snapshots/snto0007_nminus.snto"));
}

TEST_F(Nto, LongBatchesReachTheToolsWholeAndEmptyListsChooseNothing) {
    std::vector<int> states;
    for (int s = 2; s <= 31; ++s) states.push_back(s);
    std::vector<double> s2(30, 0.1), s3(30, 0.0);
    s2[29] = 0.9;
    candidates(states, s2, s3);
    CaptureStdout out;
    EXPECT_EQ(match(states).best, 31);
    ASSERT_EQ(cmds().size(), 2u);
    EXPECT_THAT(cmds()[0], HasSubstr("'state=(2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 "
                                     "27 28 29 30 31)'"));
    EXPECT_GT(cmds()[1].size(), 600u);
    EXPECT_THAT(cmds()[1], ::testing::EndsWith(" temp/new_state30.fch temp/new_state31.fch)'"));
    EXPECT_THAT(out.lines(), Contains(AllOf(::testing::StartsWith("  Checking           30  states:            2"),
                                            ::testing::EndsWith("          10          11"))));
    EXPECT_THAT(out.lines(), Contains("   ... and           20  more states"));

    set_nto_vosksnto_flag(true);
    summary("temp/snto.snto", states, s2);
    clear_shell_command_log();
    EXPECT_EQ(match(states).best, 31);
    ASSERT_EQ(cmds().size(), 1u);
    EXPECT_GT(cmds()[0].size(), 1300u);
    EXPECT_THAT(cmds()[0], ::testing::EndsWith(" --state 31 --outfch 'temp/new_state31.fch'"));

    for (bool engine : {true, false}) {
        set_nto_vosksnto_flag(engine);
        clear_shell_command_log();
        Result r = match({});
        EXPECT_EQ(r.best, 0);
        EXPECT_EQ(r.value, kNoSnto);
        EXPECT_TRUE(r.snto.empty());
        EXPECT_TRUE(cmds().empty());
    }
}

}  // namespace
}  // namespace quorin
