// The diabatic step through the whole program with the stand-ins: steps at
// the edges of the candidate window, whole optimisations of every variant
// across the model's crossing, and what is kept when a step meets a fault.
#include <array>
#include <map>
#include <set>

#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

const std::string kConfig = "config.toml";
// Steps of a descent that passes the seam of the model's states A and B
// (between 0.2 and 0.35 along the stretch from the start geometry).
const double kPath[] = {0.0, 0.2, 0.35, 0.5};

void write_config(const std::string& keys) {
    write_file(kConfig, "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\nsdnto = true\n" + keys);
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// The state file after a step that followed state 2 (NTO range 2,2): its
// energy, three zeros, and the forces (minus the gradient), all D20.12.
std::string state_file(const standin::Evaluation& e) {
    std::vector<double> forces;
    for (double g : e.gradient) forces.push_back(-g);
    return "           2\n2,2\n" + d20_rows({e.energy, 0.0, 0.0, 0.0}, 4, " ") + d20_rows(forces, 3);
}

// The SNTO values of an SNTO summary file's state rows, in order.
std::vector<double> summary_values(const std::string& text) {
    std::vector<double> values;
    std::istringstream in(text.substr(text.find("BEGIN_STATES\n") + 13));
    for (std::string row; std::getline(in, row) && row.rfind("END_STATES", 0) != 0;) values.push_back(std::stod(row.substr(6)));
    return values;
}

// Following the highest state the jobs compute (root + nadd = 2): the window
// reaches it, a stored state equal to it is taken, and every job keeps asking
// for 2 states.  Capital keys are read; ntothre and inttype reach voskSNTO.
TEST(Diabatic, FollowingAtTheTopOfTheWindowStepByStep) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    write_file("w.gjf", "%chk=w.chk\n#p opt external='quorin'\n\nROOT=1 NADD=1 SDNTO=T NTOTHRE=0.25 INTTYPE=2 DEBUG=T "
                        "method=b3lyp basis=sto-3g MEM=4GB NPROC=2 EXTRA=scf=tight TRIPLET=T SNTORANGE=1\n\n0 1\n");
    const std::string wrappers = announcing_wrappers(dir.path() / "bin", {"voskSNTO"});
    // File work is quorin's own: no cp, rm, mv, mkdir, ls or cat process may start.
    for (std::string name : {"mkdir", "cp", "rm", "ls", "mv", "cat"}) {
        write_file(dir.path() / "bin" / name, "#!/bin/sh\necho $0 >> '" + (dir.path() / "commands.log").string() +
                                                  "'\nexec /bin/${0##*/} \"$@\"\n");
        fs::permissions(dir.path() / "bin" / name, fs::perms::owner_all);
    }
    ASSERT_EQ(run_process(wrappers + " cat /dev/null && rm commands.log").status, 0);  // the wrappers do log
    const std::string snaps = "temp/debug_snapshots/", tool = " voskSNTO writes to standard output\n";
    std::string runs, out[4], old_after_3;
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("step " + std::to_string(k + 1));
        const ProcessResult r = call_at(kPath[k], "", wrappers);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        out[k] = r.out.substr(k == 0 ? 0 : r.out.find(" Staring diabatic state"));
        runs += standin_runs();
        // The tool's standard output right after its command line (below), its standard error on quorin's.
        EXPECT_EQ(r.err, " voskSNTO writes to standard error\n");
        EXPECT_EQ(read_file("out.EOu"), external_output(model_at(read_file("in.EIn"), k < 2 ? 1 : 2, 2)));
        if (k == 2) old_after_3 = read_file("temp/old.fch");
    }
    const std::string match = "voskSNTO --newnto temp/tddft_pelun.fchk temp/tddft_pelun.log --oldfch temp/old.fch "
                              "--autorange 0.250000 --otype 2 --sntofile temp/snto.snto --sntodebug --state 1 --outfch "
                              "temp/new_state1.fch --state 2 --outfch temp/new_state2.fch\n";
    const std::string job1 = "g16 force root=1 nstate=2 guess_read=1 td_read=1\nformchk\n";
    const std::string job2 = "g16 force root=2 nstate=2 guess_read=1 td_read=1\nformchk\n";
    EXPECT_EQ(runs, "g16 force root=1 nstate=2 guess_read=0 td_read=0\nformchk\nvoskSNTO --newnto temp/tddft_pelun.fchk "
                    "temp/tddft_pelun.log --state 1 --outfch temp/old.fch\n" +
                        job1 + match + job1 + match + job2 + job2 + match);

    auto saved = [&](const std::string& job) {
        return "  [Debug] Saved TDDFT fchk snapshot -> " + snaps + job + ".fchk\n  [Debug] Saved TDDFT log snapshot -> " +
               snaps + job + ".log\n \n" + echo_of(read_file(snaps + job + ".log"), true);
    };
    const std::string done = " TD-DFT External Interface Done <<<<<\n \n";
    // The first step's start-up summary names every setting.
    EXPECT_EQ(out[0], " >>>>> TD-DFT External Interface Starting\n  Auto-detecting gjf file\n Input file: in.EIn\n Output "
                      "file: out.EOu\n Number of atoms: 3\n Charge: 0\n Spin multiplicity: 1\n  Parameters:\n  Method: "
                      "b3lyp\n  Basis: sto-3g\n  Root: 1\n  Nstate offset: 1\n  SNTO range: 1\n  Inttype keyword: 2\n  NTO "
                      "threshold:  0.250\n  Triplet calculation is enabled.\n  Extra keywords: scf=tight\n  Memory: 4GB\n"
                      "  Processors: 2\n  SDNTO diabatic following is ENABLED.\n  voskSNTO engine for SNTO matching is "
                      "ENABLED.\n  sntofirst: force-first SNTO workflow.\n  Debug mode is ENABLED.\n"
                      " Staring diabatic state (SDNTO enabled) ...\n  [Debug] Snapshot prefix -> step0001\n"
                      "  [Diabatic] Initial following diabatic state            1\n" + saved("step0001_force") +
                          "  Calculating NTO for state            1  using voskSNTO\n  Command: voskSNTO --newnto "
                          "'temp/tddft_pelun.fchk' temp/tddft_pelun.log --state 1 --outfch 'temp/old.fch'\n" + tool + done);
    // The step at the crossing: state 1 of the first gradient job has lost A's
    // character to state 2, whose gradient is computed and handed back.
    const auto v = gfortran(summary_values(read_file(snaps + "snto0002_old.snto")));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(out[2], " Staring diabatic state (SDNTO enabled) ...\n  [Debug] Snapshot prefix -> step0003\n"
                      "  [Diabatic] Previous diabatic state is            1\n" + saved("step0003_force1") +
                          "  [Diabatic] SNTO matching center state:            1\n  [Diabatic] SNTO matching range: "
                          "states            1  to            2\n  [Diabatic] Total states to check:            2\n"
                          "  Matching NTO states using voskSNTO (.snto):\n  Command: voskSNTO --newnto "
                          "'temp/tddft_pelun.fchk' temp/tddft_pelun.log --oldfch 'temp/old.fch' --autorange 0.250000 "
                          "--otype 2 --sntofile 'temp/snto.snto' --sntodebug --state 1 --outfch 'temp/new_state1.fch' "
                          "--state 2 --outfch 'temp/new_state2.fch'\n" + tool + "  [Debug] Saved SNTO snapshot -> " +
                          snaps + "snto0002_old.snto\n  State            1 : SNTO = " + v[0].free +
                          "\n  State            2 : SNTO = " + v[1].free + "\n \n  Final best matching state:      "
                          "      2\n  Best SNTO value: " + v[1].free + "\n  [Diabatic] Updated diabatic state index = "
                          "           2\n  [Diabatic] Diabatic state changed; recomputing gradient for new state.\n" +
                          saved("step0003_force2") + done);
    EXPECT_NE(out[3].find("\n  [Diabatic] Diabatic state unchanged; reuse first-force gradient.\n"), std::string::npos);

    // What the next step would read: the followed state, the NTO range, the
    // last energy and forces; the references rotated; no candidate left.
    EXPECT_EQ(read_file("temp/sdn_meta.dat"), state_file(model_at(read_file("in.EIn"), 2, 2)));
    EXPECT_EQ(read_file("temp/n-1.fch"), old_after_3);
    EXPECT_EQ(names_in("temp"), (std::set<std::string>{".quorin.lock", "debug_snapshots", "formchk.log", "n-1.fch",
                                                       "old.fch", "sdn_meta.dat", "sdn_step.dat", "snto.snto", "tddft_pelun.chk",
                                                       "tddft_pelun.fchk", "tddft_pelun.gjf", "tddft_pelun.log"}));
    std::set<std::string> want = {".snto_counter", ".step_counter", "snto0001_old.snto", "snto0002_old.snto",
                                  "snto0003_old.snto"};
    for (const char* job : {"step0001_force", "step0002_force1", "step0003_force1", "step0003_force2", "step0004_force1"})
        for (const char* ext : {".fchk", ".log"}) want.insert(job + std::string(ext));
    EXPECT_EQ(names_in(snaps), want);
    EXPECT_EQ(read_file(snaps + ".step_counter") + read_file(snaps + ".snto_counter"), "           4\n           3\n");
    EXPECT_FALSE(fs::exists("commands.log")) << read_file("commands.log");
}

// Whole optimisations through the crossing, each variant with debug: at every
// step the energy and gradient handed back are those of the state of A's
// character, exactly; the snapshots name every inner job of every step (the
// SNTO snapshots are shown by the test above).
TEST(Diabatic, EveryVariantFollowsStateAAcrossTheCrossing) {
    QUORIN_FORTRAN_OR_SKIP();
    auto num = [](int n) { const std::string s = std::to_string(n); return std::string(4 - s.size(), '0') + s; };
    for (const char* sntofirst : {"false", "true"})
        for (const char* vosksnto : {"true", "false"}) {
            SCOPED_TRACE(std::string("sntofirst ") + sntofirst + ", vosksnto " + vosksnto);
            ScratchDir dir;
            // voskwfn with the wavefunction-norm overlaps of its second template.
            write_config(std::string("debug = true\nsntofirst = ") + sntofirst + "\nvosksnto = " + vosksnto +
                         (vosksnto[0] == 'f' ? "\ninttype = 2\n" : "\n"));
            use_stand_ins();
            // NTO files hold fewer orbitals than basis functions (a basis with linear dependencies).
            const ProcessResult r = run_process(std::string("QUORIN_STANDIN_FAULTS=fewer_orbitals=3 outer_job --keep -- ") +
                                                QUORIN_EXE + " " + kConfig);
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            // The followed state of each call, from its console; the best
            // overlap repeated in F10.6 after the single point's matching.
            std::vector<int> followed;
            std::string best, overlaps;
            for (const auto& line : lines_of(read_file("outer.log"))) {
                if (line.rfind(" Step ", 0) == 0) followed.push_back(0);
                if (line.rfind("  Best SNTO value: ", 0) == 0) best += gfortran({std::stod(line.substr(19))})[0].f10;
                if (line.rfind(" [Diabatic] Best SNTO overlap = ", 0) == 0) overlaps += line.substr(32);
                for (const std::string said : {"Initial following diabatic state", "Updated diabatic state index ="})
                    if (const auto at = line.find(said); at != std::string::npos)
                        followed.back() = std::stoi(line.substr(at + said.size()));
            }
            ASSERT_GE(followed.size(), 4u);
            std::set<std::string> want, got;  // the snapshots of the inner jobs
            standin::Evaluation e;
            for (std::size_t k = 1; k <= followed.size(); ++k) {
                SCOPED_TRACE("step " + std::to_string(k));
                e = model_at(read_file("step_" + std::to_string(k) + ".EIn"), followed[k - 1], 3);
                EXPECT_EQ(read_file("step_" + std::to_string(k) + ".EOu"), external_output(e));
                const auto& c = e.roots.vector.at(static_cast<std::size_t>(followed[k - 1] - 1));
                EXPECT_GT(c[0] * c[0], 0.5) << "not A's character";
                const bool changed = k > 1 && followed[k - 1] != followed[k - 2];
                std::vector<std::string> jobs = {k == 1 ? "force" : sntofirst[0] == 't' ? "sp" : "force1"};
                if (k > 1 && sntofirst[0] == 't') jobs.push_back("force");
                if (changed && sntofirst[0] == 'f') jobs.push_back("force2");
                for (const auto& j : jobs)
                    for (const char* ext : {".fchk", ".log"}) want.insert("step" + num(k) + "_" + j + ext);
            }
            EXPECT_EQ(followed.back(), 2);
            want.insert("");
            EXPECT_EQ(overlaps, sntofirst[0] == 't' ? best : "");
            for (const auto& name : names_in("temp/debug_snapshots")) got.insert(name.rfind("step", 0) ? "" : name);
            EXPECT_EQ(got, want);
            EXPECT_EQ(read_file("temp/sdn_meta.dat"), state_file(e));
        }
}

// What the next step reads.
std::map<std::string, std::string> kept_state() {
    std::map<std::string, std::string> files;
    for (const char* f : {"temp/sdn_meta.dat", "temp/old.fch", "temp/n-1.fch"}) files[f] = read_file(f);
    return files;
}

// A zero window never changes the state; a step that meets a fault -- an
// unusable match, a damaged or foreign state file -- stops before anything
// the next step reads is changed.
TEST(Diabatic, AZeroWindowAndStepsThatKeepTheFollowedStateAsItWas) {
    ScratchDir dir;
    write_config("vosksnto = true\nsntorange = 0\n");
    ASSERT_EQ(call_at(kPath[0], kConfig).status, 0);
    ASSERT_EQ(call_at(kPath[1], kConfig).status, 0);
    const auto before = kept_state();
    ASSERT_FALSE(before.at("temp/n-1.fch").empty());
    const std::string meta = before.at("temp/sdn_meta.dat");
    for (const auto& [text, faults, error] : std::vector<std::array<std::string, 3>>{
             {meta, "empty_summary", " ERROR: The SNTO summary temp/snto.snto holds no row for state 1; the NTO tool's "
                                     "result is incomplete."},
             {meta, "empty_nto", " ERROR: The NTO file of the chosen state 1, temp/new_state1.fch, cannot serve as the "
                                 "next reference: it holds no number of basis functions."},
             {"           2\n", "", " ERROR: Failed to read range_str from sdn_meta.dat"},
             {"           4" + meta.substr(12), "", " ERROR: The followed state 4 stored in temp/sdn_meta.dat lies "
                                                     "outside states 1 to 3 of this run (root + nadd)."}}) {
        SCOPED_TRACE(error);
        write_file("temp/sdn_meta.dat", text);
        const ProcessResult r = call_at(kPath[2], kConfig, "QUORIN_STANDIN_FAULTS=" + faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("\n" + error + "\n"), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists("out.EOu"));
        if (faults.empty()) EXPECT_EQ(standin_runs(), "");  // no job for a state file that cannot be used
        else EXPECT_EQ(kept_state(), before);
    }
    write_file("temp/sdn_meta.dat", meta);
    // Past the seam, after a node crash that damaged the checkpoint: the job
    // that read it runs once more from a fresh guess, and the zero window
    // keeps state 1.
    write_file("temp/tddft_pelun.chk", "damaged by a node crash\n");
    ASSERT_EQ(call_at(kPath[2], kConfig).status, 0);
    EXPECT_EQ(standin_runs(), "g16 force root=1 nstate=3 guess_read=1 td_read=1 error\n"
                              "g16 force root=1 nstate=3 guess_read=0 td_read=0\nformchk\nvoskSNTO --newnto "
                              "temp/tddft_pelun.fchk temp/tddft_pelun.log --oldfch temp/old.fch --autorange 0.300000 "
                              "--otype 1 --sntofile temp/snto.snto --state 1 --outfch temp/new_state1.fch\n");
    EXPECT_NE(kept_state(), before);
    // A voskwfn that leaves nothing: candidates left by an interrupted step
    // (planted here) must not pass for its output.
    write_config("vosksnto = false\nsntorange = 0\n");
    fs::copy_file("temp/old.fch", "temp/new_state1.fch");
    write_file("temp/new_state1.fch.txt", "2 2 1.0\n");
    write_file("bin/voskwfn", "#!/bin/sh\n");
    fs::permissions("bin/voskwfn", fs::perms::owner_all);
    const auto kept = kept_state();
    EXPECT_EQ(call_at(kPath[3], kConfig, "PATH='" + (dir.path() / "bin").string() + "':\"$PATH\"").status, 1);
    EXPECT_EQ(kept_state(), kept);
    // Without its state file the following starts over, without references of the old one.
    fs::remove("temp/sdn_meta.dat");
    ASSERT_EQ(call_at(kPath[3], kConfig).status, 0);
    EXPECT_TRUE(fs::exists("temp/old.fch") && !fs::exists("temp/n-1.fch"));
}

}  // namespace
}  // namespace quorin
