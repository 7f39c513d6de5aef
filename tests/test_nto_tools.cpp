// The stand-in NTO tools (voskSNTO, voskwfn) run with the command lines and
// script templates the program uses, on a formatted checkpoint of the model
// molecule made here.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fchk_io.hpp"
#include "test_support.hpp"

namespace {

using namespace quorin::test;
namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Fixture: model checkpoint, templates, and readers of the tools' files.

std::vector<double> unit(std::vector<double> v) {
    double n = 0.0;
    for (double x : v) n += x * x;
    for (double& x : v) x /= std::sqrt(n);
    return v;
}

// Roots of the model molecule used below (three diabatic characters).
const std::vector<std::vector<double>> kRoots = {
    unit({0.95, 0.30, 0.05}),    // 1: character 1
    unit({0.30, -0.95, 0.10}),   // 2: character 2, negative sign
    unit({1.0, 1.0, 0.0}),       // 3: 50/50 mixture of 1 and 2
    unit({0.05, 0.10, -0.99}),   // 4: character 3
};

// A formatted checkpoint of the inner job as formchk leaves it, with the
// model sections: roots r = 1.. have the vectors given and energies
// -100 + 0.1 r hartree.
void write_model_fchk(const fs::path& path, const std::vector<std::vector<double>>& roots,
                      int requested_root = 1) {
    using namespace standin;
    const int k = (int)roots.front().size();
    std::vector<double> energies, vectors, molecular(24);
    for (std::size_t r = 0; r < roots.size(); ++r) {
        energies.push_back(-100.0 + 0.1 * (double)(r + 1));
        vectors.insert(vectors.end(), roots[r].begin(), roots[r].end());
    }
    for (std::size_t i = 0; i < molecular.size(); ++i) molecular[i] = -10.0 + 0.5 * (double)i;
    std::string text = "tddft_pelun\nForce     RB3LYP                                                      6-31G(d)\n";
    text += fchk_int("Number of atoms", 3);
    text += fchk_int("Number of basis functions", (long long)molecular.size());
    text += fchk_real("Total Energy", energies[requested_root - 1]);
    text += fchk_real_array("Alpha Orbital Energies", molecular);
    text += fchk_int("Model Number of Diabatic States", k);
    text += fchk_real_array("Model Excited State Energies", energies);
    text += fchk_real_array("Model Diabatic Vectors", vectors);
    text += fchk_int("Model Requested Root", requested_root);
    write_file(path, text);
}

const char* const kNtoTemplate =
    "[excit]\n"
    "%process\n"
    "    nto state ${state}\n"
    "%command\n"
    "    mv ex_${state}.fchk temp/new_state${state}.fch\n"
    "    rm excit_${input}.out\n"
    "end\n"
    "\n";

std::string integral_template(int inttype) {
    return std::string("[of2]\n%process\n") +
           (inttype == 2 ? "    orb_integral inttype -2 range ${range} fch2 ${fch2}\n"
                         : "    orb_integral inttype -1 range ${range} fch2 ${fch2}\n") +
           "%command\n" + (inttype == 2 ? "    mv Snormmat.txt ${fch2}.txt\n" : "    mv convmat.txt ${fch2}.txt\n") +
           "    rm of2_${input}.out\nend\n\n";
}

// "temp/NTO.bw" and "temp/integral.bw" as the program writes them.
void write_templates(int inttype) {
    write_file("temp/NTO.bw", kNtoTemplate);
    write_file("temp/integral.bw", integral_template(inttype));
}

struct NtoData {
    long long nif = 0;
    std::vector<double> eigen, vec;
    long long state = 0;
};

NtoData read_nto(const fs::path& p) {
    standin::Fchk f;
    EXPECT_TRUE(standin::read_fchk(p.string(), f)) << p;
    NtoData n;
    n.nif = f.integer("Number of basis functions");
    if (f.reals.count("Alpha Orbital Energies")) n.eigen = f.reals.at("Alpha Orbital Energies");
    if (f.reals.count("Model Diabatic Vector")) n.vec = f.reals.at("Model Diabatic Vector");
    n.state = f.integer("Model State");
    return n;
}

// Diagonal of an overlap file as the program reads it: lines of three numbers
// i j value, i = j within 1..n; everything else ignored; absent entries 0.
std::vector<double> overlap_diagonal(const fs::path& p, int n, int* diagonal_lines = nullptr,
                                     int* other_lines = nullptr) {
    std::vector<double> s(n, 0.0);
    int diag = 0, other = 0;
    for (const std::string& line : lines_of(read_file(p))) {
        std::istringstream in(line);
        long long i = 0, j = 0;
        double v = 0.0;
        if (!(in >> i >> j >> v)) { ++other; continue; }
        if (i == j && i >= 1 && i <= n) { s[i - 1] = v; ++diag; }
        else ++other;
    }
    if (diagonal_lines) *diagonal_lines = diag;
    if (other_lines) *other_lines = other;
    return s;
}

// SNTO from a reference NTO file and an overlap file over orbitals a..b.
double snto_from_overlap(const fs::path& ref, const fs::path& overlap, int a, int b) {
    NtoData r = read_nto(ref);
    std::vector<double> s = overlap_diagonal(overlap, (int)r.nif);
    double sum = 0.0;
    for (int i = std::max(a, 1); i <= std::min<long long>(b, r.nif); ++i)
        sum += std::fabs(r.eigen[i - 1]) * std::fabs(s[i - 1]);
    return sum;
}

struct SummaryRow {
    double snto = 0.0;
    std::string item;
    int status = -1;
};

// Rows of an SNTO summary file between BEGIN_STATES and END_STATES, and the
// number of lines after END_STATES.
std::map<long long, SummaryRow> read_summary(const fs::path& p, int* lines_after = nullptr) {
    std::map<long long, SummaryRow> rows;
    int stage = 0, after = 0;
    for (const std::string& line : lines_of(read_file(p))) {
        if (stage == 0) { stage = line.rfind("BEGIN_STATES", 0) == 0; continue; }
        if (stage == 2) { ++after; continue; }
        if (line.rfind("END_STATES", 0) == 0) { stage = 2; continue; }
        std::istringstream in(line);
        long long state = 0;
        double x = 0, y = 0;
        SummaryRow r;
        if (in >> state >> r.snto >> x >> y >> r.item >> r.status) rows[state] = r;
        else ADD_FAILURE() << "unreadable summary row: " << line;
    }
    EXPECT_EQ(stage, 2) << "no BEGIN_STATES/END_STATES block in " << p;
    if (lines_after) *lines_after = after;
    return rows;
}

// Expected orbital overlap of orbital i (1-based) of the reference with the
// candidate, nif = K + 2.
double expected_overlap(const std::vector<double>& ref, const std::vector<double>& cand, int i, int scheme) {
    if (i == 1 || i == (int)ref.size() + 2) return 1.0;
    double c = cand[i - 2];
    return scheme == 2 ? c * c : (ref[i - 2] < 0 ? -c : c);
}

class NtoTools : public ::testing::Test {
protected:
    void SetUp() override {
        use_stand_ins();
        write_model_fchk("temp/tddft_pelun.fchk", kRoots);
    }
    ScratchDir dir_;
};

// ---------------------------------------------------------------------------

TEST_F(NtoTools, VoskwfnNtoTemplateWritesOneNtoFilePerListedState) {
    write_templates(1);
    ProcessResult r = run_process("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v 'state=(2 3 4)'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (int s : {2, 3, 4}) {
        fs::path p = "temp/new_state" + std::to_string(s) + ".fch";
        ASSERT_TRUE(fs::exists(p)) << p;
        NtoData n = read_nto(p);
        const std::vector<double>& v = kRoots[s - 1];
        EXPECT_EQ(n.nif, 5) << p;
        ASSERT_EQ(n.eigen.size(), 5u) << p;
        EXPECT_DOUBLE_EQ(n.eigen[0], 0.0);
        EXPECT_DOUBLE_EQ(n.eigen[4], 0.0);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(n.eigen[k + 1], v[k] * v[k], 1e-8) << p << " orbital " << k + 2;
            ASSERT_EQ(n.vec.size(), 3u);
            EXPECT_NEAR(n.vec[k], v[k], 1e-8) << p << " component " << k + 1;
        }
        EXPECT_EQ(n.state, s);
        // Basis size from column 50 of its header line, as the program reads it.
        for (const std::string& line : lines_of(read_file(p)))
            if (line.rfind("Number of basis fun", 0) == 0) EXPECT_EQ(std::stol(line.substr(49)), 5);
    }
    EXPECT_FALSE(fs::exists("temp/new_state1.fch"));
    EXPECT_FALSE(fs::exists("excit_tddft_pelun.out")) << "the template's rm line removes the log";
    EXPECT_FALSE(fs::exists("ex_2.fchk"));

    // Single state, not a list; then a state the checkpoint does not have.
    r = run_process("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v state=1");
    ASSERT_TRUE(fs::exists("temp/new_state1.fch")) << r.err;
    EXPECT_NEAR(read_nto("temp/new_state1.fch").eigen[1], kRoots[0][0] * kRoots[0][0], 1e-8);
    r = run_process("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v state=7");
    EXPECT_FALSE(fs::exists("temp/new_state7.fch"));
    EXPECT_NE(r.err.find("state 7"), std::string::npos) << r.err;
}

TEST_F(NtoTools, VoskwfnIntegralTemplateWritesOverlapFilesForBothSchemes) {
    write_templates(1);
    run_process("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v 'state=(1 2 3 4)'");
    fs::copy_file("temp/new_state1.fch", "temp/old.fch");
    for (int scheme : {1, 2}) {
        SCOPED_TRACE("scheme " + std::to_string(scheme));
        write_templates(scheme);
        ProcessResult r = run_process(
            "voskwfn temp/integral.bw temp/old.fch -v range=2,3 -v 'fch2=(temp/new_state1.fch temp/new_state2.fch "
            "temp/new_state3.fch)'");
        EXPECT_EQ(r.err, "");
        for (int s : {1, 2, 3}) {
            fs::path ov = "temp/new_state" + std::to_string(s) + ".fch.txt";
            ASSERT_TRUE(fs::exists(ov)) << ov;
            int diag = 0, other = 0;
            std::vector<double> d = overlap_diagonal(ov, 5, &diag, &other);
            EXPECT_EQ(diag, 2) << "only the requested range 2,3";
            EXPECT_GE(other, 2) << "header and off-diagonal entries";
            for (int i : {2, 3})
                EXPECT_NEAR(d[i - 1], expected_overlap(kRoots[0], kRoots[s - 1], i, scheme), 1e-8) << ov << " " << i;
        }
        EXPECT_FALSE(fs::exists("convmat.txt"));
        EXPECT_FALSE(fs::exists("Snormmat.txt"));
        EXPECT_FALSE(fs::exists("of2_old.out"));
        double same = snto_from_overlap("temp/old.fch", "temp/new_state1.fch.txt", 2, 3);
        double mixed = snto_from_overlap("temp/old.fch", "temp/new_state3.fch.txt", 2, 3);
        double other = snto_from_overlap("temp/old.fch", "temp/new_state2.fch.txt", 2, 3);
        EXPECT_GT(same, 0.75);
        EXPECT_LT(other, 0.5 * same);
        EXPECT_GT(mixed, other);
        EXPECT_LT(mixed, same);

        // Single entry, range reaching past both ends: clamped to 1..nif.
        fs::remove("temp/new_state4.fch.txt");
        run_process("voskwfn temp/integral.bw temp/old.fch -v range=0,9 -v fch2=temp/new_state4.fch");
        ASSERT_TRUE(fs::exists("temp/new_state4.fch.txt"));
        int diag = 0;
        std::vector<double> d = overlap_diagonal("temp/new_state4.fch.txt", 5, &diag);
        EXPECT_EQ(diag, 5);
        for (int i = 1; i <= 5; ++i)
            EXPECT_NEAR(d[i - 1], expected_overlap(kRoots[0], kRoots[3], i, scheme), 1e-8) << i;
    }
}

TEST_F(NtoTools, VoskSntoWritesNtoFilesAndSummaryOfOverlapsWithReference) {
    fs::path log = dir_.path() / "runs.log";
    setenv("QUORIN_STANDIN_LOG", log.c_str(), 1);
    // Reference: the program's single-state command.
    ProcessResult r = run_process(
        "voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --state 1 --outfch 'temp/old.fch'");
    ASSERT_TRUE(fs::exists("temp/old.fch")) << r.err;
    EXPECT_EQ(read_nto("temp/old.fch").nif, 5);

    const std::string states = " --state 1 --outfch 'temp/new_state1.fch' --state 2 --outfch 'temp/new_state2.fch'"
                               " --state 3 --outfch 'temp/new_state3.fch' --state 9 --outfch 'temp/new_state9.fch'";
    for (int otype : {1, 2}) {
        SCOPED_TRACE("otype " + std::to_string(otype));
        const bool debug = otype == 2;
        r = run_process("voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --oldfch 'temp/old.fch'"
                        " --autorange 0.300000 --otype " + std::to_string(otype) +
                        " --sntofile 'temp/snto.snto'" + (debug ? " --sntodebug" : "") + states);
        ASSERT_TRUE(fs::exists("temp/snto.snto")) << r.err;
        int after = 0;
        std::map<long long, SummaryRow> rows = read_summary("temp/snto.snto", &after);
        ASSERT_EQ(rows.size(), 4u);
        for (int s : {1, 2, 3}) {
            EXPECT_TRUE(fs::exists("temp/new_state" + std::to_string(s) + ".fch"));
            EXPECT_EQ(rows[s].status, 0);
            EXPECT_EQ(rows[s].item, "'temp/new_state" + std::to_string(s) + ".fch'");
            // Only orbital 2 of the reference (eigenvalue ~0.9) is above 0.3.
            double lambda = kRoots[0][0] * kRoots[0][0];
            EXPECT_NEAR(rows[s].snto, lambda * std::fabs(expected_overlap(kRoots[0], kRoots[s - 1], 2, otype)), 1e-6);
        }
        EXPECT_GT(rows[1].snto, 0.75);
        EXPECT_LT(rows[2].snto, 0.35);
        EXPECT_LT(rows[2].snto, rows[3].snto);
        EXPECT_EQ(rows[9].status, 1);
        EXPECT_EQ(rows[9].snto, 0.0);
        EXPECT_FALSE(fs::exists("temp/new_state9.fch"));
        if (debug) EXPECT_GT(after, 0);
        else EXPECT_EQ(after, 0);

        // The same value from the voskwfn overlaps over the reference's
        // orbitals above the threshold (range 2,2).
        write_templates(otype);
        run_process("voskwfn temp/integral.bw temp/old.fch -v range=2,2 -v fch2=temp/new_state3.fch");
        EXPECT_NEAR(snto_from_overlap("temp/old.fch", "temp/new_state3.fch.txt", 2, 2), rows[3].snto, 1e-6);
    }

    // A missing reference or checkpoint leaves no summary.
    fs::remove("temp/snto.snto");
    r = run_process("voskSNTO --newnto 'temp/tddft_pelun.fchk' temp/tddft_pelun.log --oldfch 'temp/none.fch'"
                    " --autorange 0.300000 --otype 1 --sntofile 'temp/snto.snto'" + states);
    EXPECT_FALSE(fs::exists("temp/snto.snto"));
    EXPECT_NE(r.err.find("temp/none.fch"), std::string::npos) << r.err;
    r = run_process("voskSNTO --newnto 'temp/none.fchk' temp/tddft_pelun.log --oldfch 'temp/old.fch'"
                    " --autorange 0.300000 --otype 1 --sntofile 'temp/snto.snto'" + states);
    EXPECT_FALSE(fs::exists("temp/snto.snto"));
    EXPECT_NE(r.err, "");
    unsetenv("QUORIN_STANDIN_LOG");

    // One line per run: 1 + 2 + 2 (voskSNTO/voskwfn pairs) + 2.
    std::vector<std::string> runs = lines_of(read_file(log));
    ASSERT_EQ(runs.size(), 7u);
    EXPECT_EQ(runs[0], "voskSNTO --newnto temp/tddft_pelun.fchk temp/tddft_pelun.log --state 1 --outfch temp/old.fch");
    EXPECT_EQ(runs[2], "voskwfn temp/integral.bw temp/old.fch -v range=2,2 -v fch2=temp/new_state3.fch");
}

TEST_F(NtoTools, FaultyTemplatesLeaveNoOutput) {
    struct Case {
        const char* what;
        std::string tmpl;
        const char* complaint;  // expected on standard error, or "" for none
    };
    std::string nto = kNtoTemplate;
    auto replaced = [](std::string s, const std::string& from, const std::string& to) {
        return s.replace(s.find(from), from.size(), to);
    };
    const std::vector<Case> cases = {
        {"wrong name in the mv line", replaced(nto, "mv ex_${state}.fchk", "mv ex_${state}.fch"), ""},
        {"misspelt placeholder", replaced(nto, "nto state ${state}", "nto state ${stat}"), "${stat}"},
        {"unknown directive", replaced(nto, "nto state", "nto_state"), "nto_state"},
        {"directive of another module", replaced(nto, "[excit]", "[of2]"), "nto"},
        {"no end line", replaced(nto, "end\n", ""), "no end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove("ex_3.fchk");
        write_file("temp/NTO.bw", c.tmpl);
        ProcessResult r = run_process("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v state=3");
        EXPECT_FALSE(fs::exists("temp/new_state3.fch"));
        if (*c.complaint) EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
        fs::remove("temp/new_state3.fch");
    }

    // Integral template of scheme 2 that moves scheme 1's file.
    write_templates(1);
    run_process("voskwfn temp/NTO.bw 'temp/tddft_pelun.fchk' -v 'state=(1 2)'");
    ASSERT_TRUE(fs::exists("temp/new_state1.fch"));
    fs::copy_file("temp/new_state1.fch", "temp/old.fch");
    write_file("temp/integral.bw", replaced(integral_template(2), "Snormmat.txt", "convmat.txt"));
    run_process("voskwfn temp/integral.bw temp/old.fch -v range=2,3 -v fch2=temp/new_state2.fch");
    EXPECT_FALSE(fs::exists("temp/new_state2.fch.txt"));
}

}  // namespace
