// quorin-report, the table: one row per call, the notes and the summary of
// how the run ended.
#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "report_text.hpp"
#include "text_fields.hpp"

namespace quorin::report {

// ------------------------------------------------------------------ table

namespace {

std::string roots_text(const Call& c) {
    std::string s;
    for (const Job& j : c.jobs) {
        if (!s.empty()) s += ",";
        s += j.root > 0 ? num(j.root) : std::string("?");
        if (j.kind == Job::Kind::SinglePoint) s += "sp";
    }
    return s.empty() ? "-" : s;
}

std::string conv_text(const Call& c) {
    if (c.failed()) return "-";
    if (c.mode == Mode::Hessian) return "n/a";
    if (c.inner_converged) return "met";
    if (c.inner_table_missing) return "no table";
    return c.has_done ? "no" : "?";
}

std::string events_text(const Run& run, std::size_t i) {
    const Call& c = run.calls[i];
    std::vector<std::string> ev;
    if (c.initial && c.state_after > 0) ev.push_back("starts following state " + num(c.state_after));
    if (root_changed(run, i))
        ev.push_back("ROOT CHANGED " + num(followed_before(run, i)) + " -> " + num(c.state_after));
    if (c.gradient == Call::Gradient::Recomputed) ev.push_back("gradient recomputed");
    if (!c.near.empty()) ev.push_back("near-degenerate: " + near_degeneracy_text(c));
    if (c.mode == Mode::Hessian && c.state_after > 0)
        ev.push_back("frequency job for root " + num(c.state_after) + (c.fallback_root ? " (configured root)" : ""));
    if (c.failed()) {
        int before = followed_before(run, i);
        if (c.state_after > 0 && before > 0 && c.state_after != before)
            ev.push_back("matching chose state " + num(c.state_after) + " (followed " + num(before) + ")");
        ev.push_back("FAILED: " + error_text(c));
    }
    std::string s;
    for (const auto& e : ev) s += (s.empty() ? "" : "; ") + e;
    return s;
}

// Followed states as runs: "state 1 (steps 1-3) -> state 2 (steps 4-7)".
std::string frequencies_text(const Run& run) {
    if (run.frequencies.empty()) return "";
    double lo = *std::min_element(run.frequencies.begin(), run.frequencies.end());
    long imaginary = std::count_if(run.frequencies.begin(), run.frequencies.end(), [](double f) { return f < 0; });
    return num(static_cast<int>(run.frequencies.size())) + " frequencies, lowest " + fmt("%.2f", lo) + " cm-1, " +
           (imaginary == 0 ? std::string("none imaginary") : num(static_cast<int>(imaginary)) + " imaginary");
}

std::string ending_text(const Run& run) {
    auto failed = std::find_if(run.calls.begin(), run.calls.end(), [](const Call& c) { return c.failed(); });
    if (failed != run.calls.end()) {
        std::string s = "the run STOPPED at step " + num(failed->step) + ": " + error_text(*failed);
        if (!run.error_termination.empty()) s += "; outer job: " + run.error_termination;
        long later = run.calls.end() - failed - 1;
        if (later > 0) s += "; the log goes on with " + num(static_cast<int>(later)) + " more call(s)";
        return s;
    }
    const Call& last = run.calls.back();
    std::string s;
    if (run.optimization_completed) {
        s = "optimization completed at step " + num(run.completed_after_step);
        for (const Call& c : run.calls)
            if (c.mode == Mode::Hessian)
                s += "; frequency call at step " + num(c.step) +
                     (c.state_after > 0 ? " (root " + num(c.state_after) + ")" : "");
        if (!run.frequencies.empty()) s += "; " + frequencies_text(run);
        if (run.normal_termination) s += "; normal termination";
    } else if (run.step_limit) {
        s = "optimization STOPPED without converging: step limit reached after step " + num(last.step);
    } else if (!run.error_termination.empty()) {
        s = "outer job ended after step " + num(last.step) + ": " + run.error_termination;
    } else if (run.normal_termination) {
        s = "normal termination after step " + num(last.step);
        if (!run.frequencies.empty()) s += "; " + frequencies_text(run);
    } else {
        s = "the log ends after step " + num(last.step) + " without an ending line (run still going, or log cut)";
    }
    return s;
}

}  // namespace

std::string format_report(const Run& run) {
    std::ostringstream out;
    out << "quorin-report: " << run.source << ": " << run.calls.size() << " quorin call(s) in " << run.lines
        << " lines\n\n";
    const std::vector<std::pair<std::string, std::size_t>> head = {
        {"step", 5},       {"mode", 10},      {"roots", 7},    {"from", 5},
        {"to", 4},         {"best SNTO", 10}, {"2nd/best", 9}, {"E handed back/Eh", 18},
        {"max force", 10}, {"inner conv", 11}};
    std::string h;
    for (std::size_t k = 0; k < head.size(); ++k)
        h += k < 2 || k == 2 ? pad_right(head[k].first, head[k].second) + " "
                             : pad_left(head[k].first, head[k].second) + " ";
    out << h << "events\n";
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        const Call& c = run.calls[i];
        int before = followed_before(run, i);
        auto best = best_snto(c);
        auto ratio = runner_up_ratio(c);
        auto e = handed_back_energy(c);
        std::string row;
        row += pad_right(num(c.step), 5) + " ";
        row += pad_right(mode_name(c.mode), 10) + " ";
        row += pad_right(roots_text(c), 7) + " ";
        row += pad_left(before > 0 ? num(before) : "-", 5) + " ";
        row += pad_left(c.failed() ? "-" : c.state_after > 0 ? num(c.state_after) : "?", 4) + " ";
        row += pad_left(best ? fmt("%.6f", *best) : "-", 10) + " ";
        row += pad_left(ratio ? fmt("%.3f", *ratio) : "-", 9) + " ";
        row += pad_left(e ? fmt("%.10f", *e) + (c.recovered_energy ? " " : "*") : "-", 18) + " ";
        row += pad_left(c.max_force ? fmt("%.6f", *c.max_force) : "-", 10) + " ";
        row += pad_left(conv_text(c), 11) + " ";
        row += events_text(run, i);
        while (!row.empty() && row.back() == ' ') row.pop_back();
        out << row << "\n";
    }
    if (run.energies_from_echo)
        out << "  * energy from the inner job's echoed total energy (no \"Recovered energy=\" line after the call)\n";
    if (std::any_of(run.calls.begin(), run.calls.end(), [](const Call& c) {
            return std::any_of(c.jobs.begin(), c.jobs.end(),
                               [](const Job& j) { return j.kind == Job::Kind::SinglePoint; });
        }))
        out << "  roots: \"sp\" marks the single point run before the state matching\n";

    out << "\nCould not read:\n";
    std::size_t problems = 0;
    for (const auto& p : run.problems) out << "  " << p << "\n", ++problems;
    for (const Call& c : run.calls)
        for (const auto& n : c.notes) out << "  " << step_label(c) << ": " << n << "\n", ++problems;
    if (problems == 0) out << "  nothing: every call had what a report needs\n";
    bool warned = false;
    for (const Call& c : run.calls)
        for (const auto& w : c.warnings) {
            if (!warned) out << "\nquorin warned:\n";
            warned = true;
            out << "  " << step_label(c) << ": " << w << "\n";
        }

    std::map<std::string, int> modes;
    for (const Call& c : run.calls) ++modes[mode_name(c.mode)];
    out << "\nSummary\n";
    out << "  steps:           " << run.calls.size() << " quorin call(s) (";
    bool first = true;
    for (const auto& [m, n] : modes) out << (first ? "" : ", ") << n << " " << m, first = false;
    out << ")\n";
    out << "  followed:        " << followed_runs(run) << "\n";
    std::string changes;
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        if (!root_changed(run, i)) continue;
        const Call& c = run.calls[i];
        std::string s = "step " + num(c.step) + ": " + num(followed_before(run, i)) + " -> " + num(c.state_after);
        if (auto b = best_snto(c)) {
            s += " (best SNTO " + fmt("%.4f", *b);
            if (auto r = runner_up_ratio(c)) s += ", runner-up at " + fmt("%.3f", *r) + " of it";
            s += ")";
        }
        changes += (changes.empty() ? "" : "; ") + s;
    }
    out << "  root changes:    " << (changes.empty() ? "none" : changes) << "\n";
    std::string near;
    for (const Call& c : run.calls)
        if (!c.near.empty()) near += (near.empty() ? "" : "; ") + step_label(c) + ": " + near_degeneracy_text(c);
    out << "  near-degenerate: " << (near.empty() ? "none" : near) << "\n";
    std::string conv;
    for (const Call& c : run.calls)
        if (c.inner_converged) conv += (conv.empty() ? "step " : ", ") + num(c.step);
    out << "  inner convergence met: " << (conv.empty() ? "never" : conv) << "\n";
    out << "  end:             " << (run.calls.empty() ? "no quorin call" : ending_text(run)) << "\n";
    return out.str();
}


}  // namespace quorin::report
