// The model behind the stand-in outside programs, and the stand-ins
// themselves: g16, formchk and the outer job that plays Gaussian's External
// side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fchk_io.hpp"
#include "model.hpp"
#include "test_support.hpp"
#include "text_fields.hpp"

namespace {

using namespace quorin::test;
using standin::Evaluation;
using standin::Model;

const std::string kBin = STAND_IN_DIR;

double weight(const standin::Roots& r, int root, int state) {
    double v = r.vector[static_cast<std::size_t>(root - 1)][static_cast<std::size_t>(state - 1)];
    return v * v;
}

std::vector<double> along(double s, double t) {
    auto g = standin::default_geometry();
    std::vector<double> x(9);
    for (std::size_t i = 0; i < 9; ++i) x[i] = g.x_ref[i] + s * g.u[i] + t * g.w[i];
    return x;
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(d);
}

// A model with unequal force constants, three coupled states and two atoms.
Model uneven_model() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> d(-0.3, 0.3);
    Model m;
    m.natoms = 2;
    m.ground = -40.0;
    const double offsets[] = {0.10, 0.13, 0.18}, kappas[] = {0.3, 0.7, 0.45};
    for (int k = 0; k < 3; ++k) {
        standin::DiabaticState s{offsets[k], kappas[k], {}};
        for (int i = 0; i < 6; ++i) s.minimum.push_back(d(rng) + (i == 5 ? 2.0 : 0.0));
        m.states.push_back(s);
    }
    m.coupling = {0.0, 0.01, 0.005, 0.01, 0.0, 0.02, 0.005, 0.02, 0.0};
    return m;
}

// The model seen by g16 stand-ins run in a scratch directory.
struct ModelDir {
    ScratchDir dir;
    ModelDir(const std::string& text = standin::default_model_text()) {
        unsetenv("QUORIN_MODEL");
        write_file("quorin_model.dat", text);
    }
};

// An inner input as quorin writes it (symbols in A2, angstrom in F20.12).
std::string gjf(const std::string& route, const std::vector<int>& z, const std::vector<double>& bohr,
                const std::string& title = "TD-DFT gradient calculation") {
    std::string s = "%mem=96GB\n%nproc=32\n%chk=tddft_pelun.chk\n" + route + "\n\n" + title + "\n\n0 1\n";
    for (std::size_t a = 0; a < z.size(); ++a) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "%-2s%20.12f%20.12f%20.12f\n", standin::element_symbols()[z[a]],
                      bohr[3 * a] * standin::kBohrToAngstrom, bohr[3 * a + 1] * standin::kBohrToAngstrom,
                      bohr[3 * a + 2] * standin::kBohrToAngstrom);
        s += buf;
    }
    return s + "\n";
}

standin::Job job_of(const std::string& path) {
    std::ifstream in(path);
    return standin::parse_job(in);
}

ProcessResult run_g16(const std::string& input_file, const std::string& log_file) {
    return run_process("(QUORIN_STANDIN_LOG=calls.txt " + kBin + "/g16 < " + input_file + " > " + log_file + " 2>&1)");
}

// Index of the first line containing `text` at or after `from`, or -1.
int find_line(const std::vector<std::string>& lines, const std::string& text, int from = 0) {
    for (int i = std::max(from, 0); i < static_cast<int>(lines.size()); ++i)
        if (lines[static_cast<std::size_t>(i)].find(text) != std::string::npos) return i;
    return -1;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    std::string t;
    while (in >> t) w.push_back(t);
    return w;
}

double real_of(const std::string& token) {
    double v = 0.0;
    EXPECT_TRUE(quorin::parse_real_token(token, v)) << token;
    return v;
}

// ------------------------------------------------------------------- model

TEST(Model, RootsAreOrderedEigenpairsWithTheSignFixed) {
    Model m = uneven_model().padded(5);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> d(-0.5, 0.5);
    for (int trial = 0; trial < 5; ++trial) {
        std::vector<double> x(6);
        for (double& v : x) v = d(rng);
        standin::Roots r = standin::roots_at(m, x);
        ASSERT_EQ(r.energy.size(), 5u);
        std::vector<double> V = m.diabatic(x);
        for (int a = 0; a < 5; ++a) {
            if (a > 0) {
                EXPECT_LE(r.energy[a - 1], r.energy[a]);
            }
            const auto& v = r.vector[a];
            for (int k = 0; k < 5; ++k) {  // H v = lambda v
                double hv = V[k] * v[k];
                for (int l = 0; l < 5; ++l) hv += m.c(k, l) * v[l];
                EXPECT_NEAR(hv, r.energy[a] * v[k], 1e-12);
            }
            for (int b = 0; b < 5; ++b) {
                double dot = 0.0;
                for (int k = 0; k < 5; ++k) dot += v[k] * r.vector[b][k];
                EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-12);
            }
            auto big = std::max_element(v.begin(), v.end(), [](double p, double q) { return std::fabs(p) < std::fabs(q); });
            EXPECT_GT(*big, 0.0);
        }
    }
}

TEST(Model, GradientAndHessianMatchFiniteDifferences) {
    struct Case { Model model; int nstate; std::vector<double> centre; double spread; };
    std::vector<Case> cases = {{standin::default_model(), 3, standin::default_model().start_x, 0.3},
                               {uneven_model(), 5, std::vector<double>{0, 0, 0, 0, 0, 2.0}, 0.4}};
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    const double h = 1e-5;
    for (const auto& c : cases) {
        int checked = 0;
        for (int trial = 0; trial < 40 && checked < 10; ++trial) {
            std::vector<double> x = c.centre;
            for (double& v : x) v += c.spread * d(rng);
            Model m = c.model.padded(c.nstate);
            standin::Roots r = standin::roots_at(m, x);
            double gap = 1.0;
            for (std::size_t a = 1; a < r.energy.size(); ++a) gap = std::min(gap, r.energy[a] - r.energy[a - 1]);
            if (gap < 0.02) continue;  // finite differences need the roots apart
            ++checked;
            for (int root = 1; root <= c.nstate; ++root) {
                std::vector<double> g = standin::root_gradient(m, r, root, x);
                std::vector<double> H = standin::root_hessian(m, r, root, x);
                const std::size_t n = x.size();
                for (std::size_t j = 0; j < n; ++j) {
                    std::vector<double> xp = x, xm = x;
                    xp[j] += h;
                    xm[j] -= h;
                    standin::Roots rp = standin::roots_at(m, xp), rm = standin::roots_at(m, xm);
                    double fd = (rp.energy[root - 1] - rm.energy[root - 1]) / (2 * h);
                    EXPECT_NEAR(g[j], fd, 1e-7) << "root " << root << " coordinate " << j;
                    std::vector<double> gp = standin::root_gradient(m, rp, root, xp);
                    std::vector<double> gm = standin::root_gradient(m, rm, root, xm);
                    for (std::size_t i = 0; i < n; ++i)
                        EXPECT_NEAR(H[i * n + j], (gp[i] - gm[i]) / (2 * h), 1e-6)
                            << "root " << root << " element " << i << "," << j;
                }
            }
        }
        EXPECT_EQ(checked, 10) << "too few geometries with separated roots";
    }
    // A spectator root is a bare harmonic surface of the first state's shape.
    Model m = uneven_model().padded(5);
    std::vector<double> x = {0.1, -0.2, 0.3, 0.0, 0.1, 1.9};
    standin::Roots r = standin::roots_at(m, x);
    int spectator = 0;
    for (int a = 1; a <= 5; ++a)
        if (weight(r, a, 5) == 1.0) spectator = a;
    ASSERT_GT(spectator, 0);
    Evaluation e = standin::evaluate(uneven_model(), x, spectator, 5, true);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(e.gradient[i], 0.3 * (x[i] - m.states[0].minimum[i]), 1e-13);
        EXPECT_NEAR(e.hessian[i * 6 + i], 0.3, 1e-12);
    }
}

TEST(Model, DefaultModelsRootsExchangeCharacterAlongTheOptimisationPath) {
    const Model m = standin::default_model();
    const auto g = standin::default_geometry();
    // The start geometry is the documented one, and A (state 1) is root 1 there.
    EXPECT_LT(distance(m.start_x, along(-0.3, 0.05)), 1e-15);
    standin::Roots start = standin::roots_at(m, m.start_x);
    EXPECT_GT(weight(start, 1, 1), 0.99);
    EXPECT_GT(weight(start, 2, 2), 0.99);
    // The seam along u: root 1 is half A and half B near s = -0.05, with a gap
    // of about twice the A-B coupling.
    double lo = -0.3, hi = 0.2;
    for (int i = 0; i < 60; ++i) {
        double mid = 0.5 * (lo + hi);
        (weight(standin::roots_at(m, along(mid, 0.0)), 1, 1) > 0.5 ? lo : hi) = mid;
    }
    EXPECT_NEAR(lo, -0.05, 0.002);
    standin::Roots seam = standin::roots_at(m, along(lo, 0.0));
    EXPECT_NEAR(seam.energy[1] - seam.energy[0], 0.004, 0.0002);
    // At A's own minimum A is root 2 and B root 1.
    standin::Roots at_a = standin::roots_at(m, g.x_ref);
    EXPECT_GT(weight(at_a, 2, 1), 0.95);
    EXPECT_GT(weight(at_a, 1, 2), 0.95);
    EXPECT_NEAR(at_a.energy[1] - at_a.energy[0], 0.01, 0.001);

    // Steepest descent from the start: following root 1 ends at B's minimum;
    // following A's character ends next to A's minimum (the admixture of B
    // shifts it by about 0.014 bohr), where it is root 2.
    auto descend = [&](bool follow_a) {
        std::vector<double> x = m.start_x;
        int root = 1;
        for (int it = 0; it < 2000; ++it) {
            standin::Roots r = standin::roots_at(m, x);
            if (follow_a) {
                root = 1;
                for (int a = 2; a <= 3; ++a)
                    if (weight(r, a, 1) > weight(r, root, 1)) root = a;
            }
            std::vector<double> grad = standin::root_gradient(m, r, root, x);
            double norm = 0.0;
            for (double v : grad) norm += v * v;
            if (std::sqrt(norm) < 1e-10) break;
            double scale = std::min(1.0, 0.02 / std::sqrt(norm));
            for (std::size_t i = 0; i < x.size(); ++i) x[i] -= scale * grad[i];
        }
        return std::make_pair(x, root);
    };
    auto [adiabatic_end, adiabatic_root] = descend(false);
    EXPECT_LT(distance(adiabatic_end, along(0.4, 0.0)), 1e-3);
    EXPECT_GT(weight(standin::roots_at(m, adiabatic_end), 1, 2), 0.99);
    auto [diabatic_end, diabatic_root] = descend(true);
    EXPECT_LT(distance(diabatic_end, g.x_ref), 0.02);
    EXPECT_GT(distance(diabatic_end, along(0.4, 0.0)), 0.35);
    EXPECT_EQ(diabatic_root, 2);
    (void)adiabatic_root;
}

TEST(Model, FilesReadBackExactlyAndAreFoundWhereTheStandInsLook) {
    const Model d = standin::default_model();
    const Model r = standin::parse_model_text(standin::default_model_text());
    ASSERT_EQ(r.natoms, d.natoms);
    EXPECT_EQ(r.ground, d.ground);
    ASSERT_EQ(r.nstates(), 3);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(r.states[k].offset, d.states[k].offset);
        EXPECT_EQ(r.states[k].kappa, d.states[k].kappa);
        EXPECT_EQ(r.states[k].minimum, d.states[k].minimum);
    }
    EXPECT_EQ(r.coupling, d.coupling);
    EXPECT_EQ(r.c(0, 1), 0.002);
    EXPECT_EQ(r.c(2, 1), 0.001);
    EXPECT_EQ(r.c(0, 2), 0.0);
    EXPECT_EQ(r.start_z, (std::vector<int>{8, 1, 1}));
    EXPECT_EQ(r.start_x, d.start_x);

    // Padding: spectators 0.05 apart above the highest offset, uncoupled.
    Model p = d.padded(6);
    ASSERT_EQ(p.nstates(), 6);
    EXPECT_DOUBLE_EQ(p.states[3].offset, 0.35);
    EXPECT_DOUBLE_EQ(p.states[5].offset, 0.45);
    EXPECT_EQ(p.states[4].minimum, d.states[0].minimum);
    EXPECT_EQ(p.c(0, 1), 0.002);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(p.c(k, 4), 0.0);
    EXPECT_EQ(d.padded(2).nstates(), 3);

    // Lookup: QUORIN_MODEL, then the current directory, then its parent.
    ScratchDir dir;
    unsetenv("QUORIN_MODEL");
    const std::string one_state = "atoms 1\nground -1.5\nstate 1 offset 0.1 kappa 0.2 min 0 0 0\n";
    EXPECT_EQ(standin::find_model().natoms, 3);  // nothing here: the built-in model
    write_file("quorin_model.dat", one_state);
    fs::create_directories("temp");
    fs::current_path("temp");
    EXPECT_EQ(standin::find_model().ground, -1.5);  // from the parent
    write_file("quorin_model.dat", "atoms 1\nground -2.5\nstate 1 offset 0.1 kappa 0.2 min 0 0 0\n");
    EXPECT_EQ(standin::find_model().ground, -2.5);  // the current directory first
    write_file(dir.path() / "named.dat", "atoms 1\nground -3.5  # named\nstate 1 offset 0.1 kappa 0.2 min 0 0 0\n");
    setenv("QUORIN_MODEL", (dir.path() / "named.dat").c_str(), 1);
    EXPECT_EQ(standin::find_model().ground, -3.5);
    unsetenv("QUORIN_MODEL");

    // Broken files are refused with the line that is wrong.
    struct Bad { std::string text, message; };
    for (const Bad& b : std::vector<Bad>{
             {"atoms 1\nstate 1 offset 0.1 kappa 0.2 min 0 0\n", "line 2"},
             {"atoms 1\nstate 1 offset 0.1 kappa 0.2 min 0 0 0 0\n", "line 2"},
             {"atoms 1\nstate 2 offset 0.1 kappa 0.2 min 0 0 0\n", "state 1 is missing"},
             {"atoms 1\nstate 1 offset 0.1 kappa 0.2 min 0 0 0\ncoupling 1 2 0.01\n", "does not exist"},
             {"atoms 1\nstate 1 offset 0.1 kappa 0.2 min 0 0 x\n", "bad minimum coordinate"},
             {"atoms 2\nstate 1 offset 0.1 kappa 0.2 min 0 0 0 0 0 1\nstart 1 0 0 0\n", "one \"start\" line per atom"},
             {"atoms 1\nbarrier 3\n", "unknown keyword"}}) {
        try {
            standin::parse_model_text(b.text);
            ADD_FAILURE() << "accepted: " << b.text;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(b.message), std::string::npos) << e.what();
        }
    }
}

TEST(Model, HarmonicFrequenciesFollowFromMassWeightedForceConstants) {
    // One harmonic state: every Cartesian direction of an atom vibrates at
    // sqrt(kappa / m).
    Model m;
    m.natoms = 2;
    m.ground = -1.0;
    m.states = {{0.1, 0.3, {0, 0, 0, 0, 0, 1.5}}};
    m.coupling = {0.0};
    Evaluation e = standin::evaluate(m, {0.1, 0, 0, 0, 0.2, 1.4}, 1, 1, true);
    std::vector<double> f = standin::harmonic_frequencies(e.hessian, {1, 8});
    auto expected = [](double kappa, double amu) { return std::sqrt(kappa / (amu * 1822.888486)) * 219474.6313632; };
    ASSERT_EQ(f.size(), 6u);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(f[i], expected(0.3, 15.99491464), 1e-6);
    for (int i = 3; i < 6; ++i) EXPECT_NEAR(f[i], expected(0.3, 1.00782504), 1e-6);

    // A spring between two carbon atoms along x: one mode at sqrt(2k/m), the
    // other directions free; a negative curvature gives a negative frequency.
    std::vector<double> H(36, 0.0);
    const double k = 0.4;
    H[0 * 6 + 0] = H[3 * 6 + 3] = k;
    H[0 * 6 + 3] = H[3 * 6 + 0] = -k;
    H[1 * 6 + 1] = -0.2;
    f = standin::harmonic_frequencies(H, {6, 6});
    EXPECT_NEAR(f[0], -expected(0.2, 12.0), 1e-6);
    EXPECT_NEAR(f.back(), expected(2 * k, 12.0), 1e-6);
    for (int i = 1; i < 5; ++i) EXPECT_NEAR(f[i], 0.0, 0.01);

    // Masses of the most abundant isotopes.
    EXPECT_DOUBLE_EQ(standin::atomic_mass(1), 1.00782504);
    EXPECT_DOUBLE_EQ(standin::atomic_mass(6), 12.0);
    EXPECT_DOUBLE_EQ(standin::atomic_mass(17), 34.96885273);
    for (int z = 2; z <= 86; ++z) {
        EXPECT_GE(standin::atomic_mass(z), 1.8 * z) << z;
        EXPECT_LE(standin::atomic_mass(z), 2.7 * z) << z;
    }
    EXPECT_EQ(standin::atomic_mass(0), 0.0);
    EXPECT_THROW(standin::harmonic_frequencies(std::vector<double>(9, 0.0), {0}), std::runtime_error);
}

// ------------------------------------------------------------------- g16

TEST(G16StandIn, ForceJobLogCarriesTheModelsExactEnergyAndForces) {
    ModelDir here;
    const Model m = standin::default_model();
    write_file("in.gjf", gjf("#p nosymm Iop(9/40=3) B3LYP/6-31G* td(root=2,nstate=3)        force", m.start_z,
                             along(-0.1, 0.03)));
    ASSERT_EQ(run_g16("in.gjf", "out.log").status, 0);
    const standin::Job job = job_of("in.gjf");
    ASSERT_EQ(job.error, "");
    EXPECT_LT(distance(job.x, along(-0.1, 0.03)), 1e-11);
    const Evaluation e = standin::evaluate(m, job.x, 2, 3);
    const auto lines = lines_of(read_file("out.log"));

    // Excited-state summary: three states, the requested one followed by its
    // marker and total energy, the block closed by the SavETr line.
    const int title = find_line(lines, "Excitation energies and oscillator strengths:");
    ASSERT_GE(title, 0);
    const int s2 = find_line(lines, " Excited State   2:      Singlet-A", title);
    const int s3 = find_line(lines, " Excited State   3:      Singlet-A", title);
    const int energy_line = find_line(lines, "Total Energy, E(TD-HF/TD-DFT) =");
    ASSERT_GT(s2, title);
    EXPECT_GT(find_line(lines, " Excited State   1:", title), title);
    EXPECT_EQ(find_line(lines, "This state for optimization and/or second-order correction."), energy_line - 1);
    EXPECT_GT(energy_line, s2);
    EXPECT_LT(energy_line, s3);
    EXPECT_EQ(find_line(lines, "Total Energy", energy_line + 1), -1);
    const std::string& el = lines[energy_line];
    EXPECT_EQ(real_of(words(el.substr(el.rfind('=') + 1))[0]), e.energy);  // bit for bit
    const int savetr = find_line(lines, "SavETr:", title);
    ASSERT_GT(savetr, s3);
    EXPECT_NE(lines[savetr].find("write"), std::string::npos);
    EXPECT_NE(lines[savetr].find("NState=    3"), std::string::npos);
    // Transition lines: amplitudes are the diabatic components over sqrt(2);
    // at this geometry some are below 0.1 and some above.
    int small = 0, large = 0;
    double sum_sq = 0.0;
    for (int i = s2 + 1; i < energy_line - 1; ++i) {
        auto w = words(lines[i]);
        ASSERT_EQ(w.size(), 4u) << lines[i];
        ASSERT_TRUE(w[1] == "->" || w[1] == "<-") << lines[i];
        double c = real_of(w[3]);
        (std::fabs(c) < 0.1 ? small : large)++;
        if (w[1] == "->") sum_sq += c * c;
    }
    EXPECT_GE(small, 1);
    EXPECT_GE(large, 1);
    EXPECT_NEAR(sum_sq, 0.5, 1e-4);  // components printed down to 0.001

    // Forces table: -gradient, bit for bit.
    const int forces = find_line(lines, "Forces (Hartrees/Bohr)");
    ASSERT_GT(forces, savetr);
    for (int a = 0; a < 3; ++a) {
        auto w = words(lines[forces + 3 + a]);
        ASSERT_EQ(w.size(), 5u) << lines[forces + 3 + a];
        EXPECT_EQ(w[0], std::to_string(a + 1));
        EXPECT_EQ(w[1], std::to_string(m.start_z[a]));
        for (int c = 0; c < 3; ++c) EXPECT_EQ(real_of(w[2 + c]), -e.gradient[3 * a + c]) << a << "," << c;
    }
    EXPECT_NE(lines[forces + 6].find("-----"), std::string::npos);
    EXPECT_NE(lines[forces + 7].find("Cartesian Forces:  Max"), std::string::npos);

    // Convergence table far from a minimum: four rows, all NO.
    const int table = find_line(lines, "Converged?");
    ASSERT_GT(table, forces);
    EXPECT_NE(lines[table].find("Item"), std::string::npos);
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(words(lines[table + i]).at(4), "NO") << lines[table + i];
    EXPECT_NE(lines.back().find("Normal termination of Gaussian 16"), std::string::npos);

    // Checkpoint and call log.
    std::string chk = read_file("tddft_pelun.chk");
    EXPECT_EQ(chk.substr(0, chk.find('\n')), standin::kCheckpointMarker);
    EXPECT_EQ(read_file("calls.txt"), "g16 force root=2 nstate=3 guess_read=0 td_read=0\n");

    // At B's minimum root 1 is converged: all four rows YES, from the
    // checkpoint of the run before (guess=read and td read both asked for).
    write_file("min.gjf", gjf("#p nosymm Iop(9/40=3) B3LYP/6-31G* guess=read td(root=1,nstate=3,read)  force",
                              m.start_z, m.states[1].minimum));
    ASSERT_EQ(run_g16("min.gjf", "min.log").status, 0);
    const auto ml = lines_of(read_file("min.log"));
    const int mt = find_line(ml, "Converged?");
    ASSERT_GT(mt, 0);
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(words(ml[mt + i]).at(4), "YES") << ml[mt + i];
    EXPECT_EQ(lines_of(read_file("calls.txt")).back(), "g16 force root=1 nstate=3 guess_read=1 td_read=1");
}

TEST(G16StandIn, FailedJobsEndInErrorTerminationWithoutResults) {
    ModelDir here;
    const Model m = standin::default_model();
    const std::string route = "#p nosymm Iop(9/40=3) B3LYP/6-31G*";
    struct Case { std::string name, input; };
    std::vector<Case> cases = {
        {"guess=read without checkpoint", gjf(route + " guess=read td(root=1,nstate=3,read)        force", m.start_z, m.start_x)},
        {"td read without checkpoint", gjf(route + " td(root=1,nstate=3,read)        force", m.start_z, m.start_x)},
        {"root above nstate", gjf(route + " td(root=4,nstate=3)        force", m.start_z, m.start_x)},
        {"atom count not the model's", gjf(route + " td(root=1,nstate=3)        force", {8, 1}, m.start_x)},
        {"no route", "%chk=tddft_pelun.chk\n\ntitle\n\n0 1\nH 0 0 0\n\n"},
        {"unknown element", gjf(route + " td(root=1,nstate=3)        force", m.start_z, m.start_x)}};
    std::string& unknown = cases.back().input;
    unknown.replace(unknown.find("\nO "), 3, "\nXx");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file("bad.gjf", c.input);
        fs::remove("tddft_pelun.chk");
        fs::remove("calls.txt");
        run_g16("bad.gjf", "bad.log");
        const std::string log = read_file("bad.log");
        EXPECT_NE(log.find("Error termination"), std::string::npos) << log;
        EXPECT_EQ(log.find("Total Energy"), std::string::npos);
        EXPECT_EQ(log.find("Forces (Hartrees/Bohr)"), std::string::npos);
        EXPECT_EQ(log.find("Normal termination"), std::string::npos);
        EXPECT_FALSE(fs::exists("tddft_pelun.chk"));
        EXPECT_NE(read_file("calls.txt").find(" error\n"), std::string::npos);
    }
    // A checkpoint that is not one of ours does not serve for guess=read.
    write_file("tddft_pelun.chk", "something else\n");
    write_file("bad.gjf", cases[0].input);
    run_g16("bad.gjf", "bad.log");
    EXPECT_NE(read_file("bad.log").find("Error termination"), std::string::npos);
}

TEST(FormchkStandIn, FormattedCheckpointHoldsTheSectionsReadersUse) {
    ModelDir here;
    const Model m = standin::default_model();
    const std::string route = "#p nosymm Iop(9/40=3) B3LYP/6-31G* td(root=2,nstate=4)        ";
    write_file("freq.gjf", gjf(route + "freq", m.start_z, along(-0.06, 0.02), "TD-DFT frequency calculation"));
    ASSERT_EQ(run_g16("freq.gjf", "freq.log").status, 0);
    ASSERT_EQ(run_process("QUORIN_STANDIN_LOG=calls.txt " + kBin + "/formchk tddft_pelun.chk tddft_pelun.fchk").status, 0);
    EXPECT_EQ(read_file("calls.txt"), "g16 freq root=2 nstate=4 guess_read=0 td_read=0\nformchk\n");
    const Evaluation e = standin::evaluate(m, job_of("freq.gjf").x, 2, 4, true);

    standin::Fchk f;
    ASSERT_TRUE(standin::read_fchk("tddft_pelun.fchk", f));
    EXPECT_EQ(f.title, "TD-DFT frequency calculation");
    EXPECT_EQ(f.job_line.substr(0, 22), "Freq      RTD-B3LYP-FC");
    EXPECT_EQ(f.integer("Number of atoms"), 3);
    EXPECT_EQ(f.integer("Charge"), 0);
    EXPECT_EQ(f.integer("Multiplicity"), 1);
    EXPECT_EQ(f.integer("Number of electrons"), 10);
    EXPECT_EQ(f.integer("Number of basis functions"), 24);
    EXPECT_EQ(f.ints["Atomic numbers"], (std::vector<long long>{8, 1, 1}));
    EXPECT_EQ(f.real("Total Energy"), standin::fchk_scalar_value(e.energy));
    const auto& orb = f.reals["Alpha Orbital Energies"];
    ASSERT_EQ(orb.size(), 24u);
    EXPECT_TRUE(std::is_sorted(orb.begin(), orb.end()));
    EXPECT_LT(orb[4], 0.0);  // five occupied
    EXPECT_GT(orb[5], 0.0);
    EXPECT_FALSE(f.has("Beta Orbital Energies"));
    const auto& grad = f.reals["Cartesian Gradient"];
    ASSERT_EQ(grad.size(), 9u);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(grad[i], standin::fchk_array_value(e.gradient[i]));
    const auto& fc = f.reals["Cartesian Force Constants"];
    ASSERT_EQ(fc.size(), 45u);
    for (int i = 0, k = 0; i < 9; ++i)
        for (int j = 0; j <= i; ++j, ++k) EXPECT_EQ(fc[k], standin::fchk_array_value(e.hessian[i * 9 + j]));
    // The model's own sections, for the NTO stand-ins.
    EXPECT_EQ(f.integer("Model Number of Diabatic States"), 4);
    EXPECT_EQ(f.integer("Model Requested Root"), 2);
    const auto& en = f.reals["Model Excited State Energies"];
    const auto& vec = f.reals["Model Diabatic Vectors"];
    ASSERT_EQ(en.size(), 4u);
    ASSERT_EQ(vec.size(), 16u);
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(en[r], standin::fchk_array_value(e.roots.energy[r]));
        for (int k = 0; k < 4; ++k) EXPECT_EQ(vec[r * 4 + k], standin::fchk_array_value(e.roots.vector[r][k]));
    }
    // Near the seam root 1 mixes A and B strongly, A leading (and positive).
    EXPECT_GT(vec[0 * 4 + 0], std::fabs(vec[0 * 4 + 1]));
    EXPECT_GT(std::fabs(vec[0 * 4 + 1]), 0.1);
    // Gaussian's order of sections; "Total Energy" starts in column 1.
    const std::string text = read_file("tddft_pelun.fchk");
    std::size_t last = 0;
    for (const char* name : {"\nNumber of atoms ", "\nCharge ", "\nMultiplicity ", "\nNumber of electrons ",
                             "\nNumber of basis functions ", "\nAtomic numbers ", "\nCurrent cartesian coordinates ",
                             "\nTotal Energy ", "\nAlpha Orbital Energies ", "\nCartesian Gradient ",
                             "\nCartesian Force Constants "}) {
        std::size_t at = text.find(name);
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(at, last) << name;
        last = at;
    }

    // A single point: zero gradient and no force constants; an open shell
    // adds the beta orbital energies; triplet states are labelled so.
    write_file("sp.gjf", gjf("#p nosymm Iop(9/40=3) B3LYP/6-31G* td(triplet,root=1,nstate=2)        sp", m.start_z,
                             m.start_x, "SDNTO state-matching single point (iter2+)"));
    std::string sp = read_file("sp.gjf");
    sp.replace(sp.find("\n0 1\n"), 5, "\n1 2\n");
    write_file("sp.gjf", sp);
    ASSERT_EQ(run_g16("sp.gjf", "sp.log").status, 0);
    const std::string sp_log = read_file("sp.log");
    EXPECT_NE(sp_log.find("Triplet-A"), std::string::npos);
    EXPECT_EQ(sp_log.find("Singlet-A"), std::string::npos);
    EXPECT_NE(sp_log.find("Total Energy, E(TD-HF/TD-DFT) ="), std::string::npos);
    EXPECT_EQ(sp_log.find("Forces (Hartrees/Bohr)"), std::string::npos);
    EXPECT_EQ(sp_log.find("Converged?"), std::string::npos);
    ASSERT_EQ(run_process(kBin + "/formchk tddft_pelun.chk sp.fchk").status, 0);
    standin::Fchk s;
    ASSERT_TRUE(standin::read_fchk("sp.fchk", s));
    EXPECT_EQ(s.job_line.substr(0, 22), "SP        UTD-B3LYP-FC");
    EXPECT_EQ(s.integer("Multiplicity"), 2);
    EXPECT_EQ(s.integer("Number of electrons"), 9);
    EXPECT_EQ(s.reals["Cartesian Gradient"], std::vector<double>(9, 0.0));
    EXPECT_FALSE(s.has("Cartesian Force Constants"));
    EXPECT_EQ(s.reals["Beta Orbital Energies"].size(), 24u);

    // Nothing is written from a missing or foreign checkpoint.
    run_process(kBin + "/formchk missing.chk missing.fchk");
    EXPECT_FALSE(fs::exists("missing.fchk"));
    write_file("foreign.chk", read_file("tddft_pelun.fchk"));
    run_process(kBin + "/formchk foreign.chk foreign.fchk");
    EXPECT_FALSE(fs::exists("foreign.fchk"));
}

// --------------------------------------------------------------- outer job

// A stand-in for quorin in the outer job's tests: one stand-in g16 job per
// call (root 1 of three; force, or freq for derivative level 2), with energy,
// gradient and force constants taken from the formatted checkpoint.
const char* kFakeQuorin = R"(#!/bin/sh
if [ $# -eq 7 ]; then shift; fi
ein=$2
eou=$3
mkdir -p temp
read n ider charge mult < "$ein"
kind=force
[ "$ider" = 2 ] && kind=freq
{
  echo "%chk=tddft_pelun.chk"
  echo "#p nosymm Iop(9/40=3) B3LYP/6-31G* td(root=1,nstate=3) $kind"
  echo ""
  echo "fake quorin"
  echo ""
  echo "$charge $mult"
  awk -v n="$n" 'NR > 1 && NR <= n + 1 { printf "%d %.12f %.12f %.12f\n", $1, $2 * 0.529177249, $3 * 0.529177249, $4 * 0.529177249 }' "$ein"
  echo ""
} > temp/tddft_pelun.gjf
(cd temp && g16 < tddft_pelun.gjf > tddft_pelun.log 2>&1 && formchk tddft_pelun.chk tddft_pelun.fchk > formchk.log 2>&1) || exit 1
awk -v ider="$ider" '
  /^[A-Za-z]/ { mode = "" }
  /^Total Energy/ { e = $NF }
  /^Cartesian Gradient/ { mode = "g"; next }
  /^Cartesian Force Constants/ { mode = "h"; next }
  mode == "g" { for (i = 1; i <= NF; i++) g[ng++] = $i }
  mode == "h" { for (i = 1; i <= NF; i++) h[nh++] = $i }
  END {
    printf "%20.12E%20.12E%20.12E%20.12E\n", e, 0, 0, 0
    for (i = 0; i < ng; i += 3) printf "%20.12E%20.12E%20.12E\n", g[i], g[i + 1], g[i + 2]
    if (ider == 2) {
      for (i = 0; i < 2; i++) printf "%20.12E%20.12E%20.12E\n", 0, 0, 0
      for (i = 0; i < ng; i++) printf "%20.12E%20.12E%20.12E\n", 0, 0, 0
      for (i = 0; i < nh; i += 3) printf "%20.12E%20.12E%20.12E\n", h[i], h[i + 1], h[i + 2]
    }
  }' temp/tddft_pelun.fchk > "$eou"
echo "fake quorin: step done"
)";

struct SummaryLine {
    int step = 0, ider = 0;
    double energy = 0, max_g = 0, rms_g = 0;
    std::vector<double> x;
};

std::vector<SummaryLine> read_summary(const std::string& path) {
    std::vector<SummaryLine> out;
    for (const auto& line : lines_of(read_file(path))) {
        auto w = words(line);
        SummaryLine s;
        s.step = std::stoi(w.at(0));
        s.ider = std::stoi(w.at(1));
        s.energy = real_of(w.at(2));
        s.max_g = real_of(w.at(3));
        s.rms_g = real_of(w.at(4));
        for (std::size_t i = 5; i < w.size(); ++i) s.x.push_back(real_of(w[i]));
        out.push_back(s);
    }
    return out;
}

TEST(OuterJob, OptimisesRootOneAcrossTheSeamToBsMinimum) {
    use_stand_ins();
    ModelDir here;
    write_file("fake_quorin", kFakeQuorin);
    fs::permissions("fake_quorin", fs::perms::owner_all);
    const Model m = standin::default_model();
    ProcessResult r = run_process(kBin + "/outer_job --freq --summary sum.txt -- ./fake_quorin job.toml");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Optimization completed."), std::string::npos);
    auto sum = read_summary("sum.txt");
    ASSERT_GE(sum.size(), 4u);
    // The first call is at the model's start geometry, where root 1 is A.
    EXPECT_EQ(sum[0].step, 1);
    EXPECT_EQ(sum[0].ider, 1);
    EXPECT_LT(distance(sum[0].x, m.start_x), 1e-11);
    // Root 1 goes down in energy and ends at B's minimum, converged.
    for (std::size_t i = 1; i + 1 < sum.size(); ++i) EXPECT_LT(sum[i].energy, sum[0].energy);
    const SummaryLine& last_grad = sum[sum.size() - 2];
    EXPECT_LT(last_grad.max_g, 0.00045);
    EXPECT_LT(last_grad.rms_g, 0.0003);
    EXPECT_LT(distance(last_grad.x, m.states[1].minimum), 0.003);
    EXPECT_GT(weight(standin::roots_at(m, last_grad.x), 1, 2), 0.99);
    EXPECT_NEAR(last_grad.energy, standin::evaluate(m, last_grad.x, 1, 3).energy, 1e-9);
    // Then one frequency call at the same geometry, and the frequencies of
    // the model's force constants there.
    const SummaryLine& freq = sum.back();
    EXPECT_EQ(freq.ider, 2);
    EXPECT_EQ(freq.step, last_grad.step + 1);
    EXPECT_EQ(freq.x, last_grad.x);
    const auto out = lines_of(r.out);
    const int fl = find_line(out, "Harmonic frequencies (cm**-1):");
    ASSERT_GE(fl, 0);
    std::vector<double> printed;
    for (std::size_t i = fl + 1; i < out.size(); ++i)
        for (const auto& w : words(out[i])) printed.push_back(real_of(w));
    Evaluation e = standin::evaluate(m, last_grad.x, 1, 3, true);
    std::vector<double> want = standin::harmonic_frequencies(e.hessian, m.start_z);
    ASSERT_EQ(printed.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(printed[i], want[i], 0.01);
    // Each step's line on standard output, and the outer log with quorin's output.
    EXPECT_NE(r.out.find("Step 1: E = "), std::string::npos);
    const std::string log = read_file("outer.log");
    EXPECT_EQ(log.rfind(" Step 1\nfake quorin: step done\n", 0), 0u);
    EXPECT_NE(log.find(" Step " + std::to_string(freq.step) + "\nfake quorin: step done\n"), std::string::npos);

    // Steepest descent with too few steps fails with status 3.
    r = run_process(kBin + "/outer_job --algo sd --max-steps 3 --log short.log -- ./fake_quorin");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Optimization failed: step limit"), std::string::npos);
    EXPECT_NE(read_file("short.log").find(" Step 3\n"), std::string::npos);
}

TEST(OuterJob, SpeaksGaussiansExternalFileLayouts) {
    ScratchDir dir;
    // quorin's stand-in here records its arguments and External input file and
    // answers with a prepared External output file: energy, gradient and the
    // force constants 0.3 on the diagonal.
    write_file("fake_quorin",
               "#!/bin/sh\necho \"$@\" > args.txt\ncp \"$3\" seen.EIn\ncp prepared.EOu \"$4\"\necho to-stderr >&2\n");
    fs::permissions("fake_quorin", fs::perms::owner_all);
    write_file("geom.txt", "2 -1 2\n1 0.0 0.0 0.5\n8 0.25 -0.125 -1.0\n");
    std::string eou = quorin::fmt_D_row({-76.25, 0.0, 0.0, 0.0}) + "\n";
    eou += quorin::fmt_D_row({0.01, -0.02, 0.0}) + "\n" + quorin::fmt_D_row({0.0, 0.0, 0.03}) + "\n";
    for (int i = 0; i < 2 + 6; ++i) eou += quorin::fmt_D_row({0.0, 0.0, 0.0}) + "\n";
    std::vector<double> tri;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j) tri.push_back(i == j ? 0.3 : 0.0);
    for (std::size_t i = 0; i < tri.size(); i += 3) eou += quorin::fmt_D_row({tri[i], tri[i + 1], tri[i + 2]}) + "\n";
    write_file("prepared.EOu", eou);
    write_file("cfg.gjf", "not read by the stand-in\n");

    ProcessResult r = run_process(kBin + "/outer_job --freq-only --geom geom.txt --summary s.txt -- ./fake_quorin cfg.gjf");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Gaussian's External input: (4I10) header, (I10,4F20.12) per atom.
    EXPECT_EQ(read_file("seen.EIn"),
              "         2         2        -1         2\n"
              "         1      0.000000000000      0.000000000000      0.500000000000      0.000000000000\n"
              "         8      0.250000000000     -0.125000000000     -1.000000000000      0.000000000000\n");
    auto args = words(read_file("args.txt"));
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[0], (dir.path() / "cfg.gjf").string());
    EXPECT_EQ(args[1], "R");
    const std::string base = args[2].substr(0, args[2].size() - 4);
    EXPECT_EQ(base.rfind("Gau-", 0), 0u);
    EXPECT_EQ(args[2], base + ".EIn");
    EXPECT_EQ(args[3], base + ".EOu");
    EXPECT_EQ(args[4], base + ".EMs");
    EXPECT_EQ(args[5], base + ".EFC");
    EXPECT_EQ(args[6], base + ".EUF");
    // What was read back: energy and gradient into the summary, the force
    // constants into the frequencies.
    auto sum = read_summary("s.txt");
    ASSERT_EQ(sum.size(), 1u);
    EXPECT_EQ(sum[0].ider, 2);
    EXPECT_EQ(sum[0].energy, -76.25);
    EXPECT_EQ(sum[0].max_g, 0.03);
    EXPECT_NEAR(sum[0].rms_g, std::sqrt((0.01 * 0.01 + 0.02 * 0.02 + 0.03 * 0.03) / 6), 1e-15);
    EXPECT_EQ(sum[0].x, (std::vector<double>{0.0, 0.0, 0.5, 0.25, -0.125, -1.0}));
    auto out = lines_of(r.out);
    const int fl = find_line(out, "Harmonic frequencies (cm**-1):");
    ASSERT_GE(fl, 0);
    auto f = words(out.at(fl + 1));
    ASSERT_EQ(f.size(), 6u);
    const double o = std::sqrt(0.3 / (15.99491464 * 1822.888486)) * 219474.6313632;
    const double h = std::sqrt(0.3 / (1.00782504 * 1822.888486)) * 219474.6313632;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(real_of(f[i]), o, 1e-3);
    for (int i = 3; i < 6; ++i) EXPECT_NEAR(real_of(f[i]), h, 1e-3);
    // The outer log holds quorin's output, then what Gaussian prints of it.
    EXPECT_EQ(read_file("outer.log").rfind(" Step 1\nto-stderr\n Recovered energy= -76.2500000000", 0), 0u);

    // A failing quorin, or one that leaves no output, stops the outer job.
    write_file("fail_quorin", "#!/bin/sh\necho ' ERROR: something' \nexit 1\n");
    write_file("silent_quorin", "#!/bin/sh\nexit 0\n");
    write_file("short_quorin", "#!/bin/sh\nhead -2 prepared.EOu > \"$4\"\n");
    for (std::string q : {"fail_quorin", "silent_quorin", "short_quorin"}) {
        fs::permissions(q, fs::perms::owner_all);
        r = run_process(kBin + "/outer_job --geom geom.txt --log " + q + ".log -- ./" + q + " cfg.gjf");
        EXPECT_EQ(r.status, 2) << q;
        EXPECT_NE(r.err.find("outer_job: "), std::string::npos) << q;
        EXPECT_EQ(r.out.find("Optimization completed."), std::string::npos) << q;
    }
    EXPECT_EQ(read_file("fail_quorin.log"),
              " Step 1\n ERROR: something\n Error termination via Lnk1e in l402.exe (External program failed).\n");
}

}  // namespace
