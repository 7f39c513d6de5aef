// quorin-report: reads what quorin printed during a run (the outer Gaussian
// log, or a captured console stream of quorin calls) and tells, step by step,
// which excited state was followed, how well the state matching went, what
// energy went back to Gaussian, and how the run ended.
//
// Everything here is a pure function of the log text: parse_log (report_log.cpp) turns the
// lines into one record per quorin call, format_report writes the table and
// the summary, render_svg draws the energy and SNTO panels.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace quorin::report {

enum class Mode { Unknown, Adiabatic, Diabatic, Hessian };

const char* mode_name(Mode m);

// quorin's "no value" for an SNTO value (a state missing from a summary file).
inline constexpr double kNoSnto = -1.0e10;

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

// One call of quorin: one step of the outer job.
struct Call {
    int step = 0;                // outer " Step N" when the log has it, else the order of the call
    std::size_t first_line = 0;  // 1-based lines of the log that the call spans
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
    std::vector<Snto> second;         // near-degeneracy check, against the step before ("n-1")
    int resolved_state = 0;           // "Resolved best state after near-degenerate check:"
    int final_state = 0;              // " Final best matching state:"
    std::optional<double> best_snto;  // " Best SNTO value:" (or "[Diabatic] Best SNTO overlap =")
    enum class Gradient { NotSaid, Reused, Recomputed };
    Gradient gradient = Gradient::NotSaid;
    std::optional<double> echoed_energy;     // last echoed excited-state energy of the call
    std::optional<double> recovered_energy;  // Gaussian's " Recovered energy=" after the call
    bool inner_converged = false;            // "Convergence criteria met in cartesian coordinate."
    bool inner_table_missing = false;        // the convergence test found no table or no log
    bool energy_missing_warning = false;     // quorin's "WARNING: Energy not found in log file"
    std::optional<double> max_force;         // outer convergence table, " Maximum Force"
    std::string error;                       // "ERROR: ..." (with its continuation lines)
    std::size_t error_line = 0;
    int stop_status = -1;                  // "STOP N"
    bool outer_error_termination = false;  // the outer job's "Error termination" came right after
    std::vector<std::string> warnings;     // other WARNING lines quorin printed in the call
    std::vector<std::string> notes;        // what could not be read in this call

    bool failed() const { return !error.empty() || stop_status > 0 || (!has_done && outer_error_termination); }
};

struct Run {
    std::string source;
    std::size_t lines = 0;
    std::vector<Call> calls;
    std::vector<std::string> problems;  // log-level notes ("lines N-M: ...")
    bool optimization_completed = false;
    int completed_after_step = 0;
    bool step_limit = false;
    bool normal_termination = false;
    std::string error_termination;    // the outer job's "Error termination ..." line
    std::vector<double> frequencies;  // " Frequencies --" values, cm^-1
    bool energies_from_echo = false;  // some energy came from the echo, not from "Recovered energy="
};

Run parse_log(std::istream& in, const std::string& source);
Run parse_log_text(const std::string& text, const std::string& source);

// Derived values, shared by the table and the drawing.
std::optional<double> handed_back_energy(const Call& c);
// Followed state before call i: what the call read back, else what the last
// call before it that did not fail handed back; 0 when unknown.
int followed_before(const Run& run, std::size_t i);
// The followed root number changed in call i (from the state before it).
bool root_changed(const Run& run, std::size_t i);
// The state chosen by the matching of a call (0 when none was read).
int chosen_state(const Call& c);
// Best SNTO value of a call and the runner-up's ratio to it.
std::optional<double> best_snto(const Call& c);
std::optional<double> runner_up_ratio(const Call& c);
// "state 2 (delta 0.0156): kept 1 against n-1", empty when no warning.
std::string near_degeneracy_text(const Call& c);
// How a failed call ended: its message, STOP status and log line.
std::string error_text(const Call& c);
// The followed states as runs of steps: "state 1 (steps 1-3) -> state 2 (step 4)".
std::string followed_runs(const Run& run);

std::string format_report(const Run& run);
std::string render_svg(const Run& run);

}  // namespace quorin::report
