// quorin-report: reads what quorin printed during a run (the outer Gaussian
// log, or a captured console stream of quorin calls; several logs of one run
// restarted in new logs) and tells, step by step, which excited state was
// followed, how well the state matching went, what energy went back to
// Gaussian, and how the run ended.
//
// Everything here is a pure function of the log text: parse_log and
// append_log (report_log.cpp) turn the lines into one record per quorin call,
// format_report (report_table.cpp) writes the table and the summary,
// render_svg (report_svg.cpp) draws the excitation energies, the followed
// state's energy and the SNTO values per step, and format_csv / format_json
// (report_records.cpp) write one record per call for scripts.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "messages.hpp"  // kNoSnto, quorin's "no value" for an SNTO value

namespace quorin::report {

enum class Mode { Unknown, Adiabatic, Diabatic, Hessian };

const char* mode_name(Mode m);

// One inner Gaussian job of a call, as far as the log tells it.
struct Job {
    enum class Kind { Gradient, SinglePoint, Frequency };
    Kind kind = Kind::Gradient;
    int root = 0;
    std::optional<double> energy;  // the echoed " Total Energy, E(TD-HF/TD-DFT) =" of the root
};

struct Snto {
    int state = 0;
    double value = 0.0;  // kNoSnto when the tool gave none
};

struct NearDegenerate {
    int state = 0;
    double delta = 0.0;
};

// One root of the excited-state block that quorin echoed from an inner job.
struct Excitation {
    int root = 0;
    double ev = 0.0;               // excitation energy
    std::optional<double> f;       // oscillator strength
};

// A WARNING (or "Warning:") line quorin printed, with its continuation lines.
struct Warning {
    enum class Kind {
        Other,
        LowSnto,         // the best SNTO value is low against the reference's own value
        Ambiguous,       // the runner-up comes close to the best
        RootChange,      // the followed state moved to another root
        NearDegenerate,  // within 5 % of the best: settled against the state two steps back
        Convergence,     // the inner log's convergence table was not found or not read
        EnergyMissing,   // no excited-state energy in the inner log
    };
    Kind kind = Kind::Other;
    std::string text;
};

// The three doubts about the followed state that quorin says aloud.
bool is_doubt(Warning::Kind k);

// One call of quorin: one step of the outer job.
struct Call {
    int step = 0;                // outer " Step N" when the log has it, else the order of the call
    std::size_t log = 0;         // which of the run's logs holds it (index into Run::logs)
    std::size_t first_line = 0;  // 1-based lines of that log that the call spans
    std::size_t last_line = 0;
    bool has_start = true;  // false: read from quorin output without a start banner
    bool has_done = false;  // the closing banner was seen
    Mode mode = Mode::Unknown;
    std::vector<Job> jobs;
    int state_before = 0;          // followed state read back at the start of the call; 0 unknown
    int state_after = 0;           // followed state handed back; 0 unknown
    bool initial = false;          // first diabatic step (no state before)
    bool fallback_root = false;    // Hessian call without a usable diabatic state file
    std::vector<Snto> candidates;  // first pass, against the previous step's NTOs
    std::vector<NearDegenerate> near;
    std::vector<Snto> second;         // near-degeneracy check, against the state of another step
    std::string second_reference;     // its NTO file: "n-1.fch" (two steps back), "old.fch" (sntoref = first)
    int resolved_state = 0;           // "Resolved best state after near-degenerate check:"
    int final_state = 0;              // " Final best matching state:"
    std::optional<double> best_snto;  // " Best SNTO value:" (or "[Diabatic] Best SNTO overlap =")
    std::optional<double> own_snto;   // " Reference's own SNTO value:": what a perfect match scores
    std::vector<Excitation> excitations;  // the last excited-state block echoed in the call
    enum class Gradient { NotSaid, Reused, Recomputed };
    Gradient gradient = Gradient::NotSaid;
    std::optional<double> echoed_energy;     // last echoed excited-state energy of the call
    std::optional<double> recovered_energy;  // Gaussian's " Recovered energy=" after the call
    bool inner_converged = false;            // "Convergence criteria met in cartesian coordinate."
    std::optional<double> max_force;         // outer convergence table, " Maximum Force"
    std::string error;                       // "ERROR: ..." (with its continuation lines)
    std::size_t error_line = 0;
    int stop_status = -1;                  // "STOP N"
    bool outer_error_termination = false;  // the outer job's "Error termination" came right after
    std::vector<Warning> warnings;         // every WARNING line of the call, in the order printed
    std::vector<std::string> notes;        // what could not be read in this call

    bool failed() const { return !error.empty() || stop_status > 0 || (!has_done && outer_error_termination); }
    bool warned(Warning::Kind k) const;
};

// One log of the run and how it ended.
struct Log {
    std::string source;
    std::size_t lines = 0;
    std::size_t first_call = 0, end_call = 0;  // its calls: Run::calls[first_call, end_call)
    std::vector<std::string> problems;         // log-level notes ("lines N-M: ...")
    bool optimization_completed = false;
    int completed_after_step = 0;
    bool step_limit = false;
    bool normal_termination = false;
    std::string error_termination;    // the outer job's "Error termination ..." line
    std::vector<double> frequencies;  // " Frequencies --" values, cm^-1
};

struct Run {
    std::vector<Log> logs;
    std::vector<Call> calls;
    bool energies_from_echo = false;  // some energy came from the echo, not from "Recovered energy="

    std::string source() const;  // the logs' names, joined by " + "
};

// One log read into a run of its own.
Run parse_log(std::istream& in, const std::string& source);
Run parse_log_text(const std::string& text, const std::string& source);
// The next log of a run restarted in a new log: its calls follow the run's,
// its steps numbered on from the run's last step.
void append_log(Run& run, std::istream& in, const std::string& source);

// Derived values, shared by the table, the records and the drawing.
std::optional<double> handed_back_energy(const Call& c);
// Followed state before call i: what the call read back, else what the last
// call before it that did not fail handed back; 0 when unknown.
int followed_before(const Run& run, std::size_t i);
// The followed root number changed in call i (from the state before it).
bool root_changed(const Run& run, std::size_t i);
// The state chosen by the matching of a call (0 when none was read).
int chosen_state(const Call& c);
// Best SNTO value of a call, the runner-up (state and value) and its ratio to the best.
std::optional<double> best_snto(const Call& c);
std::optional<Snto> runner_up(const Call& c);
std::optional<double> runner_up_ratio(const Call& c);
// The reference's own value of a call, when quorin printed a real one.
std::optional<double> own_snto(const Call& c);
// The echoed excited-state line of a root in the call, null when not echoed.
const Excitation* excitation(const Call& c, int root);
// The state followed after the call (0 when none: unknown, or the call failed).
int followed_after(const Call& c);
// The near-degeneracy warnings of a call and how the matching settled them, in words.
std::string near_degeneracy_text(const Call& c);
// How a failed call ended: its message, STOP status and where in which log.
std::string error_text(const Run& run, const Call& c);
// "ok", "failed", or "unfinished" (no closing banner and no error).
const char* outcome(const Call& c);
// The followed states as runs of steps: "state 1 (steps 1-3) -> state 2 (step 4)".
std::string followed_runs(const Run& run);

std::string format_report(const Run& run);
std::string render_svg(const Run& run);
std::string format_csv(const Run& run);
std::string format_json(const Run& run);

}  // namespace quorin::report
