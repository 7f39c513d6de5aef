// quorin's state matching against the stand-in NTO tools: model checkpoints
// whose roots carry chosen diabatic vectors, NTO files and overlaps made by
// voskSNTO, or by voskwfn carrying out the templates quorin writes, and the
// state quorin picks from them.  Expected values follow from the vectors:
// orbital k+1 of a root's NTOs carries character k with eigenvalue v_k^2, and
// SNTO = sum over the range of lambda_ref * |overlap|, the overlap being the
// candidate's component (scheme 1) or its square (scheme 2).
#include <gmock/gmock.h>

#include <cmath>

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

// Geometry 1: the followed root 1 has character 2.  Geometry 2: character 2
// has moved to root 2 (sign flipped), root 1 now has character 1.
const std::vector<Vec> kBefore = {{0.25, 0.96, 0.10}, {0.97, 0.20, 0.10}, {0.10, 0.15, -0.98}};
const std::vector<Vec> kAfter = {{0.97, 0.22, 0.08}, {0.20, -0.95, 0.15}, {0.12, 0.20, -0.97}};
struct Match { int best = -1; double value = 0.0; Vec snto; std::string out; };

class NtoMatching : public Test {
protected:
    void SetUp() override { use_stand_ins(); set_nto_threshold(kThreshold); set_snto_debug_flag(false); }
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

// The followed character, under root 1 before, is found under root 2, by
// both engines and both overlap schemes.  (The near-tie rule is tested on
// prepared files in test_nto.cpp and through whole runs in test_report.cpp.)
TEST_F(NtoMatching, SameCharacterWins) {
    for (bool vosk : {true, false})
        for (int scheme : {1, 2}) {
            SCOPED_TRACE(std::string(vosk ? "voskSNTO" : "voskwfn") + " scheme " + std::to_string(scheme));
            configure(vosk, scheme);
            write_model_fchk(kBefore);
            { CaptureStdout quiet; calculate_nto_for_state(kFchk, 1, "temp/old.fch"); }
            write_model_fchk(kAfter);
            Match m = match(range_of(kBefore[0]), {1, 2, 3});
            EXPECT_THAT(m.snto, Pointwise(DoubleNear(1e-6), expected_snto(kBefore[0], kAfter, scheme)));
            EXPECT_EQ(m.best, 2);
            EXPECT_EQ(m.value, m.snto.at(1));
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
