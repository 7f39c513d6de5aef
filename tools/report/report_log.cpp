// quorin-report, reading: the lines of a run's log turned into one record per
// quorin call, and the values derived from them that the table and the plot
// share.
#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "report_text.hpp"
#include "text_fields.hpp"

namespace quorin::report {

const char* mode_name(Mode m) {
    switch (m) {
        case Mode::Adiabatic:
            return "adiabatic";
        case Mode::Diabatic:
            return "diabatic";
        case Mode::Hessian:
            return "hessian";
        default:
            return "unknown";
    }
}

namespace {

// ------------------------------------------------------------------ parser

// Lines that only quorin prints; outside a call they reveal output whose
// start banner is missing.
bool quorin_signature(std::string_view t) {
    static const std::string_view marks[] = {"[Diabatic]",
                                             "[Adiabatic]",
                                             "[Debug]",
                                             "Staring adiabatic state",
                                             "Staring diabatic state",
                                             "Hessian-only mode (ider=2)",
                                             ">>>>> Entering Hessian-only workflow",
                                             "Hessian-only workflow completed",
                                             "Frequency calculation root =",
                                             "Final best matching state:",
                                             "Best SNTO value:",
                                             "WARNING: Near-degenerate candidate",
                                             "Matching NTO states",
                                             "TD-DFT External Interface Done",
                                             "Resolved best state after near-degenerate check:",
                                             "Convergence criteria met in cartesian coordinate."};
    for (auto m : marks)
        if (starts(t, m)) return true;
    return starts(t, "State ") && (has(t, ": SNTO =") || has(t, ": n-1.fch SNTO ="));
}

bool is_step_line(std::string_view t) {
    auto w = words(t);
    return w.size() == 2 && w[0] == "Step" && int_of(w[1]).has_value();
}

// Lines of the outer job that end whatever call is still open.
bool outer_marker(std::string_view t) {
    return is_step_line(t) || starts(t, "Recovered energy=") || starts(t, "Error termination") ||
           starts(t, "Normal termination") || starts(t, "Optimization completed.") ||
           starts(t, "Optimization stopped.");
}

// Lines without any of quorin's own lines after which a fragment is taken to have ended.
constexpr std::size_t kFragmentGap = 60;

class Parser {
public:
    explicit Parser(Run& run) : run_(run) {}

    void line(std::size_t no, const std::string& raw) {
        std::string_view t = trim(raw);
        if (starts(t, ">>>>> TD-DFT External Interface Starting")) {
            if (cur_ >= 0) close(no - 1);
            open(no, true);
            return;
        }
        if (cur_ >= 0) {
            if (starts(t, "TD-DFT External Interface Done")) {
                call().has_done = true;
                seen_ = no;
                close(no);
                return;
            }
            if (outer_marker(t)) {
                close(no - 1);
                outer(no, t);
                return;
            }
            if (call().has_start) {
                if (in_call(raw, t, no)) seen_ = no;
                return;
            }
            // Without its start banner a fragment takes only quorin's own lines (the echoed
            // excited states look like any Gaussian job's), and ends when they stop coming.
            if (quorin_signature(t) || starts(t, "ERROR:") || starts(t, "STOP") || starts(t, "quorin: ")) {
                in_call(raw, t, no);
                seen_ = no;
                return;
            }
            if (no - seen_ <= kFragmentGap) return;
            close(seen_);
        }
        if (outer(no, t)) return;
        if (quorin_signature(t)) {
            open(no, false);
            if (starts(t, "TD-DFT External Interface Done")) {
                call().has_done = true;
                close(no);
            } else {
                in_call(raw, t, no);
            }
        }
    }

    void finish(std::size_t lines) {
        if (cur_ >= 0) {
            ended_by_eof_ = cur_;
            close(lines);
        }
        if (table_left_ > 0) end_table();
        run_.lines = lines;
    }

    int ended_by_eof() const { return ended_by_eof_; }

private:
    Call& call() { return run_.calls[static_cast<std::size_t>(cur_)]; }

    void open(std::size_t no, bool has_start) {
        if (table_left_ > 0) end_table();
        Call c;
        c.has_start = has_start;
        c.first_line = no;
        // The order of the call; a damaged log's last number stays the last (no overflow).
        const int before = run_.calls.empty() ? 0 : run_.calls.back().step;
        c.step = next_step_ > 0 ? next_step_ : before < std::numeric_limits<int>::max() ? before + 1 : before;
        next_step_ = 0;
        run_.calls.push_back(c);
        cur_ = static_cast<int>(run_.calls.size()) - 1;
        last_ = -1;
        last_excited_ = 0;
        in_error_ = false;
        seen_ = no;
    }

    void close(std::size_t last_line) {
        Call& c = call();
        // A fragment ends at its last line that told something: what follows may be anyone's.
        c.last_line = std::max(c.has_start ? last_line : std::min(last_line, seen_), c.first_line);
        last_ = cur_;
        cur_ = -1;
        if (!c.has_start) {
            run_.problems.push_back("lines " + std::to_string(c.first_line) + "-" + std::to_string(c.last_line) +
                                    ": quorin output without a start banner");
            bool any = c.mode != Mode::Unknown || !c.jobs.empty() || !c.candidates.empty() || c.state_after > 0 ||
                       c.state_before > 0 || !c.error.empty();
            if (!any) {  // nothing of a step in it: only the note stays
                run_.calls.pop_back();
                last_ = -1;
            } else {
                c.notes.push_back("read from lines " + std::to_string(c.first_line) + "-" +
                                  std::to_string(c.last_line) + " without a start banner; the call may be incomplete");
            }
        }
    }

    Call* last_call() { return last_ >= 0 ? &run_.calls[static_cast<std::size_t>(last_)] : nullptr; }

    void end_table() {
        table_left_ = 0;
        table_target_ = -1;
    }

    // A line outside every call; returns true when it was the outer job's.
    bool outer(std::size_t, std::string_view t) {
        if (table_left_ > 0) {
            auto w = words(t);
            if (w.size() >= 5 && real_of(w[w.size() - 3]) && real_of(w[w.size() - 2])) {
                if (starts(t, "Maximum Force") && table_target_ >= 0)
                    run_.calls[static_cast<std::size_t>(table_target_)].max_force = real_of(w[2]);
                if (--table_left_ == 0) end_table();
                return true;
            }
            end_table();
        }
        if (is_step_line(t)) {
            next_step_ = *int_of(words(t)[1]);
            last_ = -1;
            return true;
        }
        if (starts(t, "Recovered energy=")) {
            if (Call* c = last_call(); c && !c->recovered_energy) c->recovered_energy = real_after(t, 17);
            return true;
        }
        if (has(t, "Item") && has(t, "Value") && has(t, "Threshold") && has(t, "Converged?")) {
            table_left_ = 4;
            table_target_ = last_;
            return true;
        }
        if (starts(t, "Optimization completed.")) {
            run_.optimization_completed = true;
            if (!run_.calls.empty()) run_.completed_after_step = run_.calls.back().step;
            return true;
        }
        if (starts(t, "Optimization stopped.")) {
            run_.step_limit = true;
            return true;
        }
        if (starts(t, "Error termination")) {
            if (run_.error_termination.empty()) run_.error_termination = std::string(t);
            if (!run_.calls.empty()) run_.calls.back().outer_error_termination = true;
            return true;
        }
        if (starts(t, "Normal termination")) {
            run_.normal_termination = true;
            return true;
        }
        if (starts(t, "Frequencies --")) {
            for (auto w : words(t.substr(14)))
                if (auto v = real_of(w)) run_.frequencies.push_back(*v);
            return true;
        }
        return false;
    }

    // One line of a call; returns false when it told nothing.
    bool in_call(const std::string& raw, std::string_view t, std::size_t no) {
        Call& c = call();
        if (in_error_) {
            std::size_t lead = raw.find_first_not_of(' ');
            if (!t.empty() && lead != std::string::npos && lead >= 6 && !starts(t, "ERROR") && !starts(t, "STOP")) {
                c.error += " ";
                c.error += t;
                return true;
            }
            in_error_ = false;
        }
        if (starts(t, "Staring adiabatic state")) {
            c.mode = Mode::Adiabatic;
        } else if (starts(t, "Staring diabatic state")) {
            c.mode = Mode::Diabatic;
        } else if (starts(t, "Hessian-only mode (ider=2)") || starts(t, ">>>>> Entering Hessian-only workflow")) {
            c.mode = Mode::Hessian;
        } else if (starts(t, "[Adiabatic]")) {
            if (c.mode == Mode::Unknown) c.mode = Mode::Adiabatic;
        } else if (starts(t, "Frequency calculation root =")) {
            c.mode = Mode::Hessian;
            if (auto r = int_after(t, "Frequency calculation root =")) {
                c.jobs.push_back({Job::Kind::Frequency, *r, std::nullopt});
                c.state_after = *r;
            }
        } else if (starts(t, "Warning: SDNTO flag is on but no valid meta found")) {
            c.fallback_root = true;
            c.warnings.push_back(std::string(t));
        } else if (starts(t, "Excited State")) {
            auto w = words(t);
            if (w.size() >= 3) {
                std::string_view n = w[2];
                if (!n.empty() && n.back() == ':') n.remove_suffix(1);
                last_excited_ = int_of(n).value_or(0);
            }
        } else if (starts(t, "This state for optimization and/or second-order correction")) {
            c.jobs.push_back({Job::Kind::Gradient, last_excited_, std::nullopt});
            if (c.mode == Mode::Unknown) c.mode = Mode::Adiabatic;  // corrected below when [Diabatic] lines come
            if (c.mode == Mode::Adiabatic && last_excited_ > 0) c.state_before = c.state_after = last_excited_;
        } else if (starts(t, "Total Energy") && has(t, "E(TD")) {
            if (auto e = real_after_last(t, '=')) {
                c.echoed_energy = e;
                if (!c.jobs.empty() && c.jobs.back().kind == Job::Kind::Gradient && !c.jobs.back().energy)
                    c.jobs.back().energy = e;
            }
        } else if (starts(t, "[Diabatic]")) {
            diabatic(c, t);
        } else if (starts(t, "State ")) {
            std::string_view rest = t.substr(6);
            std::size_t colon = rest.find(':');
            if (colon != std::string_view::npos) {
                auto s = int_of(trim(rest.substr(0, colon)));
                std::string_view after = trim(rest.substr(colon + 1));
                auto v = real_after_last(after, '=');
                if (s && v && starts(after, "n-1.fch SNTO"))
                    c.second.push_back({*s, *v});
                else if (s && v && starts(after, "SNTO"))
                    c.candidates.push_back({*s, *v});
            }
        } else if (starts(t, "WARNING: Near-degenerate candidate:")) {
            auto w = words(t);
            NearDegenerate n;
            for (std::size_t i = 0; i + 1 < w.size(); ++i) {
                if (w[i] == "state") n.state = int_of(w[i + 1]).value_or(0);
                if (w[i] == "=" && i > 0 && w[i - 1] == "delta") n.delta = real_of(w[i + 1]).value_or(0.0);
            }
            c.near.push_back(n);
        } else if (starts(t, "Resolved best state after near-degenerate check:")) {
            c.resolved_state = int_after(t, "Resolved best state after near-degenerate check:").value_or(0);
        } else if (starts(t, "Final best matching state:")) {
            c.final_state = int_after(t, "Final best matching state:").value_or(0);
        } else if (starts(t, "Best SNTO value:")) {
            c.best_snto = real_after(t, 16);
        } else if (starts(t, "Convergence criteria met in cartesian coordinate.")) {
            c.inner_converged = true;
        } else if (starts(t, "Warning: Convergence table not found") ||
                   starts(t, "WARNING: Cannot open log file for convergence check")) {
            c.inner_table_missing = true;
        } else if (starts(t, "WARNING: Energy not found in log file")) {
            c.energy_missing_warning = true;
        } else if (starts(t, "ERROR:")) {
            if (c.error.empty()) {
                c.error = std::string(t);
                c.error_line = no;
                in_error_ = true;
            }
        } else if (t == "STOP" || starts(t, "STOP ")) {
            c.stop_status = t.size() > 4 ? int_after(t, "STOP").value_or(1) : 0;
        } else if (starts(t, "quorin: ")) {  // an I/O failure, on standard error
            if (c.error.empty()) {
                c.error = std::string(t);
                c.error_line = no;
            }
        } else if ((starts(t, "WARNING:") || starts(t, "Warning:")) && !has(t, "gjf file")) {
            c.warnings.push_back(std::string(t));
        } else {
            return quorin_signature(t);
        }
        return true;
    }

    void diabatic(Call& c, std::string_view t) {
        c.mode = c.mode == Mode::Hessian ? Mode::Hessian : Mode::Diabatic;
        constexpr std::string_view initial = "[Diabatic] Initial following diabatic state";
        constexpr std::string_view previous = "[Diabatic] Previous diabatic state is";
        constexpr std::string_view updated = "[Diabatic] Updated diabatic state index =";
        constexpr std::string_view overlap = "[Diabatic] Best SNTO overlap =";
        if (starts(t, initial)) {
            c.initial = true;
            c.state_before = 0;
            if (auto s = int_after(t, initial)) c.state_after = *s;
        } else if (starts(t, previous)) {
            c.state_before = int_after(t, previous).value_or(0);
            c.state_after = 0;
        } else if (starts(t, updated)) {
            c.state_after = int_after(t, updated).value_or(0);
        } else if (starts(t, overlap)) {
            // Only the single-point-first variant prints it: its single point
            // for the previous state ran before the matching, unechoed.
            if (!c.best_snto) c.best_snto = real_after(t, overlap.size());
            bool gradient_before = std::any_of(c.jobs.begin(), c.jobs.end(),
                                               [](const Job& j) { return j.kind != Job::Kind::SinglePoint; });
            if (!gradient_before && c.state_before > 0)
                c.jobs.insert(c.jobs.begin(), Job{Job::Kind::SinglePoint, c.state_before, std::nullopt});
        } else if (starts(t, "[Diabatic] Diabatic state unchanged")) {
            c.gradient = Call::Gradient::Reused;
        } else if (starts(t, "[Diabatic] Diabatic state changed")) {
            c.gradient = Call::Gradient::Recomputed;
        }
    }

    Run& run_;
    int cur_ = -1;       // call being read
    int last_ = -1;      // call that the outer lines after it belong to
    int next_step_ = 0;  // outer " Step N" waiting for its call
    int last_excited_ = 0;
    std::size_t seen_ = 0;  // last line of the call that told something
    bool in_error_ = false;
    int table_left_ = 0, table_target_ = -1;  // rows left of the outer convergence table, and its call
    int ended_by_eof_ = -1;
};

void add_notes(Run& run, int ended_by_eof) {
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        Call& c = run.calls[i];
        if (!c.has_start) continue;  // a fragment: its note says so already
        const bool failed = c.failed();
        if (c.mode == Mode::Diabatic && !c.initial && c.state_before == 0 && !failed)
            c.notes.push_back("no \"Previous diabatic state\" line");
        if (!c.has_done && !failed) {
            if (static_cast<int>(i) == ended_by_eof)
                c.notes.push_back("log ends inside the call (no closing banner): run still going or log cut");
            else
                c.notes.push_back("no closing banner (lines " + std::to_string(c.first_line) + "-" +
                                  std::to_string(c.last_line) + ")");
        }
        if (c.mode == Mode::Unknown) c.notes.push_back("mode not found");
        if (!failed) {
            if (!handed_back_energy(c)) c.notes.push_back("no energy found");
            if (c.energy_missing_warning)
                c.notes.push_back("quorin found no energy in the inner log and handed back 0");
            if (c.mode != Mode::Hessian && c.mode != Mode::Unknown &&
                std::none_of(c.jobs.begin(), c.jobs.end(), [](const Job& j) { return j.kind == Job::Kind::Gradient; }))
                c.notes.push_back("no gradient job root found (no \"This state for optimization\" line)");
            if (c.state_after == 0) c.notes.push_back("followed state not found");
            if (c.mode == Mode::Diabatic && !c.initial && c.candidates.empty())
                c.notes.push_back("no SNTO values found");
            if (c.mode == Mode::Diabatic && !c.initial && !c.candidates.empty() && !c.best_snto)
                c.notes.push_back("no \"Best SNTO value\" line");
        }
        for (const Snto& s : c.candidates)
            if (!valid(s.value)) c.notes.push_back("state " + num(s.state) + " has no SNTO value");
        if (!c.near.empty() && c.second.empty() && !failed)
            c.notes.push_back("near-degenerate candidates but no comparison against n-1 read");
        if (c.echoed_energy && c.recovered_energy && std::fabs(*c.echoed_energy - *c.recovered_energy) > 1e-8)
            c.notes.push_back("echoed energy " + fmt("%.10f", *c.echoed_energy) + " differs from Gaussian's " +
                              fmt("%.10f", *c.recovered_energy));
        if (i > 0 && c.state_before > 0) {
            const Call& p = run.calls[i - 1];
            if (p.state_after > 0 && p.state_after != c.state_before && !p.failed())
                c.notes.push_back("followed state read back as " + num(c.state_before) + " but step " + num(p.step) +
                                  " handed back " + num(p.state_after));
        }
    }
    for (const Call& c : run.calls)
        if (handed_back_energy(c) && !c.recovered_energy) run.energies_from_echo = true;
}

}  // namespace

// --------------------------------------------------------------- parsing

Run parse_log(std::istream& in, const std::string& source) {
    Run run;
    run.source = source;
    Parser p(run);
    std::string line;
    std::size_t no = 0;
    while (read_line(in, line)) p.line(++no, line);
    p.finish(no);
    // A fragment at the head of a log numbered by " Step N" lines is the step before the first numbered one.
    if (run.calls.size() > 1 && !run.calls[0].has_start && run.calls[1].step > run.calls[0].step + 1)
        run.calls[0].step = run.calls[1].step - 1;
    add_notes(run, p.ended_by_eof());
    return run;
}

Run parse_log_text(const std::string& text, const std::string& source) {
    std::istringstream in(text);
    return parse_log(in, source);
}

// --------------------------------------------------------- derived values

std::optional<double> handed_back_energy(const Call& c) {
    if (c.failed()) return std::nullopt;
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
    if (c.best_snto) return c.best_snto;
    int s = chosen_state(c);
    for (const Snto& x : c.candidates)
        if (x.state == s && valid(x.value)) return x.value;
    return std::nullopt;
}

std::optional<double> runner_up_ratio(const Call& c) {
    auto best = best_snto(c);
    int s = chosen_state(c);
    if (!best || *best <= 0.0 || s == 0) return std::nullopt;
    std::optional<double> runner;
    for (const Snto& x : c.candidates)
        if (x.state != s && valid(x.value) && (!runner || x.value > *runner)) runner = x.value;
    if (!runner) return std::nullopt;
    return *runner / *best;
}

std::string near_degeneracy_text(const Call& c) {
    if (c.near.empty()) return "";
    std::string s;
    for (const NearDegenerate& n : c.near) {
        if (!s.empty()) s += ", ";
        s += "state " + num(n.state) + " (delta " + fmt("%.4g", n.delta) + ")";
    }
    // The first pass's best: the first of the largest values.
    int first = 0;
    double best = kNoSnto;
    for (const Snto& x : c.candidates)
        if (first == 0 || x.value > best) first = x.state, best = x.value;
    if (c.second.empty()) return s + ": no comparison against n-1 read";
    int chosen = c.resolved_state > 0 ? c.resolved_state : chosen_state(c);
    if (chosen == 0) return s + ": outcome not read";
    if (chosen == first || first == 0) return s + ": kept first choice " + num(chosen) + " against n-1";
    return s + ": switched from " + num(first) + " to state " + num(chosen) + " against n-1";
}


std::string error_text(const Call& c) {
    std::string e = c.error.empty() ? std::string("quorin ended without its closing banner") : c.error;
    if (c.stop_status >= 0) e += " (STOP " + num(c.stop_status) + ")";
    if (c.error_line > 0) e += " [log line " + std::to_string(c.error_line) + "]";
    return e;
}

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
        if (c.state_after == 0 || c.failed()) continue;
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
