#include "module_gaussian_utils.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "messages.hpp"
#include "outside_programs.hpp"
#include "shared_constants.hpp"
#include "work_files.hpp"

namespace quorin {

namespace {

// How far a checkpoint's coordinates may lie from the External input's
// (bohr): far above the rounding on the way through the inner input, far
// below any optimisation step.
constexpr double kGeometryTolerance = 1.0e-4;

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

namespace {

// The atom lines of the External input: atomic numbers and bohr coordinates.
struct ExternalAtoms {
    std::vector<std::int32_t> z;
    std::vector<double> xyz;
};

// Reads the `natoms` atom lines that follow the header; nothing when the
// file cannot be opened.  Gaussian writes five fields on each (atomic
// number, x, y, z, charge): a line that holds fewer, one that does not
// read, one the file ends inside (cut off) and a coordinate that is not a
// finite number each stop the call, naming the atom.
std::optional<ExternalAtoms> read_external_atoms(const std::string& file, int natoms) {
    std::ifstream in;
    if (!open_for_reading(file, in)) return std::nullopt;
    // The header (atom count, derivative level, charge, multiplicity) is
    // known already.
    std::string line;
    if (!read_line(in, line)) io_failure("end of file while reading the header line of " + file);
    ExternalAtoms atoms;
    atoms.z.resize(static_cast<std::size_t>(std::max(natoms, 0)));
    atoms.xyz.resize(components(natoms));
    for (int i = 0; i < natoms; ++i) {
        const std::string atom = "atom " + fmt_I0(i + 1) + " in " + file;
        const bool present = read_line(in, line);
        if (present && in.eof())
            stop_with({"ERROR: The file ends inside the line of " + atom + " (\"" + line + "\"): it was cut off."});
        auto refuse = [&] {
            stop_with({"ERROR: " +
                       (present ? "Cannot read the line of " + atom + " (\"" + line + "\")" : "No line for " + atom) +
                       ": Gaussian writes the atomic number, x, y, z and the charge."});
        };
        const std::size_t k = 3u * static_cast<std::size_t>(i);
        FreeRead rec(line, std::string());
        if (!present || !rec.get(atoms.z[static_cast<std::size_t>(i)])) refuse();
        double charge = 0.0;
        for (std::size_t c = 0; c < 4; ++c)
            if (!rec.get_finite(c < 3 ? atoms.xyz[k + c] : charge,
                                c < 3 ? component_name("coordinate", k + c) : "the charge of atom " + fmt_I0(i + 1), file))
                refuse();
    }
    return atoms;
}

const char* log_of(JobKind kind) { return kind == JobKind::Freq ? kFreqLog : kInnerLog; }

}  // namespace

const char* job_kind_word(JobKind kind) {
    switch (kind) {
        case JobKind::Force: return "force";
        case JobKind::Freq: return "freq";
        case JobKind::Sp: return "sp";
    }
    return "force";
}

std::string inner_job_head(const InnerJob& job) {
    std::string route = "#p nosymm Iop(9/40=3) " + job.method + "/" + job.basis;
    if (job.guess_read) route += " guess=read";
    std::string td = td_keyword(job.triplet, job.root, job.nadd, job.td_read.value_or(job.guess_read));
    if (td.size() < 32) td.resize(32, ' ');
    route += td;
    route += ' ';
    route += job_kind_word(job.kind);
    if (!is_blank(job.extra)) {
        route += ' ';
        route += job.extra;
    }
    return (is_blank(job.mem) ? std::string("%mem=96GB") : "%mem=" + job.mem) + '\n' +
           (is_blank(job.nproc) ? std::string("%nproc=32") : "%nproc=" + job.nproc) + '\n' + "%chk=" + kInnerChkName +
           '\n' + route + '\n';
}

void write_gaussian_input(const std::string& file, const InnerJob& job, const Molecule& molecule) {
    const std::string& out_name = file;
    const std::string& in_name = molecule.input_file;

    std::ofstream out(out_name, std::ios::binary | std::ios::trunc);
    if (!out) io_failure("cannot open " + out_name + " for writing");
    out << inner_job_head(job);
    out << '\n';
    out << job.title << '\n';
    out << '\n';
    out << fmt_I0(molecule.charge) << ' ' << fmt_I0(molecule.multiplicity) << '\n';
    out.flush();
    if (!out) io_failure("cannot write " + out_name);

    const std::optional<ExternalAtoms> atoms = read_external_atoms(in_name, molecule.natoms);
    if (!atoms) stop_with({"ERROR: Cannot open input file: ", in_name});
    // Every atom is checked before any atom line goes out, so an unusable
    // geometry leaves an input without a molecule, which g16 cannot run,
    // rather than one cut short.
    std::string lines;
    for (int i = 0; i < molecule.natoms; ++i) {
        const std::int32_t z = atoms->z[static_cast<std::size_t>(i)];
        if (!valid_atomic_number(z))
            stop_with({"ERROR: Atom " + fmt_I0(i + 1) + " in " + in_name + " has atomic number " + fmt_I0(z) +
                       "; only 0 (Bq) to 86 (Rn) can be written to the Gaussian input."});
        const std::size_t k = 3u * static_cast<std::size_t>(i);
        lines += fmt_A(ind2name[static_cast<std::size_t>(z)], 2);
        for (std::size_t c = 0; c < 3; ++c) lines += fmt_F(atoms->xyz[k + c] * kBohrToAngstrom, 20, 12);
        lines += '\n';
    }
    out << lines << '\n';
    out.flush();
    if (!out) io_failure("cannot write " + out_name);
}

void generate_freq_input(InnerJob job, const Molecule& molecule) {
    job.kind = JobKind::Freq;
    job.title = "TD-DFT frequency calculation";
    write_gaussian_input(kFreqInput, job, molecule);
    say({" Generated frequency input: ", kFreqInput});
}

// ------------------------------------------------------------- inner jobs

bool usable_checkpoint() {
    std::error_code ec;
    return std::filesystem::is_regular_file(kInnerChk, ec) && std::filesystem::file_size(kInnerChk, ec) > 0 && !ec;
}

InnerLog read_inner_log(const std::string& file) {
    static constexpr std::string_view kError = "Error termination", kEnergy = "Total Energy",
                                      kForces = "Forces (Hartrees/Bohr)", kForcesEnd = "Cartesian Forces:",
                                      kSummary = "Excitation energies and oscillator strengths:",
                                      kConverged = "Converged?";
    InnerLog log;
    log.file = file;
    RecordReader in(file);
    if (!in.is_open()) return log;
    log.opened = true;
    // Between the records that matter the log is skipped by searching for
    // the markers still wanted; the records of a table or block being copied
    // are read one by one.  Every record looked at meets every test.
    bool forces_seen = false, summary_seen = false, table_seen = false;
    bool in_forces = false, in_summary = false;
    int table_left = 0;
    std::vector<std::string_view> wanted;
    std::string_view rec;
    for (;;) {
        if (in_forces || in_summary || table_left > 0) {
            if (!in.next(rec)) break;
        } else {
            wanted.clear();
            if (!log.error_termination) wanted.push_back(kError);
            if (!forces_seen) wanted.insert(wanted.end(), {kEnergy, kForces});
            if (!summary_seen) wanted.push_back(kSummary);
            if (!table_seen) wanted.push_back(kConverged);
            if (wanted.empty() || !in.next_holding(rec, wanted)) break;
        }
        log.error_termination = log.error_termination || contains(rec, kError);
        if (in_forces) {
            log.forces_table.emplace_back(rec);
            in_forces = !(log.forces_table.size() > 3 && !contains(rec, kForces) && contains(rec, kForcesEnd));
        }
        if (in_summary) {
            log.summary.emplace_back(rec);
            in_summary = contains(rec, kSummary) || !(contains(rec, "SavETr:") && contains(rec, "write"));
        }
        if (table_left > 0) {
            log.convergence.emplace_back(rec);
            --table_left;
        }
        if (!forces_seen) {
            if (contains(rec, kEnergy) && contains(rec, "E(TD") && contains(rec, "="))
                log.energy_lines.emplace_back(rec);
            if (contains(rec, kForces)) {
                forces_seen = in_forces = true;
                log.forces_table.emplace_back(rec);
            }
        }
        if (!summary_seen && contains(rec, kSummary)) {
            summary_seen = in_summary = true;
            log.summary.emplace_back(rec);
        }
        if (!table_seen && contains(rec, "Item") && contains(rec, "Value") && contains(rec, "Threshold") &&
            contains(rec, kConverged)) {
            table_seen = true;
            table_left = 4;
            log.convergence.emplace_back(rec);
        }
    }
    return log;
}

std::optional<double> excitation_energy_ev(const InnerLog& log, int state) {
    constexpr std::string_view kHead = "Excited State";
    for (const std::string& rec : log.summary) {
        const std::string_view line(rec);
        const std::size_t head = line.find(kHead);
        const std::size_t colon = line.find(':', head);
        std::int32_t n = 0;
        if (head == std::string_view::npos || colon == std::string_view::npos ||
            !try_read_free(line.substr(head + kHead.size(), colon - head - kHead.size()), n) || n != state)
            continue;
        const std::size_t unit = line.find(" eV", colon);
        if (unit == std::string_view::npos) return std::nullopt;
        const std::size_t start = line.find_last_of(' ', unit - 1) + 1;
        double ev = 0.0;
        if (parse_real_token(line.substr(start, unit - start), ev) && std::isfinite(ev)) return ev;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<long long> fchk_count(std::string_view header) {
    const std::size_t at = header.find("N=");
    if (at == std::string_view::npos) return std::nullopt;
    std::int32_t n = 0;
    if (!try_read_free(header.substr(at + 2), n) || n < 0) return std::nullopt;
    return n;
}

void check_checkpoint_geometry(const std::string& fchk, const Molecule& molecule) {
    std::ifstream in;
    if (!open_for_reading(fchk, in)) return;  // formchk's own check reports a missing file
    std::string header;
    if (!find_line(in, header, [](const std::string& l) { return starts_with(l, "Current cartesian coordinates"); }))
        return;  // nothing to compare with
    auto refuse = [&](const std::string& why) {
        stop_with({"ERROR: " + fchk + " does not belong to this step's geometry: " + why + "."},
                  {"       It is the checkpoint of another step or another job; nothing was handed back."});
    };
    const std::optional<long long> count = fchk_count(header);
    if (!count || *count != static_cast<long long>(components(molecule.natoms)))
        refuse("it holds " + (count ? fmt_I0(*count) : std::string("an unreadable number of")) +
               " coordinates for " + fmt_I0(molecule.natoms) + " atoms");
    std::vector<double> coords;
    std::string err;
    const FiniteValues finite{"Current cartesian coordinate", fchk};
    if (!read_real_fields(in, static_cast<int>(*count), kFchkReals, coords, &err, &finite))
        refuse("its coordinates: " + err);
    const std::optional<ExternalAtoms> atoms = read_external_atoms(molecule.input_file, molecule.natoms);
    if (!atoms) stop_with({"ERROR: Cannot open input file: ", molecule.input_file});
    for (std::size_t k = 0; k < coords.size(); ++k) {
        const double diff = std::fabs(coords[k] - atoms->xyz[k]);
        if (!(diff <= kGeometryTolerance))
            refuse("coordinate " + fmt_I0(static_cast<long long>(k % 3 + 1)) + " of atom " +
                   fmt_I0(static_cast<long long>(k / 3 + 1)) + " is " + free_real(coords[k]).substr(0, 20) +
                   " bohr there and " + free_real(atoms->xyz[k]).substr(0, 20) + " bohr in " + molecule.input_file);
    }
}

InnerLog run_inner_job(InnerJob job, const Molecule& molecule, const std::string& announce) {
    const bool freq = job.kind == JobKind::Freq;
    const std::string command(freq ? kG16FreqCommand : kG16Command);
    const char* log = log_of(job.kind);
    auto write_and_run = [&] {
        if (freq)
            generate_freq_input(job, molecule);
        else
            write_gaussian_input(kInnerInput, job, molecule);
        if (!announce.empty()) say({announce});
        run_shell(command, ShellOptions{"g16"});
    };
    write_and_run();
    InnerLog result = read_inner_log(log);
    if (result.error_termination && (job.guess_read || job.td_read.value_or(false))) {
        say({"WARNING: The inner job failed after reading its guess from " + std::string(kInnerChk) + " (" +
             std::string(log) + ")."});
        say({"         Removing the checkpoint and running the job once more from a fresh guess."});
        remove_file(kInnerChk);
        job.guess_read = false;
        if (job.td_read) job.td_read = false;
        write_and_run();
        result = read_inner_log(log);
    }
    if (result.error_termination) stop_with({"ERROR: Gaussian reported Error termination in ", std::string(log)});
    run_formchk_for_tddft(job.tool_timeout);
    check_checkpoint_geometry(kInnerFchk, molecule);
    return result;
}

// ------------------------------------------------------- formchk, checkpoint

void run_formchk_for_tddft(int timeout_seconds) {
    // A formatted checkpoint left by an earlier job must not pass for this
    // job's: the NTOs of the next steps are made from it.
    remove_file(kInnerFchk);
    run_shell(std::string(kFormchkCommand), ShellOptions{"formchk", timeout_seconds});
    if (file_exists(kInnerFchk)) return;
    stop_with({"ERROR: formchk falied."});
}

std::string chk_copy_target(const std::string& gjf_file) {
    if (is_blank(gjf_file)) return kInnerChkName;
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
    if (!copy_file_over(kInnerChk, "./" + target)) {
        // The step's result stands; only the copy for the user is missing.
        say({"WARNING: Converged geometry detected, but " + std::string(kInnerChk) + " could not be copied to ./" +
             target + "."});
        return;
    }
    put("Converged geometry detected, chk copied to ./" + target);
}

// ------------------------------------------------------------------ readers

std::string component_name(std::string_view quantity, std::size_t k) {
    static constexpr std::string_view kAxes[] = {" x", " y", " z"};
    return std::string(quantity) + std::string(kAxes[k % 3]) + " of atom " + fmt_I0(static_cast<long long>(k / 3 + 1));
}

GradientResult extract_gradient(const InnerLog& log, int natoms) {
    GradientResult result;
    std::vector<double>& forces = result.forces;
    forces.assign(components(natoms), 0.0);
    if (!log.opened) stop_with({"ERROR: Cannot open " + log.file});

    // The energy of the last energy line before the first forces table.
    for (const std::string& line : log.energy_lines) {
        FreeRead r(std::string_view(line).substr(line.rfind('=') + 1), log.file + " (the energy after the last \"=\")");
        if (!r.get_finite(result.energy, "the excited-state energy", log.file)) io_failure(r.error());
    }
    const bool energy_found = !log.energy_lines.empty();
    const bool forces_found = !log.forces_table.empty();
    if (forces_found) {
        if (log.forces_table.size() < 3)
            io_failure("end of file in the heading of the forces table of " + log.file);
        std::string rows;
        for (std::size_t k = 3; k < log.forces_table.size(); ++k) rows += log.forces_table[k] + '\n';
        std::istringstream in(rows);
        for (int i = 0; i < natoms; ++i) {
            std::int32_t centre = 0, atomic_number = 0;
            const std::size_t k = 3u * static_cast<std::size_t>(i);
            FreeRead row(in, log.file + " (forces table, atom " + fmt_I0(i + 1) + ")");
            row.must(centre, atomic_number);
            for (std::size_t c = 0; c < 3; ++c)
                if (!row.get_finite(forces[k + c], component_name("force", k + c), log.file))
                    io_failure(row.error());
        }
    }

    // Without the excited-state energy the job did not compute the state:
    // handing back anything would tell Gaussian a made-up energy.
    if (!energy_found) say({"ERROR: Energy not found in log file"});
    if (!forces_found) say({"ERROR: Gradient not found in log file"});
    if (!energy_found || !forces_found) stop(1);
    return result;
}

namespace {

// A formatted-checkpoint array holds as many values as its header's N=
// says: one whose count is not what the atoms need (another molecule, a
// damaged file) is refused after `failure`, the reader's own message.
void check_array_count(std::string_view header, std::size_t wanted, int natoms, const std::string& failure) {
    const std::optional<long long> n = fchk_count(header);
    if (!n || *n == static_cast<long long>(wanted)) return;
    stop_with({failure}, {"       Its header gives N= " + fmt_I0(*n) + "; " + fmt_I0(natoms) + " atoms need " +
                          fmt_I0(static_cast<long long>(wanted)) + " values."});
}

}  // namespace

std::vector<double> read_grad_from_fch(RecordReader& in, const std::string& name, int natoms) {
    const std::size_t n3 = components(natoms);
    std::vector<double> gradient(n3, 0.0);

    // "Cartesian Gradient" is the gradient at the current point; the gradient
    // of an earlier optimisation point serves only when it is all there is.
    std::string_view line;
    long long records = 0, opt_point = -1;
    bool found = false, force_constants_passed = false;
    while (in.next(line)) {
        ++records;
        if (contains(line, "Cartesian Gradient")) {
            found = true;
            break;
        }
        if (opt_point < 0 && contains(line, "Opt point") && contains(line, "Gradient")) opt_point = records;
        force_constants_passed = force_constants_passed || contains(line, "Cartesian Force Const");
    }
    if (!found && opt_point >= 0) {
        in = RecordReader(name);
        for (long long k = 0; k < opt_point && in.next(line);) ++k;
        found = true;
        force_constants_passed = true;  // wherever they are, the search starts over
    }
    if (!found) stop_with({"ERROR: Gradient block not found in ", name});
    const std::string failure = "ERROR: Failed to read gradient data from " + name;
    check_array_count(line, n3, natoms, failure);
    FreeRead values(in, name);
    for (std::size_t k = 0; k < n3; ++k) {
        if (!values.get_finite(gradient[k], "value " + fmt_I0(static_cast<long long>(k + 1)) + " of the gradient",
                               name))
            stop_with({failure});
    }
    if (force_constants_passed) in = RecordReader(name);
    return gradient;
}

std::vector<double> read_grad_from_fch(const std::string& name, int natoms) {
    RecordReader in = records_or_stop(name, "ERROR: Cannot open fchk file for gradient: " + name);
    return read_grad_from_fch(in, name, natoms);
}

void copy_force_constants(RecordReader& in, const std::string& name, int natoms, FileReplacement& out) {
    if (!in.is_open()) stop_with({"ERROR: Cannot open fchk file: ", name});
    std::string_view line;
    if (!in.find(line, [](std::string_view l) { return contains(l, "Cartesian Force Const"); }))
        stop_with({"ERROR: Cartesian Force Const section not found in ", name});
    // The lower triangle, row by row, as it comes: Gaussian reads it back in
    // the same order, three values to a line.  A value in the plain layout of
    // formatted checkpoints goes straight from its digits to its field.
    const std::size_t n3 = components(natoms);
    const std::size_t count = n3 * (n3 + 1) / 2;
    const std::string failure = "ERROR: Failed to read Hessian data from " + name;
    check_array_count(line, count, natoms, failure);
    FreeRead values(in, name);
    std::string_view token, record;
    for (std::size_t k = 0; k < count;) {
        // A whole record of five 16-column fields in the checkpoint's layout
        // goes field by field, without taking it apart into tokens; anything
        // else is left to the free-form read below.  (The count is a multiple
        // of three, so a record holding the last value ends its line too.)
        if (count - k >= 5 && values.next_whole_record(record)) {
            const std::size_t n = transcode_fchk_record(record, k, out.room<kFchkRecordOut>());
            if (n > 0) {
                values.skip_record();
                out.used(n);
                k += 5;
                continue;
            }
        }
        const std::span<char, 21> room = out.room<21>();
        const std::span<char, 20> field = room.first<20>();
        bool ok = values.get_text(token);
        if (ok && token.empty()) {
            put_D20_12(field, 0.0);  // a null value leaves the zero it starts with
        } else if (ok && !transcode_D20_12(token, field)) {
            double v = 0.0;
            ok = parse_real_token(token, v);
            if (ok) require_finite(v, token, "force constant " + fmt_I0(static_cast<long long>(k + 1)), name);
            put_D20_12(field, v);
        }
        if (!ok) stop_with({failure});
        std::size_t used = 20;
        if (k % 3 == 2 || k + 1 == count) room[used++] = '\n';
        out.used(used);
        ++k;
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
    const std::string& name = file;
    // The outer job must find either the old file or the complete new one.
    replace_file_atomically(name, external_output_text(natoms, energy, forces));
    if (verbose) say({" Output file written: ", name});
}

// ------------------------------------------------------ log echo, convergence

void echo_gaussian_output(const InnerLog& log, bool debug) {
    if (!log.opened) stop_with({"ERROR: Cannot open " + log.file + " for echoing"});
    for (const std::string& line : log.summary) {
        if (contains(line, "Excitation energies and oscillator strengths:")) {
            put(rtrim(line));
            continue;
        }
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

    if (!debug) return;
    say({});
    for (const std::string& line : log.forces_table) {
        if (contains(line, "Forces (Hartrees/Bohr)")) {
            put(" " + std::string(67, '-'));
            put(rtrim(line));
            continue;
        }
        put(rtrim(line));
        if (contains(line, "Cartesian Forces:")) break;
    }
}

bool check_convergence(const InnerLog& log) {
    if (!log.opened) {
        say({msg::kNoConvergenceLog});
        return false;
    }
    if (log.convergence.empty()) {
        say({msg::kNoConvergenceTable, " in log file"});
        return false;
    }
    bool all_yes = true;
    for (std::size_t k = 1; k < log.convergence.size(); ++k) {
        std::string word = cut(fifth_word(log.convergence[k]), 20);
        to_lowercase(word);
        if (word != "yes") all_yes = false;
    }
    if (!all_yes) return false;
    say({msg::kInnerConverged});
    say({"   However, optimization usually uses the internal coordinate,"});
    say({"   so the outer gaussian process may not think so. "});
    return true;
}

bool check_convergence(const std::string& log_file) { return check_convergence(read_inner_log(log_file)); }

}  // namespace quorin
