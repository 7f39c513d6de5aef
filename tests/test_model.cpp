// The model behind the stand-in outside programs: its derivatives, and the
// exchange of character between its first two roots that the end-to-end
// tests rely on.  The stand-ins themselves are exercised through quorin by
// the end-to-end tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "model.hpp"

namespace {

using namespace standin;

// Share of diabatic state `state` in root `root` (both 1-based).
double weight(const Roots& r, int root, int state) { return std::pow(r.vector[root - 1][state - 1], 2); }

// Unequal force constants, all three states coupled, two atoms.
Model uneven_model() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> d(-0.3, 0.3);
    Model m{.natoms = 2, .ground = -40.0};
    const double offsets[] = {0.10, 0.13, 0.18}, kappas[] = {0.3, 0.7, 0.45};
    for (int k = 0; k < 3; ++k) {
        m.states.push_back({offsets[k], kappas[k], {}});
        for (int i = 0; i < 6; ++i) m.states.back().minimum.push_back(d(rng) + (i == 5 ? 2.0 : 0.0));
    }
    m.coupling = {0.0, 0.01, 0.005, 0.01, 0.0, 0.02, 0.005, 0.02, 0.0};
    return m;
}

// Every root, spectators included, at geometries where the roots are apart.
TEST(Model, GradientAndHessianMatchFiniteDifferences) {
    const Model def = default_model();
    struct Case { Model model; std::vector<double> centre; double spread; };
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    const double h = 1e-5;
    for (const auto& [m, centre, spread] :
         {Case{def.padded(3), def.start_x, 0.3}, Case{uneven_model().padded(5), {0, 0, 0, 0, 0, 2}, 0.4}}) {
        int checked = 0;
        for (int trial = 0; trial < 40 && checked < 10; ++trial) {
            std::vector<double> x = centre;
            for (double& v : x) v += spread * d(rng);
            const Roots r = roots_at(m, x);
            auto close = [](double lower, double upper) { return upper - lower < 0.02; };  // too close to differentiate
            if (std::adjacent_find(r.energy.begin(), r.energy.end(), close) != r.energy.end()) continue;
            ++checked;
            const std::size_t n = x.size();
            for (int root = 1; root <= m.nstates(); ++root) {
                const auto g = root_gradient(m, r, root, x), H = root_hessian(m, r, root, x);
                for (std::size_t j = 0; j < n; ++j) {
                    std::vector<double> xp = x, xm = x;
                    xp[j] += h;
                    xm[j] -= h;
                    const Roots rp = roots_at(m, xp), rm = roots_at(m, xm);
                    EXPECT_NEAR(g[j], (rp.energy[root - 1] - rm.energy[root - 1]) / (2 * h), 1e-7) << root << ":" << j;
                    const auto gp = root_gradient(m, rp, root, xp), gm = root_gradient(m, rm, root, xm);
                    for (std::size_t i = 0; i < n; ++i)
                        EXPECT_NEAR(H[i * n + j], (gp[i] - gm[i]) / (2 * h), 1e-6) << root << ":" << i << "," << j;
                }
            }
        }
        EXPECT_EQ(checked, 10) << "too few geometries with separated roots";
    }
}

// A (state 1) is root 1 at the start geometry and root 2 at its own minimum;
// root 1 followed downhill from the start ends at B's minimum, as B.
TEST(Model, DefaultModelsFirstTwoRootsExchangeCharacter) {
    const Model m = default_model();
    const Roots start = roots_at(m, m.start_x), at_a = roots_at(m, m.states[0].minimum);
    EXPECT_GT(weight(start, 1, 1), 0.99);
    EXPECT_GT(weight(at_a, 2, 1), 0.95);
    std::vector<double> x = m.start_x;
    for (int it = 0; it < 2000; ++it) {
        const auto g = root_gradient(m, roots_at(m, x), 1, x);
        double norm = 0.0;
        for (double v : g) norm += v * v;
        for (std::size_t i = 0; i < x.size(); ++i) x[i] -= std::min(1.0, 0.02 / std::sqrt(norm)) * g[i];
    }
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], m.states[1].minimum[i], 1e-3) << "coordinate " << i;
    EXPECT_GT(weight(roots_at(m, x), 1, 2), 0.99);
}

}  // namespace
