// The Gaussian job interface: inner inputs, formchk and the checkpoint copy,
// result readers, the External output file, log echo and convergence.
#include <cstdlib>
#include <sstream>

#include "module_gaussian_utils.hpp"
#include "outside_programs.hpp"
#include "test_support.hpp"

namespace quorin::test {
namespace {

struct Outcome {
    int status;   // -1 when the call returned
    std::string out;
    std::string failure;  // message of an unhandled I/O failure
};

Outcome run(const std::function<void()>& f) {
    CaptureStdout cap;
    Outcome o;
    o.status = status_of(f, &o.failure);
    o.out = cap.text();
    return o;
}

std::string header_lines(const std::string& route, const std::string& title, const std::string& chg) {
    return "%mem=96GB\n%nproc=32\n%chk=tddft_pelun.chk\n" + route + "\n\n" + title + "\n\n" + chg + "\n";
}

// The route line written for one combination of the TD switches.
std::string route_for(int root, int nadd, bool guess, bool triplet, std::optional<bool> td_read,
                      const std::string& kind = "force", const std::string& extra = "") {
    write_file("ext.inp", "0 1 0 1\n");
    write_gaussian_input("r.gjf", "B3LYP   ", "6-31G*", root, nadd, extra, "", "", 0, 1, 0, "ext.inp", kind, guess,
                         "t", triplet, td_read);
    return lines_of(read_file("r.gjf")).at(3);
}

TEST(InnerInput, WholeFileWithUnitConversionBqAndFallbacks) {
    ScratchDir dir;
    // The first atom's record carries extra values; the second runs over two records.
    write_file("ext.inp", "2 1 0 1\n1 0.0 0.0 1.0 99 junk\n0 -1.5D0\n 2.0 0.25\n");
    auto o = run([] {
        write_gaussian_input("in.gjf", "B3LYP", "6-31G*", 2, 3, "  ", "", "", 0, 1, 2, "ext.inp", "force", true,
                             "TD-DFT gradient calculation  ", false);
    });
    ASSERT_EQ(o.status, -1) << o.failure;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(read_file("in.gjf"),
              header_lines("#p nosymm Iop(9/40=3) B3LYP/6-31G* guess=read td(root=2,nstate=5,read)        force",
                           "TD-DFT gradient calculation", "0 1") +
                  "H       0.000000000000      0.000000000000      0.529177249000\n"
                  "Bq     -0.793765873500      1.058354498000      0.132294312250\n\n");
}

TEST(InnerInput, RouteLineTdKeywordAndLinkZero) {
    ScratchDir dir;
    const std::string p = "#p nosymm Iop(9/40=3) B3LYP/6-31G*";
    const std::string twelve(12, ' ');
    EXPECT_EQ(route_for(1, 2, false, false, std::nullopt), p + " td(root=1,nstate=3)" + twelve + " force");
    // 33 characters: written whole, nothing added before the job kind.
    EXPECT_EQ(route_for(1, 2, true, true, std::nullopt), p + " guess=read td(triplet,root=1,nstate=3,read) force");
    EXPECT_EQ(route_for(1, 2, true, false, false), p + " guess=read td(root=1,nstate=3)" + twelve + " force");
    EXPECT_EQ(route_for(3, 0, false, true, true, "sp", "scf=tight  "),
              p + " td(triplet,root=3,nstate=3,read) sp scf=tight");

    write_file("ext.inp", "0 1 -1 2\n");
    write_gaussian_input("m.gjf", "PBE0", "def2SVP", 1, 1, "", "16GB  ", "8", -1, 2, 0, "ext.inp", "force", false,
                         "x", false);
    EXPECT_EQ(read_file("m.gjf"), "%mem=16GB\n%nproc=8\n%chk=tddft_pelun.chk\n"
                                  "#p nosymm Iop(9/40=3) PBE0/def2SVP td(root=1,nstate=2)             force\n\nx\n\n"
                                  "-1 2\n\n");

    // The frequency job reads the guess unless told otherwise.
    fs::create_directories("temp");
    auto o = run([] { generate_freq_input("B3LYP", "STO-3G", 2, 1, "", "", "", 0, 1, 0, "ext.inp", false); });
    EXPECT_EQ(o.out, "  Generated frequency input: temp/tddft_freq.gjf\n");
    auto lines = lines_of(read_file("temp/tddft_freq.gjf"));
    EXPECT_EQ(lines.at(3), "#p nosymm Iop(9/40=3) B3LYP/STO-3G guess=read td(root=2,nstate=3,read)        freq");
    EXPECT_EQ(lines.at(5), "TD-DFT frequency calculation");
    run([] { generate_freq_input("B3LYP", "STO-3G", 2, 1, "", "", "", 0, 1, 0, "ext.inp", false, false); });
    EXPECT_EQ(lines_of(read_file("temp/tddft_freq.gjf")).at(3),
              "#p nosymm Iop(9/40=3) B3LYP/STO-3G td(root=2,nstate=3)             freq");
}

TEST(InnerInput, BadGeometryLeavesNoMolecule) {
    ScratchDir dir;
    const std::string head =
        header_lines("#p nosymm Iop(9/40=3) M/B td(root=1,nstate=1)             force", "t", "0 1");
    auto write = [](int natoms, const std::string& inp) {
        return run([=] {
            write_gaussian_input("in.gjf", "M", "B", 1, 0, "", "", "", 0, 1, natoms, inp, "force", false, "t", false);
        });
    };
    for (const char* z : {"87", "-1"}) {
        write_file("ext.inp", std::string("3 1 0 1\n6 0 0 0\n") + z + " 0 0 1\n1 0 0 2\n");
        auto o = write(3, "ext.inp");
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, std::string(" ERROR: Atom 2 in ext.inp has atomic number ") + z +
                             "; only 0 (Bq) to 86 (Rn) can be written to the Gaussian input.\n");
        EXPECT_EQ(read_file("in.gjf"), head);
    }
    auto o = write(1, "missing.inp");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: Cannot open input file: missing.inp\n");
    EXPECT_EQ(read_file("in.gjf"), head);

    write_file("ext.inp", "2 1 0 1\n6 0 0 0\n1 0 x 1\n");
    o = write(2, "ext.inp");
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.failure, "\"x\"") && contains(o.failure, "ext.inp")) << o.failure;
    o = write(3, "ext.inp");  // one atom record short
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.failure, "ext.inp")) << o.failure;
}

TEST(ExternalOutput, LayoutNegativeZeroReplaceAndVerbose) {
    ScratchDir dir;
    const std::string two = " -0.764000000000D+02  0.000000000000D+00  0.000000000000D+00  0.000000000000D+00\n"
                            " -0.100000000000D-01  0.200000000000D-01 -0.000000000000D+00\n";
    EXPECT_EQ(external_output_text(1, -76.4, {0.01, -0.02, 0.0}), two);
    auto o = run([] { write_external_output("ext.out", 0, 1.5, {}, false); });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(read_file("ext.out"),
              "  0.150000000000D+01  0.000000000000D+00  0.000000000000D+00  0.000000000000D+00\n");
    o = run([] { write_external_output("ext.out   ", 1, -76.4, {0.01, -0.02, 0.0}, true); });
    EXPECT_EQ(o.out, "  Output file written: ext.out\n");
    EXPECT_EQ(read_file("ext.out"), two);
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);  // no leftovers
}

// A log made of the given lines, as temp/tddft_pelun.log.
void write_log(const std::vector<std::string>& lines, const std::string& eol = "\n") {
    std::string text;
    for (const auto& l : lines) text += l + eol;
    write_file("temp/tddft_pelun.log", text);
}

const std::vector<std::string> kForcesTable = {
    " -------------------------------------------------------------------",
    " Center     Atomic                   Forces (Hartrees/Bohr)",
    " Number     Number              X              Y              Z",
    " -------------------------------------------------------------------",
    "      1        8           0.000000000    0.000000000   -0.012345678",
    "      2        1          -0.000100000    0.002500000    0.006172839",
    " -------------------------------------------------------------------",
    " Cartesian Forces:  Max     0.012345678 RMS     0.005000000"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ExtractGradient, FabricatedLogs) {
    ScratchDir dir;
    double e = 7.0;
    std::vector<double> f(1, 9.0);
    const std::vector<double> table = {0, 0, -0.012345678, -0.0001, 0.0025, 0.006172839};
    auto extract = [&](int n) { return run([&, n] { extract_gradient(n, e, f); }); };

    // Second energy line wins, a line without "=" is ignored, the one after the table is never read.
    write_log(std::vector<std::string>{" Total Energy, E(TD-HF/TD-DFT) =  -76.1", " Total Energy, E(TD) = a = -76.25",
                                       " Total Energy, E(TD-HF/TD-DFT) -99"} +
                  kForcesTable + std::vector<std::string>{" Total Energy, E(TD-HF/TD-DFT) =  -1.0"},
              "\r\n");
    auto o = extract(2);
    EXPECT_EQ(o.status, -1) << o.failure;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(e, -76.25);
    EXPECT_EQ(f, table);

    write_log(kForcesTable);
    o = extract(2);
    EXPECT_EQ(o.out, " WARNING: Energy not found in log file\n");
    EXPECT_EQ(e, 0.0);
    EXPECT_EQ(f, table);
    o = extract(0);  // the table's heading alone is enough
    EXPECT_EQ(o.status, -1);
    EXPECT_TRUE(f.empty());

    write_log({" Total Energy, E(TD-HF/TD-DFT) = -5.0", " nothing else"});
    o = extract(2);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: Gradient not found in log file\n");

    // Unchecked reads: a bad energy, a bad row, a table cut short.
    write_log(std::vector<std::string>{" Total Energy, E(TD-HF/TD-DFT) = ****"} + kForcesTable);
    o = extract(2);
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.failure, "****") && contains(o.failure, "tddft_pelun.log")) << o.failure;
    auto bad = kForcesTable;
    bad[5] = "      2        1          -0.000100000    0.0025x0000    0.006172839";
    write_log(bad);
    o = extract(2);
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.failure, "0.0025x0000")) << o.failure;
    write_log(std::vector<std::string>(kForcesTable.begin(), kForcesTable.begin() + 5));
    EXPECT_EQ(extract(2).status, 2);

    fs::remove("temp/tddft_pelun.log");
    o = extract(1);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: Cannot open temp/tddft_pelun.log\n");
}

// The first forces table of a log, read here independently of the program.
std::vector<double> first_forces_table(const std::string& log, int natoms) {
    std::istringstream in(read_file(log));
    std::string line;
    while (std::getline(in, line) && line.find("Forces (Hartrees/Bohr)") == std::string::npos) {}
    std::getline(in, line);
    std::getline(in, line);
    std::vector<double> f;
    for (int i = 0; i < natoms && std::getline(in, line); ++i) {
        std::istringstream row(line);
        int centre, z;
        double x, y, w;
        row >> centre >> z >> x >> y >> w;
        f.insert(f.end(), {x, y, w});
    }
    return f;
}

TEST(ExtractGradient, RealLogs) {
    QUORIN_SAMPLE_OR_SKIP(freq, "g09_dvb_td_freq.log");
    QUORIN_SAMPLE_OR_SKIP(no_energy, "g09_td_sp_no_total_energy_line.log");
    QUORIN_SAMPLE_OR_SKIP(sp, "g16_dvb_td_sp.log");
    ScratchDir dir;
    fs::create_directories("temp");
    double e = 0.0;
    std::vector<double> f;
    fs::copy_file(freq, "temp/tddft_pelun.log");
    auto o = run([&] { extract_gradient(20, e, f); });
    ASSERT_EQ(o.status, -1) << o.failure;
    EXPECT_EQ(e, -382.119732014);
    EXPECT_EQ(f, first_forces_table(freq, 20));
    EXPECT_EQ(f[3 * 12], -0.000006851);

    fs::copy_file(no_energy, "temp/tddft_pelun.log", fs::copy_options::overwrite_existing);
    o = run([&] { extract_gradient(30, e, f); });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " WARNING: Energy not found in log file\n ERROR: Gradient not found in log file\n");
    fs::copy_file(sp, "temp/tddft_pelun.log", fs::copy_options::overwrite_existing);
    o = run([&] { extract_gradient(20, e, f); });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: Gradient not found in log file\n");
}

TEST(FchkReaders, GradientAndHessianFabricated) {
    ScratchDir dir;
    std::vector<double> g(2, 5.0), h;
    write_file("a.fchk", "Total Energy   R  -1.0\nCartesian Gradient    R   N=  9\n"
                         "  1.0E+00 -2.0E+00  3.0E-01  4.0E+00  5.0E+00\n  6.0E+00  7.0E+00  8.0E+00 -9.0E+00\n");
    EXPECT_EQ(run([&] { read_grad_from_fch("a.fchk  ", 3, g); }).status, -1);
    EXPECT_EQ(g, (std::vector<double>{1, -2, 0.3, 4, 5, 6, 7, 8, -9}));
    write_file("b.fchk", "Opt point       1 Gradient at IRC point   R   N=  3\n 1.5 2.5\n 3.5\n");
    run([&] { read_grad_from_fch("b.fchk", 1, g); });
    EXPECT_EQ(g, (std::vector<double>{1.5, 2.5, 3.5}));
    auto o = run([&] { read_grad_from_fch("a.fchk", 4, g); });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: Failed to read gradient data from a.fchk\n");
    EXPECT_EQ(run([&] { read_grad_from_fch("nothing.fchk", 1, g); }).out,
              " ERROR: Cannot open fchk file for gradient: nothing.fchk\n");
    EXPECT_EQ(run([&] { read_grad_from_fch("b.fchk", 0, g); }).status, -1);
    write_file("c.fchk", "Cartesian Force Constants   R   N=  6\n  1.0 2.0 3.0 4.0 5.0\n  6.0\n");
    o = run([&] { read_grad_from_fch("c.fchk", 1, g); });
    EXPECT_EQ(o.out, " ERROR: Gradient block not found in c.fchk\n");
    EXPECT_EQ(o.status, 1);

    EXPECT_EQ(run([&] { read_gaussian_hessian("c.fchk", 1, h); }).status, -1);
    EXPECT_EQ(h, (std::vector<double>{1, 2, 4, 2, 3, 5, 4, 5, 6}));
    o = run([&] { read_gaussian_hessian("c.fchk", 2, h); });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: Failed to read Hessian data from c.fchk\n");
    o = run([&] { read_gaussian_hessian("a.fchk", 1, h); });
    EXPECT_EQ(o.out, " ERROR: Cartesian Force Const section not found in a.fchk\n");
    EXPECT_EQ(run([&] { read_gaussian_hessian("nothing.fchk", 1, h); }).out,
              " ERROR: Cannot open fchk file: nothing.fchk\n");
}

// The n values that follow the first line holding `marker`.
std::vector<double> values_after(const std::string& file, const std::string& marker, std::size_t n) {
    std::istringstream in(read_file(file));
    std::string line;
    while (std::getline(in, line) && line.find(marker) == std::string::npos) {}
    std::vector<double> v(n);
    for (auto& x : v) in >> x;
    return v;
}

TEST(FchkReaders, RealFormattedCheckpoint) {
    QUORIN_SAMPLE_OR_SKIP(fchk, "g09_dvb_td_freq.fchk");
    QUORIN_SAMPLE_OR_SKIP(log, "g09_dvb_td_freq.log");
    std::vector<double> g, h;
    ASSERT_EQ(run([&] { read_grad_from_fch(fchk, 20, g); }).status, -1);
    EXPECT_EQ(g, values_after(fchk, "Cartesian Gradient", 60));
    // The gradient of the checkpoint is the first forces table of its log, negated.
    auto f = first_forces_table(log, 20);
    for (std::size_t k = 0; k < 60; ++k) EXPECT_NEAR(g[k], -f[k], 1e-9) << k;

    ASSERT_EQ(run([&] { read_gaussian_hessian(fchk, 20, h); }).status, -1);
    auto tri = values_after(fchk, "Cartesian Force Const", 1830);
    ASSERT_EQ(h.size(), 3600u);
    EXPECT_EQ(h[0], tri[0]);
    EXPECT_EQ(h[1 * 60 + 0], tri[1]);
    EXPECT_EQ(h[0 * 60 + 1], tri[1]);
    EXPECT_EQ(h[59 * 60 + 58], tri[1828]);
    EXPECT_EQ(h[59 * 60 + 59], tri[1829]);
    for (int i = 0; i < 60; ++i)
        for (int j = 0; j < i; ++j) ASSERT_EQ(h[i * 60 + j], h[j * 60 + i]) << i << "," << j;
}

TEST(EchoOutput, ExcitationBlockAndDebugForces) {
    ScratchDir dir;
    const std::vector<std::string> log = {
        " Excited State before the title  45 -> 47   0.01", " Excitation energies and oscillator strengths:   ",
        " Excited State   1:      Singlet-A      5.0 eV", "      45 -> 47         0.69975   ",
        "      44 -> 47        -0.10000", "      43 -> 48         0.05123", "      45 <- 47        -0.09999",
        " 12 -> 13  1.2.3", "      46 -> 47         0.1", " a -> b", " SavETr: only", "      42 -> 49  -0.00001",
        " SavETr:  write IOETrn=   770", " after the block"};
    write_log(log + kForcesTable + std::vector<std::string>{" after the table"}, "\r\n");
    const std::string block = " Excitation energies and oscillator strengths:\n"
                              " Excited State   1:      Singlet-A      5.0 eV\n"
                              "      45 -> 47         0.69975\n"
                              "      44 -> 47        -0.10000\n"
                              " 12 -> 13  1.2.3\n"
                              "      46 -> 47         0.1\n"
                              " a -> b\n"
                              " SavETr: only\n"
                              " SavETr:  write IOETrn=   770\n";
    EXPECT_EQ(run([] { echo_gaussian_output(false); }).out, block);
    std::string forces = " \n -------------------------------------------------------------------\n";
    for (std::size_t i = 1; i < kForcesTable.size(); ++i) forces += kForcesTable[i] + "\n";
    EXPECT_EQ(run([] { echo_gaussian_output(true); }).out, block + forces);

    write_log({"x", " Excitation energies and oscillator strengths:", "  1 -> 2  0.5", " end"});
    EXPECT_EQ(run([] { echo_gaussian_output(false); }).out,
              " Excitation energies and oscillator strengths:\n  1 -> 2  0.5\n end\n");
    write_log({" no block here"});
    EXPECT_EQ(run([] { echo_gaussian_output(true); }).out, " \n");
    fs::remove("temp/tddft_pelun.log");
    auto o = run([] { echo_gaussian_output(false); });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: Cannot open temp/tddft_pelun.log for echoing\n");
}

TEST(EchoOutput, RealLogWithDeexcitations) {
    QUORIN_SAMPLE_OR_SKIP(sp, "g16_dvb_td_sp.log");
    ScratchDir dir;
    fs::create_directories("temp");
    fs::copy_file(sp, "temp/tddft_pelun.log");
    auto out = lines_of(run([] { echo_gaussian_output(false); }).out);
    // Expected: the sample's block with every arrow line of magnitude below 0.1 removed.
    std::vector<std::string> expected;
    bool in = false;
    for (const auto& l : lines_of(read_file(sp))) {
        in = in || contains(l, "Excitation energies and oscillator strengths:");
        if (!in) continue;
        const std::string t = rtrim(l);
        if ((contains(t, "->") || contains(t, "<-")) && std::abs(std::stod(t.substr(t.rfind(' ') + 1))) < 0.1) continue;
        expected.push_back(rtrim(l));
        if (contains(l, "SavETr:")) break;
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out.size(), 31u);  // 96 lines in the block, 65 minor contributions
    EXPECT_EQ(out.back().substr(0, 15), " SavETr:  write");
}

TEST(Convergence, TableVariants) {
    ScratchDir dir;
    const std::string head = "         Item               Value     Threshold  Converged?";
    const std::string met = "  Convergence criteria met in cartesian coordinate. \n"
                            "    However, optimization usually uses the internal coordinate,\n"
                            "    so the outer gaussian process may not think so. \n";
    auto check = [&](const std::vector<std::string>& lines, bool expect_conv, const std::string& expect_out) {
        std::string text;
        for (const auto& l : lines) text += l + "\n";
        write_file("c.log", text);
        bool conv = !expect_conv;
        EXPECT_EQ(run([&] { check_convergence("c.log  ", conv); }).out, expect_out) << text;
        EXPECT_EQ(conv, expect_conv) << text;
    };
    check({"x", head, " Maximum Force            0.000010     0.000450     YES",
           " RMS     Force            0.000010     0.000300     yes",
           " Maximum Displacement     0.000180     0.001800  Yes",
           " RMS     Displacement     0.000071     0.001200     YES", head, " Maximum Force  1 2 NO"},
          true, met);
    check({head, " Maximum Force            0.000450     0.000450     NO", " RMS Force 1 2 YES", " a b c d YES",
           " a b c d YES"},
          false, "");
    check({head, " RMS Force 1 YES", " a b c d YES", " a b c d YES", " a b c d YES"}, false, "");  // four words
    check({head}, true, met);
    check({head, " a b c d YES", " a b c d YES"}, true, met);
    check({" Item Value Converged?"}, false, "  Warning: Convergence table not found in log file\n");
    bool conv = true;
    EXPECT_EQ(run([&] { check_convergence("none.log", conv); }).out,
              " WARNING: Cannot open log file for convergence check\n");
    EXPECT_FALSE(conv);
}

TEST(Convergence, RealLogs) {
    QUORIN_SAMPLE_OR_SKIP(tda, "g09_benzene_tda_s1_opt.log");
    QUORIN_SAMPLE_OR_SKIP(s0, "g16_dvb_s0_opt.log");
    QUORIN_SAMPLE_OR_SKIP(freq, "g09_dvb_td_freq.log");
    bool conv = true;
    // Optimisations: only the first table (not yet converged) counts.
    for (const auto& log : {tda, s0}) {
        EXPECT_EQ(run([&] { check_convergence(log, conv); }).out, "");
        EXPECT_FALSE(conv) << log;
    }
    auto o = run([&] { check_convergence(freq, conv); });
    EXPECT_TRUE(conv);
    EXPECT_EQ(lines_of(o.out).size(), 3u);
}

TEST(Formchk, MissingProgramAndStaleFchk) {
    ScratchDir dir;
    fs::create_directories("temp");
    fs::create_directories("emptybin");
    const char* old = std::getenv("PATH");
    const std::string saved = old ? old : "";
    setenv("PATH", (dir.path() / "emptybin").c_str(), 1);
    clear_shell_command_log();
    auto o = run(run_formchk_for_tddft);
    auto again_with_fchk = [] {
        write_file("temp/tddft_pelun.fchk", "older\n");
        return run(run_formchk_for_tddft);
    }();
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, " ERROR: formchk falied.\n");
    EXPECT_EQ(shell_command_log().at(0), std::string(kFormchkCommand));
    // A formatted checkpoint of an earlier job is no proof that this one
    // was converted: the failure is still reported.
    EXPECT_EQ(again_with_fchk.status, 1);
    EXPECT_FALSE(fs::exists("temp/tddft_pelun.fchk"));
}

TEST(CheckpointCopy, TargetNamesAndLiteralCopy) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"job/water.gjf", "water.chk"}, {"C:\\runs\\mol.b2.gjf", "mol.b2.chk"}, {"water", "water.chk"},
        {".gjf", ".chk"},                {"dir/", ".chk"},                       {"   ", "tddft_pelun.chk"},
        {"", "tddft_pelun.chk"},          {"a.b/c  ", "c.chk"}};
    for (const auto& [name, target] : cases) EXPECT_EQ(chk_copy_target(name), target) << name;

    ScratchDir dir;
    write_file("temp/tddft_pelun.chk", "checkpoint bytes\n");
    clear_shell_command_log();
    const std::string evil = "x'\"$(touch pwned)`touch pwned2`;touch pwned3";
    auto o = run([&] { copy_chk_to_maindir("runs/" + evil + ".gjf"); });
    EXPECT_EQ(o.out, "Converged geometry detected, chk copied to ./" + evil + ".chk\n");
    EXPECT_EQ(read_file(evil + ".chk"), "checkpoint bytes\n");
    for (const char* p : {"pwned", "pwned2", "pwned3", "temp/pwned"}) EXPECT_FALSE(fs::exists(p)) << p;
    EXPECT_TRUE(shell_command_log().empty());
    o = run([] { copy_chk_to_maindir(""); });
    EXPECT_EQ(o.out, "Converged geometry detected, chk copied to ./tddft_pelun.chk\n");
    EXPECT_EQ(read_file("tddft_pelun.chk"), "checkpoint bytes\n");
}

}  // namespace
}  // namespace quorin::test
