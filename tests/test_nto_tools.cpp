// quorin's state matching against the stand-in NTO tools: model checkpoints
// whose roots carry chosen diabatic vectors, NTO files and overlaps made by
// voskSNTO, or by voskwfn carrying out the templates quorin writes, and the
// state quorin picks from them.  Expected values follow from the vectors:
// orbital k+1 of a root's NTOs carries character k with eigenvalue v_k^2, and
// SNTO = sum over the range of lambda_ref * |overlap|, the overlap being the
// candidate's component (scheme 1) or its square (scheme 2).
#include <gmock/gmock.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <regex>

#include "module_nto.hpp"
#include "nto_model.hpp"
#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;
using namespace ::testing;
using Vec = std::vector<double>;

constexpr double kThreshold = 0.3;
const std::string kFchk = "temp/tddft_pelun.fchk";

// The inner job's formatted checkpoint: root r has the vector roots[r-1].
void write_model_fchk(const std::vector<Vec>& roots) {
    Vec all;
    for (const Vec& v : roots) all.insert(all.end(), v.begin(), v.end());
    write_file(kFchk, "tddft_pelun\nForce     RB3LYP\n" + standin::fchk_real_array("Model Diabatic Vectors", all) +
                          standin::fchk_int("Model Number of Diabatic States", (long long)roots[0].size()));
}

// A reference NTO file (old.fch, n-1.fch) of a state with vector v.
void write_nto(const std::string& path, const Vec& v) {
    write_file(path, standin::nto_file_text(0, standin::normalised(v)));
}

double lambda(const Vec& v, int i) {  // NTO eigenvalue of orbital i (1-based)
    Vec u = standin::normalised(v);
    return i >= 2 && i <= (int)u.size() + 1 ? u[i - 2] * u[i - 2] : 0.0;
}

// Orbitals first..last of v's NTOs above the threshold.  The vectors below
// keep them contiguous, so voskwfn's range and voskSNTO's orbitals agree.
std::string range_of(const Vec& v) {
    int first = 0, last = 0;
    for (int i = 1; i <= (int)v.size() + 2; ++i)
        if (lambda(v, i) > kThreshold) first = first ? first : i, last = i;
    return std::to_string(first) + "," + std::to_string(last);
}

// SNTO of each candidate against the reference `ref`.
Vec expected_snto(const Vec& ref, const std::vector<Vec>& candidates, int scheme) {
    Vec sums;
    for (const Vec& cand : candidates) {
        const Vec c = standin::normalised(cand);
        double sum = 0.0;
        for (std::size_t k = 0; k < c.size(); ++k)  // orbital k+2 carries character k
            if (lambda(ref, k + 2) > kThreshold) sum += lambda(ref, k + 2) * std::pow(std::fabs(c[k]), scheme);
        sums.push_back(sum);
    }
    return sums;
}

int argmax(const Vec& v) { return (int)(std::max_element(v.begin(), v.end()) - v.begin()) + 1; }

// Group 1 (and, into values, group 2) of every match of `pattern` in `text`.
std::vector<std::string> found(const std::string& text, const std::string& pattern, Vec* values = nullptr) {
    std::vector<std::string> first;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
        first.push_back((*it)[1]);
        if (values) values->push_back(std::strtod((*it)[2].str().c_str(), nullptr));
    }
    return first;
}

// Geometry 1: the followed root 1 has character 2.  Geometry 2: character 2
// has moved to root 2 (sign flipped), root 1 now has character 1.
const std::vector<Vec> kBefore = {{0.25, 0.96, 0.10}, {0.97, 0.20, 0.10}, {0.10, 0.15, -0.98}};
const std::vector<Vec> kAfter = {{0.97, 0.22, 0.08}, {0.20, -0.95, 0.15}, {0.12, 0.20, -0.97}};
// Near-tie: a reference leaning to character 2, two near-50/50 mixtures of
// characters 1 and 2 (root 2 leaning to 2, root 3 to 1, with opposite signs)
// and one of character 3.
const Vec kMixedOld = {0.69, 0.72, 0.05};
const std::vector<Vec> kMixed = {{0.05, 0.10, 0.99}, {0.67, 0.74, 0.0}, {0.74, -0.67, 0.0}};

struct Match { int best = -1; double value = 0.0; Vec snto; std::string out; };

class NtoMatching : public Test {
protected:
    void SetUp() override { use_stand_ins(); set_nto_threshold(kThreshold); set_snto_debug_flag(false); }
    void TearDown() override { unsetenv("QUORIN_STANDIN_LOG"); }
    // Empty temp directory; the templates are written again at first use.
    void configure(bool vosksnto, int scheme) {
        fs::remove_all("temp");
        fs::create_directories("temp");
        set_nto_vosksnto_flag(vosksnto);
        set_nto_overlap_inttype(scheme);
    }
    Match match(const std::string& range, const std::vector<int>& states) {
        Match m;
        CaptureStdout out;
        match_nto_states("temp/old.fch", kFchk, range, states, m.best, m.value, m.snto);
        m.out = out.text();
        return m;
    }
    ScratchDir dir_;
};

TEST_F(NtoMatching, SameCharacterWinsAndNearTiesAreSettledAgainstTheOlderReference) {
    // Older references for the near tie: one that favours the rival, one that
    // ties the two exactly (the first-pass best stays).
    const std::pair<Vec, bool> olders[] = {{{0.8, 0.6, 0.0}, true}, {{1.0, 1.0, 0.0}, false}};
    const std::string snap = "temp/debug_snapshots/snto";
    for (bool vosk : {true, false})
        for (int scheme : {1, 2}) {
            SCOPED_TRACE(std::string(vosk ? "voskSNTO" : "voskwfn") + " scheme " + std::to_string(scheme));
            configure(vosk, scheme);
            // The followed character, under root 1 before, is found under root 2.
            write_model_fchk(kBefore);
            { CaptureStdout quiet; calculate_nto_for_state(kFchk, 1, "temp/old.fch"); }
            write_model_fchk(kAfter);
            Match m = match(range_of(kBefore[0]), {1, 2, 3});
            EXPECT_THAT(m.snto, Pointwise(DoubleNear(1e-6), expected_snto(kBefore[0], kAfter, scheme)));
            EXPECT_EQ(m.best, 2);
            EXPECT_EQ(m.value, m.snto.at(1));

            // Near tie between roots 2 and 3.  voskSNTO runs the first two
            // matchings with debug on: numbered snapshots of its summaries.
            fs::create_directories("temp/debug_snapshots");  // made by the workflow's debug set-up
            set_snto_debug_flag(true);
            write_model_fchk(kMixed);
            write_nto("temp/old.fch", kMixedOld);
            const std::string range = range_of(kMixedOld);
            const Vec first = expected_snto(kMixedOld, kMixed, scheme);
            const int best = argmax(first), rival = 5 - best;  // the two mixtures are roots 2 and 3
            const double d = std::fabs(first[rival - 1] - first[best - 1]) / first[best - 1];
            m = match(range, {1, 2, 3});  // no n-1.fch: the first pass stands, no second run
            EXPECT_EQ(m.best, best);
            EXPECT_THAT(m.out, Not(HasSubstr("Near-degenerate")));
            EXPECT_EQ(fs::exists(snap + "0001_old.snto"), vosk);
            EXPECT_FALSE(fs::exists(snap + "0001_nminus.snto"));
            for (const auto& [older, rival_better] : olders) {
                SCOPED_TRACE(rival_better ? "rival better against n-1.fch" : "tie against n-1.fch");
                write_nto("temp/n-1.fch", older);
                const Vec second = expected_snto(older, kMixed, scheme);
                const double vb = second[best - 1], vr = second[rival - 1];
                ASSERT_TRUE(rival_better ? vr > vb : vr == vb) << "fixture";
                set_snto_debug_flag(rival_better);
                m = match(range, {1, 2, 3});
                const int chosen = rival_better ? rival : best;
                EXPECT_EQ(m.best, chosen);  // the values reported are those against old.fch
                EXPECT_THAT(m.snto, Pointwise(DoubleNear(1e-6), first));
                EXPECT_NEAR(m.value, first[chosen - 1], 1e-6);
                Vec delta, against_older;
                EXPECT_THAT(found(m.out, R"(WARNING: Near-degenerate candidate: state +(\d+) +delta = +(\S+))", &delta),
                            ElementsAre(std::to_string(rival)));
                EXPECT_THAT(delta, ElementsAre(DoubleNear(d, 1e-5)));
                EXPECT_THAT(found(m.out, R"(State\s+(\d+)\s*: n-1\.fch SNTO =\s+(\S+))", &against_older),
                            ElementsAre(std::to_string(best), std::to_string(rival)));
                EXPECT_THAT(against_older, ElementsAre(DoubleNear(vb, 1e-6), DoubleNear(vr, 1e-6)));
                if (vosk && rival_better) {  // debug on: both summaries kept under the matching's number
                    EXPECT_EQ(read_file(snap + "0002_old.snto"), read_file("temp/snto.snto"));
                    EXPECT_EQ(read_file(snap + "0002_nminus.snto"), read_file("temp/snto_nminus.snto"));
                    EXPECT_THAT(read_file(snap + "0002_old.snto"), HasSubstr("DEBUG state")) << "--sntodebug";
                } else if (vosk) {  // debug off: the summaries are removed, no snapshot
                    EXPECT_FALSE(fs::exists("temp/snto.snto") || fs::exists("temp/snto_nminus.snto"));
                    EXPECT_FALSE(fs::exists(snap + "0003_old.snto"));
                }
            }
        }
}

TEST_F(NtoMatching, ThirtyCandidatesReachTheToolWhole) {
    std::vector<Vec> roots;
    for (int r = 1; r <= 30; ++r) roots.push_back({1.0, 0.15 + 0.02 * r, 0.3 + 0.01 * r});
    roots[22] = {0.2, 0.97, 0.1};
    std::vector<int> states;
    std::vector<std::string> numbers, files;
    for (int s = 1; s <= 30; ++s) states.push_back(s), numbers.push_back(std::to_string(s));
    for (const auto& n : numbers) files.push_back("temp/new_state" + n + ".fch");
    const Vec expected = expected_snto(kBefore[0], roots, 1);
    const fs::path log = dir_.path() / "runs.log";
    setenv("QUORIN_STANDIN_LOG", log.c_str(), 1);

    for (bool engine : {true, false}) {
        SCOPED_TRACE(engine ? "voskSNTO" : "voskwfn");
        configure(engine, 1);
        fs::remove(log);
        write_model_fchk(roots);
        write_nto("temp/old.fch", kBefore[0]);
        Match m = match(range_of(kBefore[0]), states);
        EXPECT_EQ(m.best, argmax(expected));
        EXPECT_THAT(m.snto, Pointwise(DoubleNear(1e-6), expected));
        // One run per tool call, lists whole: "--state N" pairs, or the
        // entries of 'state=(...)' and 'fch2=(...)'.
        const std::vector<std::string> runs = lines_of(read_file(log));
        ASSERT_EQ(runs.size(), engine ? 1u : 2u);
        auto list = [&](std::size_t run, const std::string& key) {
            return found(found(runs[run], "'" + key + R"(=\(([^)]*)\)')").at(0), R"((\S+))");
        };
        EXPECT_THAT(engine ? found(runs[0], R"(--state (\d+))") : list(0, "state"), ElementsAreArray(numbers));
        if (!engine) EXPECT_THAT(list(1, "fch2"), ElementsAreArray(files));
    }
}

TEST_F(NtoMatching, IntegralTemplateThatLosesTheOverlapsStopsTheMatching) {
    configure(false, 1);
    write_model_fchk(kAfter);
    write_nto("temp/old.fch", kBefore[0]);
    { CaptureStdout quiet; ensure_nto_templates(); }
    std::string t = read_file("temp/integral.bw");
    write_file("temp/integral.bw", t.replace(t.find("${fch2}.txt"), 11, "${fch2}.dat"));
    CaptureStdout out;
    Match m;
    EXPECT_EQ(status_of([&] { match_nto_states("temp/old.fch", kFchk, "3,3", {1, 2, 3}, m.best, m.value, m.snto); }), 1);
    EXPECT_THAT(out.text(), HasSubstr("WARNING: Expected overlap file not found: temp/new_state1.fch.txt"));
    EXPECT_TRUE(fs::exists("temp/new_state1.fch.dat")) << "quorin writes its templates once per process";
}

}  // namespace
}  // namespace quorin
