#include "module_diabatic_tddft.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <vector>

#include "messages.hpp"
#include "module_gaussian_utils.hpp"
#include "module_nto.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"
#include "work_files.hpp"

namespace quorin {

namespace {

// What every inner job of a step shares.
struct StepContext {
    const Tddft_config& config;
    int nstates;  // root + nadd, fixed for the whole run
    Molecule molecule;
    NtoEngine& nto;
    DebugStep debug;
    std::string input;  // what identifies this call's External input (input_note)
    // Whether the first inner job of this call can read its guess; the jobs
    // after it read the checkpoint the one before wrote.
    bool chk_existed;
};

// The External input of a call, as its record notes it: the digest
// (64-bit FNV-1a) and length of its bytes.  Gaussian writes a new one for
// every geometry; a call made again with the same one is the same step.
std::string input_note(const std::string& file) {
    std::ifstream in;
    std::uint64_t hash = 14695981039346656037ull;
    std::uint64_t size = 0;
    if (open_for_reading(file, in)) {
        char buf[65536];
        while (in.read(buf, sizeof buf) || in.gcount() > 0) {
            for (std::streamsize i = 0; i < in.gcount(); ++i)
                hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ull;
            size += static_cast<std::uint64_t>(in.gcount());
        }
    }
    char note[64];
    std::snprintf(note, sizeof note, "input %016llx %llu", static_cast<unsigned long long>(hash),
                  static_cast<unsigned long long>(size));
    return note;
}

// One inner job of the step: which root, of which kind, reading the guess
// or not, under which title, and the label of its debug snapshots.
struct DiabaticJob {
    int root;
    JobKind kind;
    bool guess_read;
    const char* title;
    const char* label;
};

// One inner job: input, g16, formchk, debug snapshot, and for gradient jobs
// the energy and forces with the echo of the excited-state summary.
GradientResult diabatic_job(const StepContext& ctx, const DiabaticJob& d) {
    InnerJob job = inner_job_base(ctx.config);
    job.root = d.root;
    job.nadd = ctx.nstates - d.root;  // every job asks for the run's nstates states
    job.kind = d.kind;
    job.guess_read = d.guess_read;
    job.title = d.title;
    const InnerLog log = run_inner_job(job, ctx.molecule);
    debug_backup_tddft(ctx.debug, d.label);
    if (d.kind != JobKind::Force) return {};
    GradientResult result = extract_gradient(log, ctx.molecule.natoms);
    say({""});
    echo_gaussian_output(log, ctx.config.debug);
    return result;
}

// A followed state that this run's inner jobs cannot compute (the
// configuration changed between calls) must not reach Gaussian as a root.
void check_followed_state(int follow_state, const StepContext& ctx) {
    if (follow_state >= 1 && follow_state <= ctx.nstates) return;
    stop_with({"ERROR: The followed state " + fmt_I0(follow_state) + " stored in ", kMetaFile,
               " lies outside states 1 to " + fmt_I0(ctx.nstates) + " of this run (root + nadd)."},
              {"       Raise nadd so that root + nadd is at least " + fmt_I0(follow_state) + ", or remove ", kMetaFile,
               " to start the following over from root."});
}

// The files a failed later step leaves as they were.
std::string kept_files() { return std::string(kMetaFile) + ", " + kReference + " and " + kOlderReference; }

std::string fixed(double x, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, x);
    return text;
}

// What a later step matches against: the previous step's NTOs (old.fch), or
// with sntoref = first the first step's.  From the third step on (n-1.fch
// exists) near-degenerate candidates are compared once more against the
// NTOs of another step: the step before the previous one, or with
// sntoref = first the previous step.
MatchReferences references(const StepContext& ctx) {
    const bool later = file_exists(kOlderReference);
    auto tie_break = [&](const char* file) { return later ? std::optional<std::string>(file) : std::nullopt; };
    if (matches_first_step(ctx.config)) {
        if (file_exists(kFirstReference)) return {kFirstReference, tie_break(kReference)};
        say({"WARNING: ", kFirstReference,
             ", the NTOs that sntoref = first matches against, is missing (the following began with sntoref = "
             "previous); the previous step's NTOs, ",
             kReference, ", take its place from this step on."});
    }
    return {kReference, tie_break(kOlderReference)};
}

// Says aloud what is doubtful about the choice of a later step that
// followed `previous` before.  A state lost below minsnto stops the step
// here, before anything the next step reads is changed.
void say_doubts(const StepContext& ctx, int previous, const std::vector<int>& candidates, const MatchResult& m) {
    const Tddft_config& cfg = ctx.config;
    const Doubts d =
        doubts_about(m.snto, m.best_pos, m.compared, m.own_snto, {cfg.sntowarn, cfg.sntoambig, cfg.minsnto});
    const double b = m.best_snto, own = m.own_snto;
    const std::string share = fixed(b, 6) + " is " + fixed(b / own, 3) + " of the reference's own value " + fixed(own, 6);
    if (d.lost)
        stop_with({"ERROR: Best SNTO value " + share + ", below minsnto " + fixed(cfg.minsnto, 3) +
                   ": the followed state is lost."},
                  {"       No External output was written; " + kept_files() + " are left as they were."});
    if (d.low)
        say({msg::kLowSnto, " best value " + share + " (sntowarn " + fixed(cfg.sntowarn, 3) +
             "); the followed state may be lost."});
    if (d.rival) {
        const double v2 = m.snto[*d.rival];
        say({msg::kAmbiguousSnto, " state " + fmt_I0(candidates[*d.rival]) + " reaches " + fixed(v2 / b, 3) +
             " of the best value (" + fixed(v2, 6) + " against state " + fmt_I0(m.best_state) + " with " + fixed(b, 6) +
             ", sntoambig " + fixed(cfg.sntoambig, 3) + ")."});
    }
    if (m.best_state != previous) {
        // The excited-state block of the job whose states were just compared.
        const InnerLog log = read_inner_log(kInnerLog);
        const auto now = excitation_energy_ev(log, m.best_state), before = excitation_energy_ev(log, previous);
        const std::string old_root = fmt_I0(previous), new_root = fmt_I0(m.best_state);
        say({msg::kRootChange, " the followed state moves from root " + old_root + " to root " + new_root + "; E(" +
             new_root + ") - E(" + old_root + ") = " + (now && before ? fixed(*now - *before, 4) : "n/a") +
             " eV at this geometry."});
    }
}

// The matching of a later step: the candidate window around the previously
// followed state c, and the state of this geometry that continues it.  Only
// candidate files change here; the references and the state file stay as
// they were until the step has its result (commit_step).
MatchResult match_in_window(const StepContext& ctx, int c, const std::string& range_str) {
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
    ctx.nto.remove_scratch(true);

    const MatchResult match = ctx.nto.match_nto_states(references(ctx), kInnerFchk, range_str, candidates);
    const std::string kept = "       " + kept_files() + " are left as they were; the step can be rerun.";
    if (candidates.empty())
        stop_with({"ERROR: State matching chose no state: the window around state " + fmt_I0(c) + " holds " +
                   fmt_I0(std::max(count, 0)) + " candidates."},
                  {"       Check sntorange and nadd (root + nadd states are computed), or remove ", kMetaFile,
                   " to start the following over from root."});
    // A tool that answered for some candidates only (it crashed halfway)
    // gave no result: choosing among the ones it did answer for could lose
    // the state.
    if (!match.missing_rows.empty()) {
        std::string states;
        for (int s : match.missing_rows) states.append(" ").append(fmt_I0(s));
        stop_with({"ERROR: The SNTO summary " + match.incomplete_summary + " holds no row for state" +
                   (match.missing_rows.size() > 1 ? "s" : "") + states + "; the NTO tool's result is incomplete."},
                  {kept});
    }
    // A choice among candidates none of which has a value (an empty or
    // unreadable summary) would be a guess: the state would be lost.
    if (!(match.best_snto > kNoSnto))
        stop_with({"ERROR: State matching found no SNTO value for any of the states " + fmt_I0(low) + " to " +
                   fmt_I0(high) + "; the NTO tool produced no usable result."},
                  {kept});
    say_doubts(ctx, c, candidates, match);
    const std::string chosen = candidate_nto_name(match.best_state);
    if (const auto problem = nto_file_problem(chosen))
        stop_with({"ERROR: The NTO file of the chosen state " + fmt_I0(match.best_state) + ", " + chosen +
                   ", cannot serve as the next reference: " + *problem + "."},
                  {kept});
    say({msg::kUpdatedState, match.best_state});
    return match;
}

// The end of a later step: the chosen state's NTOs become the reference of
// the next step (the previous reference is kept for the near-degeneracy
// check), and the state file records the step.  Done only once the step has
// its energy and forces, so a step that fails earlier leaves every file the
// next call reads as it was; and done as one StagedCommit noted with this
// call's External input, so a kill at any moment leaves either the previous
// step or this one, and a rerun of this call does not rotate again.
void commit_step(const StepContext& ctx, int follow_state, const std::string& range_str, const GradientResult& result) {
    const std::string chosen = candidate_nto_name(follow_state);
    StagedCommit step(kStepRecord);
    // The reference that stood in for a missing temp/first.fch stays.
    const bool keep_first = matches_first_step(ctx.config) && !file_exists(kFirstReference);
    if ((keep_first && !step.stage_copy(kReference, kFirstReference)) ||
        !step.stage_copy(kReference, kOlderReference) || !step.stage_copy(chosen, kReference))
        stop_with(
            {"ERROR: Could not put " + chosen + " in place as ", kReference, "; ", kMetaFile, " is left as it was."});
    step.stage_text(kMetaFile, sdn_meta_text(follow_state, range_str, result));
    step.commit(ctx.input);
    ctx.nto.remove_scratch(false);
}

void sdn_iter1(const StepContext& ctx, int follow_state) {
    say({msg::kInitialState, follow_state});
    // A new following starts without references from an earlier one.
    remove_file(kReference);
    remove_file(kOlderReference);
    remove_file(kFirstReference);
    const GradientResult result = diabatic_job(
        ctx, {follow_state, JobKind::Force, ctx.chk_existed, "SDNTO gradient calculation (iter1)", "force"});
    ctx.nto.calculate_nto_for_state(kInnerFchk, follow_state, kReference);
    if (const auto problem = nto_file_problem(kReference))
        stop_with({"ERROR: The NTO file of state " + fmt_I0(follow_state) + ", ", kReference,
                   ", cannot serve as the reference of the next step: " + *problem + "."});
    const NtoRange range = find_nto_range(kReference, ctx.config.ntothre);
    StagedCommit step(kStepRecord);
    if (matches_first_step(ctx.config) && !step.stage_copy(kReference, kFirstReference))
        stop_with({"ERROR: Could not put ", kReference, " in place as ", kFirstReference, "; ", kMetaFile,
                   " is not written."});
    step.stage_text(kMetaFile, sdn_meta_text(follow_state, cut(range.range_str, 80), result));
    step.commit(ctx.input);
}

// The state followed so far and its NTO range, from the state file.
SdnMeta previous_step(const StepContext& ctx, int follow_state) {
    say({msg::kPreviousState, follow_state});
    const SdnMeta meta = read_sdn_meta();
    check_followed_state(meta.follow_state, ctx);
    return meta;
}

void sdn_iter2plus(const StepContext& ctx, int follow_state) {
    const SdnMeta meta = previous_step(ctx, follow_state);
    diabatic_job(ctx,
                 {meta.follow_state, JobKind::Sp, ctx.chk_existed, "SDNTO state-matching single point (iter2+)", "sp"});
    const MatchResult match = match_in_window(ctx, meta.follow_state, meta.range_str);
    put(std::string(msg::kBestOverlap) + fmt_F(match.best_snto, 10, 6));

    const GradientResult result =
        diabatic_job(ctx, {match.best_state, JobKind::Force, true, "SDNTO gradient calculation (iter2+)", "force"});
    commit_step(ctx, match.best_state, meta.range_str, result);
}

void sdn_iter2plus_forcefirst(const StepContext& ctx, int follow_state) {
    const SdnMeta meta = previous_step(ctx, follow_state);
    const int previous = meta.follow_state;
    GradientResult result = diabatic_job(
        ctx, {previous, JobKind::Force, ctx.chk_existed, "SDNTO gradient calculation (force-first, pass1)", "force1"});
    const int matched = match_in_window(ctx, previous, meta.range_str).best_state;

    if (matched == previous) {
        say({msg::kStateUnchanged, "; reuse first-force gradient."});
    } else {
        say({msg::kStateChanged, "; recomputing gradient for new state."});
        result = diabatic_job(
            ctx, {matched, JobKind::Force, true, "SDNTO gradient calculation (force-first, pass2)", "force2"});
    }
    commit_step(ctx, matched, meta.range_str, result);
}

}  // namespace

// ------------------------------------------------------------------ the step

void run_diabatic_tddft(const RunSetup& run, NtoEngine& nto) {
    const Tddft_config& config = run.config;
    // A step that a killed call recorded is completed first.  When it
    // answered this very External input (Gaussian, restarted, makes the same
    // call again), its result is handed back as it stands: running the step
    // again would rotate the references a second time.
    const std::string input = input_note(run.input_file);
    if (finish_commit(kStepRecord) == input && inquire_sdn_meta().exists) {
        say({" [Diabatic] ", kMetaFile,
             " already holds the step for this External input (an earlier call made it); its result is handed back "
             "again."});
    } else {
        const StepContext ctx{
            config,         config.root + config.nadd, run.molecule(), nto, debug_initialize_step(config.debug), input,
            run.chk_existed};
        const SdnMetaHead meta = inquire_sdn_meta();
        if (!meta.exists)
            sdn_iter1(ctx, config.root);
        else if (config.sntofirst)
            sdn_iter2plus(ctx, meta.follow_state);
        else
            sdn_iter2plus_forcefirst(ctx, meta.follow_state);
    }

    // The result reaches the outer job through the state file, as every
    // later step will see it.
    const GradientResult result = read_sdn_forces(run.natoms);
    write_external_output(run.output_file, run.natoms, result.energy, result.forces);

    if (check_convergence(kInnerLog)) copy_chk_to_maindir(run.gjf_file);
}

// ------------------------------------------------------------- the state file

namespace {

// The followed state on the state file's first line; the stream then stands
// at the second line.
bool read_follow_state(std::istream& in, std::int32_t& state) { return FreeRead(in, kMetaFile).get(state); }

}  // namespace

SdnMetaHead inquire_sdn_meta() {
    SdnMetaHead head;
    if (!file_exists(kMetaFile)) return head;
    std::ifstream in(kMetaFile);
    if (!in) return head;
    head.exists = true;
    std::int32_t v = 0;
    if (read_follow_state(in, v)) head.follow_state = v;
    return head;
}

std::string sdn_meta_text(int follow_state, const std::string& range_str, const GradientResult& result) {
    std::string text = free_line({follow_state});
    text += '\n';
    text += range_str;
    text += "\n ";
    text += fmt_D_row({result.energy, 0.0, 0.0, 0.0});
    text += '\n';
    const std::vector<double>& f = result.forces;
    for (std::size_t k = 0; k + 2 < f.size(); k += 3) {
        text += fmt_D_row({f[k], f[k + 1], f[k + 2]});
        text += '\n';
    }
    return text;
}

SdnMeta read_sdn_meta() {
    std::ifstream in = open_or_stop(kMetaFile, "ERROR: Cannot open " + std::string(kMetaFile) + " in read_sdn_meta");
    SdnMeta meta;
    std::int32_t v = 0;
    if (!read_follow_state(in, v)) stop_with({"ERROR: Failed to read follow_state from sdn_meta.dat"});
    meta.follow_state = v;
    std::string line;
    if (!read_line(in, line)) stop_with({"ERROR: Failed to read range_str from sdn_meta.dat"});
    meta.range_str = cut(line, 80);
    return meta;
}

GradientResult read_sdn_forces(int natoms) {
    GradientResult result;
    result.forces.assign(static_cast<std::size_t>(natoms) * 3, 0.0);
    std::vector<double>& forces = result.forces;
    std::ifstream in = open_or_stop(kMetaFile, "ERROR: Cannot open " + std::string(kMetaFile) + " in read_sdn_forces");
    std::string line;
    // The energy stands on the third line, after the state and the range.
    if (read_line(in, line) && read_line(in, line) && read_line(in, line)) {
        FreeRead r(line, std::string());
        double e = 0.0;
        if (r.get_finite(e, "the energy", kMetaFile)) result.energy = e;
    }
    for (int i = 0; i < natoms; ++i) {
        FreeRead r(in, kMetaFile);
        std::size_t k = static_cast<std::size_t>(i) * 3;
        for (std::size_t c = 0; c < 3; ++c)
            if (!r.get_finite(forces[k + c], component_name("force", k + c), kMetaFile))
                stop_with({"ERROR: Not enough force lines in sdn_meta.dat"});
    }
    return result;
}

// ---------------------------------------------------------- debug snapshots

DebugStep debug_initialize_step(bool debug) {
    if (!debug) return {};
    make_dirs(kSnapshotDir);

    const CounterStep next = next_counter_value(kStepCounter);
    const int step = next.value;
    if (!next.recorded) say({" [Debug] Unable to update debug step counter"});
    say({" [Debug] Snapshot prefix -> step" + snapshot_number(step)});
    return DebugStep{true, step};
}

void debug_backup_tddft(const DebugStep& step, const std::string& label) {
    if (!step.active) return;
    const std::string base = step_snapshot_base(step.id, cut(ltrim(label), 32));

    // Each inner file is copied under the step's name, or its absence said.
    auto backup = [&](const std::string& source, const std::string& ext, const char* kind, const char* tag) {
        const std::string snapshot = base + ext;
        if (file_exists(source)) {
            const char* done =
                copy_file_over(source, snapshot) ? " [Debug] Saved TDDFT " : " [Debug] Could not save TDDFT ";
            say({done + std::string(kind) + " snapshot -> ", snapshot});
        } else {
            say({std::string(" [Debug] Skip ") + tag + " backup: " + source + " not found"});
        }
    };
    backup(kInnerFchk, ".fchk", "fchk", "FCHK");
    backup(kInnerLog, ".log", "log", "LOG");
}

}  // namespace quorin
