// Whole optimisations: quorin run step by step by the stand-in outer job on the
// model molecule, whose first two roots exchange character (A, B) along the
// descent.  Every expectation is computed from the model at the geometry the
// inner job saw: what each step hands back, which state is followed, which
// processes a step starts, and what the diabatic mode keeps in temp.
#include <algorithm>
#include <cmath>
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
    const auto ein = lines_of(read_file("step_" + std::to_string(n) + ".EIn"));
    int natoms = 0;
    std::istringstream(ein.at(0)) >> natoms >> s.ider;
    std::string gjf = "# td(root=1,nstate=1) force\n\ngeometry\n\n0 1\n";
    for (int a = 1; a <= natoms; ++a) {
        int& z = s.z.emplace_back();
        double x[3] = {};
        std::istringstream(ein.at(static_cast<std::size_t>(a))) >> z >> x[0] >> x[1] >> x[2];
        gjf += standin::element_symbols().at(static_cast<std::size_t>(z));
        for (double v : x) gjf += fmt_F(v * 0.529177249, 20, 12);
        gjf += "\n";
    }
    std::istringstream job(gjf);
    s.x = standin::parse_job(job).x;
    s.out = lines_of(read_file("step_" + std::to_string(n) + ".EOu"));
    return s;
}

standin::Evaluation model_at(const Step& s, int root, bool hessian = false) {
    return standin::evaluate(kModel, s.x, root, kModel.nstates(), hessian);
}

// The root whose energy and gradient, each to the 12 digits of D20.12, the
// step handed back; 0 when none matches.
int root_handed_back(const Step& s) {
    for (int r = 1; r <= kModel.nstates(); ++r) {
        const auto e = model_at(s, r);
        bool same = s.field(0, 0) == D(e.energy);
        for (std::size_t i = 0; same && i < e.gradient.size(); ++i)
            same = s.field(1 + i / 3, i % 3) == D(e.gradient[i]);
        if (same) return r;
    }
    return 0;
}

// The diabatic state that dominates `root` at the step's geometry.
int character(const Step& s, int root) {
    const auto v = model_at(s, root).roots.vector.at(static_cast<std::size_t>(root - 1));
    auto smaller = [](double a, double b) { return std::fabs(a) < std::fabs(b); };
    return static_cast<int>(std::max_element(v.begin(), v.end(), smaller) - v.begin());
}

// outer.log cut at its " Step N" lines: element k holds what call k+1 logged.
std::vector<std::vector<std::string>> step_blocks(const std::string& log) {
    std::vector<std::vector<std::string>> blocks;
    for (const auto& line : lines_of(log))
        if (line.rfind(" Step ", 0) == 0) blocks.emplace_back();
        else if (!blocks.empty()) blocks.back().push_back(line);
    return blocks;
}

int count_lines(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.find(part) != l.npos; }));
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
    const auto e = model_at(s, root, true);
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
    const std::size_t at = outer_stdout.find("Harmonic frequencies (cm**-1):");
    ASSERT_NE(at, std::string::npos) << outer_stdout;
    std::istringstream values(outer_stdout.substr(outer_stdout.find(':', at) + 1));
    std::vector<double> got;
    for (double f; values >> f;) got.push_back(f);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-6 * std::fabs(want[i])) << i;
}

std::string toml(const std::string& extra) {
    return "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\nsdnto = true\n" + extra;
}

// The outer job in the current directory, with the built-in model (the one
// the outer job and g16 use here); with `log`, the stand-ins' own log lines go
// there too.
ProcessResult outer_job(const std::string& options, const std::string& config, const fs::path& log = {},
                        const std::string& env = "") {
    use_stand_ins();
    unsetenv("QUORIN_MODEL");
    const std::string log_env = log.empty() ? "" : "QUORIN_STANDIN_LOG='" + log.string() + "' ";
    return run_process(env + " " + log_env + "outer_job --keep " + options + " -- " + QUORIN_EXE + " " + config);
}

TEST(EndToEnd, AdiabaticRunHandsBackRootOneExactlyAndStartsOnlyGaussian) {
    ScratchDir dir;
    write_file("water.gjf",
               "%chk=water.chk\n#p opt freq external='quorin'\n\nroot=1 method=b3lyp basis=6-31g*\n\n"
               "0 1\nO 0.0 0.0 -0.07\nH 0.0 0.76 0.52\nH 0.0 -0.76 0.52\n\n");
    // File commands must not be run as processes: logging wrappers first on PATH.
    const fs::path wrap = dir.path() / "wrap", commands = dir.path() / "commands.log";
    const std::string wrapper = "#!/bin/sh\necho ${0##*/} >> '" + commands.string() + "'\nexec /bin/${0##*/} \"$@\"\n";
    for (std::string name : {"mkdir", "cp", "rm", "ls", "mv", "cat"}) {
        write_file(wrap / name, wrapper);
        fs::permissions(wrap / name, fs::perms::owner_all, fs::perm_options::add);
    }
    const std::string path = "PATH='" + wrap.string() + "':\"$PATH\"";
    ASSERT_EQ(run_process(path + " cat '" + commands.string() + "'").out, "cat\n");  // the wrappers do log
    fs::remove(commands);

    const ProcessResult r = outer_job("--freq", "", dir.path() / "standin.log", path);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(commands), "");
    const auto blocks = step_blocks(read_file("outer.log"));
    const int calls = static_cast<int>(blocks.size()), steps = calls - 1;
    ASSERT_GE(steps, 2);
    std::vector<std::string> want_jobs;  // guess=read from the second gradient job on
    for (int k = 1; k <= calls; ++k) {
        want_jobs.push_back(k < calls ? "g16 force root=1 nstate=3 guess_read=" + std::to_string(k > 1) + " td_read=0"
                                      : "g16 freq root=1 nstate=3 guess_read=1 td_read=1");
        want_jobs.push_back("formchk");
    }
    EXPECT_EQ(lines_of(read_file(dir.path() / "standin.log")), want_jobs);
    for (int k = 1; k <= steps; ++k) {
        SCOPED_TRACE("step " + std::to_string(k));
        const Step s = kept_step(k);
        EXPECT_EQ(root_handed_back(s), 1);
        const bool all_yes = inner_table_all_yes(model_at(s, 1).gradient);
        EXPECT_EQ(count_lines(blocks[k - 1], "chk copied to ./water.chk"), all_yes);
        if (k == steps) EXPECT_TRUE(all_yes);
    }
    EXPECT_TRUE(fs::exists("water.chk"));
    expect_frequency_call(kept_step(calls), 1, r.out);
}

TEST(EndToEnd, DiabaticFollowingKeepsStateAAcrossTheCrossing) {
    auto num = [](int n) { const std::string s = std::to_string(n); return std::string(4 - s.size(), '0') + s; };
    // Both workflows on both engines; debug and the frequency call on one variant each.
    const std::pair<std::string, std::string> variants[] = {  // keys, outer job options
        {"sntofirst = false\nvosksnto = true\ndebug = true\n", ""}, {"sntofirst = false\nvosksnto = false\n", ""},
        {"sntofirst = true\nvosksnto = true\n", ""}, {"sntofirst = true\nvosksnto = false\n", "--freq"}};
    for (const auto& [keys, options] : variants) {
        SCOPED_TRACE(keys + options);
        const bool sntofirst = keys.find("sntofirst = t") != keys.npos, debug = keys.find("debug") != keys.npos;
        ScratchDir dir;
        write_file("config.toml", toml(keys));
        const ProcessResult r = outer_job(options, "config.toml", dir.path() / "outer.log");
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto blocks = step_blocks(read_file("outer.log"));
        const int calls = static_cast<int>(blocks.size()), steps = options.empty() ? calls : calls - 1;

        int previous_root = 0;
        std::set<int> changed_at;
        for (int k = 1; k <= steps; ++k) {
            SCOPED_TRACE("step " + std::to_string(k));
            const Step s = kept_step(k);
            const int root = root_handed_back(s);
            ASSERT_NE(root, 0);
            EXPECT_EQ(character(s, root), kA);
            const auto& b = blocks[k - 1];
            const int force = count_lines(b, "g16 force"), sp = count_lines(b, "g16 sp");
            const int changed = count_lines(b, " [Diabatic] Diabatic state changed");
            if (changed) changed_at.insert(k);
            // Force first: a second gradient job exactly when the state changed.
            const bool force_first = k > 1 && !sntofirst;
            EXPECT_EQ(changed, force_first && root != previous_root ? 1 : 0);
            EXPECT_EQ(force, 1 + changed);
            EXPECT_EQ(sp, k > 1 && sntofirst ? 1 : 0);
            if (force_first) EXPECT_EQ(changed + count_lines(b, " [Diabatic] Diabatic state unchanged"), 1);
            previous_root = root;
        }
        EXPECT_EQ(previous_root, 2);
        if (!options.empty()) expect_frequency_call(kept_step(calls), 2, r.out);

        // The state file after the last step: root, NTO range, energy and
        // forces (minus the gradient) rounded to 12 digits.
        const auto meta = lines_of(read_file("temp/sdn_meta.dat"));
        const auto e = model_at(kept_step(steps), 2);
        ASSERT_EQ(meta.size(), 3 + e.gradient.size() / 3);
        EXPECT_EQ(meta[0], "           2");
        EXPECT_TRUE(std::regex_match(meta[1], std::regex("[0-9]+,[0-9]+"))) << meta[1];
        EXPECT_EQ(meta[2], " " + D(e.energy) + D(0.0) + D(0.0) + D(0.0));
        for (std::size_t a = 0; 3 + a < meta.size(); ++a)
            EXPECT_EQ(meta[3 + a], D(-e.gradient[3 * a]) + D(-e.gradient[3 * a + 1]) + D(-e.gradient[3 * a + 2]));

        // Snapshots: one prefix per call, one SNTO number per matching.
        const fs::path snaps = "temp/debug_snapshots";
        ASSERT_EQ(fs::exists(snaps), debug);
        if (!sntofirst) ASSERT_FALSE(changed_at.empty());
        if (!debug) continue;
        std::set<std::string> want = {".step_counter", ".snto_counter"}, got;
        for (int k = 1; k <= steps; ++k)
            for (const char* ext : {".fchk", ".log"}) {
                want.insert("step" + num(k) + (k == 1 ? "_force" : "_force1") + ext);
                if (changed_at.count(k)) want.insert("step" + num(k) + "_force2" + ext);
                if (k > 1) want.insert("snto" + num(k - 1) + "_old.snto");
            }
        for (const auto& entry : fs::directory_iterator(snaps)) got.insert(entry.path().filename().string());
        for (int k = 1; k < steps; ++k) got.erase("snto" + num(k) + "_nminus.snto");  // near ties, if any
        EXPECT_EQ(got, want);
        EXPECT_EQ(read_file(snaps / ".step_counter"), free_line({steps}) + "\n");
        const std::string pass2 = read_file(snaps / ("step" + num(*changed_at.begin()) + "_force2.log"));
        EXPECT_NE(pass2.find("SDNTO gradient calculation (force-first, pass2)"), std::string::npos);
    }
}

TEST(EndToEnd, DiabaticReferencesBuildUpAndAZeroRangeNeverChangesTheState) {
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
    EXPECT_EQ(count_lines(lines, "g16 "), steps);  // one gradient job a step, never a second
    for (int k = 1; k <= steps; ++k) EXPECT_EQ(root_handed_back(kept_step(k)), 1) << "step " << k;
    EXPECT_EQ(character(kept_step(steps), 1), kB);  // root 1 did change character
}

}  // namespace
}  // namespace quorin
