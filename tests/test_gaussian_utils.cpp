// The Gaussian job interface: inner inputs, formchk and the checkpoint copy,
// result readers, log echo and convergence.  Whole steps (route switches per
// step, the External output file, the converged checkpoint copy) are covered
// by the workflow tests.
#include "module_gaussian_utils.hpp"
#include "module_hessian.hpp"
#include "outside_programs.hpp"
#include "test_support.hpp"

namespace quorin::test {
namespace {

std::string text_of(const std::vector<std::string>& lines, const std::string& eol = "\n") {
    std::string text;
    for (const auto& l : lines) text += l + eol;
    return text;
}

TEST(InnerInput, WholeFilesAndBadAtomicNumbers) {
    ScratchDir dir;
    const std::string link0 = "%mem=96GB\n%nproc=32\n%chk=tddft_pelun.chk\n";
    // Padded TD keyword, %mem/%nproc fallbacks, bohr -> angstrom, Bq; the
    // first atom's record carries extra values after its five.
    write_file("ext.inp", "2 1 0 1\n1 0.0 0.0 1.0 99 junk\n0 -1.5D0 2.0 0.25 0.0\n");
    InnerJob job{.method = "B3LYP", .basis = "6-31G*", .extra = "  ", .root = 2, .nadd = 3, .guess_read = true,
                 .title = "TD-DFT gradient calculation"};
    write_gaussian_input("in.gjf", job, Molecule{"ext.inp", 2, -1, 2});
    EXPECT_EQ(read_file("in.gjf"),
              link0 + "#p nosymm Iop(9/40=3) B3LYP/6-31G* guess=read td(root=2,nstate=5,read)        force\n\n"
                      "TD-DFT gradient calculation\n\n-1 2\n"
                      "H       0.000000000000      0.000000000000      0.529177249000\n"
                      "Bq     -0.793765873500      1.058354498000      0.132294312250\n\n");

    // An atom that cannot be written, or whose line is not whole (Gaussian
    // writes five fields), stops the run before any atom line goes out.
    const std::string whole = "Gaussian writes the atomic number, x, y, z and the charge.\n";
    for (const auto& [atoms, message] : std::vector<std::pair<std::string, std::string>>{
             {"87 0 0 1 0\n1 0 0 2 0\n", "Atom 2 in ext.inp has atomic number 87; only 0 (Bq) to 86 (Rn) can be "
                                         "written to the Gaussian input.\n"},
             {"-1 0 0 1 0\n1 0 0 2 0\n", "Atom 2 in ext.inp has atomic number -1; only 0 (Bq) to 86 (Rn) can be "
                                         "written to the Gaussian input.\n"},
             {"1 0 0 1\n1 0 0 2 0\n", "Cannot read the line of atom 2 in ext.inp (\"1 0 0 1\"): " + whole},
             {"1 0 0 1 0\n", "No line for atom 3 in ext.inp: " + whole},
             {"1 0 0 1 0\n1 0 0 2 0.", "The file ends inside the line of atom 3 in ext.inp (\"1 0 0 2 0.\"): it was "
                                     "cut off.\n"},
             {"1 -nan 0 1 0\n1 0 0 2 0\n", "ext.inp holds \"-nan\" as coordinate x of atom 2, not a finite number.\n"},
             {"1 0 0 1 0\n1 0 0 1e999 0\n", "ext.inp holds \"1e999\" as coordinate z of atom 3, not a finite number.\n"},
             {"1 0 0 1 nan\n1 0 0 2 0\n", "ext.inp holds \"nan\" as the charge of atom 2, not a finite number.\n"}}) {
        write_file("ext.inp", "3 1 0 1\n6 0 0 0 0\n" + atoms);
        expect_stop(outcome_of([] {
            write_gaussian_input("b.gjf", InnerJob{.method = "M", .basis = "B", .title = "t"}, Molecule{"ext.inp", 3, 0, 1});
        }), " ERROR: " + message);
        EXPECT_EQ(read_file("b.gjf"),
                  link0 + "#p nosymm Iop(9/40=3) M/B td(root=1,nstate=1)             force\n\nt\n\n0 1\n");
    }
    expect_stop(outcome_of([] { write_gaussian_input("b.gjf", InnerJob{}, Molecule{"gone.inp", 3, 0, 1}); }),
                " ERROR: Cannot open input file: gone.inp\n");
}

const std::string kLog = "temp/tddft_pelun.log";

const std::vector<std::string> kForcesTable = {
    " -------------------------------------------------------------------",
    " Center     Atomic                   Forces (Hartrees/Bohr)",
    " Number     Number              X              Y              Z",
    " -------------------------------------------------------------------",
    "      1        8           0.000000000    0.000000000   -0.012345678",
    "      2        1          -0.000100000    0.002500000    0.006172839",
    " -------------------------------------------------------------------",
    " Cartesian Forces:  Max     0.012345678 RMS     0.005000000"};

TEST(Readers, FabricatedLogsAndCheckpoints) {
    ScratchDir dir;
    GradientResult got{7.0, {}};
    // The second energy line wins (its value follows the last "="), a line
    // without "=" is ignored, and nothing after the forces table is read.
    write_file("temp/tddft_pelun.log",
               text_of({" Total Energy, E(TD-HF/TD-DFT) =  -76.1", " Total Energy, E(TD) = a = -76.25",
                        " Total Energy, E(TD-HF/TD-DFT) -99"}, "\r\n") +
                   text_of(kForcesTable, "\r\n") + " Total Energy, E(TD-HF/TD-DFT) =  -1.0\r\n");
    auto o = outcome_of([&] { got = extract_gradient(read_inner_log(kLog), 2); });
    ASSERT_EQ(o.status, -1) << o.failure << o.out;
    EXPECT_EQ(got.energy, -76.25);
    EXPECT_EQ(got.forces, (std::vector<double>{0, 0, -0.012345678, -0.0001, 0.0025, 0.006172839}));
    // A forces table with a row that does not read, or cut in its heading: an I/O failure that says where.
    std::vector<std::string> bad_row = kForcesTable;
    bad_row[5] = "      2        1          -0.000100000    x   0.006172839";
    for (const auto& [table, failure] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {bad_row, "cannot read a real from \"x\" in temp/tddft_pelun.log (forces table, atom 2)"},
             {{kForcesTable[1], kForcesTable[2]}, "end of file in the heading of the forces table of temp/tddft_pelun.log"}}) {
        write_file(kLog, " Total Energy, E(TD) = -1.0\n" + text_of(table, "\n"));
        EXPECT_EQ(outcome_of([] { (void)extract_gradient(read_inner_log(kLog), 2); }).failure, failure);
    }
    write_file("temp/tddft_pelun.log", text_of({" Total Energy, E(TD-HF/TD-DFT) = -5.0", " nothing else"}));
    expect_stop(outcome_of([&] { (void)extract_gradient(read_inner_log(kLog), 2); }),
                " ERROR: Gradient not found in log file\n");
    // (Forces without the excited-state energy: test_adiabatic.cpp.)

    // The log is searched in large blocks: a marker across a block's end,
    // or in a last record without a line feed, is still seen.
    const std::string filler = std::string((1 << 20) - 10, 'x') + "\n";
    for (const auto& [text, error] : std::vector<std::pair<std::string, bool>>{
             {filler + " Error termination via Lnk1e\n", true},
             {filler + filler + " Normal termination\n Error termination", true}, {filler + " Error terminatio\nn\n", false}}) {
        write_file(kLog, text);
        EXPECT_EQ(read_inner_log(kLog).error_termination, error);
    }

    // The current point's gradient wins over an earlier optimisation point's,
    // wherever it stands; the older one serves only when it is all there is.
    const std::string opt_point = "Opt point       1 Gradient at IRC point  R   N=  9\n"
                                  "  9.0E+00  9.0E+00  9.0E+00  9.0E+00  9.0E+00\n  9.0E+00  9.0E+00  9.0E+00  9.0E+00\n";
    const std::string current = "Cartesian Gradient    R   N=  9\n"
                                "  1.0E+00 -2.0E+00  3.0E-01  4.0E+00  5.0E+00\n  6.0E+00  7.0E+00  8.0E+00 -9.0E+00\n";
    write_file("a.fchk", "Total Energy   R  -1.0\n" + opt_point + current);
    EXPECT_EQ(read_grad_from_fch("a.fchk", 3), (std::vector<double>{1, -2, 0.3, 4, 5, 6, 7, 8, -9}));
    write_file("o.fchk", opt_point + "Cartesian Force Constants   R   N=  45\n");
    EXPECT_EQ(read_grad_from_fch("o.fchk", 3), std::vector<double>(9, 9.0));

    // A frequency step's output: energy, the gradient itself, zero
    // polarizability and dipole derivatives, the force constants as they
    // come -- whatever their text (null values, repeats, a slash, Fortran
    // exponents, more digits than the field holds) and wherever their
    // section stands.
    const std::string zeros = fmt_D_row({0.0, 0.0, 0.0}) + "\n";
    const std::string gradient = "Cartesian Gradient   R   N=  3\n  1.0E-02  0.0E+00 -2.0E-02\n";
    for (const std::string& fchk :
         {gradient + "Cartesian Force Constants   R   N=  6\n 1.0,,2*3.5D-01\n 0.1234567890123456 /\n",
          "Cartesian Force Constants   R   N=  6\n 1.0,,2*3.5D-01\n 0.1234567890123456 /\n" + gradient}) {
        write_file("c.fchk", fchk);
        auto w = outcome_of([] { write_frequency_output("c.fchk", "out.EOu", 1, -76.4); });
        ASSERT_EQ(w.status, -1) << w.failure;
        EXPECT_EQ(w.out, "  Output file written: out.EOu\n");
        EXPECT_EQ(read_file("out.EOu"), fmt_D_row({-76.4, 0.0, 0.0, 0.0}) + "\n" + fmt_D_row({0.01, 0.0, -0.02}) +
                                            "\n" + zeros + zeros + zeros + zeros + zeros +
                                            fmt_D_row({1.0, 0.0, 0.35}) + "\n" +
                                            fmt_D_row({0.35, 0.1234567890123456, 0.0}) + "\n");
    }
    // A repeat left at the end of a record is used up before the next record;
    // a record in the checkpoint's 16-column layout that holds an unusual
    // field is read value by value (its five fields give six values here).
    const std::string grad6 = "Cartesian Gradient   R   N=  6\n 1 2 3 4 5 6\n", fc = "Cartesian Force Constants   R   N=  ";
    write_file("c.fchk", grad6 + fc + "21\n 1.0 3*2.0\n"
                             "  5.00000000E+00  6.00000000E+00  7.00000000E+00  8.00000000E+00  9.00000000E+00\n"
                             "  1.00000000E+01  1.10000000E+01  1.20000000E+01       2*1.3D+01  1.40000000E+01\n"
                             "  1.50000000E+01  1.60000000E+01  1.70000000E+01  1.80000000E+01  1.90000000E+01\n"
                             "  2.00000000E+01\n");
    ASSERT_EQ(outcome_of([] { write_frequency_output("c.fchk", "out.EOu", 2, -76.4); }).status, -1);
    const double v[] = {1, 2, 2, 2, 5, 6, 7, 8, 9, 10, 11, 12, 13, 13, 14, 15, 16, 17, 18, 19, 20};
    std::string tail;
    for (std::size_t k = 0; k < 21; k += 3) tail += fmt_D_row({v[k], v[k + 1], v[k + 2]}) + "\n";
    EXPECT_TRUE(read_file("out.EOu").ends_with(tail)) << read_file("out.EOu");

    // A step that cannot be completed leaves the old output, and no part
    // file: counts that are not the atoms', unreadable or cut values, a
    // missing section.
    const std::string before = read_file("out.EOu");
    const std::string hessian = " ERROR: Failed to read Hessian data from c.fchk\n";
    for (const auto& [fchk, message] : std::vector<std::pair<std::string, std::string>>{
             {gradient, " ERROR: Failed to read gradient data from c.fchk\n        Its header gives N= 3; 2 atoms need 6 "
                        "values.\n"},
             {grad6 + fc + "21\n 1.0 x\n", hessian},
             {grad6 + fc + "20\n" + std::string(20, '1') + "\n", hessian + "        Its header gives N= 20; 2 atoms need "
                                                                     "21 values.\n"},
             {grad6 + fc + "21\n 20*1.0\n 5.28594691E-01", hessian},  // cut before its line feed: maybe in it
             {grad6, " ERROR: Cartesian Force Const section not found in c.fchk\n"}}) {
        write_file("c.fchk", fchk);
        expect_stop(outcome_of([] { write_frequency_output("c.fchk", "out.EOu", 2, -76.4); }), message);
    }
    EXPECT_EQ(read_file("out.EOu"), before);
    EXPECT_TRUE(list_matching(".", ".quorin-part-*").empty());
}

TEST(Readers, RealLogAndFormattedCheckpoint) {
    QUORIN_SAMPLE_OR_SKIP(log, "g09_dvb_td_freq.log");
    QUORIN_SAMPLE_OR_SKIP(fchk, "g09_dvb_td_freq.fchk");
    QUORIN_SAMPLE_OR_SKIP(no_energy, "g09_td_sp_no_total_energy_line.log");
    QUORIN_SAMPLE_OR_SKIP(failed, "g09_pm6_opt_error_termination.log");
    ScratchDir dir;
    // The values after a section header of the checkpoint, read here independently.
    auto values_after = [&](const std::string& marker, std::size_t n) {
        std::istringstream in(read_file(fchk));
        std::string line;
        while (std::getline(in, line) && !contains(line, marker)) {}
        std::vector<double> v(n);
        for (auto& x : v) in >> x;
        return v;
    };
    const std::vector<double> g = read_grad_from_fch(fchk, 20);
    EXPECT_EQ(g, values_after("Cartesian Gradient", 60));
    // The log holds 122 forces tables and many energies; the first of each
    // belongs to the checkpoint's geometry, its forces being the gradient negated.
    write_file("temp/tddft_pelun.log", read_file(log));
    const InnerLog inner = read_inner_log(kLog);
    const GradientResult got = extract_gradient(inner, 20);
    EXPECT_EQ(got.energy, -382.119732014);
    // Excitation energies of the first block ("Singlet-?Sym    4.9202 eV"); none for a state it lacks.
    EXPECT_EQ(std::vector({excitation_energy_ev(inner, 2), excitation_energy_ev(inner, 3), excitation_energy_ev(inner, 4)}),
              std::vector<std::optional<double>>({5.0817, 5.8635, std::nullopt}));
    ASSERT_EQ(got.forces.size(), 60u);
    for (std::size_t k = 0; k < 60; ++k) EXPECT_NEAR(got.forces[k], -g[k], 1e-9) << k;

    // The frequency step's output from the real checkpoint, against fields
    // made here from values read independently.
    ASSERT_EQ(outcome_of([&] { write_frequency_output(fchk, "out.EOu", 20, got.energy); }).status, -1);
    const auto out = lines_of(read_file("out.EOu"));
    const auto tri = values_after("Cartesian Force Const", 1830);
    ASSERT_EQ(out.size(), 1 + 20 + 2 + 60 + 610u);
    for (std::size_t k = 0; k < 60; ++k) EXPECT_EQ(out[1 + k / 3].substr(k % 3 * 20, 20), fmt_D_row({g[k]})) << k;
    for (std::size_t k = 0; k < tri.size(); ++k)
        ASSERT_EQ(out[83 + k / 3].substr(k % 3 * 20, 20), fmt_D_row({tri[k]})) << k;

    EXPECT_FALSE(read_inner_log(kLog).error_termination);
    EXPECT_TRUE(read_inner_log(failed).error_termination);

    write_file("temp/tddft_pelun.log", read_file(no_energy));
    expect_stop(outcome_of([&] { (void)extract_gradient(read_inner_log(kLog), 30); }),
                " ERROR: Energy not found in log file\n ERROR: Gradient not found in log file\n");
}

TEST(EchoOutput, CoefficientCutBlockEndAndDebugForces) {
    ScratchDir dir;
    const std::vector<std::string> log = {
        " Excited State before the title  45 -> 47   0.01", " Excitation energies and oscillator strengths:   ",
        " Excited State   1:      Singlet-A      5.0 eV", "      45 -> 47         0.69975   ",
        "      44 -> 47        -0.10000", "      43 -> 48         0.05123", "      45 <- 47        -0.09999",
        " 12 -> 13  1.2.3", "      46 -> 47         0.1", " a -> b  0000000000000000005.", " SavETr: only",
        "      42 -> 49  -0.00001", " SavETr:  write IOETrn=   770", " after the block"};
    write_file("temp/tddft_pelun.log", text_of(log, "\r\n") + text_of(kForcesTable, "\r\n") + " after the table\r\n");
    // From the title to the SavETr write line, without the three lines below 0.1.
    std::string block;
    for (std::size_t i : {1, 2, 3, 4, 7, 8, 9, 10, 12}) block += log[i].substr(0, log[i].find_last_not_of(' ') + 1) + "\n";
    auto echo = [](const std::string& log, bool debug) {
        return outcome_of([&] { echo_gaussian_output(read_inner_log(log), debug); });
    };
    EXPECT_EQ(echo(kLog, false).out, block);
    EXPECT_EQ(echo(kLog, true).out, block + " \n" + text_of(kForcesTable));
    expect_stop(echo("none.log", false), " ERROR: Cannot open none.log for echoing\n");

    QUORIN_SAMPLE_OR_SKIP(sp, "g16_dvb_td_sp.log");
    fs::copy_file(sp, "temp/tddft_pelun.log", fs::copy_options::overwrite_existing);
    const std::string expected = echo_of(read_file(sp), false);
    EXPECT_EQ(echo(kLog, false).out, expected);
    EXPECT_EQ(lines_of(expected).size(), 31u);  // 96 lines in the block, 65 minor contributions
}

TEST(Convergence, TableVariantsAndRealLogs) {
    ScratchDir dir;
    const std::string head = "         Item               Value     Threshold  Converged?";
    const std::string met = "  Convergence criteria met in cartesian coordinate. \n"
                            "    However, optimization usually uses the internal coordinate,\n"
                            "    so the outer gaussian process may not think so. \n";
    auto check = [&](const std::string& text, bool expect_conv, const std::string& expect_out) {
        if (text.empty()) fs::remove("c.log");
        else write_file("c.log", text);
        bool conv = !expect_conv;
        EXPECT_EQ(outcome_of([&] { conv = check_convergence("c.log"); }).out, expect_out) << text.substr(0, 400);
        EXPECT_EQ(conv, expect_conv) << text.substr(0, 400);
    };
    // The fifth word of the four rows after the first table heading decides, whatever its letter case.
    check(text_of({"x", head, " Max Force 1 2 YES", " RMS Force 1 2 yes", " Max Disp  1 2  Yes", " RMS Disp 1 2 YES",
                   head, " Max Force 1 2 NO"}), true, met);
    // A NO in the last row, a row of four words, a table cut short after two rows.
    check(text_of({head, " a b c d YES", " a b c d YES", " a b c d YES", " RMS Disp 1 2 NO"}), false, "");
    check(text_of({head, " RMS Force 1 YES", " a b c d YES", " a b c d YES", " a b c d YES"}), false, "");
    check(text_of({head, " a b c d YES", " a b c d YES"}), true, met);
    check(text_of({" Item Value Converged?"}), false, "  Warning: Convergence table not found in log file\n");
    check("", false, " WARNING: Cannot open log file for convergence check\n");

    QUORIN_SAMPLE_OR_SKIP(tda, "g09_benzene_tda_s1_opt.log");
    QUORIN_SAMPLE_OR_SKIP(s0, "g16_dvb_s0_opt.log");
    QUORIN_SAMPLE_OR_SKIP(freq, "g09_dvb_td_freq.log");
    // Optimisations: only the first table (not yet converged) counts.
    check(read_file(tda), false, "");
    check(read_file(s0), false, "");
    check(read_file(freq), true, met);
}

// The formatted checkpoint must hold the step's geometry, in full and readable.
TEST(Checkpoints, GeometryOfTheStep) {
    ScratchDir dir;
    write_file("ext.inp", "2 1 0 1\n8 -0.25 0.007 0.0 0.0\n1 0.0 0.0 1.8 0.0\n");
    const std::string head = "Current cartesian coordinates               R   N=           ";
    const std::string five = " -2.50000000E-01  7.00000000E-03  0.00000000E+00  0.00000000E+00  0.00000000E+00\n";
    const std::string other = " ERROR: c.fchk does not belong to this step's geometry: ";
    const std::string end = ".\n        It is the checkpoint of another step or another job; nothing was handed back.\n";
    for (const auto& [fchk, message] : std::vector<std::pair<std::string, std::string>>{
             {"", ""},                              // none: formchk's own check speaks
             {"Total Energy   R  -1.0\n", ""},  // nothing to compare with
             {head + "6\n" + five + "  1.80009000E+00\n", ""},
             {head + "6\n" + five + "  2.50000000E+00\n", other + "coordinate 3 of atom 2 is   2.5000000000000000 bohr there "
                                                        "and   1.8000000000000000 bohr in ext.inp" + end},
             {head + "6\n" + five.substr(0, 48) + " -2.50000000E+00" + five.substr(64) + "  1.80000000E+00\n",
              other + "coordinate 1 of atom 2 is  -2.5000000000000000 bohr there and   0.0000000000000000 bohr in ext.inp" + end},
             {head + "9\n" + five + five, other + "it holds 9 coordinates for 2 atoms" + end},
             {head + "x\n", other + "it holds an unreadable number of coordinates for 2 atoms" + end},
             {head + "6\n" + five + "  1.8000000xE+00\n", other + "its coordinates: cannot read a real from \" 1.8000000xE+00\"" + end},
             {head + "6\n" + five, other + "its coordinates: end of file after 5 of 6 values" + end},
             {head + "6\n" + five.substr(0, 16) + "             NaN" + five.substr(32) + "  1.8\n",
              " ERROR: c.fchk holds \"NaN\" as Current cartesian coordinate 2, not a finite number.\n"}}) {
        if (fchk.empty()) fs::remove("c.fchk");
        else write_file("c.fchk", fchk);
        const Outcome o = outcome_of([] { check_checkpoint_geometry("c.fchk", Molecule{"ext.inp", 2, 0, 1}); });
        EXPECT_EQ(o.status, message.empty() ? -1 : 1) << fchk;
        EXPECT_EQ(o.out, message) << fchk;
    }
}

TEST(Checkpoints, FormchkMissingWithAStaleFchkAndTheLiteralCopy) {
    ScratchDir dir;
    write_file("temp/tddft_pelun.fchk", "from an earlier job\n");
    // Only these two on PATH: a formchk that says where it ran and with what,
    // on both streams, and converts nothing; a cp that leaves a mark if
    // anything runs it (shell built-ins only, nothing else is found).
    write_script("bin/formchk", "#!/bin/sh\necho \"${PWD##*/} $*\"\necho 'to standard error' >&2\nexit 1\n");
    write_script("bin/cp", "#!/bin/sh\n: > cp-ran\n");
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (dir.path() / "bin").c_str(), 1);
    auto o = outcome_of([] { run_formchk_for_tddft(); });
    // In temp/, the two file names, both streams into temp/formchk.log.
    EXPECT_EQ(read_file("temp/formchk.log"), "temp tddft_pelun.chk tddft_pelun.fchk\nto standard error\n");
    // The earlier job's checkpoint is no proof that this one was converted.
    expect_stop(o, " ERROR: formchk falied.\n");
    EXPECT_FALSE(fs::exists("temp/tddft_pelun.fchk"));

    for (const auto& [name, target] : std::vector<std::pair<std::string, std::string>>{
             {"job/water.gjf", "water.chk"}, {"C:\\runs\\mol.b2.gjf", "mol.b2.chk"}, {"water", "water.chk"},
             {"dir/", ".chk"}, {"   ", "tddft_pelun.chk"}, {"a.b/c  ", "c.chk"}})
        EXPECT_EQ(chk_copy_target(name), target) << name;

    write_file("temp/tddft_pelun.chk", "checkpoint bytes\n");
    const std::string evil = "x'\"$(touch pwned)`touch pwned2`;touch pwned3";
    EXPECT_EQ(outcome_of([&] { copy_chk_to_maindir("runs/" + evil + ".gjf"); }).out,
              "Converged geometry detected, chk copied to ./" + evil + ".chk\n");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(read_file(evil + ".chk"), "checkpoint bytes\n");
    for (const char* p : {"pwned", "pwned2", "pwned3", "temp/pwned", "cp-ran", "temp/cp-ran"}) EXPECT_FALSE(fs::exists(p)) << p;
    // A copy that could not be made is said so, never reported as made.
    fs::remove("temp/tddft_pelun.chk");
    EXPECT_EQ(outcome_of([&] { copy_chk_to_maindir("water.gjf"); }).out,
              " WARNING: Converged geometry detected, but temp/tddft_pelun.chk could not be copied to ./water.chk.\n");
    EXPECT_FALSE(fs::exists("water.chk"));
}

}  // namespace
}  // namespace quorin::test
