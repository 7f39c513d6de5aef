// NTO module: basis count, range, SNTO sums, summary files, snapshot numbers,
// the tool command texts and templates, and the choice of the matching
// state.  No NTO tool runs here: every file a tool would leave is made
// beforehand and the commands are checked through the shell command log.
// The workflow tests run the matching against the stand-in tools.

#include <gmock/gmock.h>

#include <algorithm>

#include "module_nto.hpp"
#include "outside_programs.hpp"
#include "test_support.hpp"
#include "work_files.hpp"

namespace quorin {
namespace {

using namespace test;
using namespace ::testing;

std::string fch_header(const char* name, const char* kind, long long value) {
    return strf("%-40s   %s%12lld\n", name, kind, value);
}

// A formatted-checkpoint text whose alpha orbital energies are `alpha`, of
// `nbasis` basis functions (as many as there are orbitals when not given).
std::string fch(const std::vector<double>& alpha, long long nbasis = 0) {
    const auto n = static_cast<long long>(alpha.size());
    std::string s = "NTO file\n" + fch_header("Number of basis functions", "I     ", nbasis ? nbasis : n) +
                    fch_header("Alpha Orbital Energies", "R   N=", n);
    for (std::size_t i = 0; i < alpha.size(); ++i)
        s += strf("%16.8E", alpha[i]) + (i % 5 == 4 || i + 1 == alpha.size() ? "\n" : "");
    return s;
}

std::string I11(int n) { return std::string(11 - std::to_string(n).size(), ' ') + std::to_string(n); }

class Nto : public Test {
protected:
    struct Result { int best = -1; double value = 0; std::vector<double> snto; double own = 0; };
    Result match(const std::vector<int>& states) {
        const MatchReferences refs{"temp/old.fch", fs::exists("temp/n-1.fch") ? std::optional<std::string>("temp/n-1.fch")
                                                                                : std::nullopt};
        const MatchResult m = NtoEngine(settings).match_nto_states(refs, "temp/tddft_pelun.fchk", "2,3", states);
        return Result{m.best_state, m.best_snto, m.snto, m.own_snto};
    }
    NtoSettings settings;  // inttype 1, threshold 0.3, voskwfn, no debug
    ScratchDir dir;
};

TEST_F(Nto, UnsupportedInttypeAndAbsurdBasisCounts) {
    for (int given : {0, 3, 2}) {
        CaptureStdout out;
        NtoEngine engine(NtoSettings{.overlap_inttype = given});
        EXPECT_EQ(out.text(), given == 2 ? "" : " WARNING: Unsupported inttype=           " +
                                                    std::to_string(given) + " , defaulting to 1\n");
        EXPECT_EQ(engine.settings().overlap_inttype, given == 2 ? 2 : 1);
        engine.ensure_nto_templates();  // the integral template follows the scheme
        EXPECT_THAT(read_file("temp/integral.bw"), HasSubstr(given == 2 ? "inttype -2" : "inttype -1"));
    }
    // Damaged files: the message naming the file and the status (2: an I/O failure). Read for the basis count
    // (nif 0), else for nif orbital energies; counts negative, beyond the bound, beyond 32 bits.
    const std::string nbf = "Number of basis functions";
    struct Damaged { std::string text; int nif, status; std::string said; };
    for (const Damaged& c : std::vector<Damaged>{
             {fch_header(nbf.c_str(), "I     ", -5), 0, 1, " ERROR: Invalid number of basis functions (-5) in d.fch\n"},
             {fch_header(nbf.c_str(), "I     ", 10000001), 0, 1, " ERROR: Invalid number of basis functions (10000001) in d.fch\n"},
             {fch_header(nbf.c_str(), "I     ", 99999999999), 0, 1, " ERROR: Invalid number of basis functions (99999999999) in d.fch\n"},
             {nbf + "   I   twelve\n", 0, 2, "end of data while reading an integer in d.fch"},
             {"Number of electrons   I  12\n", 0, 1, " ERROR: Could not find number of basis functions in d.fch\n"},
             {fch({0.5}), -1, 1, " ERROR: Invalid number of orbital energies (-1) for d.fch\n"},
             {"Beta Orbital Energies    R  N=  1\n 0.5\n", 1, 1, " ERROR: Alpha orbital energies not found in d.fch\n"},
             {"Alpha Orbital Energies    R  N=  2\n 0.5 x\n", 2, 2,
              "value 1 of 2 is missing or cut short in the alpha orbital energy section of d.fch"},
             {fch({0.5}) + "Beta Orbital Energies    R  N=  1\n x\n", 1, -1, ""}}) {  // beta is only read when asked for
        write_file("d.fch", c.text);
        const Outcome o = outcome_of([&] {
            c.nif ? (void)read_orbital_energies_from_fch("d.fch", c.nif) : (void)read_nif_from_fch("d.fch");
        });
        EXPECT_EQ(strf("%d", o.status) + o.out + o.failure, strf("%d", c.status) + c.said) << c.text;
    }
    write_file("d.fch", fch({0.5, 0.75}) + "Beta Orbital Energies    R  N=  2\n  2.50000000E-01 -1.25000000E-01\n");  // an open shell
    EXPECT_EQ(read_orbital_energies_from_fch("d.fch", 2, true).beta, std::vector<double>({0.25, -0.125}));
    write_file("d.fch", fch({0.5}) + "Beta Orbital Energies    R  N=  1\n x\n");  // asked for, it must read
    EXPECT_EQ(outcome_of([] { (void)read_orbital_energies_from_fch("d.fch", 1, true); }).failure,
              "value 1 of 1 is missing or cut short in the beta orbital energy section of d.fch");
}

TEST_F(Nto, RangeAndSntoSums) {
    const struct { std::vector<double> eig; std::string range; int count; } ranges[] = {
        {{0.01, -0.45, 0.2, 0.9, 0.05}, "2,4", 2},            // |e| counts; 0.2 lies inside, uncounted
        {{0.3, 0.5, -0.3, 0.25}, "2,2", 1},                   // equal to the threshold is not above it
        {{-0.3, 0.1, 0.3, 0.0, 0.2, 0.3, -0.25}, "1,7", 7},   // none above: every orbital, of 7 among 9 functions
        {{}, "1,0", 0}};                                      // no basis functions: no orbital, not a damaged file
    for (const auto& c : ranges) {
        write_file("r.fch", fch(c.eig, c.count == 7 ? 9 : 0));
        CaptureStdout out;
        const NtoRange r = find_nto_range("r.fch", 0.3);
        EXPECT_EQ(r.range_str + " " + std::to_string(r.count), c.range + " " + std::to_string(c.count));
        EXPECT_EQ(out.text(), c.count % 7 ? "" : " WARNING: No orbitals found with eigenvalue >   0.29999999999999999"
                                                 "     \n          Using all orbitals as fallback\n");
    }

    // Orbital 4's later line replaces the earlier one; blank, unreadable,
    // off-diagonal, null, out-of-range and short lines are skipped; extra items are
    // not read.  A range needs every overlap it covers: a gap is a failed
    // tool run; an overlap that is not a number gives the state no value.
    EXPECT_EQ(eigenvalue_weight({0.5, -0.25, 2}, -4, 2) + eigenvalue_weight({0.5, -0.25, 2}, 2, 9), 3.0);  // within the orbitals
    write_file("ref.fch", fch({0.9, 0.9, 0.5, -0.3, 0.1, 0.9}));
    write_file("ov.txt",
               "3 3 0.9\n\n4 4 0.7\nx y z\n4 4 -0.8\r\n4 5 0.7\n5 5 /\n1 , 0.75\n0 0 5\n7 7 5\n-1 -1 5\n6 6\n2 2 0.5 extra\n6 6 0.25\n");
    write_file("inf.txt", "1 1 0.25\n2 2 0.5\n3 3 -Infinity\n");
    EXPECT_THAT(read_overlap_integral_file("ov.txt", 6), ElementsAre(0.0, 0.5, 0.9, -0.8, 0.0, 0.25));
    const std::string gap = "        voskwfn may have failed\n";
    struct Sum { std::string file, range; double value; std::string said; };
    for (const Sum& c : std::vector<Sum>{
             {"ov.txt", " 3 , 4  ", 0.5 * 0.9 + 0.3 * 0.8, ""},
             {"ov.txt", "5,3", 0.0, ""},
             {"ov.txt", "6,9", 0.9 * 0.25, ""},
             {"ov.txt", "-4,3", 1, " ERROR: Overlap file ov.txt holds no diagonal entry for orbital 1 of the range -4,3\n" + gap},
             {"ov.txt", "4,9", 1, " ERROR: Overlap file ov.txt holds no diagonal entry for orbital 5 of the range 4,9\n" + gap},
             {"ov.txt", "3", 1, " ERROR: Invalid range format: 3\n"},
             {"inf.txt", "1,3", kNoSnto, " WARNING: inf.txt holds \"-Infinity\" as the overlap of orbital 3, not a number; "
                                        "state 4 gets no SNTO value.\n"}}) {
        double v = 0.0;
        const Outcome o = outcome_of([&] { v = calculate_snto("ref.fch", c.file, c.range, 4); });
        EXPECT_EQ(o.out, c.said) << c.range;
        if (c.value == 1) EXPECT_EQ(o.status, 1) << c.range;
        else EXPECT_NEAR(v, c.value, 1e-12) << c.range;
    }
}

TEST_F(Nto, SummaryRowsCountInsideTheBlockWithStatusZero) {
    write_file("s.snto",
               "2 0.99 0 0 x 0\nBEGIN_STATES extra\n# 3 0.9 0 0 x 0\n! 4 0.9 0 0 x 0\n\n"
               "  3  0.7  0.0 0.0  x  0\r\n 4 0.5 0 0 'two words' 0\n5 0.6 0 0 x 1\n6 0.4 0 0 x\n"
               "3 0.8 0 0 x 0\n4 0.95 0 0 x 2\n7 oops 0 0 x 0\n8 NaN 0 0 x 0\n, 0.65 0 0 x 0\n10 0.3 0 0 x /\n"
               "    END_STATES here\n2 0.1 0 0 x 0\n");
    // A whole row answers for its state whatever its status; a value that is
    // not a number is no value, said aloud.
    CaptureStdout out;
    const SntoSummary v = read_snto_summary("s.snto", {2, 3, 4, 5, 6, 3, 7, 9, 8, 1, 10});
    EXPECT_THAT(v.values, ElementsAre(kNoSnto, 0.8, 0.5, kNoSnto, kNoSnto, 0.8, kNoSnto, kNoSnto, kNoSnto, kNoSnto, kNoSnto));
    EXPECT_THAT(v.answered, ElementsAre(false, true, true, true, false, true, false, false, true, false, true));
    EXPECT_EQ(out.text(), " WARNING: s.snto gives state 8 the SNTO value \"NaN\", not a number; the state has no value.\n");
}

TEST_F(Nto, SnapshotNumbersCountOnAndKeepAllDigits) {
    const std::string counter = "temp/debug_snapshots/.snto_counter";
    // No directory: nothing recorded, so the same number again.
    EXPECT_EQ(std::vector<int>({next_snto_snapshot_id(), next_snto_snapshot_id()}), std::vector<int>({1, 1}));
    make_dirs("temp/debug_snapshots");
    for (auto [before, id] : std::vector<std::pair<std::string, int>>{{"6\n", 7}, {"seven\n", 1}, {"9999\n", 10000},
                                                                      {"2147483647\n", 1}}) {  // at its top: over again
        write_file(counter, before);
        EXPECT_EQ(next_snto_snapshot_id(), id);
        EXPECT_EQ(read_file(counter), " " + I11(id) + "\n");  // a free-form line
    }
    EXPECT_EQ(snapshot_number(10000), "10000");
}

// A tool that leaves no NTO file for the first step's state stops the call, the whole console
// (the runs that work are in the workflow tests).
TEST_F(Nto, SingleStateNtoMissing) {
    for (bool vosksnto : {false, true}) {
        NtoEngine engine({.use_vosksnto = vosksnto});
        const Outcome o = outcome_of([&] { engine.calculate_nto_for_state("temp/tddft_pelun.fchk", 4, "temp/old.fch"); });
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, vosksnto ? "  Calculating NTO for state            4  using voskSNTO\n  Command: voskSNTO --newnto "
                                         "'temp/tddft_pelun.fchk' temp/tddft_pelun.log --state 4 --outfch 'temp/old.fch'\n ERROR: "
                                         "Expected output file not found: temp/old.fch\n        voskSNTO may have failed\n"
                                       : "  Calculating NTO for state            4\n  Command: voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' "
                                         "-v state=4\n ERROR: Expected template output file not found: temp/new_state4.fch\n"
                                         "        voskwfn may have failed\n");
    }
    write_file("temp/new_state4.fch", "nto\n");  // voskwfn's own output, but no copy where it was asked for
    const Outcome o = outcome_of([&] { NtoEngine(settings).calculate_nto_for_state("temp/tddft_pelun.fchk", 4, "no/old.fch"); });
    EXPECT_EQ(o.status, 1);
    EXPECT_THAT(o.out, EndsWith(" ERROR: Expected output file not found: no/old.fch\n        voskwfn may have failed\n"));
}

// voskwfn matching over range 2,3: the reference old.fch weighs only orbital
// 2 (orbital 1 lies outside the range) and n-1.fch only orbital 3, so s2 is a
// candidate's value against old.fch and s3 its value against n-1.fch.
void candidates(const std::vector<int>& states, const std::vector<double>& s2, const std::vector<double>& s3) {
    write_file("temp/old.fch", fch({0.5, 1.0, 0.0}));
    write_file("temp/n-1.fch", fch({0.0, 0.0, 1.0}));
    for (std::size_t i = 0; i < states.size(); ++i) {
        std::string name = "temp/new_state" + std::to_string(states[i]) + ".fch";
        write_file(name, "nto\n");
        write_file(name + ".txt", strf("2 2 %.17g\n3 3 %.17g\n", s2[i], s3[i]));
    }
}

// Twelve candidates, the whole console: ten are listed, the rival within the
// inclusive 5 % bound is compared against n-1.fch and wins there; the value
// reported is its value against old.fch.
TEST_F(Nto, VoskwfnMatchingNearDegeneracyAgainstTheOlderReference) {
    QUORIN_FORTRAN_OR_SKIP();
    std::vector<int> states;
    std::vector<double> s2, s3;
    for (int s = 1; s <= 12; ++s)
        states.push_back(s), s2.push_back(s == 2 ? 0.625 : s == 3 ? 0.59375 : 0.125), s3.push_back(s == 3 ? 0.9 : 0.25);
    candidates(states, s2, s3);
    CaptureStdout out;
    Result r = match(states);
    EXPECT_EQ(r.best, 3);
    EXPECT_EQ(r.value, 0.59375);
    EXPECT_EQ(r.snto, s2);
    const auto f = gfortran({0.625, 0.59375, 0.125, (0.625 - 0.59375) / 0.625, 0.25, 0.9, 1.0});
    std::string checking, numbers, files, values;
    for (int s = 1; s <= 12; ++s) {
        checking += s <= 10 ? " " + I11(s) : "";
        numbers += (s > 1 ? " " : "") + std::to_string(s);
        files += (s > 1 ? " " : "") + ("temp/new_state" + std::to_string(s) + ".fch");
        values += "  State  " + I11(s) + " : SNTO = " + f[s == 2 ? 0 : s == 3 ? 1 : 2].free + "\n";
    }
    const std::string pair = "(temp/new_state2.fch temp/new_state3.fch)";
    EXPECT_EQ(out.text(), "  Matching NTO states...\n  Checking  " + I11(12) + "  states: " + checking + "\n   ... and  " +
                              I11(2) + "  more states\n  Calculating NTO for states in batch: (" + numbers +
                              ")\n  Command: voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v 'state=(" + numbers +
                              ")'\n  Calculating NTO overlap for states in batch: (" + files + ")\n  Command: voskwfn "
                              "temp/integral.bw temp/old.fch -v range=2,3 -v 'fch2=(" + files + ")'\n" + values +
                              "  WARNING: Near-degenerate candidate: state  " + I11(3) + "  delta = " + f[3].free +
                              "\n \n  Preparing near-degenerate check...\n  Calculating NTO overlap for states in batch: " +
                              pair + "\n  Command: voskwfn temp/integral.bw temp/n-1.fch -v range=2,3 -v 'fch2=" + pair +
                              "'\n   State  " + I11(2) + " : n-1.fch SNTO = " + f[4].free + "\n   State  " + I11(3) +
                              " : n-1.fch SNTO = " + f[5].free + "\n \n Resolved best state after near-degenerate check: " +
                              I11(3) + "\n \n  Final best matching state:  " + I11(3) + "\n  Best SNTO value: " + f[1].free +
                              "\n  Reference's own SNTO value: " + f[6].free + "\n");
    EXPECT_EQ(outcome_of([&] { EXPECT_EQ(match({}).best, 0); }).out, "  Matching NTO states...\n  Checking  " + I11(0) + "  states: \n"
              " \n  Final best matching state:  " + I11(0) + "\n  Best SNTO value:   -10000000000.000000     \n");  // no candidate
    // The overlaps of the second pass are removed, the others left for the workflow.
    EXPECT_FALSE(fs::exists("temp/new_state3.fch.txt") || fs::exists("temp/new_state2.fch.txt"));
    EXPECT_TRUE(fs::exists("temp/new_state4.fch.txt"));
}

// The matching rule on values.  Table: first choice, rivals (inclusive 5 %,
// absolute at a best <= 1e-8), the choice after tie-break values (none: no
// second pass), doubts at own value 1 and default shares (L low, A<place>
// ambiguous).  Generated: the same as properties of random values.
TEST(MatchingRule, ChoiceRivalsTieBreakAndDoubts) {
    const double no = kNoSnto;
    struct Case { std::vector<double> v, tie; int first; std::vector<std::size_t> rivals; std::size_t chosen; std::string doubts; };
    for (const Case& c : std::vector<Case>{
             {{no, no}, {}, -1, {}, 0, ""},
             {{no, 0.0, 0.0}, {}, 1, {2}, 1, "L"},                       // a best of 0 has no runner-up share
             {{0.3, 0.8, 0.77, 0.2}, {0.5, 0.6}, 1, {2}, 2, ""},         // 0.0375 is in; strictly better at the tie-break
             {{0.625, 0.59375, 0.55}, {0.5, 0.5}, 0, {1}, 0, "A2"},      // exactly 0.05 is in; a tie keeps the first
             {{0.8, 0.76, 0.8}, {no, no}, 0, {2}, 0, "A1"},              // 0.050000000000000044 is out
             {{0.45, 0.44, 0.1}, {}, 0, {1}, 0, "LA1"},                  // a rival without a second pass is ambiguous
             {{1e-9, 0.0, no}, {0.0, 0.1}, 0, {1}, 1, "L"},              // tiny best: absolute difference
             {{2e-8, 1e-8}, {}, 0, {}, 0, "L"}}) {                       // above 1e-8: relative again
        SCOPED_TRACE(PrintToString(c.v));
        const auto first = first_choice(c.v);
        EXPECT_EQ(first ? static_cast<int>(*first) : -1, c.first);
        if (!first) continue;
        const auto rivals = near_degenerate_rivals(c.v, *first);
        std::vector<std::size_t> at, compared;
        for (const NearRival& r : rivals) at.push_back(r.pos);
        EXPECT_EQ(at, c.rivals);
        if (!c.tie.empty()) compared = at, compared.insert(compared.begin(), *first);
        const std::size_t chosen = c.tie.empty() ? *first : resolve_near_tie(*first, rivals, c.tie);
        EXPECT_EQ(chosen, c.chosen);
        const Doubts d = doubts_about(c.v, chosen, compared, 1.0, {});
        EXPECT_EQ((d.low ? "L" : "") + (d.rival ? "A" + std::to_string(*d.rival) : ""), c.doubts);
    }
    std::mt19937_64 gen(19);
    const double grid[] = {kNoSnto, 0.0, 0.25, 0.59375, 0.625, 0.8, 1.0};
    auto pick = [&] { return gen() % 2 ? grid[gen() % 7] : std::ldexp(static_cast<double>(gen() % 1024), -10); };
    auto first_largest = [](const std::vector<double>& v, std::size_t at) {  // and no equal value before it
        return std::max_element(v.begin(), v.end()) - v.begin() == static_cast<std::ptrdiff_t>(at);
    };
    for (int t = 0; t < 3000; ++t) {
        std::vector<double> v(gen() % 7), tie{pick()};
        for (double& x : v) x = pick();
        const auto first = first_choice(v);
        ASSERT_EQ(first.has_value(), std::any_of(v.begin(), v.end(), [](double x) { return x > kNoSnto; }));
        if (!first) continue;
        EXPECT_TRUE(first_largest(v, *first));
        const auto rivals = near_degenerate_rivals(v, *first);
        std::vector<std::size_t> compared{*first};
        for (const NearRival& r : rivals) compared.push_back(r.pos), tie.push_back(pick());
        const std::size_t chosen = resolve_near_tie(*first, rivals, tie);
        EXPECT_TRUE(first_largest(tie, std::find(compared.begin(), compared.end(), chosen) - compared.begin()));
        // Each doubt turns on just past its share; the rival named is the
        // first largest value outside the compared candidates.
        const double b = v[chosen], share = grid[gen() % 6 + 1], past = std::nextafter(b, 2.0);
        const double k = std::ldexp(1.0, static_cast<int>(gen() % 4));  // an own value of 1/k: shares of k x b
        const Doubts at = doubts_about(v, chosen, compared, 1 / k, {b * k, share, past * k});
        const Doubts beyond = doubts_about(v, chosen, compared, 1 / k, {past * k, share, b * k});
        EXPECT_TRUE(!at.low && at.lost && beyond.low && !beyond.lost);
        for (std::size_t p : compared) v[p] = kNoSnto;
        if (at.rival) EXPECT_TRUE(first_largest(v, *at.rival) && v[*at.rival] >= share * b && b > 0);
        else EXPECT_TRUE(b <= 0 || std::all_of(v.begin(), v.end(), [&](double x) { return x < share * b; }));
    }
}

// Summary file rows "state value 0 0 x 0".
void summary(const std::string& file, const std::vector<int>& states, const std::vector<double>& v) {
    std::string s = "header\nBEGIN_STATES\n";
    for (std::size_t i = 0; i < states.size(); ++i) s += strf("%d %.17g 0.0 0.0 x 0\n", states[i], v[i]);
    write_file(file, s + "END_STATES\n");
}

// voskSNTO's summary goes after the match, and none left by the tool stops
// the call; with debug, scheme 2 and a counter standing at 6, the second
// comparison, against n-1.fch, and both summaries' snapshots (the first
// command and ties: the workflow tests and the matching rule's).
TEST_F(Nto, VoskSntoCleanUpSecondPassAndSnapshots) {
    settings.use_vosksnto = true;
    write_file("temp/old.fch", fch({0.1, 0.9, 0.2, -0.6, 0.15}));
    summary("temp/snto.snto", {1}, {0.8});
    EXPECT_EQ(match({1}).best, 1);
    EXPECT_FALSE(file_exists("temp/snto.snto"));
    EXPECT_EQ(status_of([&] { match({1}); }), 1);
    settings.snto_debug_flag = true;
    settings.overlap_inttype = 2;
    settings.nto_threshold = 0.05;
    write_file("temp/debug_snapshots/.snto_counter", "6\n");
    write_file("temp/n-1.fch", "older\n");
    summary("temp/snto.snto", {2, 3, 4}, {0.77, 0.80, 0.10});
    summary("temp/snto_nminus.snto", {3, 2}, {0.5, 0.6});
    Result r;
    const std::string out = outcome_of([&] { r = match({2, 3, 4}); }).out;
    EXPECT_EQ(r.best, 2);
    EXPECT_EQ(r.value, 0.77);
    EXPECT_DOUBLE_EQ(r.own, 1.95);  // all five orbitals lie above 0.05
    EXPECT_THAT(out, HasSubstr("\n  Command: voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --oldfch "
                               "'temp/n-1.fch' --autorange 0.050000 --otype 2 --sntofile 'temp/snto_nminus.snto' "
                               "--sntodebug --state 3 --outfch 'temp/new_state3.fch' --state 2 --outfch "
                               "'temp/new_state2.fch'\n"));
    EXPECT_EQ(read_file("temp/debug_snapshots/snto0007_old.snto"), read_file("temp/snto.snto"));
    EXPECT_EQ(read_file("temp/debug_snapshots/snto0007_nminus.snto"), read_file("temp/snto_nminus.snto"));
    fs::remove("temp/snto.snto");  // a tool that left no summary: no snapshot of it
    EXPECT_THAT(outcome_of([&] { match({2}); }).out, EndsWith("\n  [Debug] Skip SNTO backup: temp/snto.snto not found\n ERROR: Cannot open .snto file: temp/snto.snto\n"));
}

}  // namespace
}  // namespace quorin
