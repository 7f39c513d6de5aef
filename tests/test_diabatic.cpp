// The diabatic step through the whole program with the stand-ins: steps at
// the edges of the candidate window, whole optimisations of every variant
// across the model's crossing, and what is kept when a step meets a fault.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>

#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

// Steps of a descent that passes the seam of the model's states A and B
// (between 0.2 and 0.35 along the stretch from the start geometry).
const double kPath[] = {0.0, 0.2, 0.35, 0.5};

void write_diabatic_config(const std::string& keys) { write_config("sdnto = true\n" + keys); }

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

std::string fixed(double x, int d, const char* f = "%.*f") { return strf(f, d, x); }

// Following the highest state the jobs compute (root + nadd = 2): the window
// reaches it, a stored state equal to it is taken, and every job keeps asking
// for 2 states.  Capital keys are read; ntothre and inttype reach voskSNTO.
TEST(Diabatic, FollowingAtTheTopOfTheWindowStepByStep) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    write_file("w.gjf", "%chk=w.chk\n#p opt external='quorin' nosymm\n\nROOT=1 NADD=1 SDNTO=T NTOTHRE=0.25 INTTYPE=2 DEBUG=T "
                        "method=b3lyp basis=sto-3g MEM=4GB NPROC=2 EXTRA=scf=tight TRIPLET=T SNTORANGE=1\n\n0 1\n");
    const std::string wrappers = announcing_wrappers(dir.path() / "bin", {"voskSNTO"});
    // File work is quorin's own: no cp, rm, mv, mkdir, ls or cat process may start.
    for (std::string name : {"mkdir", "cp", "rm", "ls", "mv", "cat"})
        write_script(dir.path() / "bin" / name, "#!/bin/sh\necho $0 >> '" + (dir.path() / "commands.log").string() +
                                                    "'\nexec /bin/${0##*/} \"$@\"\n");
    ASSERT_EQ(run_process(wrappers + " cat /dev/null && rm commands.log").status, 0);  // the wrappers do log
    const std::string snaps = "temp/debug_snapshots/", tool = " voskSNTO writes to standard output\n";
    std::string runs, out[4], ein[4], old_after_3;
    write_file("temp/debug_snapshots/.step_counter", "2147483647\n");  // a step counter at its top starts over
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("step " + std::to_string(k + 1));
        const ProcessResult r = call_at(kPath[k], "", wrappers);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        out[k] = r.out.substr(k == 0 ? 0 : r.out.find(" Staring diabatic state"));
        runs += standin_runs();
        ein[k] = read_file("in.EIn");
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
    // character to state 2, whose gradient is computed and handed back.  The
    // reference's own value: A's weight in state 1 of step 2, as its NTO file
    // holds it; the energies as the inner log prints them.
    const auto e2 = model_at(ein[1], 1, 2), e3 = model_at(ein[2], 1, 2);
    auto ev = [&](int r) { return std::stod(fixed((e3.roots.energy[r - 1] - e3.model.ground) * standin::kHartreeToEv, 4)); };
    std::vector<double> values = summary_values(read_file(snaps + "snto0002_old.snto"));
    values.push_back(std::stod(fixed(std::pow(e2.roots.vector[0][0], 2), 8, "%.*E")));
    const auto v = gfortran(values);
    ASSERT_EQ(v.size(), 3u);
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
                          "      2\n  Best SNTO value: " + v[1].free + "\n  Reference's own SNTO value: " + v[2].free +
                          "\n WARNING: Root change: the followed state moves from root 1 to root 2; E(2) - E(1) = " +
                          fixed(ev(2) - ev(1), 4) + " eV at this geometry.\n  [Diabatic] Updated diabatic state index = "
                          "           2\n  [Diabatic] Diabatic state changed; recomputing gradient for new state.\n" +
                          saved("step0003_force2") + done);
    EXPECT_NE(out[3].find("\n  [Diabatic] Diabatic state unchanged; reuse first-force gradient.\n"), std::string::npos);

    // What the next step would read: the followed state, the NTO range, the
    // last energy and forces; the references rotated; no candidate left.
    EXPECT_EQ(read_file("temp/sdn_meta.dat"), state_file(model_at(read_file("in.EIn"), 2, 2)));
    EXPECT_EQ(read_file("temp/n-1.fch"), old_after_3);
    EXPECT_EQ(lines_of(read_file("temp/sdn_step.dat"))[0].substr(23), std::to_string(fs::file_size("in.EIn")));  // its input
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
    for (const char* sntofirst : {"false", "true"})
        for (const char* vosksnto : {"true", "false"}) {
            SCOPED_TRACE(std::string("sntofirst ") + sntofirst + ", vosksnto " + vosksnto);
            ScratchDir dir;
            // voskwfn with the wavefunction-norm overlaps of its second template.
            write_diabatic_config(std::string("debug = true\nsntofirst = ") + sntofirst + "\nvosksnto = " + vosksnto +
                                  (vosksnto[0] == 'f' ? "\ninttype = 2\n" : "\n"));
            use_stand_ins();
            // NTO files hold fewer orbitals than basis functions (a basis with linear dependencies).
            const ProcessResult r = run_process("QUORIN_STANDIN_LOG='" + fs::absolute("runs.log").string() +
                                                "' QUORIN_STANDIN_FAULTS=fewer_orbitals=3 outer_job --keep -- " QUORIN_EXE " " + kConfig);
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            const std::string runs = read_file("runs.log");  // every inner job after the first reads the one before
            EXPECT_TRUE(runs.starts_with("g16 force root=1 nstate=3 guess_read=0 td_read=0\n") && !contains(runs.substr(49), "_read=0"));
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
                    for (const char* ext : {".fchk", ".log"}) want.insert(strf("step%04zu_", k) + j + ext);
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
    for (const char* f : {"temp/sdn_meta.dat", "temp/old.fch", "temp/n-1.fch", "temp/first.fch", "temp/sdn_step.dat"})
        files[f] = read_file(f);
    return files;
}

// Doubt said aloud, on steps along the model's crossing: each later step
// prints the reference's own value (A's weight in the reference where known;
// no candidate above it) and just its row's doubt lines with its console's
// numbers -- L low, A ambiguous, R root change (model energies), E the
// minsnto stop, which keeps every state file, M a missing temp/first.fch
// replaced, - none.  With sntoref = first the tools compare with the first
// step's NTOs.
TEST(Diabatic, DoubtIsSaidAloudAndMinsntoStops) {
    struct Row { std::string keys; std::vector<double> path; std::string doubts; };
    for (const Row& row : std::vector<Row>{{"vosksnto = true\n", {0.0, 0.24592}, "A"},
                                           {"vosksnto = true\nsntorange = 0\n", {0.0, 0.35}, "L"},
                                           {"vosksnto = true\nsntorange = 0\nminsnto = 0.3\n", {0.0, 0.2, 0.35}, "-E"},
                                           {"vosksnto = false\nsntoref = FIRST\n", {0.0, 0.2, 0.35, 0.5}, "-R-"},
                                           {"vosksnto = true\nsntoref = first\n", {0.0, 0.2, 0.35}, "MR"}}) {
        SCOPED_TRACE(row.keys);
        ScratchDir dir;
        const bool first = row.keys.find("sntoref") != std::string::npos;
        std::string first_nto;
        double own_first = 0.0;  // the model's weight of A in state 1 at the first step
        int followed = 1;
        for (std::size_t k = 0; k < row.path.size(); ++k) {
            write_diabatic_config(k == 0 && row.doubts[0] == 'M' ? "vosksnto = true\n" : row.keys);
            const auto kept = kept_state();
            const ProcessResult r = call_at(row.path[k], kConfig);
            const standin::Evaluation e = model_at(read_file("in.EIn"), 1, 3);
            if (k == 0) {
                own_first = e.roots.vector[0][0] * e.roots.vector[0][0], first_nto = read_file("temp/old.fch");
                continue;
            }
            std::vector<double> v;
            double own = -1.0;
            int best = 0;
            std::string said;
            for (const std::string& line : lines_of(r.out)) {
                if (const std::size_t at = line.find(" : SNTO = "); at != std::string::npos) v.push_back(std::stod(line.substr(at + 10)));
                if (line.starts_with("  Reference's own SNTO value: ")) own = std::stod(line.substr(30));
                if (line.starts_with("  Final best matching state: ")) best = std::stoi(line.substr(29));
                if (line.starts_with(" WARNING: ") || line.starts_with(" ERROR: ") || line.starts_with("        No")) said += line + "\n";
            }
            SCOPED_TRACE("step " + std::to_string(k + 1) + r.out);
            ASSERT_TRUE(best >= 1 && std::all_of(v.begin(), v.end(), [&](double x) { return x <= own; }));
            if (k == 1 || first) EXPECT_NEAR(own, own_first, 1e-8);
            const double b = v[best - 1];
            v[best - 1] = -1.0;
            const std::size_t second = std::max_element(v.begin(), v.end()) - v.begin();
            auto ev = [&](int root) { return std::stod(fixed((e.roots.energy[root - 1] - e.model.ground) * standin::kHartreeToEv, 4)); };
            const std::string share = fixed(b, 6) + " is " + fixed(b / own, 3) + " of the reference's own value " + fixed(own, 6),
                              to = std::to_string(best), from = std::to_string(followed);
            const std::map<char, std::string> lines{
                {'-', ""},
                {'M', " WARNING: temp/first.fch, the NTOs that sntoref = first matches against, is missing (the following began "
                      "with sntoref = previous); the previous step's NTOs, temp/old.fch, take its place from this step on.\n"},
                {'L', " WARNING: Low SNTO: best value " + share + " (sntowarn 0.500); the followed state may be lost.\n"},
                {'E', " ERROR: Best SNTO value " + share + ", below minsnto 0.300: the followed state is lost.\n        No External "
                      "output was written; temp/sdn_meta.dat, temp/old.fch and temp/n-1.fch are left as they were.\n"},
                {'A', " WARNING: Ambiguous SNTO: state " + std::to_string(second + 1) + " reaches " + fixed(v[second] / b, 3) +
                      " of the best value (" + fixed(v[second], 6) + " against state " + to + " with " + fixed(b, 6) + ", sntoambig 0.800).\n"},
                {'R', " WARNING: Root change: the followed state moves from root " + from + " to root " + to + "; E(" + to + ") - E(" +
                      from + ") = " + fixed(ev(best) - ev(followed), 4) + " eV at this geometry.\n"}};
            const char kind = row.doubts[k - 1];
            EXPECT_EQ(said, lines.at(kind));
            EXPECT_EQ(r.status, kind == 'E' ? 1 : 0);
            if (kind == 'E') EXPECT_TRUE(kept_state() == kept && !fs::exists("out.EOu"));
            if (first && kind != 'M')
                EXPECT_TRUE(read_file("temp/first.fch") == first_nto &&
                            contains(standin_runs(), row.keys[11] == 't' ? "--oldfch temp/first.fch" : "integral.bw temp/first.fch"));
            followed = best;
        }
    }
}

// A zero window never changes the state; a step that meets a fault -- an
// unusable match, a damaged or foreign state file -- stops before anything
// the next step reads is changed.
TEST(Diabatic, AZeroWindowAndStepsThatKeepTheFollowedStateAsItWas) {
    ScratchDir dir;
    write_diabatic_config("vosksnto = true\nsntorange = 0\n");
    const ProcessResult empty = call_at(kPath[0], kConfig, "QUORIN_STANDIN_FAULTS=empty_nto");  // starts no following
    EXPECT_TRUE(empty.status == 1 && !fs::exists("temp/sdn_meta.dat") &&
                contains(empty.out, "\n ERROR: The NTO file of state 1, temp/old.fch, cannot serve as the reference of the "
                                    "next step: it holds no number of basis functions.\n")) << empty.out;
    ASSERT_EQ(call_at(kPath[0], kConfig).status, 0);
    ASSERT_EQ(call_at(kPath[1], kConfig).status, 0);
    const auto before = kept_state();
    ASSERT_FALSE(before.at("temp/n-1.fch").empty());
    const std::string meta = before.at("temp/sdn_meta.dat");
    // The state file damaged or foreign, a tool's result unusable; and the candidates around a stored state at the
    // edges of the states computed (root + nadd), by sntorange or by nadd without it, named by a tool that gives none
    // a value.
    const std::string rerun = "\n        temp/sdn_meta.dat, temp/old.fch and temp/n-1.fch are left as they were; the step can be rerun.";
    auto window = [&](const char* states) {
        return " ERROR: State matching found no SNTO value for any of the states " + std::string(states) +
               "; the NTO tool produced no usable result." + rerun;
    };
    auto outside = [](const char* state) {
        return " ERROR: The followed state " + std::string(state) + " stored in temp/sdn_meta.dat lies outside states 1 to 3 of "
               "this run (root + nadd).\n        Raise nadd so that root + nadd is at least " + state + ", or remove "
               "temp/sdn_meta.dat to start the following over from root.";
    };
    const std::string stored = meta.substr(12);
    for (const auto& [text, faults, keys, error] : std::vector<std::array<std::string, 4>>{
             {meta, "empty_nto", "", " ERROR: The NTO file of the chosen state 1, temp/new_state1.fch, cannot serve as the "
                                     "next reference: it holds no number of basis functions." + rerun},
             {"           2\n", "", "", " ERROR: Failed to read range_str from sdn_meta.dat"},
             {"           4" + stored, "", "", outside("4")}, {"           0" + stored, "", "", outside("0")},
             {"           3" + stored, "failed_rows", "root = 2\nnadd = 1\n", window("2 to 3")},
             {"           2" + stored, "failed_rows", "sntorange = 9\n", window("1 to 3")}}) {
        SCOPED_TRACE(error);
        write_diabatic_config("vosksnto = true\n" + (keys.empty() ? "sntorange = 0\n" : keys));
        write_file("temp/sdn_meta.dat", text);
        auto kept = before;
        kept["temp/sdn_meta.dat"] = text;
        const ProcessResult r = call_at(kPath[2], kConfig, "QUORIN_STANDIN_FAULTS=" + faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.substr(r.out.find(" ERROR:")), error + "\n");  // the message and how it goes on, the end
        EXPECT_FALSE(fs::exists("out.EOu"));
        if (faults.empty()) EXPECT_EQ(standin_runs(), "");  // no job for a state file that cannot be used
        else EXPECT_EQ(kept_state(), kept);
    }
    write_file("temp/sdn_meta.dat", meta);
    write_diabatic_config("vosksnto = true\nsntorange = 0\n");
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
    const std::string done = read_file("temp/sdn_meta.dat");  // the same input again, its stored step cut short
    write_file("temp/sdn_meta.dat", done.substr(0, done.rfind('\n', done.size() - 2) + 1));
    const ProcessResult again = call_at(kPath[2], kConfig);
    EXPECT_TRUE(again.status == 1 && contains(again.out, " ERROR: Not enough force lines in sdn_meta.dat\n")) << again.out;
    write_file("temp/sdn_meta.dat", done);
    // A voskwfn that leaves nothing: candidates left by an interrupted step
    // (planted here) must not pass for its output.
    write_diabatic_config("vosksnto = false\nsntorange = 0\n");
    fs::copy_file("temp/old.fch", "temp/new_state1.fch");
    write_file("temp/new_state1.fch.txt", "2 2 1.0\n");
    write_script("bin/voskwfn", "#!/bin/sh\n");
    const auto kept = kept_state();
    const ProcessResult r = call_at(kPath[3], kConfig, "PATH='" + (dir.path() / "bin").string() + "':\"$PATH\"");
    EXPECT_TRUE(r.status == 1 && contains(r.out, "\n ERROR: Cannot open overlap file: temp/new_state1.fch.txt\n")) << r.out;
    EXPECT_EQ(kept_state(), kept);
    // Without its state file the following starts over, without references of the old one, from the checkpoint.
    fs::remove("temp/sdn_meta.dat");
    ASSERT_EQ(call_at(kPath[3], kConfig).status, 0);
    EXPECT_TRUE(fs::exists("temp/old.fch") && !fs::exists("temp/n-1.fch"));
    EXPECT_EQ(standin_runs().substr(0, 49), "g16 force root=1 nstate=3 guess_read=1 td_read=1\n");
}

// What Gaussian and the tools hand back at a later step (the third: both
// references exist), damaged in the ways a crash, a full disk or a failing
// tool leaves it: each stops the call with its ERROR line and status 1,
// hands nothing back and leaves every file the next step reads as it was --
// or, where the fault only costs one candidate its value, says so aloud and
// goes on.  A tool that hangs is ended; one that waits for input gets none.
TEST(Diabatic, DamagedResultsAreNeverPassedOn) {
    ScratchDir dir;
    write_diabatic_config("vosksnto = true\n");
    ASSERT_EQ(call_at(kPath[0], kConfig).status, 0);
    ASSERT_EQ(call_at(kPath[1], kConfig).status, 0);
    const auto before = kept_state();
    fs::copy("temp", "kept", fs::copy_options::recursive);
    const int fifo = (mkfifo("input.fifo", 0600), open("input.fifo", O_RDWR));  // input that never comes
    const std::string wfn = "vosksnto = false\n", fchk = "temp/tddft_pelun.fchk holds \"NAN\" as ",
                      ended = " s (tooltimeout); quorin ended it (process group ";
    struct Case { std::string config, faults, ein; int ider; std::string said; int status = 1; };
    for (const Case& c : std::vector<Case>{
             {"", "nan=energy", "", 1, "ERROR: temp/tddft_pelun.log holds \"nan\" as the excited-state energy, not a finite number."},
             {"", "nan=forces", "", 1, "ERROR: temp/tddft_pelun.log holds \"-nan\" as force x of atom 1, not a finite number."},
             {"", "nan=coordinates", "", 1, "ERROR: " + fchk + "Current cartesian coordinate 1, not a finite number."},
             {"", "", "3 1 0 1\n8 0 0 -0.1 0\n1 0 1.4 1.0 0\n1 0 -1.4 1.0 0.", 1,
              "ERROR: The file ends inside the line of atom 3 in in.EIn (\"1 0 -1.4 1.0 0.\"): it was cut off."},
             {"", "summary_cut", "", 1, "ERROR: The SNTO summary temp/snto.snto holds no row for states 2 3; the NTO tool's "
                                        "result is incomplete."},
             {"", "failed_rows", "", 1, "ERROR: State matching found no SNTO value for any of the states 1 to 3; the NTO "
                                        "tool produced no usable result."},
             {"", "nan_eigenvalue", "", 1, "ERROR: temp/new_state2.fch holds \"NAN\" as NTO eigenvalue 2, not a finite number."},
             {wfn, "overlap_gap", "", 1, "ERROR: Overlap file temp/new_state1.fch.txt holds no diagonal entry for orbital 2 "
                                         "of the range 2,2"},
             {wfn, "inf_overlap=2", "", 1, "WARNING: temp/new_state2.fch.txt holds \"inf\" as the overlap of orbital 2, not a "
                                           "number; state 2 gets no SNTO value.", 0},
             {"", "cut_force_constants", "", 2, "ERROR: Failed to read Hessian data from temp/tddft_pelun.fchk"},
             {"", "nan=hessian", "", 2, "ERROR: " + fchk + "force constant 1, not a finite number."},
             {"", "nan=forces", "", 2, "ERROR: " + fchk + "value 1 of the gradient, not a finite number."},
             {"", "nan=energy", "", 2, "ERROR: " + fchk + "the total energy, not a finite number."},
             {"tooltimeout = 1\n", "hang=formchk", "", 1, "ERROR: formchk did not finish within 1" + ended},
             {"tooltimeout = 1\n" + wfn, "hang=voskwfn", "", 1, "ERROR: voskwfn did not finish within 1" + ended},
             {"", "lose_candidates", "", 1, "ERROR: Could not put temp/new_state2.fch in place as temp/old.fch; temp/sdn_meta.dat "
                                            "is left as it was."},
             {"tooltimeout = 20\n", "wait_input", "", 1, " Final best matching state:            2", 0}}) {
        SCOPED_TRACE(c.faults + " " + c.ein);
        fs::remove_all("temp");
        fs::copy("kept", "temp", fs::copy_options::recursive);
        write_diabatic_config(c.config.empty() ? "vosksnto = true\n" : c.config);
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult r =
            call_at(kPath[2], kConfig, "QUORIN_STANDIN_FAULTS=" + c.faults + " < input.fifo", c.ider, c.ein);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find("\n " + c.said), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Infinity"), std::string::npos);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // nothing waited on a tool
        if (c.status == 0) continue;
        EXPECT_FALSE(fs::exists("out.EOu"));
        EXPECT_EQ(kept_state(), before);
        // Without any value there is no second comparison against n-1.fch.
        EXPECT_EQ(r.out.find("Near-degenerate"), std::string::npos);
        EXPECT_EQ(standin_runs().find("n-1.fch"), std::string::npos);
        // A hung tool's process group is gone with the call.
        for (const char* pid : {"hang.pid", "temp/hang.pid"})
            if (const std::string hung = read_file(pid); !hung.empty() && fs::remove(pid))
                EXPECT_EQ(read_file("/proc/" + std::to_string(std::stoi(hung)) + "/stat").find(") S "), std::string::npos);
    }
    close(fifo);

    // The step whose External output could not be written (here: a
    // directory holds its name) is made again by the restarted job: the same
    // step, its result handed back without a job run or a second rotation of
    // the references, as uninterrupted (later steps: tests/kill_sweep.sh).
    std::map<std::string, std::string> uninterrupted, rerun;
    for (auto* files : {&uninterrupted, &rerun}) {
        fs::remove_all("temp");
        fs::copy("kept", "temp", fs::copy_options::recursive);
        write_diabatic_config("vosksnto = true\n");
        if (files == &rerun) {
            write_external_input(1, kPath[2]);
            fs::remove("out.EOu");
            fs::create_directories("out.EOu/taken");
            EXPECT_EQ(external_call(kConfig).status, 2);
            fs::remove_all("out.EOu");
        }
        ASSERT_EQ(call_at(kPath[2], kConfig).status, 0);
        if (files == &rerun) EXPECT_EQ(standin_runs(), "");
        *files = kept_state();
        files->erase("temp/sdn_step.dat");  // it names freshly made staged files
        (*files)["out.EOu"] = read_file("out.EOu");
    }
    EXPECT_EQ(rerun, uninterrupted);
    // What the rerun hands back is read from the state file, as always.
    std::string meta = read_file("temp/sdn_meta.dat");
    write_file("temp/sdn_meta.dat", meta.replace(meta.find('\n', 13) + 1, 21, "  NaN"));
    const ProcessResult r = call_at(kPath[2], kConfig);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\n ERROR: temp/sdn_meta.dat holds \"NaN\" as the energy, not a finite number.\n"), std::string::npos)
        << r.out;
}

}  // namespace
}  // namespace quorin
