// quorin-report, the table: one row per call, what the columns mean, the
// notes, and the summary of how the run went and ended.
#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

#include "report.hpp"
#include "report_text.hpp"

namespace quorin::report {

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
    if (c.warned(Warning::Kind::Convergence)) return "no table";
    return c.has_done ? "no" : "?";
}

std::string excitation_text(const Call& c) {
    const int root = followed_after(c);
    const Excitation* x = root > 0 ? excitation(c, root) : nullptr;
    if (!x) return "-";
    return fmt("%.4f", x->ev) + (x->f ? " (" + fmt("%.3f", *x->f) + ")" : std::string());
}

std::string share_text(std::optional<double> part, std::optional<double> whole) {
    return part && whole && *whole > 0 ? fmt("%.3f", *part / *whole) : "-";
}

std::string events_text(const Run& run, std::size_t i) {
    const Call& c = run.calls[i];
    std::vector<std::string> ev;
    if (c.initial && c.state_after > 0) ev.push_back("starts following state " + num(c.state_after));
    if (root_changed(run, i))
        ev.push_back("ROOT CHANGED " + num(followed_before(run, i)) + " -> " + num(c.state_after));
    if (c.gradient == Call::Gradient::Recomputed) ev.push_back("gradient recomputed");
    for (const Warning& w : c.warnings)
        if (w.kind == Warning::Kind::LowSnto || w.kind == Warning::Kind::Ambiguous)
            ev.push_back(w.kind == Warning::Kind::LowSnto ? "DOUBT: low SNTO" : "DOUBT: ambiguous SNTO");
    if (!c.near.empty()) ev.push_back("near-degenerate: " + near_degeneracy_text(c));
    if (c.mode == Mode::Hessian && c.state_after > 0)
        ev.push_back("frequency job for root " + num(c.state_after) + (c.fallback_root ? " (configured root)" : ""));
    if (c.failed()) {
        int before = followed_before(run, i);
        if (c.state_after > 0 && before > 0 && c.state_after != before)
            ev.push_back("matching chose state " + num(c.state_after) + " (followed " + num(before) + ")");
        ev.push_back("FAILED: " + error_text(run, c));
    }
    std::string s;
    for (const auto& e : ev) s += (s.empty() ? "" : "; ") + e;
    return s;
}

struct Column {
    const char* name;
    std::size_t width;
    bool left;
    std::function<std::string(const Run&, std::size_t)> cell;
};

const std::vector<Column>& columns() {
    using R = const Run&;
    static const std::vector<Column> cols = {
        {"step", 5, true, [](R r, std::size_t i) { return num(r.calls[i].step); }},
        {"mode", 10, true, [](R r, std::size_t i) { return std::string(mode_name(r.calls[i].mode)); }},
        {"roots", 7, true, [](R r, std::size_t i) { return roots_text(r.calls[i]); }},
        {"from", 5, false, [](R r, std::size_t i) { int b = followed_before(r, i); return b > 0 ? num(b) : "-"; }},
        {"to", 4, false, [](R r, std::size_t i) {
             const Call& c = r.calls[i];
             return c.failed() ? std::string("-") : c.state_after > 0 ? num(c.state_after) : "?";
         }},
        {"best SNTO", 10, false, [](R r, std::size_t i) {
             auto b = best_snto(r.calls[i]);
             return b ? fmt("%.6f", *b) : "-";
         }},
        {"best/own", 8, false, [](R r, std::size_t i) { return share_text(best_snto(r.calls[i]), own_snto(r.calls[i])); }},
        {"2nd/best", 9, false, [](R r, std::size_t i) {
             auto q = runner_up_ratio(r.calls[i]);
             return q ? fmt("%.3f", *q) : "-";
         }},
        {"exc/eV (f)", 15, false, [](R r, std::size_t i) { return excitation_text(r.calls[i]); }},
        {"E handed back/Eh", 18, false, [](R r, std::size_t i) {
             const Call& c = r.calls[i];
             auto e = handed_back_energy(c);
             return e ? fmt("%.10f", *e) + (c.recovered_energy ? " " : "*") : "-";
         }},
        {"max force", 10, false, [](R r, std::size_t i) {
             auto f = r.calls[i].max_force;
             return f ? fmt("%.6f", *f) : "-";
         }},
        {"inner conv", 11, false, [](R r, std::size_t i) { return conv_text(r.calls[i]); }},
    };
    return cols;
}

std::string padded(const Column& col, const std::string& s) {
    return (col.left ? pad_right(s, col.width) : pad_left(s, col.width)) + " ";
}

void write_table(std::ostream& out, const Run& run) {
    std::string h;
    for (const Column& col : columns()) h += padded(col, col.name);
    out << h << "events\n";
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        std::string row;
        for (const Column& col : columns()) row += padded(col, col.cell(run, i));
        row += events_text(run, i);
        while (!row.empty() && row.back() == ' ') row.pop_back();
        out << row << "\n";
    }
}

void write_legend(std::ostream& out, const Run& run) {
    out << "\n  from, to: the followed root before and after the step\n"
           "  best SNTO: overlap of the chosen state's NTOs with those of the state followed before;\n"
           "    best/own: that value as a share of the reference's own value (what a perfect match scores);\n"
           "    2nd/best: the runner-up's value as a share of the best\n"
           "  exc/eV (f): excitation energy and oscillator strength of the followed root\n"
           "  inner conv: quorin's convergence check of the inner job's log: met (all four criteria; the\n"
           "    checkpoint was copied next to the input), no, no table (none found), n/a (frequency step)\n";
    if (run.energies_from_echo)
        out << "  * energy from the inner job's echoed total energy (no \"Recovered energy=\" line after the call)\n";
    if (std::any_of(run.calls.begin(), run.calls.end(), [](const Call& c) {
            return std::any_of(c.jobs.begin(), c.jobs.end(),
                               [](const Job& j) { return j.kind == Job::Kind::SinglePoint; });
        }))
        out << "  roots: \"sp\" marks the single point run before the state matching\n";
}

void write_notes(std::ostream& out, const Run& run) {
    out << "\nCould not read:\n";
    std::size_t problems = 0;
    for (const Log& l : run.logs)
        for (const auto& p : l.problems) out << "  " << (run.logs.size() > 1 ? l.source + ": " : "") << p << "\n", ++problems;
    for (const Call& c : run.calls)
        for (const auto& n : c.notes) out << "  " << step_label(c) << ": " << n << "\n", ++problems;
    if (problems == 0) out << "  nothing: every call had what a report needs\n";
    bool warned = false;
    for (const Call& c : run.calls)
        for (const Warning& w : c.warnings) {
            if (w.kind != Warning::Kind::Other) continue;  // shown in the table and the summary
            if (!warned) out << "\nquorin warned:\n";
            warned = true;
            out << "  " << step_label(c) << ": " << w.text << "\n";
        }
}

std::string frequencies_text(const Log& log) {
    const auto& f = log.frequencies;
    if (f.empty()) return "";
    double lo = *std::min_element(f.begin(), f.end());
    long imaginary = std::count_if(f.begin(), f.end(), [](double v) { return v < 0; });
    return num(static_cast<int>(f.size())) + " frequencies, lowest " + fmt("%.2f", lo) + " cm-1, " +
           (imaginary == 0 ? std::string("none imaginary") : num(static_cast<int>(imaginary)) + " imaginary");
}

std::string completed_text(const Run& run, const Log& log) {
    std::string s = "optimization completed at step " + num(log.completed_after_step);
    for (std::size_t i = log.first_call; i < log.end_call; ++i) {
        const Call& c = run.calls[i];
        if (c.mode == Mode::Hessian)
            s += "; frequency call at step " + num(c.step) + (c.state_after > 0 ? " (root " + num(c.state_after) + ")" : "");
    }
    if (!log.frequencies.empty()) s += "; " + frequencies_text(log);
    if (log.normal_termination) s += "; normal termination";
    return s;
}

// How one log ended.
std::string ending_text(const Run& run, const Log& log) {
    if (log.end_call == log.first_call) return "no quorin call";
    const auto begin = run.calls.begin() + static_cast<long>(log.first_call);
    const auto end = run.calls.begin() + static_cast<long>(log.end_call);
    const auto failed = std::find_if(begin, end, [](const Call& c) { return c.failed(); });
    if (failed != end) {
        std::string s = "the run STOPPED at step " + num(failed->step) + ": " + error_text(run, *failed);
        if (!log.error_termination.empty()) s += "; outer job: " + log.error_termination;
        const long later = end - failed - 1;
        if (later > 0) s += "; the log goes on with " + num(static_cast<int>(later)) + " more call(s)";
        return s;
    }
    const std::string last = num((end - 1)->step);
    if (log.optimization_completed) return completed_text(run, log);
    if (log.step_limit) return "optimization STOPPED without converging: step limit reached after step " + last;
    if (!log.error_termination.empty()) return "outer job ended after step " + last + ": " + log.error_termination;
    if (log.normal_termination)
        return "normal termination after step " + last +
               (log.frequencies.empty() ? std::string() : "; " + frequencies_text(log));
    return "the log ends after step " + last + " without an ending line (run still going, or log cut)";
}

std::string root_changes_text(const Run& run) {
    std::string changes;
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        if (!root_changed(run, i)) continue;
        const Call& c = run.calls[i];
        const int from = followed_before(run, i);
        std::string s = "step " + num(c.step) + ": " + num(from) + " -> " + num(c.state_after);
        if (auto b = best_snto(c)) {
            s += " (best SNTO " + fmt("%.4f", *b);
            if (auto own = own_snto(c); own && *own > 0) s += ", " + fmt("%.3f", *b / *own) + " of its own value";
            if (auto r = runner_up_ratio(c)) s += ", runner-up at " + fmt("%.3f", *r) + " of it";
            s += ")";
        }
        const Excitation *x = excitation(c, c.state_after), *y = excitation(c, from);
        if (x && y) s += ", E(" + num(c.state_after) + ") - E(" + num(from) + ") = " + fmt("%+.4f", x->ev - y->ev) + " eV";
        changes += (changes.empty() ? "" : "; ") + s;
    }
    return changes.empty() ? "none" : changes;
}

void write_doubts(std::ostream& out, const Run& run) {
    std::vector<std::string> lines;
    for (const Call& c : run.calls)
        for (const Warning& w : c.warnings)
            if (is_doubt(w.kind)) lines.push_back(step_label(c) + ": " + w.text);
    out << "  doubts:          "
        << (lines.empty() ? "none" : num(static_cast<int>(lines.size())) + " warning(s) about the followed state")
        << "\n";
    for (const auto& l : lines) out << "    " << l << "\n";
}

void write_summary(std::ostream& out, const Run& run) {
    std::map<std::string, int> modes;
    for (const Call& c : run.calls) ++modes[mode_name(c.mode)];
    out << "\nSummary\n";
    out << "  steps:           " << run.calls.size() << " quorin call(s) (";
    bool first = true;
    for (const auto& [m, n] : modes) out << (first ? "" : ", ") << n << " " << m, first = false;
    out << ")\n";
    out << "  followed:        " << followed_runs(run) << "\n";
    out << "  root changes:    " << root_changes_text(run) << "\n";
    std::string near;
    for (const Call& c : run.calls)
        if (!c.near.empty()) near += (near.empty() ? "" : "; ") + step_label(c) + ": " + near_degeneracy_text(c);
    out << "  near-degenerate: " << (near.empty() ? "none" : near) << "\n";
    write_doubts(out, run);
    std::string conv;
    for (const Call& c : run.calls)
        if (c.inner_converged) conv += (conv.empty() ? "step " : ", ") + num(c.step);
    out << "  inner convergence met: " << (conv.empty() ? "never" : conv) << "\n";
    for (const Log& l : run.logs)
        out << (run.logs.size() > 1 ? "  end of " + l.source + ": " : std::string("  end:             "))
            << ending_text(run, l) << "\n";
}

}  // namespace

std::string format_report(const Run& run) {
    std::ostringstream out;
    std::string lines;
    for (const Log& l : run.logs) lines += (lines.empty() ? "" : " + ") + std::to_string(l.lines);
    out << "quorin-report: " << run.source() << ": " << run.calls.size() << " quorin call(s) in " << lines
        << " lines\n\n";
    write_table(out, run);
    write_legend(out, run);
    write_notes(out, run);
    write_summary(out, run);
    return out.str();
}

}  // namespace quorin::report
