// The adiabatic step through the whole program with the stand-ins: the files
// and console lines of one step, and what a step hands back when the inner
// job or its checkpoint goes wrong.  (Whole adiabatic optimisations run in
// test_report.cpp.)
#include <array>

#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

bool has_line(const std::string& out, const std::string& line) {
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

// Every key in capitals: each is read (an unread one would be warned about).
TEST(Adiabatic, OneStepWritesItsInputConsoleAndOutputWhole) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    write_file("w.gjf", "%chk=w.chk\n#p opt external='quorin' nosymm\n\nMETHOD=b3lyp BASIS=sto-3g ROOT=2 NADD=4 MEM=4GB "
                        "NPROC=2 EXTRA=scf=tight TRIPLET=F SDNTO=F VOSKSNTO=T SNTOFIRST=F\nDEBUG=F INTTYPE=1 "
                        "NTOTHRE=0.3 SNTORANGE=-1\n\n0 1\n");
    const ProcessResult r = call_at(0.0, "", announcing_wrappers(dir.path() / "bin", {"g16"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string log = read_file("temp/tddft_pelun.log");
    EXPECT_EQ(r.out, " >>>>> TD-DFT External Interface Starting\n  Auto-detecting gjf file\n Input file: in.EIn\n"
                     " Output file: out.EOu\n Debug mode is disabled (default).\n Staring adiabatic state ...\n"
                     "  [Adiabatic] Running Gaussian TD-DFT gradient calculation...\n \n" +
                         echo_of(log, false) + "  Output file written: out.EOu\n TD-DFT External Interface Done <<<<<\n \n");
    // g16's standard error goes into the inner log, not to quorin's.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(log.substr(0, 61), " g16 writes to standard output\n g16 writes to standard error\n");
    EXPECT_EQ(read_file("out.EOu"), external_output(model_at(read_file("in.EIn"), 2, 6)));
    EXPECT_EQ(standin_runs(), "g16 force root=2 nstate=6 guess_read=0 td_read=0\nformchk\n");

    // The input: the atoms of in.EIn (O, H, H) in angstrom, each coordinate F20.12.
    const auto f = gfortran(ein_angstrom(read_file("in.EIn")));
    ASSERT_EQ(f.size(), 9u);
    EXPECT_EQ(read_file("temp/tddft_pelun.gjf"),
              "%mem=4GB\n%nproc=2\n%chk=tddft_pelun.chk\n#p nosymm Iop(9/40=3) b3lyp/sto-3g td(root=2,nstate=6)"
              "             force scf=tight\n\nTD-DFT gradient calculation\n\n0 1\nO " + f[0].f20 + f[1].f20 + f[2].f20 +
                  "\nH " + f[3].f20 + f[4].f20 + f[5].f20 + "\nH " + f[6].f20 + f[7].f20 + f[8].f20 + "\n\n");

    // The next step reads its guess from the checkpoint, never the TD amplitudes.
    ASSERT_EQ(call_at(0.1, "").status, 0);
    EXPECT_EQ(standin_runs(), "g16 force root=2 nstate=6 guess_read=1 td_read=0\nformchk\n");
}

// A checkpoint damaged by a crashed node costs one rerun from a fresh guess,
// an empty one is no guess at all; a job that fails, or that left another
// step's checkpoint behind, hands nothing back.
TEST(Adiabatic, DamagedCheckpointsAndFailedOrForeignJobs) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    write_config();
    const std::string fresh = "g16 force root=1 nstate=3 guess_read=0 td_read=0\n";
    for (const char* chk : {"garbage after a node crash\n", ""}) {
        ASSERT_EQ(call_at(0.0, kConfig).status, 0);
        write_file("temp/tddft_pelun.chk", chk);
        const ProcessResult r = call_at(0.1, kConfig);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file("out.EOu"), external_output(model_at(read_file("in.EIn"), 1, 3)));
        const std::string failed = *chk ? "g16 force root=1 nstate=3 guess_read=1 td_read=0 error\n" : "";
        EXPECT_EQ(standin_runs(), failed + fresh + "formchk\n");
        EXPECT_EQ(has_line(r.out, " WARNING: The inner job failed after reading its guess from temp/tddft_pelun.chk "
                                  "(temp/tddft_pelun.log).") &&
                      has_line(r.out, "          Removing the checkpoint and running the job once more from a fresh guess."),
                  *chk != 0);
        EXPECT_EQ(r.out.find("Found previous chk file") != std::string::npos, *chk != 0);
    }
    // Forces without the excited-state energy; forces, then Error termination, at a first step and at a later
    // one, where the job with a guess to blame gets its one rerun, no more; a job that left the previous step's
    // checkpoint behind (its formatted checkpoint holds another geometry).  None hands anything back.
    const std::string guessed = "g16 force root=1 nstate=3 guess_read=1 td_read=0\n";
    const std::string terminated = " ERROR: Gaussian reported Error termination in temp/tddft_pelun.log\n";
    struct Case { std::string faults; double s; std::string error, runs; };  // error: a whole line, or its start
    for (const Case& c : std::vector<Case>{
             {"no_energy", 0.0, " ERROR: Energy not found in log file\n", fresh + "formchk\n"},
             {"error_after_forces", 0.0, terminated, fresh},
             {"error_after_forces", 0.1, terminated, guessed + fresh},
             {"no_chk", 0.01, " ERROR: temp/tddft_pelun.fchk does not belong to this step's geometry: coordinate 2 of "
                              "atom 2 is ", ""}}) {
        SCOPED_TRACE(c.faults);
        fs::remove_all("temp");
        if (c.s > 0) ASSERT_EQ(call_at(0.0, kConfig).status, 0);
        const ProcessResult r = call_at(c.s, kConfig, "QUORIN_STANDIN_FAULTS=" + c.faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains("\n" + r.out, "\n" + c.error)) << r.out;
        EXPECT_FALSE(fs::exists("out.EOu"));
        if (!c.runs.empty()) EXPECT_EQ(standin_runs(), c.runs);
    }
    // A shift of 1e-5 bohr lies within the rounding of the inner input.
    const ProcessResult r = call_at(0.00001, kConfig, "QUORIN_STANDIN_FAULTS=no_chk");
    EXPECT_EQ(r.status, 0) << r.out;
}

}  // namespace
}  // namespace quorin
