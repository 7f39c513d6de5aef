#include "module_diabatic_tddft.hpp"

#include <algorithm>
#include <fstream>
#include <vector>

#include "module_gaussian_utils.hpp"
#include "module_nto.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"

namespace quorin {

bool debug_step_active = false;
int debug_current_step_id = 0;

namespace {

constexpr const char* kMetaFile = "temp/sdn_meta.dat";
constexpr const char* kStepCounter = "temp/debug_snapshots/.step_counter";

// What every inner job of this mode shares.
struct StepContext {
    const Tddft_config& config;
    int nstates;
    Molecule molecule;
};

// One inner job: input, g16, formchk, debug snapshot, and for gradient jobs
// the energy and forces with the echo of the excited-state summary.
void diabatic_job(const StepContext& ctx, int root, JobKind kind, bool guess_read, const std::string& title,
                  const std::string& label, double& energy, std::vector<double>& forces) {
    InnerJob job = inner_job_base(ctx.config);
    job.root = root;
    job.nadd = ctx.nstates - root;  // every job asks for the run's nstates states
    job.kind = kind;
    job.guess_read = guess_read;
    job.title = title;
    const InnerLog log = run_inner_job(job, ctx.molecule);
    debug_backup_tddft(label);
    if (kind == JobKind::Force) {
        extract_gradient(log, ctx.molecule.natoms, energy, forces);
        say({""});
        echo_gaussian_output(log, ctx.config.debug);
    }
}

// A followed state that this run's inner jobs cannot compute (the
// configuration changed between calls) must not reach Gaussian as a root.
void check_followed_state(int follow_state, const StepContext& ctx) {
    if (follow_state >= 1 && follow_state <= ctx.nstates) return;
    say({"ERROR: The followed state " + fmt_I0(follow_state) + " stored in temp/sdn_meta.dat lies outside states 1 to " +
         fmt_I0(ctx.nstates) + " of this run (root + nadd)."});
    say({"       Raise nadd so that root + nadd is at least " + fmt_I0(follow_state) +
         ", or remove temp/sdn_meta.dat to start the following over from root."});
    stop(1);
}

std::string candidate_file(int state) { return "temp/new_state" + fmt_I0(state) + ".fch"; }

// The matching of a later step: the candidate window around the previously
// followed state c, and the state of this geometry that continues it.  Only
// candidate files change here; the references and the state file stay as
// they were until the step has its result (commit_step).
void match_in_window(const StepContext& ctx, int c, const std::string& range_str, int& follow_state,
                     double& best_snto) {
    const Tddft_config& cfg = ctx.config;
    // In 64 bits: a half-width up to INT_MAX must not wrap around.
    const long long h = cfg.sntorange >= 0 ? cfg.sntorange : static_cast<long long>(ctx.nstates) - cfg.root;
    const int low = static_cast<int>(std::max<long long>(c - h, 1));
    const int high = static_cast<int>(std::min<long long>(c + h, ctx.nstates));
    const int count = high - low + 1;
    say({" [Diabatic] SNTO matching center state: ", c});
    say({" [Diabatic] SNTO matching range: states ", low, " to ", high});
    say({" [Diabatic] Total states to check: ", count});

    std::vector<int> candidates;
    for (int s = low; s <= high; ++s) candidates.push_back(s);

    // Results of an earlier, interrupted step must not pass for this step's:
    // the tools are judged by the files they leave.
    remove_matching("temp", "new_state*.fch");
    remove_matching("temp", "new_state*.fch.txt");
    remove_file("temp/snto.snto");
    remove_file("temp/snto_nminus.snto");

    int best_state = 0;
    std::vector<double> snto;
    match_nto_states("temp/old.fch", "temp/tddft_pelun.fchk", range_str, candidates, best_state, best_snto, snto);
    if (best_state < 1) {
        say({"ERROR: State matching chose no state: the window around state " + fmt_I0(c) + " holds " +
             fmt_I0(std::max(count, 0)) + " candidates."});
        say({"       Check sntorange and nadd (root + nadd states are computed), or remove temp/sdn_meta.dat "
             "to start the following over from root."});
        stop(1);
    }
    // A choice among candidates none of which has a value (an empty or
    // unreadable summary) would be a guess: the state would be lost.
    if (!(best_snto > kNoSnto)) {
        say({"ERROR: State matching found no SNTO value for any of the states " + fmt_I0(low) + " to " +
             fmt_I0(high) + "; the NTO tool produced no usable result."});
        say({"       temp/sdn_meta.dat, temp/old.fch and temp/n-1.fch are left as they were; the step can be rerun."});
        stop(1);
    }
    const std::string chosen = candidate_file(best_state);
    if (const auto problem = nto_file_problem(chosen)) {
        say({"ERROR: The NTO file of the chosen state " + fmt_I0(best_state) + ", " + chosen + ", cannot serve as "
             "the next reference: " + *problem + "."});
        say({"       temp/sdn_meta.dat, temp/old.fch and temp/n-1.fch are left as they were; the step can be rerun."});
        stop(1);
    }
    follow_state = best_state;
    say({" [Diabatic] Updated diabatic state index = ", follow_state});
}

// The end of a later step: the chosen state's NTOs become the reference of
// the next step (the previous reference is kept for the near-degeneracy
// check), then the state file records the step.  Done only once the step
// has its energy and forces, so a step that fails earlier leaves every file
// the next call reads as it was.
void commit_step(const StepContext& ctx, int follow_state, const std::string& range_str, double energy,
                 const std::vector<double>& forces) {
    const std::string chosen = candidate_file(follow_state);
    if (!copy_file_over("temp/old.fch", "temp/n-1.fch") || !copy_file_over(chosen, "temp/old.fch")) {
        say({"ERROR: Could not put " + chosen + " in place as temp/old.fch; temp/sdn_meta.dat is left as it was."});
        stop(1);
    }
    remove_matching("temp", "new_state*.fch");
    remove_matching("temp", "new_state*.fch.txt");
    write_sdn_meta(follow_state, range_str, ctx.molecule.natoms, energy, forces);
}

void sdn_iter1(const StepContext& ctx, bool chk_existed, int follow_state) {
    say({" [Diabatic] Initial following diabatic state ", follow_state});
    // A new following starts without references from an earlier one.
    remove_file("temp/old.fch");
    remove_file("temp/n-1.fch");
    double energy = 0.0;
    std::vector<double> forces;
    diabatic_job(ctx, follow_state, JobKind::Force, chk_existed, "SDNTO gradient calculation (iter1)", "force", energy,
                 forces);
    calculate_nto_for_state("temp/tddft_pelun.fchk", follow_state, "temp/old.fch");
    if (const auto problem = nto_file_problem("temp/old.fch")) {
        say({"ERROR: The NTO file of state " + fmt_I0(follow_state) + ", temp/old.fch, cannot serve as the reference "
             "of the next step: " + *problem + "."});
        stop(1);
    }
    std::string range_str;
    int count = 0;
    find_nto_range("temp/old.fch", ctx.config.ntothre, range_str, count);
    write_sdn_meta(follow_state, cut(range_str, 80), ctx.molecule.natoms, energy, forces);
}

void sdn_iter2plus(const StepContext& ctx, int follow_state) {
    say({" [Diabatic] Previous diabatic state is ", follow_state});
    std::string range_str;
    read_sdn_meta(follow_state, range_str);
    check_followed_state(follow_state, ctx);

    double energy = 0.0;
    std::vector<double> forces;
    diabatic_job(ctx, follow_state, JobKind::Sp, true, "SDNTO state-matching single point (iter2+)", "sp", energy,
                 forces);
    double best_snto = 0.0;
    const int previous = follow_state;
    match_in_window(ctx, previous, range_str, follow_state, best_snto);
    put(" [Diabatic] Best SNTO overlap = " + fmt_F(best_snto, 10, 6));

    diabatic_job(ctx, follow_state, JobKind::Force, true, "SDNTO gradient calculation (iter2+)", "force", energy,
                 forces);
    commit_step(ctx, follow_state, range_str, energy, forces);
}

void sdn_iter2plus_forcefirst(const StepContext& ctx, int follow_state) {
    say({" [Diabatic] Previous diabatic state is ", follow_state});
    std::string range_str;
    read_sdn_meta(follow_state, range_str);
    check_followed_state(follow_state, ctx);
    const int previous = follow_state;

    double energy = 0.0;
    std::vector<double> forces;
    diabatic_job(ctx, previous, JobKind::Force, true, "SDNTO gradient calculation (force-first, pass1)", "force1",
                 energy, forces);
    double best_snto = 0.0;
    match_in_window(ctx, previous, range_str, follow_state, best_snto);

    if (follow_state == previous) {
        say({" [Diabatic] Diabatic state unchanged; reuse first-force gradient."});
    } else {
        say({" [Diabatic] Diabatic state changed; recomputing gradient for new state."});
        diabatic_job(ctx, follow_state, JobKind::Force, true, "SDNTO gradient calculation (force-first, pass2)",
                     "force2", energy, forces);
    }
    commit_step(ctx, follow_state, range_str, energy, forces);
}

std::string step_prefix(int step) { return "step" + snapshot_number(step); }

}  // namespace

// ------------------------------------------------------------------ the step

void run_diabatic_tddft(const std::string& input_file, const std::string& output_file, const Tddft_config& config,
                        int natoms, int charge, int multiplicity, bool chk_existed, const std::string& gjf_file) {
    const StepContext ctx{config, config.root + config.nadd, Molecule{input_file, natoms, charge, multiplicity}};
    debug_initialize_step(config.debug);

    bool exists = false;
    int follow_state = 0;
    inquire_sdn_meta(exists, follow_state);
    if (!exists) {
        follow_state = config.root;
        sdn_iter1(ctx, chk_existed, follow_state);
    } else if (config.sntofirst) {
        sdn_iter2plus(ctx, follow_state);
    } else {
        sdn_iter2plus_forcefirst(ctx, follow_state);
    }

    // The result reaches the outer job through the state file, as every
    // later step will see it.
    double energy = 0.0;
    std::vector<double> forces;
    read_sdn_forces(natoms, energy, forces);
    write_external_output(output_file, natoms, energy, forces);

    bool converged = false;
    check_convergence("temp/tddft_pelun.log", converged);
    if (converged) copy_chk_to_maindir(gjf_file);

    debug_step_active = false;
    debug_current_step_id = 0;
}

// ------------------------------------------------------------- the state file

void inquire_sdn_meta(bool& exists, int& follow_state) {
    follow_state = 0;
    exists = file_exists(kMetaFile);
    if (!exists) return;
    std::ifstream in(kMetaFile);
    if (!in) {
        exists = false;
        return;
    }
    FreeRead r(in, kMetaFile);
    std::int32_t v = 0;
    if (r.get(v)) follow_state = v;
}

void write_sdn_meta(int follow_state, const std::string& range_str, int natoms, double energy,
                    const std::vector<double>& forces) {
    std::string text = free_line({follow_state});
    text += '\n';
    text += rtrim(range_str);
    text += "\n ";
    text += fmt_D_row({energy, 0.0, 0.0, 0.0});
    text += '\n';
    for (int i = 0; i < natoms; ++i) {
        std::size_t k = static_cast<std::size_t>(i) * 3;
        text += fmt_D_row({forces[k], forces[k + 1], forces[k + 2]});
        text += '\n';
    }
    replace_file_atomically(kMetaFile, text);
}

void read_sdn_meta(int& follow_state, std::string& range_str) {
    std::ifstream in = open_or_stop(kMetaFile, "ERROR: Cannot open temp/sdn_meta.dat in read_sdn_meta");
    FreeRead r(in, kMetaFile);
    std::int32_t v = 0;
    if (!r.get(v)) {
        say({"ERROR: Failed to read follow_state from sdn_meta.dat"});
        stop(1);
    }
    follow_state = v;
    std::string line;
    if (!read_line(in, line)) {
        say({"ERROR: Failed to read range_str from sdn_meta.dat"});
        stop(1);
    }
    range_str = cut(line, 80);
}

void read_sdn_forces(int natoms, double& energy, std::vector<double>& forces) {
    energy = 0.0;
    forces.assign(static_cast<std::size_t>(natoms) * 3, 0.0);
    std::ifstream in = open_or_stop(kMetaFile, "ERROR: Cannot open temp/sdn_meta.dat in read_sdn_forces");
    std::string line;
    read_line(in, line);
    read_line(in, line);
    if (read_line(in, line)) {
        double e = 0.0;
        if (try_read_free(line, e)) energy = e;
    }
    for (int i = 0; i < natoms; ++i) {
        FreeRead r(in, kMetaFile);
        std::size_t k = static_cast<std::size_t>(i) * 3;
        if (!r.all(forces[k], forces[k + 1], forces[k + 2])) {
            say({"ERROR: Not enough force lines in sdn_meta.dat"});
            stop(1);
        }
    }
}

// ---------------------------------------------------------- debug snapshots

void debug_initialize_step(bool debug) {
    if (!debug) {
        debug_step_active = false;
        debug_current_step_id = 0;
        return;
    }
    if (debug_step_active) return;
    make_dirs("temp/debug_snapshots");

    int step = 1;
    std::ifstream in(kStepCounter);
    if (in) {
        FreeRead r(in, kStepCounter);
        std::int32_t last = 0;
        if (r.get(last) && last >= 0 && last < 2147483647) step = last + 1;
    }
    in.close();
    try {
        replace_file_atomically(kStepCounter, free_line({step}) + "\n");
    } catch (const IoFailure&) {
        say({" [Debug] Unable to update debug step counter"});
    }
    debug_current_step_id = step;
    debug_step_active = true;
    say({" [Debug] Snapshot prefix -> ", step_prefix(step)});
}

void debug_backup_tddft(const std::string& label) {
    if (!debug_step_active) return;
    std::string base = "temp/debug_snapshots/" + step_prefix(debug_current_step_id);
    std::string tag = cut(ltrim(label), 32);
    if (!tag.empty()) base += "_" + tag;

    // Each inner file is copied under the step's name, or its absence said.
    auto backup = [&](const std::string& source, const std::string& ext, const char* kind, const char* tag) {
        const std::string snapshot = base + ext;
        if (file_exists(source)) {
            copy_file_over(source, snapshot);
            say({std::string(" [Debug] Saved TDDFT ") + kind + " snapshot -> ", snapshot});
        } else {
            say({std::string(" [Debug] Skip ") + tag + " backup: " + source + " not found"});
        }
    };
    backup("temp/tddft_pelun.fchk", ".fchk", "fchk", "FCHK");
    backup("temp/tddft_pelun.log", ".log", "log", "LOG");
}

}  // namespace quorin
