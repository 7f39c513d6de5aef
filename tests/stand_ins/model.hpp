// The model molecule behind the stand-in Gaussian programs.
//
// A handful of diabatic electronic states, each a harmonic surface in the 3N
// Cartesian coordinates x (bohr) with its own minimum, coupled by small
// constants:
//
//     V_k(x) = E_ground + offset_k + 1/2 kappa_k |x - min_k|^2
//     H(x)   = diag(V_1 .. V_K) + C          (C symmetric, constant, zero diagonal)
//
// The excited states ("roots") are the eigenvalues of H in ascending order.
// Each eigenvector v_r is normalised and its sign fixed so that its
// largest-magnitude component is positive (the first one on a tie).  Because
// C is constant, the derivatives of root r are exact:
//
//     g_i   = sum_k v_rk^2 kappa_k (x_i - min_k,i)
//     H_ij  = sum_k v_rk^2 kappa_k delta_ij
//           + 2 sum_{s != r} (sum_k v_rk v_sk dV_k/dx_i)(sum_k v_sk v_rk dV_k/dx_j) / (lambda_r - lambda_s)
//
// When a job asks for more roots than the model has diabatic states, the model
// is padded with uncoupled spectator states: offsets 0.05, 0.10, ... hartree
// above the highest offset, minimum and kappa those of the first state.  So
// any state count works, and the padded model is what every output describes.
//
// Built-in default model: a water-like molecule (O, H, H) whose first two roots
// exchange character along an optimisation path.  With x_ref the reference
// geometry and u a unit symmetric-stretch direction (both H atoms along their
// O-H bonds; O fixed):
//
//     state A: offset 0.20, kappa 0.5, minimum x_ref
//     state B: offset 0.15, kappa 0.5, minimum x_ref + 0.4 u
//     state C: offset 0.30, kappa 0.5, minimum x_ref - 0.2 u
//     couplings A-B 0.002, B-C 0.001; ground energy -76.0
//
// All minima lie on the line x_ref + s u, and the component of x across that
// line adds the same amount to every state.  On the line
//     V_A - V_B = 0.01 + 0.2 s,
// so A and B cross at s = -0.05 (the adiabatic gap there is 2 x 0.002).  The
// start geometry is x_ref - 0.3 u + 0.05 w, w a unit asymmetric-stretch
// direction orthogonal to u.  There A is root 1 (V_A - V_B = -0.05); at A's
// minimum (s = 0) B lies 0.01 below A, so A is root 2 (weight 0.96).
// Following root 1 downhill therefore passes the seam and ends at B's minimum
// (root 1, B character), while following A's character ends at the minimum of
// root 2, 0.014 bohr from A's (the small admixture of B pulls it along u).
// The diabatic workflow tests rely on these statements.
//
// Model file (text; "#" starts a comment; one keyword per line):
//     atoms N
//     ground E
//     state k offset o kappa K min x1 y1 z1 ... (3N values, bohr)   k = 1, 2, ...
//     coupling k l c
//     start Z x y z                                                   one per atom, bohr (optional)
//
// Also here: atomic masses and harmonic frequencies, element symbols, and the
// reading of an inner Gaussian input as the stand-in g16 understands it.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "shared_constants.hpp"

namespace standin {

inline constexpr double kBohrToAngstrom = 0.529177249;
inline constexpr double kAmuToElectronMass = 1822.888486;
inline constexpr double kHartreeToWavenumber = 219474.6313632;
inline constexpr double kHartreeToEv = 27.211386245988;
inline constexpr double kSpectatorStep = 0.05;  // hartree between padded spectator states

// Shortest text that reads back as exactly the same double.
inline std::string exact(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// ------------------------------------------------------------------ elements

// The element symbols of quorin's own table, without its padding blank.
inline const std::array<std::string, 87>& element_symbols() {
    static const std::array<std::string, 87> s = [] {
        std::array<std::string, 87> a;
        for (std::size_t z = 0; z < a.size(); ++z) {
            a[z] = std::string(quorin::ind2name[z]);
            while (!a[z].empty() && a[z].back() == ' ') a[z].pop_back();
        }
        return a;
    }();
    return s;
}

// Atomic number of an element symbol (any case; Bq is 0), or -1.
inline int atomic_number(std::string_view sym) {
    const auto& s = element_symbols();
    for (int z = 0; z < static_cast<int>(s.size()); ++z) {
        std::string_view e = s[static_cast<std::size_t>(z)];
        if (e.size() != sym.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < e.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(e[i])) != std::tolower(static_cast<unsigned char>(sym[i])))
                same = false;
        if (same) return z;
    }
    return -1;
}

// Mass of the most abundant isotope in amu, as Gaussian uses it for
// frequencies, for Z = 1 ... 86 (0 for a ghost atom or an unknown Z).
inline double atomic_mass(int z) {
    static const double m[87] = {
        0.0,          1.00782504,   4.00260325,   7.01600450,   9.01218250,   11.00930530,
        12.00000000,  14.00307401,  15.99491464,  18.99840325,  19.99243910,  22.98976970,
        23.98504500,  26.98154130,  27.97692840,  30.97376340,  31.97207180,  34.96885273,
        39.96238310,  38.96370790,  39.96259070,  44.95591360,  47.94794670,  50.94396250,
        51.94050970,  54.93804630,  55.93493930,  58.93319780,  57.93534710,  62.92959920,
        63.92914540,  68.92558090,  73.92117880,  74.92159550,  79.91652050,  78.91833610,
        83.91150640,  84.91170000,  87.90562490,  88.90585600,  89.90470800,  92.90637800,
        97.90540500,  97.90721500,  101.90434750, 102.90550420, 105.90347500, 106.90509700,
        113.90336070, 114.90387780, 119.90219900, 120.90382370, 129.90622900, 126.90447500,
        131.90414800, 132.90542900, 137.90523200, 138.90635500, 139.90543300, 140.90764700,
        141.90772300, 144.91274900, 151.91973200, 152.92123000, 157.92410100, 158.92534300,
        163.92917400, 164.93031900, 165.93029000, 168.93421100, 173.93886200, 174.94077100,
        179.94655000, 180.94799600, 183.95093100, 186.95575300, 191.96148000, 192.96292600,
        194.96477400, 196.96655100, 201.97062500, 204.97442700, 207.97663600, 208.98038300,
        208.98242400, 209.98714800, 222.01757000};
    return z >= 0 && z <= 86 ? m[z] : 0.0;
}

// --------------------------------------------------------------- linear algebra

// Eigenvalues (ascending) and eigenvectors of the symmetric n x n matrix a
// (row-major) by cyclic Jacobi rotations; vectors[r] belongs to values[r].
inline void symmetric_eigen(std::vector<double> a, int n, std::vector<double>& values,
                            std::vector<std::vector<double>>& vectors) {
    const std::size_t N = static_cast<std::size_t>(n);
    std::vector<double> v(N * N, 0.0);
    for (std::size_t i = 0; i < N; ++i) v[i * N + i] = 1.0;
    auto A = [&](std::size_t i, std::size_t j) -> double& { return a[i * N + j]; };
    double scale = 0.0;
    for (double x : a) scale = std::max(scale, std::fabs(x));
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        for (std::size_t p = 0; p < N; ++p)
            for (std::size_t q = p + 1; q < N; ++q) off = std::max(off, std::fabs(A(p, q)));
        if (off <= 1e-300 || off <= 1e-17 * scale) break;
        for (std::size_t p = 0; p < N; ++p) {
            for (std::size_t q = p + 1; q < N; ++q) {
                double apq = A(p, q);
                if (apq == 0.0) continue;
                double theta = (A(q, q) - A(p, p)) / (2.0 * apq);
                double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < N; ++k) {  // columns p, q
                    double akp = A(k, p), akq = A(k, q);
                    A(k, p) = c * akp - s * akq;
                    A(k, q) = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < N; ++k) {  // rows p, q
                    double apk = A(p, k), aqk = A(q, k);
                    A(p, k) = c * apk - s * aqk;
                    A(q, k) = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < N; ++k) {
                    double vkp = v[k * N + p], vkq = v[k * N + q];
                    v[k * N + p] = c * vkp - s * vkq;
                    v[k * N + q] = s * vkp + c * vkq;
                }
            }
        }
    }
    std::vector<std::size_t> order(N);
    for (std::size_t i = 0; i < N; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return A(i, i) < A(j, j); });
    values.assign(N, 0.0);
    vectors.assign(N, std::vector<double>(N, 0.0));
    for (std::size_t r = 0; r < N; ++r) {
        values[r] = A(order[r], order[r]);
        for (std::size_t k = 0; k < N; ++k) vectors[r][k] = v[k * N + order[r]];
    }
}

// ---------------------------------------------------------------------- model

struct DiabaticState {
    double offset = 0.0;
    double kappa = 0.0;
    std::vector<double> minimum;  // 3N, bohr
};

struct Model {
    int natoms = 0;
    double ground = 0.0;
    std::vector<DiabaticState> states;
    std::vector<double> coupling;  // K x K, symmetric, zero diagonal
    std::vector<int> start_z;      // empty when the model gives no start geometry
    std::vector<double> start_x;   // 3N, bohr

    int nstates() const { return static_cast<int>(states.size()); }
    double c(int k, int l) const {
        return coupling[static_cast<std::size_t>(k) * states.size() + static_cast<std::size_t>(l)];
    }
    double kappa_min() const {
        double m = states.empty() ? 1.0 : states[0].kappa;
        for (const auto& s : states) m = std::min(m, s.kappa);
        return m;
    }
    // The model with at least `nroots` diabatic states (spectators appended).
    Model padded(int nroots) const {
        if (nroots <= nstates() || states.empty()) return *this;
        Model p = *this;
        double top = states[0].offset;
        for (const auto& s : states) top = std::max(top, s.offset);
        for (int j = 1; j <= nroots - nstates(); ++j)
            p.states.push_back({top + kSpectatorStep * j, states[0].kappa, states[0].minimum});
        const std::size_t K = p.states.size(), K0 = states.size();
        p.coupling.assign(K * K, 0.0);
        for (std::size_t k = 0; k < K0; ++k)
            for (std::size_t l = 0; l < K0; ++l) p.coupling[k * K + l] = coupling[k * K0 + l];
        return p;
    }
    // Diabatic energies V_k(x).
    std::vector<double> diabatic(const std::vector<double>& x) const {
        std::vector<double> V;
        for (const auto& s : states) {
            double d2 = 0.0;
            for (std::size_t i = 0; i < x.size(); ++i) d2 += (x[i] - s.minimum[i]) * (x[i] - s.minimum[i]);
            V.push_back(ground + s.offset + 0.5 * s.kappa * d2);
        }
        return V;
    }
};

// All roots of a model at one geometry.
struct Roots {
    std::vector<double> energy;               // ascending, hartree
    std::vector<std::vector<double>> vector;  // vector[r][k]: root r+1, diabatic state k+1
};

inline Roots roots_at(const Model& m, const std::vector<double>& x) {
    const int K = m.nstates();
    std::vector<double> H = m.coupling;
    std::vector<double> V = m.diabatic(x);
    for (int k = 0; k < K; ++k) H[static_cast<std::size_t>(k * K + k)] = V[static_cast<std::size_t>(k)];
    Roots r;
    symmetric_eigen(H, K, r.energy, r.vector);
    for (auto& v : r.vector) {
        std::size_t big = 0;
        for (std::size_t k = 1; k < v.size(); ++k)
            if (std::fabs(v[k]) > std::fabs(v[big])) big = k;
        if (v[big] < 0)
            for (double& c : v) c = -c;
    }
    return r;
}

// Gradient dE/dx of root `root` (1-based), hartree/bohr.
inline std::vector<double> root_gradient(const Model& m, const Roots& r, int root, const std::vector<double>& x) {
    const auto& v = r.vector.at(static_cast<std::size_t>(root - 1));
    std::vector<double> g(x.size(), 0.0);
    for (std::size_t k = 0; k < m.states.size(); ++k) {
        double w = v[k] * v[k] * m.states[k].kappa;
        for (std::size_t i = 0; i < x.size(); ++i) g[i] += w * (x[i] - m.states[k].minimum[i]);
    }
    return g;
}

// Hessian of root `root` (1-based), 3N x 3N row-major, hartree/bohr^2.
inline std::vector<double> root_hessian(const Model& m, const Roots& r, int root, const std::vector<double>& x) {
    const std::size_t n = x.size(), K = m.states.size(), R = static_cast<std::size_t>(root - 1);
    const auto& v = r.vector.at(R);
    std::vector<double> H(n * n, 0.0);
    double diag = 0.0;
    for (std::size_t k = 0; k < K; ++k) diag += v[k] * v[k] * m.states[k].kappa;
    for (std::size_t i = 0; i < n; ++i) H[i * n + i] = diag;
    for (std::size_t s = 0; s < K; ++s) {
        if (s == R) continue;
        double gap = r.energy[R] - r.energy[s];
        if (std::fabs(gap) < 1e-14) continue;
        std::vector<double> d(n, 0.0);  // <r| dH/dx_i |s>
        for (std::size_t k = 0; k < K; ++k) {
            double w = v[k] * r.vector[s][k] * m.states[k].kappa;
            if (w == 0.0) continue;
            for (std::size_t i = 0; i < n; ++i) d[i] += w * (x[i] - m.states[k].minimum[i]);
        }
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) H[i * n + j] += 2.0 * d[i] * d[j] / gap;
    }
    return H;
}

// Everything a job reports for one root: the model padded to `nstate`
// roots, its roots, and the energy and gradient of the requested one.
struct Evaluation {
    Model model;
    Roots roots;
    int root = 1;
    double energy = 0.0;
    std::vector<double> gradient;
    std::vector<double> hessian;  // filled on request
};

inline Evaluation evaluate(const Model& m, const std::vector<double>& x, int root, int nstate,
                           bool with_hessian = false) {
    Evaluation e;
    e.model = m.padded(nstate);
    e.roots = roots_at(e.model, x);
    e.root = root;
    e.energy = e.roots.energy.at(static_cast<std::size_t>(root - 1));
    e.gradient = root_gradient(e.model, e.roots, root, x);
    if (with_hessian) e.hessian = root_hessian(e.model, e.roots, root, x);
    return e;
}

// ------------------------------------------------------------- model files

inline std::string model_text(const Model& m) {
    std::string t;
    t += "# Harmonic diabatic states coupled by constants; coordinates in bohr.\n";
    t += "atoms " + std::to_string(m.natoms) + "\n";
    t += "ground " + exact(m.ground) + "\n";
    for (std::size_t k = 0; k < m.states.size(); ++k) {
        const auto& s = m.states[k];
        t += "state " + std::to_string(k + 1) + " offset " + exact(s.offset) + " kappa " + exact(s.kappa) + " min";
        for (double x : s.minimum) t += " " + exact(x);
        t += "\n";
    }
    for (int k = 0; k < m.nstates(); ++k)
        for (int l = k + 1; l < m.nstates(); ++l)
            if (m.c(k, l) != 0.0)
                t += "coupling " + std::to_string(k + 1) + " " + std::to_string(l + 1) + " " + exact(m.c(k, l)) + "\n";
    for (std::size_t a = 0; a < m.start_z.size(); ++a)
        t += "start " + std::to_string(m.start_z[a]) + " " + exact(m.start_x[3 * a]) + " " +
             exact(m.start_x[3 * a + 1]) + " " + exact(m.start_x[3 * a + 2]) + "\n";
    return t;
}

// Reads a model; throws std::runtime_error naming the line that is wrong.
inline Model parse_model(std::istream& in, const std::string& source = "model") {
    Model m;
    bool have_atoms = false;
    std::vector<bool> defined;
    struct Coupling { int k, l; double c; };
    std::vector<Coupling> couplings;
    std::string line;
    int lineno = 0;
    auto fail = [&](const std::string& why) {
        throw std::runtime_error(source + ", line " + std::to_string(lineno) + ": " + why);
    };
    auto number = [&](std::istringstream& ls, const char* what) {
        std::string tok;
        if (!(ls >> tok)) fail(std::string("missing ") + what);
        double v = 0.0;
        auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
        if (r.ec != std::errc() || r.ptr != tok.data() + tok.size()) fail(std::string("bad ") + what + " \"" + tok + "\"");
        return v;
    };
    auto integer = [&](std::istringstream& ls, const char* what) {
        double v = number(ls, what);
        if (v != std::floor(v)) fail(std::string("bad ") + what);
        return static_cast<int>(v);
    };
    auto keyword = [&](std::istringstream& ls, const char* word) {
        std::string tok;
        if (!(ls >> tok) || tok != word) fail(std::string("expected \"") + word + "\"");
    };
    while (std::getline(in, line)) {
        ++lineno;
        if (auto h = line.find('#'); h != std::string::npos) line.erase(h);
        std::istringstream ls(line);
        std::string key;
        if (!(ls >> key)) continue;
        if (key == "atoms") {
            m.natoms = integer(ls, "atom count");
            if (m.natoms < 1) fail("atom count below 1");
            have_atoms = true;
        } else if (key == "ground") {
            m.ground = number(ls, "ground energy");
        } else if (key == "state") {
            if (!have_atoms) fail("\"atoms\" must come first");
            int k = integer(ls, "state number");
            if (k < 1 || k > 100) fail("state number out of range");
            DiabaticState s;
            keyword(ls, "offset");
            s.offset = number(ls, "offset");
            keyword(ls, "kappa");
            s.kappa = number(ls, "kappa");
            keyword(ls, "min");
            for (int i = 0; i < 3 * m.natoms; ++i) s.minimum.push_back(number(ls, "minimum coordinate"));
            if (std::string extra; ls >> extra) fail("more than 3N minimum coordinates");
            if (static_cast<int>(m.states.size()) < k) {
                m.states.resize(static_cast<std::size_t>(k));
                defined.resize(static_cast<std::size_t>(k), false);
            }
            if (defined[static_cast<std::size_t>(k - 1)]) fail("state defined twice");
            m.states[static_cast<std::size_t>(k - 1)] = s;
            defined[static_cast<std::size_t>(k - 1)] = true;
        } else if (key == "coupling") {
            Coupling c;
            c.k = integer(ls, "state number");
            c.l = integer(ls, "state number");
            c.c = number(ls, "coupling");
            if (c.k == c.l) fail("a state cannot couple to itself");
            couplings.push_back(c);
        } else if (key == "start") {
            if (!have_atoms) fail("\"atoms\" must come first");
            m.start_z.push_back(integer(ls, "atomic number"));
            for (int i = 0; i < 3; ++i) m.start_x.push_back(number(ls, "start coordinate"));
        } else {
            fail("unknown keyword \"" + key + "\"");
        }
    }
    lineno = 0;
    if (!have_atoms) fail("no \"atoms\" line");
    if (m.states.empty()) fail("no state");
    for (std::size_t k = 0; k < defined.size(); ++k)
        if (!defined[k]) fail("state " + std::to_string(k + 1) + " is missing");
    if (!m.start_z.empty() && static_cast<int>(m.start_z.size()) != m.natoms)
        fail("the start geometry needs one \"start\" line per atom");
    const std::size_t K = m.states.size();
    m.coupling.assign(K * K, 0.0);
    for (const auto& c : couplings) {
        if (c.k < 1 || c.l < 1 || c.k > static_cast<int>(K) || c.l > static_cast<int>(K))
            fail("coupling names a state that does not exist");
        m.coupling[static_cast<std::size_t>(c.k - 1) * K + static_cast<std::size_t>(c.l - 1)] = c.c;
        m.coupling[static_cast<std::size_t>(c.l - 1) * K + static_cast<std::size_t>(c.k - 1)] = c.c;
    }
    return m;
}

inline Model parse_model_text(const std::string& text, const std::string& source = "model") {
    std::istringstream in(text);
    return parse_model(in, source);
}

inline Model load_model(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open model file " + path);
    return parse_model(in, path);
}

// Geometry of the default model (bohr).
struct DefaultGeometry {
    std::vector<double> x_ref;  // reference geometry, minimum of state A
    std::vector<double> u;      // unit symmetric-stretch direction
    std::vector<double> w;      // unit asymmetric-stretch direction, orthogonal to u
};

inline DefaultGeometry default_geometry() {
    const double y = 1.431, z = 1.108, r = std::sqrt(y * y + z * z);
    const double a = y / r, b = z / r, h = 1.0 / std::sqrt(2.0);
    DefaultGeometry g;
    g.x_ref = {0.0, 0.0, -0.124, 0.0, y, z - 0.124, 0.0, -y, z - 0.124};
    g.u = {0.0, 0.0, 0.0, 0.0, a * h, b * h, 0.0, -a * h, b * h};
    g.w = {0.0, 0.0, 0.0, 0.0, a * h, b * h, 0.0, a * h, -b * h};
    return g;
}

inline Model default_model() {
    const DefaultGeometry g = default_geometry();
    auto along = [&](double s, double t) {
        std::vector<double> x(9);
        for (std::size_t i = 0; i < 9; ++i) x[i] = g.x_ref[i] + s * g.u[i] + t * g.w[i];
        return x;
    };
    Model m;
    m.natoms = 3;
    m.ground = -76.0;
    m.states = {{0.20, 0.5, along(0.0, 0.0)}, {0.15, 0.5, along(0.4, 0.0)}, {0.30, 0.5, along(-0.2, 0.0)}};
    m.coupling.assign(9, 0.0);
    m.coupling[0 * 3 + 1] = m.coupling[1 * 3 + 0] = 0.002;
    m.coupling[1 * 3 + 2] = m.coupling[2 * 3 + 1] = 0.001;
    m.start_z = {8, 1, 1};
    m.start_x = along(-0.3, 0.05);
    return m;
}

// The default model as a model file (reads back to exactly default_model()).
inline std::string default_model_text() {
    return "# Water-like default model: states A, B, C; A and B cross near s = -0.05 along u.\n" +
           model_text(default_model());
}

// The model of this run: the file named by QUORIN_MODEL, else
// quorin_model.dat in the current directory or its parent (g16 runs inside
// temp/), else the built-in default.
inline Model find_model() {
    if (const char* p = std::getenv("QUORIN_MODEL"); p != nullptr && *p != '\0') return load_model(p);
    for (const char* candidate : {"quorin_model.dat", "../quorin_model.dat"})
        if (std::filesystem::exists(candidate)) return load_model(candidate);
    return default_model();
}

// ------------------------------------------------------------- frequencies

// Harmonic frequencies (cm^-1, ascending) of a Cartesian Hessian (3N x 3N
// row-major, hartree/bohr^2) for atoms of the given atomic numbers; an
// imaginary frequency is reported as a negative number.
inline std::vector<double> harmonic_frequencies(const std::vector<double>& hessian, const std::vector<int>& z) {
    const std::size_t n = 3 * z.size();
    if (hessian.size() != n * n) throw std::runtime_error("harmonic_frequencies: Hessian size does not match the atoms");
    std::vector<double> inv_sqrt_m(n);
    for (std::size_t i = 0; i < n; ++i) {
        double m = atomic_mass(z[i / 3]) * kAmuToElectronMass;
        if (m <= 0.0) throw std::runtime_error("harmonic_frequencies: atom without a mass");
        inv_sqrt_m[i] = 1.0 / std::sqrt(m);
    }
    std::vector<double> mw(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) mw[i * n + j] = hessian[i * n + j] * inv_sqrt_m[i] * inv_sqrt_m[j];
    std::vector<double> values;
    std::vector<std::vector<double>> vectors;
    symmetric_eigen(mw, static_cast<int>(n), values, vectors);
    std::vector<double> f;
    for (double l : values) f.push_back(l >= 0 ? std::sqrt(l) * kHartreeToWavenumber : -std::sqrt(-l) * kHartreeToWavenumber);
    return f;
}

// ----------------------------------------------------- inner Gaussian input

// An inner Gaussian input as the stand-in g16 reads it.
struct Job {
    std::string chk;             // %chk= value, empty when none
    std::string route;           // route text as written (lines joined by a blank)
    std::string method = "B3LYP";
    std::string basis = "6-31G*";
    std::string kind = "sp";     // force, sp or freq
    bool guess_read = false;     // guess=read
    bool td_read = false;        // td(...,read)
    bool triplet = false;
    int root = 1;
    int nstate = 3;
    std::string title;
    int charge = 0;
    int mult = 1;
    std::vector<int> z;
    std::vector<double> x;       // bohr (the input's angstrom divided by 0.529177249)
    std::string error;           // empty when the input was understood
};

inline std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

inline bool parse_int(const std::string& s, int& v) {
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// Link 0 lines, route (up to a blank line), title section, charge and
// multiplicity, atoms "Sym x y z" (angstrom) up to a blank line or the end.
inline Job parse_job(std::istream& in) {
    Job j;
    std::string line;
    auto next = [&](std::string& l) {
        if (!std::getline(in, l)) return false;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        return true;
    };
    auto blank = [](const std::string& l) { return l.find_first_not_of(" \t") == std::string::npos; };
    // Link 0 and route.
    bool route_seen = false;
    while (next(line)) {
        std::string t = line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
        if (!route_seen && t.empty()) continue;
        if (!route_seen && t[0] == '%') {
            std::string l = lower(t);
            if (l.rfind("%chk=", 0) == 0) {
                j.chk = t.substr(5);
                while (!j.chk.empty() && (j.chk.back() == ' ' || j.chk.back() == '\t')) j.chk.pop_back();
            }
            continue;
        }
        if (!route_seen && t[0] != '#') {
            j.error = "the route section must begin with #";
            return j;
        }
        if (blank(line)) break;
        route_seen = true;
        j.route += (j.route.empty() ? "" : " ") + t;
    }
    if (!route_seen) {
        j.error = "no route section";
        return j;
    }
    // Route keywords.
    bool td_seen = false, method_seen = false, kind_seen = false;
    std::istringstream rs(j.route);
    std::string tok;
    while (rs >> tok) {
        std::string l = lower(tok);
        if (l[0] == '#') continue;
        if (l.rfind("iop", 0) == 0) continue;
        if (l == "guess=read" || l == "guess(read)") {
            j.guess_read = true;
        } else if (l.rfind("td(", 0) == 0 || l.rfind("td=(", 0) == 0) {
            td_seen = true;
            std::size_t open = l.find('('), close = l.rfind(')');
            if (close == std::string::npos || close < open) {
                j.error = "unbalanced td keyword";
                return j;
            }
            std::istringstream os(l.substr(open + 1, close - open - 1));
            std::string opt;
            while (std::getline(os, opt, ',')) {
                if (opt == "triplet") j.triplet = true;
                else if (opt == "read") j.td_read = true;
                else if (opt == "singlet" || opt == "singlets") {}
                else if (opt.rfind("root=", 0) == 0 && parse_int(opt.substr(5), j.root)) {}
                else if (opt.rfind("nstates=", 0) == 0 && parse_int(opt.substr(8), j.nstate)) {}
                else if (opt.rfind("nstate=", 0) == 0 && parse_int(opt.substr(7), j.nstate)) {}
                else {
                    j.error = "td option not understood: " + opt;
                    return j;
                }
            }
        } else if (l == "td") {
            td_seen = true;
        } else if (l == "force" || l == "sp" || l == "freq") {
            if (kind_seen) {
                j.error = "two job types in the route";
                return j;
            }
            j.kind = l;
            kind_seen = true;
        } else if (!method_seen && tok.find('/') != std::string::npos) {
            j.method = tok.substr(0, tok.find('/'));
            j.basis = tok.substr(tok.find('/') + 1);
            method_seen = true;
        }
        // Other keywords (nosymm, scf=..., ...) change nothing in the model.
    }
    if (!td_seen) {
        j.error = "the stand-in computes TD jobs only";
        return j;
    }
    if (j.root < 1 || j.nstate < 1 || j.root > j.nstate) {
        j.error = "root " + std::to_string(j.root) + " is not among the " + std::to_string(j.nstate) + " states";
        return j;
    }
    // Title section.
    bool title_seen = false;
    while (next(line)) {
        if (blank(line)) {
            if (title_seen) break;
            continue;
        }
        title_seen = true;
        std::string t = line.substr(line.find_first_not_of(" \t"));
        j.title += (j.title.empty() ? "" : " ") + t;
    }
    if (!title_seen) {
        j.error = "no title section";
        return j;
    }
    // Charge, multiplicity and atoms.
    if (!next(line)) {
        j.error = "no charge and multiplicity";
        return j;
    }
    {
        std::istringstream cs(line);
        std::string c, m;
        if (!(cs >> c >> m) || !parse_int(c, j.charge) || !parse_int(m, j.mult)) {
            j.error = "charge and multiplicity not understood: " + line;
            return j;
        }
    }
    while (next(line) && !blank(line)) {
        std::istringstream as(line);
        std::string sym;
        double v[3];
        as >> sym;
        std::string tail;
        if (!(as >> v[0] >> v[1] >> v[2]) || (as >> tail)) {
            j.error = "atom line not understood: " + line;
            return j;
        }
        int z = -1;
        if (!parse_int(sym, z)) {
            std::string letters = sym;
            while (!letters.empty() && std::isdigit(static_cast<unsigned char>(letters.back()))) letters.pop_back();
            z = atomic_number(letters);
        }
        if (z < 0 || z > 86) {
            j.error = "unknown element " + sym;
            return j;
        }
        j.z.push_back(z);
        for (double c : v) j.x.push_back(c / kBohrToAngstrom);
    }
    if (j.z.empty()) j.error = "no atoms";
    return j;
}

}  // namespace standin
