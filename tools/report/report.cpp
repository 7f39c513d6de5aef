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

// ------------------------------------------------------------ small helpers

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool starts(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool has(std::string_view s, std::string_view p) { return s.find(p) != std::string_view::npos; }

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> w;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_space(s[i])) ++i;
        std::size_t j = i;
        while (j < s.size() && !is_space(s[j])) ++j;
        if (j > i) w.push_back(s.substr(i, j - i));
        i = j;
    }
    return w;
}

std::optional<double> real_of(std::string_view tok) {
    double v = 0.0;
    if (tok.empty() || !parse_real_token(tok, v) || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<int> int_of(std::string_view tok) {
    std::int32_t v = 0;
    if (tok.empty() || !parse_int_token(tok, v)) return std::nullopt;
    return static_cast<int>(v);
}

// The first word after a prefix of t, read as an integer or a real.
std::optional<int> int_after(std::string_view t, std::string_view prefix) {
    auto w = words(t.substr(std::min(prefix.size(), t.size())));
    return w.empty() ? std::nullopt : int_of(w[0]);
}
std::optional<double> real_after(std::string_view t, std::size_t pos) {
    auto w = words(t.substr(std::min(pos, t.size())));
    return w.empty() ? std::nullopt : real_of(w[0]);
}
std::optional<double> real_after_last(std::string_view t, char c) {
    std::size_t p = t.rfind(c);
    return p == std::string_view::npos ? std::nullopt : real_after(t, p + 1);
}

std::string fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string num(int v) { return std::to_string(v); }

std::string pad_right(const std::string& s, std::size_t w) {
    return s.size() >= w ? s : s + std::string(w - s.size(), ' ');
}
std::string pad_left(const std::string& s, std::size_t w) {
    return s.size() >= w ? s : std::string(w - s.size(), ' ') + s;
}

bool valid(double snto) { return snto > kNoSnto / 2; }

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

std::string step_label(const Call& c) { return "step " + num(c.step); }

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

std::string error_text(const Call& c) {
    std::string e = c.error.empty() ? std::string("quorin ended without its closing banner") : c.error;
    if (c.stop_status >= 0) e += " (STOP " + num(c.stop_status) + ")";
    if (c.error_line > 0) e += " [log line " + std::to_string(c.error_line) + "]";
    return e;
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

// -------------------------------------------------------------------- SVG

namespace {

const char* const kPalette[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7", "#E69F00", "#56B4E9", "#7F7F7F", "#8C564B"};
constexpr int kShapes = 4;

std::string colour(int state) { return kPalette[(state > 0 ? state - 1 : 0) % 8]; }

std::string xml(std::string_view s) {
    std::string r;
    for (char ch : s) {
        switch (ch) {
            case '&':
                r += "&amp;";
                break;
            case '<':
                r += "&lt;";
                break;
            case '>':
                r += "&gt;";
                break;
            case '"':
                r += "&quot;";
                break;
            default:
                if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\t') r += ch;
        }
    }
    return r;
}

std::string f1(double v) { return fmt("%.1f", v); }

// A marker of the state's shape (circle, square, triangle, diamond) at (x, y).
std::string marker(int state, double x, double y, double r, const std::string& fill, const std::string& stroke,
                   const std::string& attrs) {
    int shape = (state > 0 ? state - 1 : 0) % kShapes;
    std::string common = " fill=\"" + fill + "\" stroke=\"" + stroke + "\" stroke-width=\"1.5\" " + attrs;
    switch (shape) {
        case 1:
            return "<rect x=\"" + f1(x - r) + "\" y=\"" + f1(y - r) + "\" width=\"" + f1(2 * r) + "\" height=\"" +
                   f1(2 * r) + "\"" + common + "/>";
        case 2:
            return "<polygon points=\"" + f1(x) + "," + f1(y - 1.2 * r) + " " + f1(x - 1.1 * r) + "," +
                   f1(y + 0.9 * r) + " " + f1(x + 1.1 * r) + "," + f1(y + 0.9 * r) + "\"" + common + "/>";
        case 3:
            return "<polygon points=\"" + f1(x) + "," + f1(y - 1.3 * r) + " " + f1(x + 1.3 * r) + "," + f1(y) + " " +
                   f1(x) + "," + f1(y + 1.3 * r) + " " + f1(x - 1.3 * r) + "," + f1(y) + "\"" + common + "/>";
        default:
            return "<circle cx=\"" + f1(x) + "\" cy=\"" + f1(y) + "\" r=\"" + f1(r) + "\"" + common + "/>";
    }
}

struct Ticks {
    double lo, hi, step;
    int decimals;
};

Ticks nice_ticks(double lo, double hi, int target) {
    if (!(hi > lo)) {
        double d = std::max(1e-6, std::fabs(lo) * 1e-6);
        lo -= d, hi += d;
    }
    double raw = (hi - lo) / target;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double r = raw / mag;
    double step = (r < 1.5 ? 1 : r < 3 ? 2 : r < 7 ? 5 : 10) * mag;
    Ticks t{std::floor(lo / step) * step, std::ceil(hi / step) * step, step, 0};
    t.decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    return t;
}

}  // namespace

std::string render_svg(const Run& run) {
    const double W = 980, left = 100, right = 180, top = 64;
    const double panel_h = 230, gap = 56;
    const double plot_w = W - left - right;
    const double e_top = top, e_bot = top + panel_h;
    const double s_top = e_bot + gap, s_bot = s_top + panel_h;
    const double H = s_bot + 62;
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << W << "\" height=\"" << H << "\" viewBox=\"0 0 " << W
      << " " << H << "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\" font-size=\"12\">\n";
    o << "<rect x=\"0\" y=\"0\" width=\"" << W << "\" height=\"" << H << "\" fill=\"white\"/>\n";
    o << "<text x=\"" << left << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">quorin run: " << xml(run.source)
      << "</text>\n";
    if (run.calls.empty()) {
        o << "<text x=\"" << left << "\" y=\"48\">no quorin call in the log</text>\n</svg>\n";
        return o.str();
    }
    std::string sub = std::to_string(run.calls.size()) + (run.calls.size() == 1 ? " step" : " steps") +
                      "; followed: " + followed_runs(run);
    o << "<text x=\"" << left << "\" y=\"44\" fill=\"#444\">" << xml(sub) << "</text>\n";

    // Step axis: every step owns a slot of equal width.
    long long smin = run.calls.front().step, smax = smin;
    for (const Call& c : run.calls) smin = std::min<long long>(smin, c.step), smax = std::max<long long>(smax, c.step);
    const double slot = plot_w / static_cast<double>(smax - smin + 1);
    auto X = [&](long long step) { return left + (static_cast<double>(step - smin) + 0.5) * slot; };
    const double rm = std::clamp(slot * 0.3, 2.5, 4.5);  // marker size: smaller when the steps crowd

    // Energy range.
    std::vector<double> es;
    for (const Call& c : run.calls)
        if (auto e = handed_back_energy(c)) es.push_back(*e);
    Ticks et{0, 1, 0.2, 1};
    if (!es.empty()) {
        double lo = *std::min_element(es.begin(), es.end()), hi = *std::max_element(es.begin(), es.end());
        double padv = (hi - lo) * 0.08;
        et = nice_ticks(lo - padv, hi + padv, 5);
    }
    auto YE = [&](double e) { return e_bot - (e - et.lo) / (et.hi - et.lo) * panel_h; };

    // SNTO range: 0 to 1, or above when a value exceeds 1.
    double shi = 1.0;
    for (const Call& c : run.calls) {
        for (const Snto& x : c.candidates)
            if (valid(x.value)) shi = std::max(shi, x.value);
        for (const Snto& x : c.second)
            if (valid(x.value)) shi = std::max(shi, x.value);
    }
    Ticks st = nice_ticks(0.0, shi, 5);
    st.lo = 0.0;
    auto YS = [&](double v) { return s_bot - (std::max(v, 0.0) - st.lo) / (st.hi - st.lo) * panel_h; };

    // Marks behind the data: root changes and failed steps span both panels.
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        const Call& c = run.calls[i];
        double x0 = X(c.step) - slot * 0.45, w = slot * 0.9;
        if (root_changed(run, i)) {
            std::string label = "state " + num(followed_before(run, i)) + "\xe2\x86\x92" + num(c.state_after);
            o << "<g class=\"root-change\" data-step=\"" << c.step << "\">"
              << "<rect x=\"" << f1(x0) << "\" y=\"" << e_top << "\" width=\"" << f1(w) << "\" height=\""
              << f1(s_bot - e_top) << "\" fill=\"#FFC107\" fill-opacity=\"0.22\"/>"
              << "<line x1=\"" << f1(X(c.step)) << "\" y1=\"" << e_top << "\" x2=\"" << f1(X(c.step)) << "\" y2=\""
              << s_bot << "\" stroke=\"#B8860B\" stroke-width=\"1.5\" stroke-dasharray=\"5,3\"/>"
              << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << (e_top - 6)
              << "\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"#8B6508\">" << label << "</text></g>\n";
        }
        if (c.failed()) {
            o << "<g class=\"error-step\" data-step=\"" << c.step << "\">"
              << "<rect x=\"" << f1(x0) << "\" y=\"" << e_top << "\" width=\"" << f1(w) << "\" height=\""
              << f1(s_bot - e_top) << "\" fill=\"#D62728\" fill-opacity=\"0.15\"/>"
              << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << (e_top + 16)
              << "\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"#B22222\">ERROR</text>";
            // As much of the message as the slot holds, a line at a time.
            std::size_t per_line = static_cast<std::size_t>(std::max(4.0, slot * 0.9 / 6.2));
            std::string msg = c.error.empty() ? error_text(c) : c.error;
            double y = e_top + 32;
            for (std::size_t p = 0; p < msg.size() && y < e_bot - 4; p += per_line, y += 13)
                o << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << f1(y)
                  << "\" text-anchor=\"middle\" font-size=\"10\" fill=\"#B22222\">" << xml(msg.substr(p, per_line))
                  << "</text>";
            o << "<title>" << xml(error_text(c)) << "</title></g>\n";
        }
    }

    // Panel frames, grids and axes.
    auto frame = [&](double y0, double y1, const Ticks& t, const std::string& title, auto Y) {
        o << "<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << plot_w << "\" height=\"" << (y1 - y0)
          << "\" fill=\"none\" stroke=\"#333\"/>\n";
        // Counted, not accumulated: with values far from zero a step below
        // their resolution would never advance.
        const double n_ticks = t.step > 0 ? std::floor((t.hi - t.lo) / t.step + 1e-6) : -1.0;
        for (int k = 0; std::isfinite(n_ticks) && k <= n_ticks && k <= 50; ++k) {
            const double v = t.lo + k * t.step;
            double y = Y(v);
            o << "<line x1=\"" << left << "\" y1=\"" << f1(y) << "\" x2=\"" << (left + plot_w) << "\" y2=\"" << f1(y)
              << "\" stroke=\"#ddd\"/>";
            std::string label =
                fmt(("%." + std::to_string(t.decimals) + "f").c_str(), std::fabs(v) < t.step * 1e-9 ? 0.0 : v);
            o << "<text x=\"" << (left - 6) << "\" y=\"" << f1(y + 4) << "\" text-anchor=\"end\">" << label
              << "</text>\n";
        }
        o << "<text transform=\"translate(" << (left - 72) << "," << f1((y0 + y1) / 2)
          << ") rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">" << xml(title) << "</text>\n";
    };
    if (es.empty()) {
        et.step = 0;  // no ticks for an empty axis
        o << "<text x=\"" << f1(left + plot_w / 2) << "\" y=\"" << f1((e_top + e_bot) / 2)
          << "\" text-anchor=\"middle\" font-size=\"14\" fill=\"#777\">no energy handed back</text>\n";
    }
    frame(e_top, e_bot, et, "followed state energy / hartree", YE);
    frame(s_top, s_bot, st, "SNTO with previous step", YS);
    const long long every = std::max(1LL, static_cast<long long>(std::ceil(static_cast<double>(smax - smin + 1) / 25.0)));
    for (long long s = smin; s <= smax; s += every) {
        for (double yb : {e_bot, s_bot})
            o << "<line x1=\"" << f1(X(s)) << "\" y1=\"" << yb << "\" x2=\"" << f1(X(s)) << "\" y2=\"" << (yb + 4)
              << "\" stroke=\"#333\"/>";
        o << "<text x=\"" << f1(X(s)) << "\" y=\"" << (s_bot + 17) << "\" text-anchor=\"middle\">" << s << "</text>\n";
    }
    o << "<text x=\"" << f1(left + plot_w / 2) << "\" y=\"" << (s_bot + 38)
      << "\" text-anchor=\"middle\" font-size=\"13\">step</text>\n";

    // Energy panel: the followed state's energy per step, coloured by state.
    std::string path;
    bool pen = false;
    for (const Call& c : run.calls) {
        auto e = handed_back_energy(c);
        if (!e) {
            pen = false;
            continue;
        }
        path += (pen ? " L " : " M ") + f1(X(c.step)) + " " + f1(YE(*e));
        pen = true;
    }
    if (!path.empty()) o << "<path d=\"" << path << "\" fill=\"none\" stroke=\"#555\" stroke-width=\"1.5\"/>\n";
    for (const Call& c : run.calls) {
        auto e = handed_back_energy(c);
        if (!e) continue;
        std::string attrs =
            "class=\"energy-point\" data-step=\"" + num(c.step) + "\" data-state=\"" + num(c.state_after) + "\"";
        o << marker(c.state_after, X(c.step), YE(*e), rm + 0.5, colour(c.state_after), "#222", attrs) << "<title>step "
          << c.step << ", state " << c.state_after << ", E = " << fmt("%.10f", *e) << "</title>\n";
    }

    // SNTO panel: one series per candidate state; the chosen one ringed,
    // values against n-1 hollow.
    std::set<int> states;
    for (const Call& c : run.calls) {
        for (const Snto& x : c.candidates) states.insert(x.state);
        if (c.state_after > 0) states.insert(c.state_after);
    }
    for (int s : states) {
        std::string d;
        int prev = -1000000;
        for (const Call& c : run.calls)
            for (const Snto& x : c.candidates)
                if (x.state == s && valid(x.value)) {
                    d += (c.step == prev + 1 ? " L " : " M ") + f1(X(c.step)) + " " + f1(YS(x.value));
                    prev = c.step;
                }
        if (!d.empty())
            o << "<path d=\"" << d << "\" fill=\"none\" stroke=\"" << colour(s)
              << "\" stroke-width=\"1.2\" stroke-opacity=\"0.7\"/>\n";
    }
    for (const Call& c : run.calls) {
        int chosen = chosen_state(c);
        double dx = std::min(10.0, slot * 0.2);
        for (const Snto& x : c.second)
            if (valid(x.value))
                o << marker(x.state, X(c.step) + (dx += std::min(10.0, slot * 0.2)), YS(x.value), rm * 0.8, "white",
                            colour(x.state), "class=\"snto-nminus\" data-step=\"" + num(c.step) + "\"")
                  << "<title>step " << c.step << ", state " << x.state
                  << ", SNTO against n-1 = " << fmt("%.6f", x.value) << "</title>\n";
        for (const Snto& x : c.candidates) {
            if (!valid(x.value)) continue;
            if (x.state == chosen)
                o << "<circle cx=\"" << f1(X(c.step)) << "\" cy=\"" << f1(YS(x.value)) << "\" r=\"" << f1(rm + 4)
                  << "\" fill=\"none\" stroke=\"#111\" stroke-width=\"1.5\"/>";
            o << marker(x.state, X(c.step), YS(x.value), rm, colour(x.state), "#222",
                        "class=\"snto-point\" data-step=\"" + num(c.step) + "\" data-state=\"" + num(x.state) + "\"")
              << "<title>step " << c.step << ", state " << x.state << ", SNTO = " << fmt("%.6f", x.value)
              << "</title>\n";
        }
        const char* what = c.mode == Mode::Hessian ? "freq." : c.initial ? "start" : nullptr;
        if (what && c.candidates.empty() && slot >= 34)
            o << "<text x=\"" << f1(X(c.step)) << "\" y=\"" << (s_bot - 8)
              << "\" text-anchor=\"middle\" font-size=\"11\" fill=\"#777\">" << what << "</text>\n";
        if (!c.near.empty())
            o << "<text class=\"near-degenerate\" data-step=\"" << c.step << "\" x=\"" << f1(X(c.step)) << "\" y=\""
              << (s_top + 16) << "\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\" fill=\"#B22222\">"
              << "\xe2\x89\x88</text>\n";
    }

    if (std::all_of(run.calls.begin(), run.calls.end(), [](const Call& c) { return c.candidates.empty(); })) {
        bool adiabatic =
            std::any_of(run.calls.begin(), run.calls.end(), [](const Call& c) { return c.mode == Mode::Adiabatic; });
        o << "<text x=\"" << f1(left + plot_w / 2) << "\" y=\"" << f1((s_top + s_bot) / 2)
          << "\" text-anchor=\"middle\" font-size=\"14\" fill=\"#777\">"
          << (adiabatic ? "no state matching: adiabatic mode follows a fixed root number" : "no SNTO values in the log")
          << "</text>\n";
    }

    // Legend.
    double lx = left + plot_w + 18, ly = e_top + 8;
    o << "<text x=\"" << lx << "\" y=\"" << ly << "\" font-weight=\"bold\">states</text>\n";
    ly += 20;
    for (int s : states) {
        o << marker(s, lx + 6, ly - 4, 5, colour(s), "#222", "class=\"legend\"") << "<text x=\"" << (lx + 18)
          << "\" y=\"" << ly << "\">state " << s << "</text>\n";
        ly += 20;
    }
    ly += 8;
    o << "<circle cx=\"" << (lx + 6) << "\" cy=\"" << (ly - 4)
      << "\" r=\"8\" fill=\"none\" stroke=\"#111\" stroke-width=\"1.5\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">chosen state</text>\n";
    ly += 22;
    o << "<circle cx=\"" << (lx + 6) << "\" cy=\"" << (ly - 4)
      << "\" r=\"4\" fill=\"white\" stroke=\"#555\" stroke-width=\"1.5\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">SNTO vs n-1</text>\n";
    ly += 22;
    o << "<rect x=\"" << lx << "\" y=\"" << (ly - 11)
      << "\" width=\"12\" height=\"14\" fill=\"#FFC107\" fill-opacity=\"0.4\" stroke=\"#B8860B\" "
         "stroke-dasharray=\"3,2\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">root changed</text>\n";
    ly += 22;
    o << "<text x=\"" << (lx + 6) << "\" y=\"" << (ly + 1)
      << "\" text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\" fill=\"#B22222\">\xe2\x89\x88</text>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">near-degenerate</text>\n";
    ly += 22;
    o << "<rect x=\"" << lx << "\" y=\"" << (ly - 11)
      << "\" width=\"12\" height=\"14\" fill=\"#D62728\" fill-opacity=\"0.3\"/>"
      << "<text x=\"" << (lx + 18) << "\" y=\"" << ly << "\">failed step</text>\n";
    o << "</svg>\n";
    return o.str();
}

}  // namespace quorin::report
