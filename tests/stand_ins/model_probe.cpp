// Tells, for the demo, what the model says about the state that an inner job
// computed: its diabatic character and the nearest diabatic minimum.
//
//     model_probe FCHK
//
// FCHK is a formatted checkpoint written by the stand-in formchk (it holds
// the computed root, the roots' diabatic vectors and the geometry).  Prints
//     root R: character B (weight 0.999); 0.0003 bohr from B's minimum
// States are lettered A, B, C, ... in the model's order.
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include "fchk_io.hpp"
#include "model.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: model_probe FCHK\n");
        return 2;
    }
    standin::Fchk f;
    if (!standin::read_fchk(argv[1], f) || !f.has("Model Diabatic Vectors")) {
        std::fprintf(stderr, "model_probe: %s holds no model sections\n", argv[1]);
        return 1;
    }
    try {
        const standin::Model m = standin::find_model();
        const long long root = f.integer("Model Requested Root");
        const long long K = f.integer("Model Number of Diabatic States");
        const auto& vec = f.reals.at("Model Diabatic Vectors");
        const auto& x = f.reals.at("Current cartesian coordinates");
        if (root < 1 || K < 1 || static_cast<long long>(vec.size()) < root * K) throw std::runtime_error("bad vectors");

        long long best = 0;
        for (long long k = 1; k < K; ++k)
            if (std::fabs(vec[(root - 1) * K + k]) > std::fabs(vec[(root - 1) * K + best])) best = k;
        const double weight = vec[(root - 1) * K + best] * vec[(root - 1) * K + best];

        std::size_t nearest = 0;
        double nearest_d = INFINITY;
        for (std::size_t s = 0; s < m.states.size(); ++s) {
            double d2 = 0.0;
            for (std::size_t i = 0; i < x.size() && i < m.states[s].minimum.size(); ++i)
                d2 += (x[i] - m.states[s].minimum[i]) * (x[i] - m.states[s].minimum[i]);
            if (std::sqrt(d2) < nearest_d) {
                nearest_d = std::sqrt(d2);
                nearest = s;
            }
        }
        std::printf("root %lld: character %c (weight %.3f); %.4f bohr from %c's minimum\n", root,
                    static_cast<char>('A' + best), weight, nearest_d, static_cast<char>('A' + nearest));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "model_probe: %s\n", e.what());
        return 1;
    }
    return 0;
}
