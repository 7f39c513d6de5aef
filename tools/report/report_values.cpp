// quorin-report, derived values: what the table, the records and the plot
// tell about a call beyond the lines it printed.
#include <algorithm>

#include "report.hpp"
#include "report_text.hpp"

namespace quorin::report {

std::optional<double> handed_back_energy(const Call& c) {
    if (c.failed() || !c.has_done) return std::nullopt;  // a call cut short has handed nothing back yet
    return c.recovered_energy ? c.recovered_energy : c.echoed_energy;
}

int followed_before(const Run& run, std::size_t i) {
    const Call& c = run.calls[i];
    if (c.state_before > 0 || c.initial) return c.state_before;
    for (std::size_t k = i; k-- > 0;)  // a failed call handed nothing back
        if (run.calls[k].state_after > 0 && !run.calls[k].failed()) return run.calls[k].state_after;
    return 0;
}

bool root_changed(const Run& run, std::size_t i) {
    const Call& c = run.calls[i];
    int before = followed_before(run, i);
    return !c.failed() && before > 0 && c.state_after > 0 && c.state_after != before;
}

int chosen_state(const Call& c) {
    if (c.final_state > 0) return c.final_state;
    if (c.resolved_state > 0) return c.resolved_state;
    if (!c.candidates.empty()) return c.state_after;
    return 0;
}

std::optional<double> best_snto(const Call& c) {
    if (c.best_snto && valid(*c.best_snto)) return c.best_snto;
    int s = chosen_state(c);
    for (const Snto& x : c.candidates)
        if (x.state == s && valid(x.value)) return x.value;
    return std::nullopt;
}

std::optional<Snto> runner_up(const Call& c) {
    const int s = chosen_state(c);
    if (s == 0) return std::nullopt;
    std::optional<Snto> runner;
    for (const Snto& x : c.candidates)
        if (x.state != s && valid(x.value) && (!runner || x.value > runner->value)) runner = x;
    return runner;
}

std::optional<double> runner_up_ratio(const Call& c) {
    auto best = best_snto(c);
    auto runner = runner_up(c);
    if (!best || *best <= 0.0 || !runner) return std::nullopt;
    return runner->value / *best;
}

std::optional<double> own_snto(const Call& c) {
    if (c.own_snto && valid(*c.own_snto)) return c.own_snto;
    return std::nullopt;
}

const Excitation* excitation(const Call& c, int root) {
    for (const Excitation& x : c.excitations)
        if (x.root == root) return &x;
    return nullptr;
}

int followed_after(const Call& c) { return c.failed() ? 0 : c.state_after; }

std::string near_degeneracy_text(const Call& c) {
    if (c.near.empty()) return "";
    // The first pass's best: the first of the largest values.
    int first = 0;
    double best = kNoSnto;
    for (const Snto& x : c.candidates)
        if (first == 0 || x.value > best) first = x.state, best = x.value;
    std::string s;
    for (const NearDegenerate& n : c.near)
        s += (s.empty() ? "" : ", ") + ("state " + num(n.state) + " (gap " + fmt("%.4g", n.delta) + ")");
    s += " within 5 % of " + (first > 0 ? "state " + num(first) : std::string("the best"));
    const std::string against = c.second_reference == "old.fch"
                                    ? " against the state followed at the step before (old.fch)"
                                    : " against the state followed two steps back (n-1)";
    if (c.second.empty()) return s + "; no comparison" + against + " read";
    const int chosen = c.resolved_state > 0 ? c.resolved_state : chosen_state(c);
    if (chosen == 0) return s + "; compared" + against + ", outcome not read";
    if (chosen == first || first == 0) return s + "; compared" + against + ": kept state " + num(chosen);
    return s + "; compared" + against + ": switched to state " + num(chosen);
}

std::string error_text(const Run& run, const Call& c) {
    std::string e = c.error.empty() ? std::string("quorin ended without its closing banner") : c.error;
    if (c.stop_status >= 0) e += " (STOP " + num(c.stop_status) + ")";
    if (c.error_line > 0)
        e += " [" + (run.logs.size() > 1 ? run.logs[c.log].source : std::string("log")) + " line " +
             std::to_string(c.error_line) + "]";
    return e;
}

const char* outcome(const Call& c) { return c.failed() ? "failed" : c.has_done ? "ok" : "unfinished"; }

std::string followed_runs(const Run& run) {
    std::string s;
    int state = 0, from = 0, to = 0;
    auto flush = [&] {
        if (state == 0) return;
        if (!s.empty()) s += " -> ";
        s += "state " + num(state) +
             (from == to ? " (step " + num(from) + ")" : " (steps " + num(from) + "-" + num(to) + ")");
    };
    for (const Call& c : run.calls) {
        if (followed_after(c) == 0) continue;
        if (c.state_after != state) {
            flush();
            state = c.state_after;
            from = c.step;
        }
        to = c.step;
    }
    flush();
    return s.empty() ? "no followed state read" : s;
}

}  // namespace quorin::report
