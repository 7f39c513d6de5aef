// What the stand-in NTO tools (voskSNTO, voskwfn) compute: the excited states
// of the model molecule are mixtures of K diabatic states, and the "natural
// transition orbitals" of a root are the K diabatic characters weighted by the
// squared components of the root's vector, framed by two spectator orbitals.
//
//   NTO file of a root with vector v (K components), nif = K + 2 orbitals:
//     eigenvalues [0, v1^2, ..., vK^2, 0]; orbital k+1 carries character k.
//   Orbital overlap of orbital i of a reference NTO file with orbital i of a
//   candidate NTO file: 1 for the spectators (i = 1, i = nif of the reference);
//   for i = k+1 scheme 1 (direct overlap) v_cand_k * sign(v_ref_k), scheme 2
//   (wavefunction norm) v_cand_k^2.
//   SNTO = sum over the chosen reference orbitals of |lambda_ref_i| * |S_ii|.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "faults.hpp"
#include "fchk_io.hpp"

namespace standin {

// The diabatic model carried by the inner job's formatted checkpoint.
struct ModelStates {
    int k = 0;                            // diabatic states
    int nroots = 0;                       // excited states (roots)
    std::vector<double> energies;         // total energy of roots 1..nroots
    std::vector<std::vector<double>> vec; // vec[r-1] = vector of root r (k entries)
    long long requested_root = 0;

    bool has_root(long long r) const { return r >= 1 && r <= nroots; }
    const std::vector<double>& vector_of(long long r) const { return vec[r - 1]; }
    double energy_of(long long r) const {
        return r >= 1 && r <= (long long)energies.size() ? energies[r - 1] : 0.0;
    }
};

inline std::vector<double> normalised(std::vector<double> v) {
    double n2 = 0.0;
    for (double x : v) n2 += x * x;
    if (n2 > 0.0) {
        double n = std::sqrt(n2);
        for (double& x : v) x /= n;
    }
    return v;
}

// Reads the model sections of a formatted checkpoint; on failure returns false
// with the reason in err.
inline bool read_model_states(const std::string& path, ModelStates& m, std::string& err) {
    Fchk f;
    if (!read_fchk(path, f)) {
        err = "cannot read formatted checkpoint " + path;
        return false;
    }
    if (!f.ints.count("Model Number of Diabatic States") ||
        !f.reals.count("Model Diabatic Vectors")) {
        err = path + " holds no model diabatic states";
        return false;
    }
    m.k = (int)f.integer("Model Number of Diabatic States");
    const std::vector<double>& all = f.reals.at("Model Diabatic Vectors");
    if (m.k <= 0 || all.size() % m.k != 0) {
        err = path + ": " + std::to_string(all.size()) +
              " diabatic vector components do not fit " + std::to_string(m.k) + " diabatic states";
        return false;
    }
    m.nroots = (int)(all.size() / m.k);
    m.vec.clear();
    for (int r = 0; r < m.nroots; ++r)
        m.vec.push_back(normalised(std::vector<double>(all.begin() + (long)r * m.k,
                                                       all.begin() + (long)(r + 1) * m.k)));
    auto e = f.reals.find("Model Excited State Energies");
    m.energies = e == f.reals.end() ? std::vector<double>() : e->second;
    m.requested_root = f.integer("Model Requested Root");
    return true;
}

// An NTO file as the stand-ins write it.
struct NtoFile {
    int nif = 0;
    std::vector<double> eigen;   // nif NTO eigenvalues (alpha orbital energy section)
    std::vector<double> vec;     // signed diabatic vector of the state
    long long state = 0;
};

inline std::vector<double> nto_eigenvalues(const std::vector<double>& v) {
    std::vector<double> e(v.size() + 2, 0.0);
    for (std::size_t k = 0; k < v.size(); ++k) e[k + 1] = v[k] * v[k];
    return e;
}

inline std::string nto_file_text(long long state, const std::vector<double>& v) {
    if (fault("empty_nto")) return std::string();
    const long long dropped = fault("fewer_orbitals") ? std::atoll(fault("fewer_orbitals")->c_str()) : 0;
    std::string s = "NTO of state " + std::to_string(state) + " (stand-in)\n";
    char job[128];
    std::snprintf(job, sizeof job, "%-10s%-30s%-30s\n", "NTO", "model", "diabatic");
    s += job;
    s += fchk_int("Number of basis functions", (long long)v.size() + 2 + dropped);
    std::vector<double> eigenvalues = nto_eigenvalues(v);
    if (fault("nan_eigenvalue")) eigenvalues[1] = std::nan("");
    s += fchk_real_array("Alpha Orbital Energies", eigenvalues);
    s += fchk_real_array("Model Diabatic Vector", v);
    s += fchk_int("Model State", state);
    return s;
}

inline bool write_text_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    return (bool)out.flush();
}

inline bool read_nto_file(const std::string& path, NtoFile& n, std::string& err) {
    Fchk f;
    if (!read_fchk(path, f)) {
        err = "cannot read NTO file " + path;
        return false;
    }
    if (!f.ints.count("Number of basis functions") || !f.reals.count("Alpha Orbital Energies") ||
        !f.reals.count("Model Diabatic Vector")) {
        err = path + " is not an NTO file of the model (basis size, eigenvalues or vector missing)";
        return false;
    }
    // A basis with linear dependencies has fewer orbitals than functions.
    const long long nbasis = f.integer("Number of basis functions");
    n.eigen = f.reals.at("Alpha Orbital Energies");
    n.nif = (int)n.eigen.size();
    n.vec = f.reals.at("Model Diabatic Vector");
    n.state = f.integer("Model State");
    if (n.nif < 2 || n.nif > nbasis) {
        err = path + ": " + std::to_string(n.eigen.size()) + " eigenvalues for " + std::to_string(nbasis) +
              " basis functions";
        return false;
    }
    return true;
}

// Overlap of orbital i (1-based) of ref with orbital i of cand.
// scheme 1: direct overlap integral, scheme 2: wavefunction norm.
inline double orbital_overlap(const NtoFile& ref, const NtoFile& cand, int i, int scheme) {
    if (i == 1 || i == ref.nif) return 1.0;
    std::size_t k = (std::size_t)(i - 2);
    double vc = k < cand.vec.size() ? cand.vec[k] : 0.0;
    if (scheme == 2) return vc * vc;
    double vr = k < ref.vec.size() ? ref.vec[k] : 0.0;
    return vr < 0.0 ? -vc : vc;
}

// Appends "tool arg arg ..." to the file named by QUORIN_STANDIN_LOG, with
// arguments holding blanks or quotes in single quotes.
inline void log_invocation(const char* tool, int argc, char** argv) {
    const char* path = std::getenv("QUORIN_STANDIN_LOG");
    if (!path || !*path) return;
    std::string line = tool;
    for (int a = 1; a < argc; ++a) {
        std::string arg = argv[a];
        line += ' ';
        if (arg.empty() || arg.find_first_of(" \t'\"()") != std::string::npos) {
            std::string q = "'";
            for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
            line += q + "'";
        } else {
            line += arg;
        }
    }
    std::ofstream out(path, std::ios::app);
    out << line << '\n';
}

}  // namespace standin
