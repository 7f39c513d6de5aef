#include "module_gaussian_utils.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>

#include "outside_programs.hpp"
#include "shared_constants.hpp"

namespace quorin {

namespace {

constexpr const char* kInnerLog = "temp/tddft_pelun.log";
constexpr const char* kInnerChk = "temp/tddft_pelun.chk";
constexpr const char* kInnerFchk = "temp/tddft_pelun.fchk";

// Number of Cartesian components of `natoms` atoms; a negative count is no atoms.
std::size_t components(int natoms) { return natoms > 0 ? 3u * static_cast<std::size_t>(natoms) : 0u; }

// The TD keyword: always with its leading blank and closing parenthesis.
std::string td_keyword(bool triplet, int root, int nadd, bool read) {
    std::string kw = triplet ? " td(triplet,root=" : " td(root=";
    kw += fmt_I0(root);
    kw += ",nstate=";
    kw += fmt_I0(static_cast<long long>(root) + nadd);
    if (read) kw += ",read";
    kw += ")";
    return kw;
}

// The run of numeric characters (digits, signs, points) nearest the end of
// the line, or empty when the line holds none.
std::string last_numeric_run(const std::string& line) {
    auto numeric = [](char c) { return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'; };
    std::size_t end = line.size();
    while (end > 0 && !numeric(line[end - 1])) --end;
    std::size_t start = end;
    while (start > 0 && numeric(line[start - 1])) --start;
    return line.substr(start, end - start);
}

// The fifth blank-separated word of a line, or empty when it has fewer words.
std::string fifth_word(const std::string& line) {
    std::size_t pos = 0;
    for (int word = 1;; ++word) {
        while (pos < line.size() && line[pos] == ' ') ++pos;
        if (pos >= line.size()) return std::string();
        std::size_t end = line.find(' ', pos);
        if (end == std::string::npos) end = line.size();
        if (word == 5) return line.substr(pos, end - pos);
        pos = end;
    }
}

}  // namespace

// ------------------------------------------------------------- inner inputs

void write_gaussian_input(const std::string& file, const std::string& method, const std::string& basis, int root,
                          int nadd, const std::string& extra, const std::string& mem, const std::string& nproc,
                          int charge, int multiplicity, int natoms, const std::string& input_file,
                          const std::string& job_kind, bool guess_read, const std::string& title, bool triplet,
                          std::optional<bool> td_read) {
    const std::string out_name = rtrim(file);
    const std::string in_name = rtrim(input_file);

    std::string route = "#p nosymm Iop(9/40=3) " + rtrim(method) + "/" + rtrim(basis);
    if (guess_read) route += " guess=read";
    std::string td = td_keyword(triplet, root, nadd, td_read.value_or(guess_read));
    if (td.size() < 32) td.resize(32, ' ');
    route += td;
    route += ' ';
    route += rtrim(job_kind);
    if (!is_blank(extra)) {
        route += ' ';
        route += rtrim(extra);
    }

    std::ofstream out(out_name, std::ios::binary | std::ios::trunc);
    if (!out) io_failure("cannot open " + out_name + " for writing");
    out << (is_blank(mem) ? std::string("%mem=96GB") : "%mem=" + rtrim(mem)) << '\n';
    out << (is_blank(nproc) ? std::string("%nproc=32") : "%nproc=" + rtrim(nproc)) << '\n';
    out << "%chk=tddft_pelun.chk\n";
    out << route << '\n';
    out << '\n';
    out << rtrim(title) << '\n';
    out << '\n';
    out << fmt_I0(charge) << ' ' << fmt_I0(multiplicity) << '\n';
    out.flush();
    if (!out) io_failure("cannot write " + out_name);

    std::ifstream in(in_name, std::ios::binary);
    if (!in) {
        say({"ERROR: Cannot open input file: ", in_name});
        out.close();
        stop(1);
    }

    // The header (atom count, derivative level, charge, multiplicity) is
    // known already.
    std::string header;
    if (!read_line(in, header)) io_failure("end of file while reading the header line of " + in_name);

    // Every atom is read and checked before any atom line goes out, so an
    // unusable geometry leaves an input without a molecule, which g16 cannot
    // run, rather than one cut short.
    std::string atoms;
    for (int i = 1; i <= natoms; ++i) {
        std::int32_t z = 0;
        double x = 0.0, y = 0.0, zc = 0.0;
        FreeRead rec(in, "atom " + fmt_I0(i) + " of " + in_name);
        rec.must(z, x, y, zc);
        if (!valid_atomic_number(z)) {
            out.close();
            say({"ERROR: Atom " + fmt_I0(i) + " in " + in_name + " has atomic number " + fmt_I0(z) +
                 "; only 0 (Bq) to 86 (Rn) can be written to the Gaussian input."});
            stop(1);
        }
        atoms += fmt_A(ind2name[static_cast<std::size_t>(z)], 2);
        atoms += fmt_F(x * kBohrToAngstrom, 20, 12);
        atoms += fmt_F(y * kBohrToAngstrom, 20, 12);
        atoms += fmt_F(zc * kBohrToAngstrom, 20, 12);
        atoms += '\n';
    }
    in.close();

    out << atoms << '\n';
    out.flush();
    if (!out) io_failure("cannot write " + out_name);
}

void generate_freq_input(const std::string& method, const std::string& basis, int root, int nadd,
                         const std::string& extra, const std::string& mem, const std::string& nproc, int charge,
                         int multiplicity, int natoms, const std::string& input_file, bool triplet,
                         std::optional<bool> guess_read) {
    write_gaussian_input("temp/tddft_freq.gjf", method, basis, root, nadd, extra, mem, nproc, charge, multiplicity,
                         natoms, input_file, "freq", guess_read.value_or(true), "TD-DFT frequency calculation",
                         triplet);
    say({" Generated frequency input: temp/tddft_freq.gjf"});
}

// ------------------------------------------------------- formchk, checkpoint

void run_formchk_for_tddft() {
    // A formatted checkpoint left by an earlier job must not pass for this
    // job's: the NTOs of the next steps are made from it.
    remove_file(kInnerFchk);
    run_shell(std::string(kFormchkCommand));
    if (file_exists(kInnerFchk)) return;
    say({"ERROR: formchk falied."});
    stop(1);
}

std::string chk_copy_target(const std::string& gjf_file) {
    if (is_blank(gjf_file)) return "tddft_pelun.chk";
    const std::string name = rtrim(gjf_file);
    std::string base = name;
    std::size_t sep = name.find_last_of("/\\");
    if (sep != std::string::npos) base = name.substr(sep + 1);
    base = rtrim(base);
    std::size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.erase(dot);
    return rtrim(base) + ".chk";
}

void copy_chk_to_maindir(const std::string& gjf_file) {
    const std::string target = chk_copy_target(gjf_file);
    // The name comes from the user: it is copied to, never handed to a shell.
    copy_file_over(kInnerChk, "./" + target);
    put("Converged geometry detected, chk copied to ./" + target);
}

// ------------------------------------------------------------------ readers

void extract_gradient(int natoms, double& energy, std::vector<double>& forces) {
    const std::size_t n3 = components(natoms);
    forces.assign(n3, 0.0);
    energy = 0.0;

    std::ifstream in = open_or_stop(kInnerLog, "ERROR: Cannot open temp/tddft_pelun.log");

    bool energy_found = false;
    bool forces_found = false;
    std::string line;
    while (!forces_found && read_line(in, line)) {
        if (contains(line, "Total Energy") && contains(line, "E(TD")) {
            std::size_t eq = line.rfind('=');
            if (eq != std::string::npos) {
                read_free(std::string_view(line).substr(eq + 1),
                          std::string(kInnerLog) + " (the energy after the last \"=\")", energy);
                energy_found = true;
            }
        }
        if (contains(line, "Forces (Hartrees/Bohr)")) {
            std::string skipped;
            for (int k = 0; k < 2; ++k)
                if (!read_line(in, skipped))
                    io_failure(std::string("end of file in the heading of the forces table of ") + kInnerLog);
            for (int i = 0; i < natoms; ++i) {
                std::int32_t centre = 0, atomic_number = 0;
                const std::size_t k = 3u * static_cast<std::size_t>(i);
                FreeRead row(in, std::string(kInnerLog) + " (forces table, atom " + fmt_I0(i + 1) + ")");
                row.must(centre, atomic_number, forces[k], forces[k + 1], forces[k + 2]);
            }
            forces_found = true;
        }
    }
    in.close();

    if (!energy_found) say({"WARNING: Energy not found in log file"});
    if (!forces_found) {
        say({"ERROR: Gradient not found in log file"});
        stop(1);
    }
}

void read_grad_from_fch(const std::string& file, int natoms, std::vector<double>& gradient) {
    const std::string name = rtrim(file);
    const std::size_t n3 = components(natoms);
    gradient.assign(n3, 0.0);

    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open fchk file for gradient: ") + name);
    std::string line;
    if (!find_line(in, line, [](const std::string& l) {
            return (contains(l, "Opt point") && contains(l, "Gradient")) || contains(l, "Cartesian Gradient");
        })) {
        in.close();
        say({"ERROR: Gradient block not found in ", name});
        stop(1);
    }
    FreeRead values(in, name);
    for (std::size_t k = 0; k < n3; ++k) {
        if (!values.get(gradient[k])) {
            in.close();
            say({"ERROR: Failed to read gradient data from ", name});
            stop(1);
        }
    }
}

void read_gaussian_hessian(const std::string& file, int natoms, std::vector<double>& hessian) {
    const std::string name = rtrim(file);
    const std::size_t n = components(natoms);
    hessian.assign(n * n, 0.0);

    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open fchk file: ") + name);
    std::string line;
    if (!find_line(in, line, [](const std::string& l) { return contains(l, "Cartesian Force Const"); })) {
        in.close();
        say({"ERROR: Cartesian Force Const section not found in ", name});
        stop(1);
    }
    // The lower triangle, row by row; each value also fills its mirror.
    FreeRead values(in, name);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double v = 0.0;
            if (!values.get(v)) {
                in.close();
                say({"ERROR: Failed to read Hessian data from ", name});
                stop(1);
            }
            hessian[i * n + j] = v;
            hessian[j * n + i] = v;
        }
    }
}

// ------------------------------------------------------------ External output

std::string external_output_text(int natoms, double energy, const std::vector<double>& forces) {
    const std::size_t n3 = components(natoms);
    if (forces.size() < n3) io_failure("External output: " + fmt_I0(static_cast<long long>(forces.size())) +
                                       " force components for " + fmt_I0(natoms) + " atoms");
    std::string text = fmt_D_row({energy, 0.0, 0.0, 0.0}) + '\n';
    for (std::size_t k = 0; k < n3; k += 3) {
        // The gradient is the force with its sign flipped (a zero force
        // becomes a negative zero, as the outer job has always been given).
        text += fmt_D_row({-forces[k], -forces[k + 1], -forces[k + 2]});
        text += '\n';
    }
    return text;
}

void write_external_output(const std::string& file, int natoms, double energy, const std::vector<double>& forces,
                           bool verbose) {
    const std::string name = rtrim(file);
    // The outer job must find either the old file or the complete new one.
    replace_file_atomically(name, external_output_text(natoms, energy, forces));
    if (verbose) say({" Output file written: ", name});
}

// ------------------------------------------------------ log echo, convergence

void echo_gaussian_output(bool debug) {
    std::ifstream in = open_or_stop(kInnerLog, "ERROR: Cannot open temp/tddft_pelun.log for echoing");
    std::string line;
    bool in_block = false;
    while (read_line(in, line)) {
        if (contains(line, "Excitation energies and oscillator strengths:")) {
            put(rtrim(line));
            in_block = true;
            continue;
        }
        if (!in_block) continue;
        bool print = true;
        if (contains(line, "->") || contains(line, "<-")) {
            // Minor orbital contributions (|coefficient| < 0.1) are left out.
            const std::string run = last_numeric_run(rtrim(line));
            double coefficient = 0.0;
            if (!run.empty() && try_read_free(cut(run, 20), coefficient) && std::fabs(coefficient) < 0.1)
                print = false;
        }
        if (print) put(rtrim(line));
        if (contains(line, "SavETr:") && contains(line, "write")) break;
    }
    in.close();

    if (!debug) return;
    say({});
    std::ifstream again(kInnerLog, std::ios::binary);
    if (!again) return;
    bool in_forces = false;
    while (read_line(again, line)) {
        if (contains(line, "Forces (Hartrees/Bohr)")) {
            put(" " + std::string(67, '-'));
            put(rtrim(line));
            in_forces = true;
            continue;
        }
        if (!in_forces) continue;
        put(rtrim(line));
        if (contains(line, "Cartesian Forces:")) break;
    }
}

void check_convergence(const std::string& log_file, bool& converged) {
    converged = false;
    std::ifstream in(rtrim(log_file), std::ios::binary);
    if (!in) {
        say({"WARNING: Cannot open log file for convergence check"});
        return;
    }
    std::string line;
    bool header = false;
    while (read_line(in, line)) {
        if (contains(line, "Item") && contains(line, "Value") && contains(line, "Threshold") &&
            contains(line, "Converged?")) {
            header = true;
            break;
        }
    }
    if (!header) {
        in.close();
        say({" Warning: Convergence table not found in log file"});
        return;
    }
    bool all_yes = true;
    for (int k = 0; k < 4 && read_line(in, line); ++k) {
        std::string word = cut(fifth_word(line), 20);
        to_lowercase(word);
        if (word != "yes") all_yes = false;
    }
    in.close();
    if (!all_yes) return;
    converged = true;
    say({" Convergence criteria met in cartesian coordinate. "});
    say({"   However, optimization usually uses the internal coordinate,"});
    say({"   so the outer gaussian process may not think so. "});
}

}  // namespace quorin
