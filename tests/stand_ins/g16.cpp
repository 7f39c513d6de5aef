// Stand-in for Gaussian 16's g16: a TD-DFT job on the model of model.hpp.
//
//     g16 < job.gjf > job.log 2>&1
//
// Reads the input from standard input and writes the log to standard output,
// in Gaussian's layout for the parts that readers of Gaussian logs look at:
// the excited-state summary (energies, transition amplitudes, the "This state
// for optimization" and "Total Energy, E(TD-HF/TD-DFT) =" lines, the SavETr
// line), the "Forces (Hartrees/Bohr)" table and the convergence table (force
// and freq jobs), and "Normal termination of Gaussian 16".  The energy and the
// forces are printed as the shortest text that reads back to the model's exact
// double, so that a reader gets the model's values bit for bit.
//
// The checkpoint named by %chk is written to the current directory: a marker
// line followed by the formatted-checkpoint text, which formchk copies out.
// A job that asks for guess=read or td(...,read) needs that checkpoint; when it
// is missing, or the input is not understood, the log ends in Gaussian's
// "Error termination" style with no energy and no forces, and no checkpoint is
// written.
//
// With QUORIN_STANDIN_LOG set (an absolute path: g16 runs inside temp/), one
// line per call is appended to that file:
//     g16 <kind> root=R nstate=S guess_read=0|1 td_read=0|1       (" error" appended on failure)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "faults.hpp"
#include "fchk_io.hpp"
#include "model.hpp"

namespace {

using namespace standin;

std::string printf_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_line(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return std::string(buf) + "\n";
}

std::string now_text() {
    std::time_t t = std::time(nullptr);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", std::localtime(&t));
    return buf;
}

std::string header(const std::string& input, const Job& j) {
    std::string s;
    s += " Entering Gaussian System, Link 0=g16\n";
    s += " Stand-in for Gaussian 16: TD-DFT on a model of harmonic diabatic states.\n";
    s += " ******************************************\n";
    std::istringstream in(input);
    std::string line;
    while (std::getline(in, line) && line.find_first_not_of(" \t") != std::string::npos && line[0] == '%')
        s += " " + line + "\n";
    if (!j.route.empty()) {
        s += " ----------------------------------------------------------------------\n";
        s += " " + j.route + "\n";
        s += " ----------------------------------------------------------------------\n";
    }
    if (!j.title.empty()) {
        std::string rule(j.title.size() + 2, '-');
        s += " " + rule + "\n " + j.title + "\n " + rule + "\n";
    }
    return s;
}

std::string error_log(const std::string& head, const std::string& message) {
    return head + " " + message + "\n Error termination via Lnk1e in /g16/l1.exe at " + now_text() + ".\n";
}

// Orbital picture of the model: occupied and virtual orbitals for the log's
// transition lines and the checkpoint's orbital energies.
struct Orbitals {
    int nelec = 0, nalpha = 0, nbeta = 0, nbasis = 0;
    std::vector<double> energies;
};

Orbitals orbitals_of(const Job& j, int nstates) {
    Orbitals o;
    int zsum = 0, nbasis = 0;
    for (int z : j.z) {
        zsum += z;
        nbasis += z == 0 ? 0 : (z <= 2 ? 5 : 14);
    }
    o.nelec = std::max(zsum - j.charge, 0);
    o.nalpha = (o.nelec + j.mult - 1) / 2;
    o.nbeta = o.nelec - o.nalpha;
    int nocc = std::max(o.nalpha, 1);
    o.nbasis = std::max(nbasis, nocc + nstates + 1);
    for (int i = 1; i <= o.nbasis; ++i)
        o.energies.push_back(i <= nocc ? -0.30 - 0.25 * (nocc - i) : 0.05 + 0.15 * (i - nocc - 1));
    return o;
}

// Orbital pair that diabatic state k (0-based) stands for.
std::pair<int, int> transition_of(int k, int nocc) {
    nocc = std::max(nocc, 1);
    return {nocc - k % nocc, nocc + 1 + k / nocc};
}

std::string excitation_block(const Job& j, const Evaluation& e, double ground, int nocc) {
    std::string s = " \n Excitation energies and oscillator strengths:\n";
    const std::size_t K = e.model.states.size();
    for (int r = 1; r <= j.nstate; ++r) {
        const auto& v = e.roots.vector[static_cast<std::size_t>(r - 1)];
        double de = e.roots.energy[static_cast<std::size_t>(r - 1)] - ground;
        double ev = de * kHartreeToEv;
        double nm = ev > 0 ? 1239.84198 / ev : 0.0;
        double mu = 0.0;
        for (std::size_t k = 0; k < K; ++k) mu += v[k] / static_cast<double>(k + 1);
        double f = j.triplet ? 0.0 : std::fabs(2.0 / 3.0 * de * mu * mu);
        s += " \n";
        s += printf_line(" Excited State %3d:      %-10s%11.4f eV%8.2f nm  f=%6.4f  <S**2>=%5.3f", r,
                         j.triplet ? "Triplet-A" : "Singlet-A", ev, nm, f, j.triplet ? 2.0 : 0.0);
        struct Line { int occ, virt; double c; };
        std::vector<Line> lines;
        std::size_t big = 0;
        for (std::size_t k = 0; k < K; ++k) {
            if (std::fabs(v[k]) > std::fabs(v[big])) big = k;
            double c = v[k] / std::sqrt(2.0);
            if (std::fabs(c) < 0.001) continue;
            auto [o, u] = transition_of(static_cast<int>(k), nocc);
            lines.push_back({o, u, c});
        }
        std::sort(lines.begin(), lines.end(),
                  [](const Line& a, const Line& b) { return a.occ != b.occ ? a.occ < b.occ : a.virt < b.virt; });
        for (const auto& l : lines) s += printf_line("%8d -> %-4d%12.5f", l.occ, l.virt, l.c);
        // A small de-excitation amplitude of the leading pair, as TD-DFT (not TDA) prints.
        auto [o, u] = transition_of(static_cast<int>(big), nocc);
        s += printf_line("%8d <- %-4d%12.5f", o, u, -0.03 * v[big] / std::sqrt(2.0));
        if (r == j.root) {
            s += " This state for optimization and/or second-order correction.\n";
            if (!fault("no_energy")) s += " Total Energy, E(TD-HF/TD-DFT) =  " + exact(e.energy) + "\n";
            s += " Copying the excited state density for this state as the 1-particle RhoCI density.\n";
        }
    }
    s += printf_line(" SavETr:  write IOETrn=   770 NScale= 10 NData=  16 NLR=1 NState=%5d LETran=      64.", j.nstate);
    return s;
}

std::string forces_block(const Job& j, const Evaluation& e, double kappa_min) {
    const std::string rule = " -------------------------------------------------------------------\n";
    std::string s = rule;
    s += " Center     Atomic                   Forces (Hartrees/Bohr)\n";
    s += " Number     Number              X              Y              Z\n";
    s += rule;
    double fmax = 0.0, fsum = 0.0;
    for (std::size_t a = 0; a < j.z.size(); ++a) {
        s += printf_line(" %6zu%9d       ", a + 1, j.z[a]);
        s.pop_back();
        for (int c = 0; c < 3; ++c) {
            double f = -e.gradient[3 * a + static_cast<std::size_t>(c)];
            char buf[64];
            std::snprintf(buf, sizeof buf, " %14s", exact(f).c_str());
            s += buf;
            fmax = std::max(fmax, std::fabs(f));
            fsum += f * f;
        }
        s += "\n";
    }
    double frms = std::sqrt(fsum / static_cast<double>(e.gradient.size()));
    s += rule;
    s += printf_line(" Cartesian Forces:  Max%16.9f RMS%16.9f", fmax, frms);
    // Convergence as the optimiser would judge it, with the step estimated
    // from the softest surface of the model.
    double dmax = fmax / kappa_min, drms = frms / kappa_min;
    auto row = [](const char* item, double value, double threshold) {
        return printf_line(" %-20s%13.6f%13.6f     %s", item, value, threshold, value < threshold ? "YES" : "NO");
    };
    s += "         Item               Value     Threshold  Converged?\n";
    s += row("Maximum Force", fmax, 0.000450);
    s += row("RMS     Force", frms, 0.000300);
    s += row("Maximum Displacement", dmax, 0.001800);
    s += row("RMS     Displacement", drms, 0.001200);
    return s;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string fchk_text(const Job& j, const Evaluation& e, double ground, const Orbitals& orb) {
    std::string kind = j.kind == "force" ? "Force" : j.kind == "freq" ? "Freq" : "SP";
    std::string method = std::string(j.mult == 1 ? "R" : "U") + "TD-" + upper(j.method) + "-FC";
    char line[256];
    std::snprintf(line, sizeof line, "%-10s%-60s%s\n", kind.c_str(), method.c_str(), upper(j.basis).c_str());
    std::string t = j.title + "\n" + line;
    const int N = static_cast<int>(j.z.size());
    const std::size_t K = e.model.states.size();
    t += fchk_int("Number of atoms", N);
    t += fchk_int("Charge", j.charge);
    t += fchk_int("Multiplicity", j.mult);
    t += fchk_int("Number of electrons", orb.nelec);
    t += fchk_int("Number of alpha electrons", orb.nalpha);
    t += fchk_int("Number of beta electrons", orb.nbeta);
    t += fchk_int("Number of basis functions", orb.nbasis);
    std::vector<long long> zs(j.z.begin(), j.z.end());
    std::vector<double> charges(j.z.begin(), j.z.end());
    t += fchk_int_array("Atomic numbers", zs);
    t += fchk_real_array("Nuclear charges", charges);
    t += fchk_real_array("Current cartesian coordinates", j.x);
    t += fchk_real("SCF Energy", ground);
    t += fchk_real("Total Energy", e.energy);
    t += fchk_real_array("Alpha Orbital Energies", orb.energies);
    if (j.mult != 1) t += fchk_real_array("Beta Orbital Energies", orb.energies);
    if (j.kind == "sp") t += fchk_real_array("Cartesian Gradient", std::vector<double>(e.gradient.size(), 0.0));
    else t += fchk_real_array("Cartesian Gradient", e.gradient);
    if (j.kind == "freq") {
        const std::size_t n = e.gradient.size();
        std::vector<double> tri;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k <= i; ++k) tri.push_back(e.hessian[i * n + k]);
        t += fchk_real_array("Cartesian Force Constants", tri);
    }
    t += fchk_int("Model Number of Diabatic States", static_cast<long long>(K));
    t += fchk_real_array("Model Excited State Energies",
                         std::vector<double>(e.roots.energy.begin(), e.roots.energy.begin() + j.nstate));
    std::vector<double> vec;
    for (int r = 0; r < j.nstate; ++r)
        for (std::size_t k = 0; k < K; ++k) vec.push_back(e.roots.vector[static_cast<std::size_t>(r)][k]);
    t += fchk_real_array("Model Diabatic Vectors", vec);
    t += fchk_int("Model Requested Root", j.root);
    return t;
}

void log_call(const Job& j, bool ok) {
    const char* path = std::getenv("QUORIN_STANDIN_LOG");
    if (path == nullptr || *path == '\0') return;
    std::ofstream out(path, std::ios::app);
    out << "g16 " << j.kind << " root=" << j.root << " nstate=" << j.nstate << " guess_read=" << (j.guess_read ? 1 : 0)
        << " td_read=" << (j.td_read ? 1 : 0) << (ok ? "" : " error") << "\n";
}

}  // namespace

// The link process ended by a signal says which one in link_signal.
extern "C" void link_ended(int sig) {
    const char* name = sig == SIGTERM ? "SIGTERM\n" : sig == SIGINT ? "SIGINT\n" : "SIGHUP\n";
    const int fd = open("link_signal", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = write(fd, name, std::strlen(name));
        close(fd);
    }
    _exit(128 + sig);
}

// A long job: one "link" process works for the given time, as Gaussian's
// l*.exe do, while g16 waits for it.  Left running, it writes late_write.
void run_slow_link(double seconds) {
    const pid_t link = fork();
    if (link == 0) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) std::signal(sig, fault("deaf") ? SIG_IGN : link_ended);
        // Named only once it takes the signals as it will: a test signals as soon as the file appears.  Whole or
        // not at all.
        std::ofstream("g16.pids.part") << getppid() << ' ' << getpid() << '\n';
        std::rename("g16.pids.part", "g16.pids");
        usleep(static_cast<useconds_t>(seconds * 1e6));
        std::ofstream("late_write") << "written after " << seconds << " s\n";
        _exit(0);
    }
    int status = 0;
    waitpid(link, &status, 0);
}

int main() {
    if (auto slow = fault("slow")) run_slow_link(std::atof(slow->c_str()));
    std::stringstream raw;
    raw << std::cin.rdbuf();
    const std::string input = raw.str();
    std::istringstream in(input);
    Job j = parse_job(in);
    const std::string head = header(input, j);

    auto fail = [&](const std::string& message) {
        std::cout << error_log(head, message);
        log_call(j, false);
        return 1;
    };
    if (!j.error.empty()) return fail("Input error: " + j.error);
    if (fault("lose_candidates")) {  // the candidates' NTO files vanish while the job runs (a scratch cleaner)
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(".", ec))  // it runs in temp
            if (e.path().filename().string().rfind("new_state", 0) == 0) std::filesystem::remove(e.path(), ec);
    }

    Model model;
    try {
        model = find_model();
    } catch (const std::exception& ex) {
        return fail(std::string("Model error: ") + ex.what());
    }
    if (static_cast<int>(j.z.size()) != model.natoms)
        return fail("The model has " + std::to_string(model.natoms) + " atoms, the input " +
                    std::to_string(j.z.size()) + ".");
    if (j.guess_read || j.td_read) {
        std::ifstream chk(j.chk);
        std::string marker;
        if (j.chk.empty() || !chk || !std::getline(chk, marker) || marker != kCheckpointMarker)
            return fail("The checkpoint file \"" + j.chk + "\" does not exist or is not a checkpoint file.");
    }

    Evaluation e = evaluate(model, j.x, j.root, j.nstate, j.kind == "freq");
    Job shown = j;  // the job as the checkpoint records it
    if (const auto what = fault("nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        if (*what == "energy") e.energy = nan;
        if (*what == "forces") e.gradient[0] = nan;
        if (*what == "hessian" && !e.hessian.empty()) e.hessian[0] = nan;
        if (*what == "coordinates") shown.x[0] = nan;
    }
    const Orbitals orb = orbitals_of(j, static_cast<int>(e.model.states.size()));

    std::string log = head;
    log += " Symbolic Z-matrix:\n";
    log += printf_line(" Charge = %2d Multiplicity = %d", j.charge, j.mult);
    for (std::size_t a = 0; a < j.z.size(); ++a)
        log += printf_line(" %-2s %19.10f %19.10f %19.10f", element_symbols()[static_cast<std::size_t>(j.z[a])].c_str(),
                           j.x[3 * a] * kBohrToAngstrom, j.x[3 * a + 1] * kBohrToAngstrom,
                           j.x[3 * a + 2] * kBohrToAngstrom);
    log += printf_line(" SCF Done:  E(%s%s) =  %.10f     A.U. after    1 cycles", j.mult == 1 ? "R" : "U",
                       upper(j.method).c_str(), model.ground);
    log += excitation_block(j, e, model.ground, std::max(orb.nalpha, 1));
    if (j.kind != "sp") log += forces_block(j, e, model.kappa_min());
    if (fault("error_after_forces"))
        log += " Error termination via Lnk1e in /g16/l716.exe at " + now_text() + ".\n";
    else
        log += " Normal termination of Gaussian 16 at " + now_text() + ".\n";
    std::cout << log;

    if (!j.chk.empty() && !fault("no_chk")) {
        std::ofstream chk(j.chk, std::ios::trunc);
        chk << kCheckpointMarker << "\n" << fchk_text(shown, e, model.ground, orb);
    }
    log_call(j, true);
    return 0;
}
