// Whole optimisations: quorin run step by step by the stand-in outer job on the
// model molecule, whose first two roots exchange character (A, B) along the
// descent.  Every expectation is computed from the model at the geometry the
// inner job saw: what each step hands back, which state is followed, which
// processes a step starts, and what the diabatic mode keeps in temp.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>
#include <set>

#include "fchk_io.hpp"
#include "model.hpp"
#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

const standin::Model kModel = standin::default_model();
constexpr int kA = 0, kB = 1;  // diabatic characters of the default model

std::string D(double v) { return fmt_D(v, 20, 12); }

void prepare() {
    test::use_stand_ins();
    unsetenv("QUORIN_MODEL");  // the built-in model, the one the outer job and g16 use here
}

// One call of the outer job, from the files that --keep leaves.
struct Step {
    int ider = 0;
    std::vector<int> z;
    std::vector<double> x;         // bohr, as the inner g16 read them
    std::vector<std::string> out;  // the External output
    std::string field(std::size_t line, std::size_t f) const {
        return line < out.size() && out[line].size() >= 20 * f + 20 ? out[line].substr(20 * f, 20) : "(missing)";
    }
};

// The geometry goes bohr -> angstrom (F20.12) -> bohr on its way to g16;
// the model's own reader of inner inputs makes the last conversion.
Step kept_step(int n) {
    Step s;
    const std::string base = "step_" + std::to_string(n);
    const auto ein = lines_of(read_file(base + ".EIn"));
    int natoms = 0, charge = 0, mult = 0;
    std::istringstream(ein.at(0)) >> natoms >> s.ider >> charge >> mult;
    std::string gjf = "# td(root=1,nstate=1) force\n\ngeometry\n\n0 1\n";
    for (int a = 1; a <= natoms; ++a) {
        int z = 0;
        double x[3] = {};
        std::istringstream(ein.at(static_cast<std::size_t>(a))) >> z >> x[0] >> x[1] >> x[2];
        s.z.push_back(z);
        gjf += standin::element_symbols().at(static_cast<std::size_t>(z));
        for (double v : x) gjf += fmt_F(v * 0.529177249, 20, 12);
        gjf += "\n";
    }
    std::istringstream job(gjf);
    s.x = standin::parse_job(job).x;
    s.out = lines_of(read_file(base + ".EOu"));
    return s;
}

standin::Evaluation model_at(const Step& s, int root, int nstate, bool hessian = false) {
    return standin::evaluate(kModel, s.x, root, nstate, hessian);
}

// The root whose energy and gradient, each to the 12 digits of D20.12, the
// step handed back; 0 when none matches.
int root_handed_back(const Step& s) {
    for (int r = 1; r <= kModel.nstates(); ++r) {
        const auto e = model_at(s, r, kModel.nstates());
        bool same = s.field(0, 0) == D(e.energy);
        for (std::size_t i = 0; same && i < e.gradient.size(); ++i)
            same = s.field(1 + i / 3, i % 3) == D(e.gradient[i]);
        if (same) return r;
    }
    return 0;
}

// The diabatic state that dominates `root` at the step's geometry.
int character(const Step& s, int root) {
    const auto v = model_at(s, root, kModel.nstates()).roots.vector.at(static_cast<std::size_t>(root - 1));
    auto smaller = [](double a, double b) { return std::fabs(a) < std::fabs(b); };
    return static_cast<int>(std::max_element(v.begin(), v.end(), smaller) - v.begin());
}

// outer.log cut at its " Step N" lines: element k holds what call k+1 logged.
std::vector<std::vector<std::string>> step_blocks(const std::string& log) {
    std::vector<std::vector<std::string>> blocks;
    for (const auto& line : lines_of(log)) {
        if (line.rfind(" Step ", 0) == 0)
            blocks.emplace_back();
        else if (!blocks.empty())
            blocks.back().push_back(line);
    }
    return blocks;
}

int count_lines(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

// The inner job's own convergence table: Gaussian's thresholds, the step
// estimated from the softest surface of the model.
bool inner_table_all_yes(const std::vector<double>& g) {
    double mx = 0.0, ss = 0.0;
    for (double v : g) mx = std::max(mx, std::fabs(v)), ss += v * v;
    const double rms = std::sqrt(ss / static_cast<double>(g.size())), k = kModel.kappa_min();
    return mx < 0.00045 && rms < 0.0003 && mx / k < 0.0018 && rms / k < 0.0012;
}

// The derivative-level-2 call: energy, gradient and lower-triangle force
// constants of `root` as the formatted checkpoint carries them, and the
// outer job's harmonic frequencies from them.
void expect_frequency_call(const Step& s, int root, const std::string& outer_stdout) {
    ASSERT_EQ(s.ider, 2);
    std::ifstream gjf("temp/tddft_freq.gjf");
    const standin::Job job = standin::parse_job(gjf);
    EXPECT_EQ(job.kind, "freq");
    EXPECT_EQ(job.root, root);
    EXPECT_EQ(job.x, s.x);
    const auto e = model_at(s, root, job.nstate, true);
    const std::size_t n = e.gradient.size();
    EXPECT_EQ(s.field(0, 0), D(standin::fchk_scalar_value(e.energy)));
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_EQ(s.field(1 + i / 3, i % 3), D(standin::fchk_array_value(e.gradient[i]))) << "gradient " << i;
    const std::size_t first = 1 + n / 3 + 2 + n;  // after polarizability and dipole derivatives
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j, ++k)
            EXPECT_EQ(s.field(first + k / 3, k % 3), D(standin::fchk_array_value(e.hessian[i * n + j])))
                << "H(" << i << "," << j << ")";
    EXPECT_EQ(s.out.size(), first + (k + 2) / 3);

    const auto want = standin::harmonic_frequencies(e.hessian, s.z);
    const std::string head = "Harmonic frequencies (cm**-1):";
    const std::size_t at = outer_stdout.find(head);
    ASSERT_NE(at, std::string::npos) << outer_stdout;
    std::istringstream printed(outer_stdout.substr(at + head.size()));
    std::vector<double> got;
    for (double f; printed >> f;) got.push_back(f);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-6 * std::fabs(want[i])) << i;
}

// The diabatic state file after a step that followed `root` at s.x.
void expect_state_file(const Step& s, int root) {
    const auto lines = lines_of(read_file("temp/sdn_meta.dat"));
    ASSERT_EQ(lines.size(), 3 + s.z.size());
    const auto e = model_at(s, root, kModel.nstates());
    char head[32];
    std::snprintf(head, sizeof head, " %11d", root);
    EXPECT_EQ(lines[0], head);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("[0-9]+,[0-9]+"))) << lines[1];
    EXPECT_EQ(lines[2], " " + D(e.energy) + D(0.0) + D(0.0) + D(0.0));
    for (std::size_t a = 0; a < s.z.size(); ++a)
        EXPECT_EQ(lines[3 + a], D(-e.gradient[3 * a]) + D(-e.gradient[3 * a + 1]) + D(-e.gradient[3 * a + 2]));
}

std::string toml(const std::string& extra) {
    return "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\nsdnto = true\n" + extra;
}

// The outer job in the current directory; with `log`, the stand-ins' own
// log lines go there too.
ProcessResult outer_job(const std::string& options, const std::string& config, const fs::path& log = {},
                        const std::string& env = "") {
    const std::string log_env = log.empty() ? "" : "QUORIN_STANDIN_LOG='" + log.string() + "' ";
    return run_process(env + " " + log_env + "outer_job --keep " + options + " -- " + QUORIN_EXE + " " + config);
}

TEST(EndToEnd, AdiabaticRunHandsBackRootOneExactlyAndStartsOnlyGaussian) {
    prepare();
    ScratchDir dir;
    write_file("water.gjf",
               "%chk=water.chk\n#p opt freq external='quorin'\n\nroot=1 method=b3lyp basis=6-31g*\n\n"
               "0 1\nO 0.0 0.0 -0.07\nH 0.0 0.76 0.52\nH 0.0 -0.76 0.52\n\n");
    // File commands must not be run as processes: logging wrappers first on PATH.
    const fs::path wrap = dir.path() / "wrap", commands = dir.path() / "commands.log";
    for (std::string name : {"mkdir", "cp", "rm", "ls", "mv", "cat"}) {
        write_file(wrap / name,
                   "#!/bin/sh\necho " + name + " >> '" + commands.string() + "'\nexec /bin/" + name + " \"$@\"\n");
        fs::permissions(wrap / name, fs::perms::owner_all, fs::perm_options::add);
    }
    const std::string path = "PATH='" + wrap.string() + "':\"$PATH\"";
    ASSERT_EQ(run_process(path + " ls").status, 0);
    ASSERT_EQ(read_file(commands), "ls\n");  // the wrappers do log
    fs::remove(commands);

    const fs::path standin_log = dir.path() / "standin.log";
    const ProcessResult r = outer_job("--freq", "", standin_log, path);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(commands), "");
    const auto blocks = step_blocks(read_file("outer.log"));
    const int calls = static_cast<int>(blocks.size()), steps = calls - 1;
    ASSERT_GE(steps, 2);

    std::vector<std::string> want_jobs;
    for (int k = 1; k <= steps; ++k) {
        want_jobs.push_back("g16 force root=1 nstate=3 guess_read=" + std::string(k > 1 ? "1" : "0") + " td_read=0");
        want_jobs.push_back("formchk");
    }
    want_jobs.push_back("g16 freq root=1 nstate=3 guess_read=1 td_read=1");
    want_jobs.push_back("formchk");
    EXPECT_EQ(lines_of(read_file(standin_log)), want_jobs);
    for (int k = 1; k <= steps; ++k) {
        SCOPED_TRACE("step " + std::to_string(k));
        const Step s = kept_step(k);
        EXPECT_EQ(root_handed_back(s), 1);
        const bool all_yes = inner_table_all_yes(model_at(s, 1, 3).gradient);
        EXPECT_EQ(count_lines(blocks[k - 1], "Converged geometry detected, chk copied to ./water.chk"),
                  all_yes ? 1 : 0);
        if (k == steps) EXPECT_TRUE(all_yes);
    }
    EXPECT_TRUE(fs::exists("water.chk"));
    EXPECT_EQ(character(kept_step(1), 1), kA);
    EXPECT_EQ(character(kept_step(steps), 1), kB);  // root 1 led across the seam to B's minimum
    expect_frequency_call(kept_step(calls), 1, r.out);
}

TEST(EndToEnd, DiabaticFollowingKeepsStateAAcrossTheCrossing) {
    prepare();
    for (bool sntofirst : {false, true}) {
        for (bool vosk : {true, false}) {
            auto tf = [](bool b) { return std::string(b ? "true" : "false"); };
            const bool debug = !sntofirst && vosk, freq = sntofirst && !vosk;  // one variant each
            const std::string keys =
                "sntofirst = " + tf(sntofirst) + "\nvosksnto = " + tf(vosk) + "\ndebug = " + tf(debug);
            SCOPED_TRACE(keys);
            ScratchDir dir;
            write_file("config.toml", toml(keys + "\n"));
            const ProcessResult r = outer_job(freq ? "--freq" : "", "config.toml", dir.path() / "outer.log");
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            const auto blocks = step_blocks(read_file("outer.log"));
            const int calls = static_cast<int>(blocks.size()), steps = freq ? calls - 1 : calls;

            int previous_root = 0;
            std::vector<int> changed_at;
            for (int k = 1; k <= steps; ++k) {
                SCOPED_TRACE("step " + std::to_string(k));
                const Step s = kept_step(k);
                const int root = root_handed_back(s);
                ASSERT_NE(root, 0);
                EXPECT_EQ(character(s, root), kA);
                const auto& b = blocks[k - 1];
                const int force = count_lines(b, "g16 force"), sp = count_lines(b, "g16 sp");
                const int changed = count_lines(b, " [Diabatic] Diabatic state changed");
                if (changed) changed_at.push_back(k);
                if (k == 1 || sntofirst) {
                    EXPECT_EQ(force, 1);
                    EXPECT_EQ(sp, k == 1 ? 0 : 1);
                    EXPECT_EQ(changed, 0);
                } else {
                    EXPECT_EQ(changed, root != previous_root ? 1 : 0);
                    EXPECT_EQ(force, 1 + changed);
                    EXPECT_EQ(sp, 0);
                    EXPECT_EQ(changed + count_lines(b, " [Diabatic] Diabatic state unchanged"), 1);
                }
                previous_root = root;
            }
            // Ends on root 2, near A's minimum rather than B's.
            const Step last = kept_step(steps);
            EXPECT_EQ(previous_root, 2);
            expect_state_file(last, 2);
            auto distance = [](const std::vector<double>& x, const std::vector<double>& y) {
                double d = 0.0;
                for (std::size_t i = 0; i < x.size(); ++i) d += (x[i] - y[i]) * (x[i] - y[i]);
                return std::sqrt(d);
            };
            const auto& min_a = kModel.states[kA].minimum;
            EXPECT_LT(distance(last.x, min_a), 0.1 * distance(kModel.states[kB].minimum, min_a));
            if (freq) expect_frequency_call(kept_step(calls), 2, r.out);

            // Snapshots: one prefix per call, one SNTO number per matching.
            const fs::path snaps = "temp/debug_snapshots";
            ASSERT_EQ(fs::exists(snaps), debug);
            if (sntofirst) continue;
            ASSERT_FALSE(changed_at.empty());
            if (!debug) continue;
            auto numbered = [](const char* pattern, int n) {
                char buf[64];
                std::snprintf(buf, sizeof buf, pattern, n);
                return std::string(buf);
            };
            std::set<std::string> want = {".step_counter", ".snto_counter"}, got;
            for (int k = 1; k <= steps; ++k) {
                std::vector<std::string> jobs = {k == 1 ? "force" : "force1"};
                if (std::count(changed_at.begin(), changed_at.end(), k)) jobs.push_back("force2");
                for (const auto& job : jobs)
                    for (const char* ext : {".fchk", ".log"}) want.insert(numbered("step%04d_", k) + job + ext);
                if (k > 1) want.insert(numbered("snto%04d_old.snto", k - 1));
            }
            const std::regex nminus("snto([0-9]{4})_nminus\\.snto");  // a near tie: also against two steps back
            for (const auto& entry : fs::directory_iterator(snaps)) {
                const std::string f = entry.path().filename().string();
                std::smatch m;
                if (!(std::regex_match(f, m, nminus) && std::stoi(m[1]) >= 1 && std::stoi(m[1]) < steps)) got.insert(f);
            }
            EXPECT_EQ(got, want);
            EXPECT_EQ(read_file(snaps / ".step_counter"), free_line({steps}) + "\n");
            const std::string pass2 = read_file(snaps / numbered("step%04d_force2.log", changed_at[0]));
            EXPECT_NE(pass2.find("SDNTO gradient calculation (force-first, pass2)"), std::string::npos);
        }
    }
}

TEST(EndToEnd, DiabaticReferencesBuildUpAndAZeroRangeNeverChangesTheState) {
    prepare();
    for (int calls : {1, 2}) {
        ScratchDir dir;
        write_file("config.toml", toml(""));
        const ProcessResult r = outer_job("--max-steps " + std::to_string(calls), "config.toml");
        ASSERT_EQ(r.status, 3) << r.out << r.err;  // stopped at the step limit
        EXPECT_TRUE(fs::exists("temp/old.fch"));
        EXPECT_EQ(fs::exists("temp/n-1.fch"), calls == 2) << "after " << calls << " call(s)";
    }

    ScratchDir dir;
    write_file("config.toml", toml("sntorange = 0\n"));
    const ProcessResult r = outer_job("", "config.toml", dir.path() / "outer.log");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto lines = lines_of(read_file("outer.log"));
    const int steps = static_cast<int>(step_blocks(read_file("outer.log")).size());
    EXPECT_EQ(count_lines(lines, "Diabatic state changed"), 0);
    EXPECT_EQ(count_lines(lines, " [Diabatic] Diabatic state unchanged"), steps - 1);
    EXPECT_EQ(count_lines(lines, "g16 force root=1 "), steps);
    EXPECT_EQ(count_lines(lines, "g16 "), steps);
    for (int k = 1; k <= steps; ++k) EXPECT_EQ(root_handed_back(kept_step(k)), 1) << "step " << k;
    expect_state_file(kept_step(steps), 1);
    EXPECT_EQ(character(kept_step(steps), 1), kB);
}

}  // namespace
}  // namespace quorin
