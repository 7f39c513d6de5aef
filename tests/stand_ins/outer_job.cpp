// Stand-in for the outer Gaussian job that runs quorin through "External":
// a small Cartesian geometry optimiser (and frequency step) that talks to
// quorin exactly through Gaussian's External files.
//
//     outer_job [options] -- <quorin executable> [config_file]
//
// Options:
//     --geom FILE      start geometry: first line "natoms charge mult", then
//                      "Z x y z" per atom in bohr (default: the model's start
//                      geometry, charge 0, multiplicity 1)
//     --max-steps N    gradient calls allowed (default 60)
//     --maxstep S      longest step in bohr (default 0.1)
//     --algo bfgs|sd   BFGS with a 0.5 hartree/bohr^2 start Hessian, or
//                      steepest descent with the same scale (default bfgs)
//     --freq           after convergence one call with derivative level 2
//     --freq-only      only one call with derivative level 2, at the start geometry
//     --project        frequencies with the translations and rotations
//                      projected out of the mass-weighted Hessian (3N-6, or
//                      3N-5 for a linear molecule), as Gaussian reports them
//     --modes FILE     with --project: the vibrations, one block per mode,
//                      "mode K FREQ" then N lines "dx dy dz", the Cartesian
//                      displacement (normalised to one) of each atom
//     --log FILE       outer log (default outer.log): " Step N" before each
//                      call, then quorin's standard output and error
//     --summary FILE   one line per call (see below)
//     --workdir DIR    where the calls run (default .)
//     --keep           keep each call's External files as step_N.EIn and
//                      step_N.EOu (N = the call's step number) in the
//                      working directory
// Relative paths given to --geom, --log, --summary and to the quorin
// executable (when it holds a "/") or config file (when it exists) are taken
// from the directory outer_job was started in; the default log lies in the
// working directory.  The model (for the default geometry) is looked up from
// the working directory, as the stand-in g16 does.
//
// Each call writes Gau-<pid>.EIn in Gaussian's layout,
//     (4I10)         natoms, ider, charge, multiplicity
//     (I10,4F20.12)  per atom: atomic number, x, y, z (bohr), 0.0
// removes an old Gau-<pid>.EOu and runs, through the shell, in the working
// directory,
//     <quorin> [config_file] R Gau-<pid>.EIn Gau-<pid>.EOu Gau-<pid>.EMs Gau-<pid>.EFC Gau-<pid>.EUF >> <log> 2>&1
// A non-zero exit status or a missing .EOu stops outer_job with status 2.  The
// .EOu is read in Gaussian's fixed fields (D20.12): energy and dipole (4 per
// line), the gradient (3 per line, one line per atom) and, for derivative
// level 2, polarizability (2 lines), dipole derivatives (3N lines) and the
// lower triangle of the force constants (3 per line).
//
// Convergence as Gaussian's: max |g| < 0.00045, rms g < 0.0003, and the next
// step's max / rms displacement < 0.0018 / 0.0012 bohr.
//
// Standard output: "Step N: E = ..., max|g| = ..., rms g = ..." per call, then
// "Optimization completed." with the final geometry (status 0), or
// "Optimization failed: step limit" (status 3).  With derivative level 2 the
// harmonic frequencies (cm^-1) of the returned force constants are printed.
//
// Summary file, one line per call, blank-separated, every real in its
// shortest exact form:
//     step ider energy max|g| rms_g x1 y1 z1 ... xN yN zN
// where the geometry is the one written to the .EIn file (bohr).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model.hpp"
#include "text_fields.hpp"

namespace fs = std::filesystem;
using standin::exact;

namespace {

struct Options {
    std::string geom, log, summary, workdir = ".", algo = "bfgs";
    int max_steps = 60;
    double maxstep = 0.1;
    bool freq = false, freq_only = false, keep = false, project = false;
    std::string quorin, config, modes;
};

struct Geometry {
    int charge = 0, mult = 1;
    std::vector<int> z;
    std::vector<double> x;
};

struct Result {
    double energy = 0.0;
    std::vector<double> gradient;
    std::vector<double> hessian;  // full 3N x 3N, derivative level 2 only
};

[[noreturn]] void die(const std::string& why) {
    std::cerr << "outer_job: " << why << "\n";
    std::exit(2);
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The value of a coordinate as the .EIn file carries it (F20.12).
double as_written(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.12f", v);
    return std::strtod(buf, nullptr);
}

Options parse_options(int argc, char** argv) {
    Options o;
    int i = 1;
    auto value = [&](const std::string& name) -> std::string {
        if (i + 1 >= argc) die("option " + name + " needs a value");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") { ++i; break; }
        if (a == "--geom") o.geom = value(a);
        else if (a == "--max-steps") o.max_steps = std::atoi(value(a).c_str());
        else if (a == "--maxstep") o.maxstep = std::atof(value(a).c_str());
        else if (a == "--algo") o.algo = value(a);
        else if (a == "--freq") o.freq = true;
        else if (a == "--freq-only") o.freq_only = true;
        else if (a == "--keep") o.keep = true;
        else if (a == "--project") o.project = true;
        else if (a == "--modes") o.modes = value(a);
        else if (a == "--log") o.log = value(a);
        else if (a == "--summary") o.summary = value(a);
        else if (a == "--workdir") o.workdir = value(a);
        else die("unknown option " + a);
    }
    if (i >= argc) die("usage: outer_job [options] -- <quorin executable> [config_file]");
    o.quorin = argv[i++];
    if (i < argc) o.config = argv[i++];
    if (i < argc) die("too many arguments after --");
    if (o.algo != "bfgs" && o.algo != "sd") die("--algo must be bfgs or sd");
    if (o.max_steps < 1 || !(o.maxstep > 0)) die("--max-steps and --maxstep must be positive");
    return o;
}

Geometry read_geometry(const std::string& path) {
    std::ifstream in(path);
    if (!in) die("cannot open geometry file " + path);
    Geometry g;
    int n = 0;
    if (!(in >> n >> g.charge >> g.mult) || n < 1) die("bad first line in " + path);
    for (int a = 0; a < n; ++a) {
        int z;
        double x, y, w;
        if (!(in >> z >> x >> y >> w)) die("bad atom line in " + path);
        g.z.push_back(z);
        for (double v : {x, y, w}) g.x.push_back(v);
    }
    return g;
}

class Caller {
public:
    Caller(const Options& o, const std::string& log) : o_(o), log_(log) {
        base_ = "Gau-" + std::to_string(::getpid());
    }

    Result call(int step, int ider, const Geometry& g) {
        const std::size_t N = g.z.size();
        {
            std::ofstream ein(base_ + ".EIn", std::ios::trunc);
            char buf[128];
            std::snprintf(buf, sizeof buf, "%10zu%10d%10d%10d\n", N, ider, g.charge, g.mult);
            ein << buf;
            for (std::size_t a = 0; a < N; ++a) {
                std::snprintf(buf, sizeof buf, "%10d%20.12f%20.12f%20.12f%20.12f\n", g.z[a], g.x[3 * a], g.x[3 * a + 1],
                              g.x[3 * a + 2], 0.0);
                ein << buf;
            }
            if (!ein) die("cannot write " + base_ + ".EIn");
        }
        fs::remove(base_ + ".EOu");
        {
            std::ofstream log(log_, std::ios::app);
            log << " Step " << step << "\n";
        }
        std::string cmd = quote(o_.quorin);
        if (!o_.config.empty()) cmd += " " + quote(o_.config);
        cmd += " R " + base_ + ".EIn " + base_ + ".EOu " + base_ + ".EMs " + base_ + ".EFC " + base_ + ".EUF >> " +
               quote(log_) + " 2>&1";
        std::cout.flush();
        int raw = std::system(cmd.c_str());
        int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        if (status != 0 || !fs::exists(base_ + ".EOu")) {
            append_log(" Error termination via Lnk1e in l402.exe (External program failed).\n");
            if (status != 0)
                die("step " + std::to_string(step) + ": quorin ended with status " + std::to_string(status));
            die("step " + std::to_string(step) + ": quorin left no " + base_ + ".EOu");
        }
        if (o_.keep) {
            const std::string kept = "step_" + std::to_string(step);
            std::error_code ec;
            fs::copy_file(base_ + ".EIn", kept + ".EIn", fs::copy_options::overwrite_existing, ec);
            if (!ec) fs::copy_file(base_ + ".EOu", kept + ".EOu", fs::copy_options::overwrite_existing, ec);
            if (ec) die("cannot keep the External files of step " + std::to_string(step) + ": " + ec.message());
        }
        Result r = read_output(ider, N);
        log_result(g, r);
        return r;
    }

    void append_log(const std::string& text) {
        std::ofstream log(log_, std::ios::app);
        log << text;
    }

private:
    // What Gaussian prints after it has read the External output: the
    // energy and the forces table.
    void log_result(const Geometry& g, const Result& r) {
        char buf[200];
        std::string text;
        std::snprintf(buf, sizeof buf, " Recovered energy= %.10f     dipole= %17.12f %17.12f %17.12f\n", r.energy, 0.0,
                      0.0, 0.0);
        text += buf;
        const std::string sep = " -------------------------------------------------------------------\n";
        text += sep + " Center     Atomic                   Forces (Hartrees/Bohr)\n" +
                " Number     Number              X              Y              Z\n" + sep;
        double mx = 0.0, ss = 0.0;
        for (std::size_t a = 0; a < g.z.size(); ++a) {
            std::snprintf(buf, sizeof buf, " %6zu %8d        %15.9f%15.9f%15.9f\n", a + 1, g.z[a], -r.gradient[3 * a],
                          -r.gradient[3 * a + 1], -r.gradient[3 * a + 2]);
            text += buf;
            for (int k = 0; k < 3; ++k) {
                mx = std::max(mx, std::fabs(r.gradient[3 * a + k]));
                ss += r.gradient[3 * a + k] * r.gradient[3 * a + k];
            }
        }
        std::snprintf(buf, sizeof buf, " Cartesian Forces:  Max %15.9f RMS %15.9f\n", mx,
                      r.gradient.empty() ? 0.0 : std::sqrt(ss / static_cast<double>(r.gradient.size())));
        text += sep + buf;
        append_log(text);
    }

    Result read_output(int ider, std::size_t N) {
        const std::string path = base_ + ".EOu";
        std::ifstream in(path);
        std::string line;
        int lineno = 0;
        auto fields = [&](int count) {
            if (!quorin::read_line(in, line)) die(path + ": ends after line " + std::to_string(lineno));
            ++lineno;
            std::vector<double> v(static_cast<std::size_t>(count));
            for (int f = 0; f < count; ++f) {
                std::size_t start = static_cast<std::size_t>(20 * f);
                std::string_view field = start < line.size() ? std::string_view(line).substr(start, 20) : "";
                if (!quorin::read_real_field(field, 12, v[static_cast<std::size_t>(f)]))
                    die(path + ", line " + std::to_string(lineno) + ": cannot read \"" + std::string(field) + "\"");
            }
            return v;
        };
        Result r;
        r.energy = fields(4)[0];
        for (std::size_t a = 0; a < N; ++a)
            for (double v : fields(3)) r.gradient.push_back(v);
        if (ider == 2) {
            fields(3), fields(3);                                  // polarizability
            for (std::size_t i = 0; i < 3 * N; ++i) fields(3);     // dipole derivatives
            const std::size_t n = 3 * N, total = n * (n + 1) / 2;
            std::vector<double> tri;
            while (tri.size() < total) {
                int count = static_cast<int>(std::min<std::size_t>(3, total - tri.size()));
                for (double v : fields(count)) tri.push_back(v);
            }
            r.hessian.assign(n * n, 0.0);
            std::size_t k = 0;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j <= i; ++j, ++k) r.hessian[i * n + j] = r.hessian[j * n + i] = tri[k];
        }
        return r;
    }

    const Options& o_;
    std::string log_;
    std::string base_;
};

double max_abs(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

double rms(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x * x;
    return v.empty() ? 0.0 : std::sqrt(s / static_cast<double>(v.size()));
}

void report(std::ofstream* summary, int step, int ider, const Geometry& g, const Result& r) {
    std::printf("Step %d: E = %.12f, max|g| = %.6e, rms g = %.6e\n", step, r.energy, max_abs(r.gradient), rms(r.gradient));
    if (summary) {
        *summary << step << " " << ider << " " << exact(r.energy) << " " << exact(max_abs(r.gradient)) << " "
                 << exact(rms(r.gradient));
        for (double x : g.x) *summary << " " << exact(x);
        *summary << "\n";
        summary->flush();
    }
}

// Gaussian's convergence table, as the outer log shows it after each step.
std::string convergence_table(double max_f, double rms_f, double max_d, double rms_d) {
    std::string t = "         Item               Value     Threshold  Converged?\n";
    auto row = [&](const char* name, double v, double thr) {
        char buf[120];
        std::snprintf(buf, sizeof buf, " %-20s %11.6f %12.6f     %s\n", name, v, thr, v < thr ? "YES" : "NO ");
        t += buf;
    };
    row("Maximum Force", max_f, 0.00045);
    row("RMS     Force", rms_f, 0.0003);
    row("Maximum Displacement", max_d, 0.0018);
    row("RMS     Displacement", rms_d, 0.0012);
    return t;
}

// Vibrations of a Cartesian Hessian with translations and rotations
// projected out: the mass-weighted Hessian is sandwiched between projectors
// onto the complement of the (orthonormalised) rigid-body motions about the
// centre of mass, diagonalised, and the eigenvectors lying in the
// rigid-body space are dropped.  Frequencies in cm^-1 (imaginary ones
// negative), ascending; displacements Cartesian, normalised to one.
void projected_vibrations(const std::vector<double>& hessian, const Geometry& g, std::vector<double>& freq,
                          std::vector<std::vector<double>>& disp) {
    const std::size_t N = g.z.size(), n = 3 * N;
    std::vector<double> sm(n), com(3, 0.0);
    double mtot = 0.0;
    for (std::size_t a = 0; a < N; ++a) {
        double m = standin::atomic_mass(g.z[a]);
        if (m <= 0.0) die("frequencies: atom without a mass");
        mtot += m;
        for (int k = 0; k < 3; ++k) {
            sm[3 * a + k] = std::sqrt(m);
            com[k] += m * g.x[3 * a + k];
        }
    }
    for (double& c : com) c /= mtot;
    std::vector<std::vector<double>> rigid;
    for (int k = 0; k < 6; ++k) {
        std::vector<double> v(n, 0.0);
        for (std::size_t a = 0; a < N; ++a) {
            double r[3];
            for (int c = 0; c < 3; ++c) r[c] = g.x[3 * a + c] - com[c];
            if (k < 3) {
                v[3 * a + k] = sm[3 * a];
            } else {  // rotation about axis k-3: omega x r
                int ax = k - 3, b = (ax + 1) % 3, c = (ax + 2) % 3;
                v[3 * a + b] = -r[c] * sm[3 * a];
                v[3 * a + c] = r[b] * sm[3 * a];
            }
        }
        for (const auto& u : rigid) {
            double d = 0.0;
            for (std::size_t i = 0; i < n; ++i) d += u[i] * v[i];
            for (std::size_t i = 0; i < n; ++i) v[i] -= d * u[i];
        }
        double norm = 0.0;
        for (double x : v) norm += x * x;
        norm = std::sqrt(norm);
        if (norm < 1e-6) continue;  // linear molecule: one rotation fewer
        for (double& x : v) x /= norm;
        rigid.push_back(v);
    }
    std::vector<double> P(n * n, 0.0), mw(n * n), tmp(n * n, 0.0), hp(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        P[i * n + i] = 1.0;
        for (const auto& u : rigid)
            for (std::size_t j = 0; j < n; ++j) P[i * n + j] -= u[i] * u[j];
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) mw[i * n + j] = hessian[i * n + j] / (sm[i] * sm[j] * standin::kAmuToElectronMass);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t j = 0; j < n; ++j) tmp[i * n + j] += P[i * n + k] * mw[k * n + j];
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t j = 0; j < n; ++j) hp[i * n + j] += tmp[i * n + k] * P[k * n + j];
    std::vector<double> values;
    std::vector<std::vector<double>> vectors;
    standin::symmetric_eigen(hp, static_cast<int>(n), values, vectors);
    freq.clear();
    disp.clear();
    for (std::size_t r = 0; r < n; ++r) {
        double inside = 0.0;
        for (const auto& u : rigid) {
            double d = 0.0;
            for (std::size_t i = 0; i < n; ++i) d += u[i] * vectors[r][i];
            inside += d * d;
        }
        if (inside > 0.5) continue;
        double l = values[r];
        freq.push_back(l >= 0 ? std::sqrt(l) * standin::kHartreeToWavenumber
                              : -std::sqrt(-l) * standin::kHartreeToWavenumber);
        std::vector<double> x(n);
        double norm = 0.0;
        for (std::size_t i = 0; i < n; ++i) norm += (x[i] = vectors[r][i] / sm[i]) * x[i];
        for (double& v : x) v /= std::sqrt(norm);
        disp.push_back(x);
    }
}

// Prints the harmonic frequencies and returns them as the outer log shows
// them (" Frequencies --" lines, three to a line, as Gaussian writes).
std::string print_frequencies(const Geometry& g, const Result& r, const Options& o) {
    std::vector<double> f;
    if (o.project) {
        std::vector<std::vector<double>> disp;
        projected_vibrations(r.hessian, g, f, disp);
        if (!o.modes.empty()) {
            std::ofstream out(o.modes, std::ios::trunc);
            char buf[100];
            for (std::size_t k = 0; k < f.size(); ++k) {
                std::snprintf(buf, sizeof buf, "mode %zu %.4f\n", k + 1, f[k]);
                out << buf;
                for (std::size_t a = 0; a < g.z.size(); ++a) {
                    std::snprintf(buf, sizeof buf, "%14.8f%14.8f%14.8f\n", disp[k][3 * a], disp[k][3 * a + 1],
                                  disp[k][3 * a + 2]);
                    out << buf;
                }
            }
            if (!out) die("cannot write " + o.modes);
        }
    } else {
        f = standin::harmonic_frequencies(r.hessian, g.z);
    }
    std::printf("Harmonic frequencies (cm**-1):\n");
    for (std::size_t i = 0; i < f.size(); ++i) std::printf("%12.4f%s", f[i], i % 6 == 5 || i + 1 == f.size() ? "\n" : "");
    std::string log = " Harmonic frequencies (cm**-1)\n";
    char buf[64];
    for (std::size_t i = 0; i < f.size(); i += 3) {
        log += " Frequencies --";
        for (std::size_t k = i; k < std::min(i + 3, f.size()); ++k) {
            std::snprintf(buf, sizeof buf, "%23.4f", f[k]);
            log += buf;
        }
        log += "\n";
    }
    return log;
}

void print_geometry(const Geometry& g) {
    std::printf("Final geometry (bohr):\n");
    for (std::size_t a = 0; a < g.z.size(); ++a)
        std::printf("%4d %20.12f %20.12f %20.12f\n", g.z[a], g.x[3 * a], g.x[3 * a + 1], g.x[3 * a + 2]);
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    const fs::path start_dir = fs::current_path();
    auto from_start = [&](const std::string& p) { return p.empty() ? p : (start_dir / p).lexically_normal().string(); };
    std::string log_path = o.log.empty() ? std::string() : from_start(o.log);
    std::string summary_path = from_start(o.summary);
    o.modes = from_start(o.modes);
    if (o.quorin.find('/') != std::string::npos) o.quorin = from_start(o.quorin);
    if (!o.config.empty() && fs::exists(start_dir / o.config)) o.config = from_start(o.config);
    Geometry g;
    if (!o.geom.empty()) g = read_geometry(from_start(o.geom));

    std::error_code ec;
    fs::current_path(o.workdir, ec);
    if (ec) die("cannot enter working directory " + o.workdir);
    if (o.log.empty()) log_path = fs::absolute("outer.log").string();

    if (o.geom.empty()) {
        try {
            standin::Model m = standin::find_model();
            if (m.start_z.empty()) die("the model has no start geometry; give --geom");
            g.z = m.start_z;
            g.x = m.start_x;
        } catch (const std::exception& ex) {
            die(ex.what());
        }
    }
    for (double& v : g.x) v = as_written(v);

    { std::ofstream(log_path, std::ios::trunc); }
    std::ofstream summary_file;
    std::ofstream* summary = nullptr;
    if (!summary_path.empty()) {
        summary_file.open(summary_path, std::ios::trunc);
        if (!summary_file) die("cannot write " + summary_path);
        summary = &summary_file;
    }
    Caller caller(o, log_path);

    if (o.freq_only) {
        Result r = caller.call(1, 2, g);
        report(summary, 1, 2, g, r);
        caller.append_log(print_frequencies(g, r, o) + " Normal termination of Gaussian 16 (stand-in).\n");
        return 0;
    }

    const std::size_t n = g.x.size();
    const double h0 = 0.5;  // start Hessian guess, hartree/bohr^2
    std::vector<double> hinv(n * n, 0.0);
    auto reset = [&] {
        std::fill(hinv.begin(), hinv.end(), 0.0);
        for (std::size_t i = 0; i < n; ++i) hinv[i * n + i] = 1.0 / h0;
    };
    reset();
    std::vector<double> x_prev, g_prev;
    for (int step = 1; step <= o.max_steps; ++step) {
        Result r = caller.call(step, 1, g);
        report(summary, step, 1, g, r);
        if (r.gradient.size() != n) die("gradient of the wrong length");

        if (o.algo == "bfgs" && !x_prev.empty()) {
            std::vector<double> s(n), y(n), hy(n, 0.0);
            double sy = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                s[i] = g.x[i] - x_prev[i];
                y[i] = r.gradient[i] - g_prev[i];
                sy += s[i] * y[i];
            }
            if (sy > 1e-12) {
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t j = 0; j < n; ++j) hy[i] += hinv[i * n + j] * y[j];
                double yhy = 0.0;
                for (std::size_t i = 0; i < n; ++i) yhy += y[i] * hy[i];
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t j = 0; j < n; ++j)
                        hinv[i * n + j] += ((sy + yhy) * s[i] * s[j]) / (sy * sy) - (hy[i] * s[j] + s[i] * hy[j]) / sy;
            }
        }
        std::vector<double> p(n, 0.0);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) p[i] -= hinv[i * n + j] * r.gradient[j];
        double pg = 0.0, norm = 0.0;
        for (std::size_t i = 0; i < n; ++i) pg += p[i] * r.gradient[i];
        if (pg > 0.0) {  // not downhill: start the Hessian guess afresh
            reset();
            for (std::size_t i = 0; i < n; ++i) p[i] = -r.gradient[i] / h0;
        }
        for (double v : p) norm += v * v;
        norm = std::sqrt(norm);
        if (norm > o.maxstep)
            for (double& v : p) v *= o.maxstep / norm;

        bool converged = max_abs(r.gradient) < 0.00045 && rms(r.gradient) < 0.0003 && max_abs(p) < 0.0018 &&
                         rms(p) < 0.0012;
        caller.append_log(convergence_table(max_abs(r.gradient), rms(r.gradient), max_abs(p), rms(p)));
        if (converged) {
            caller.append_log(" Optimization completed.\n    -- Stationary point found.\n");
            std::printf("Optimization completed.\n");
            print_geometry(g);
            if (o.freq) {
                Result f = caller.call(step + 1, 2, g);
                report(summary, step + 1, 2, g, f);
                caller.append_log(print_frequencies(g, f, o));
            }
            caller.append_log(" Normal termination of Gaussian 16 (stand-in).\n");
            return 0;
        }
        x_prev = g.x;
        g_prev = r.gradient;
        for (std::size_t i = 0; i < n; ++i) g.x[i] = as_written(g.x[i] + p[i]);
    }
    caller.append_log(" Optimization stopped.\n    -- Number of steps exceeded.\n");
    std::printf("Optimization failed: step limit\n");
    return 3;
}
