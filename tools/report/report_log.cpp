// quorin-report, reading: the lines of a run's logs turned into one record per
// quorin call.
#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string_view>

#include "messages.hpp"
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

bool is_doubt(Warning::Kind k) {
    return k == Warning::Kind::LowSnto || k == Warning::Kind::Ambiguous || k == Warning::Kind::RootChange;
}

bool Call::warned(Warning::Kind k) const {
    return std::any_of(warnings.begin(), warnings.end(), [k](const Warning& w) { return w.kind == k; });
}

std::string Run::source() const {
    std::string s;
    for (const Log& l : logs) s += (s.empty() ? "" : " + ") + l.source;
    return s;
}

namespace {

// ------------------------------------------------------------------ lines

// The line (trimmed) is one of quorin's messages: it begins with the message's text.
bool says(std::string_view t, std::string_view message) { return starts(t, trim(message)); }

// Lines that only quorin prints; outside a call they reveal output whose
// start banner is missing.
bool quorin_signature(std::string_view t) {
    static const std::string_view marks[] = {
        msg::kDiabaticTag, msg::kAdiabaticTag, msg::kDebugTag, msg::kAdiabaticStart, msg::kDiabaticStart,
        msg::kHessianDetected, msg::kHessianStart, msg::kHessianDone, msg::kFrequencyRoot, msg::kFinalState,
        msg::kBestSnto, msg::kOwnSnto, msg::kNearDegenerate, msg::kLowSnto, msg::kAmbiguousSnto, msg::kRootChange,
        msg::kMatchingStates, msg::kCallDone, msg::kResolvedState, msg::kInnerConverged};
    for (auto m : marks)
        if (says(t, m)) return true;
    return starts(t, "State ") && (has(t, trim(msg::kStateSnto)) || has(t, ".fch SNTO ="));
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

Warning::Kind warning_kind(std::string_view t) {
    using K = Warning::Kind;
    static const std::pair<std::string_view, K> kinds[] = {
        {msg::kLowSnto, K::LowSnto},
        {msg::kAmbiguousSnto, K::Ambiguous},
        {msg::kRootChange, K::RootChange},
        {msg::kNearDegenerate, K::NearDegenerate},
        {msg::kNoConvergenceTable, K::Convergence},
        {msg::kNoConvergenceLog, K::Convergence},
        {"WARNING: Energy not found in log file", K::EnergyMissing}};
    for (const auto& [start, kind] : kinds)
        if (says(t, start)) return kind;
    return K::Other;
}

// The root of an "Excited State   n:" line.
std::optional<int> excited_root(std::string_view t) {
    constexpr std::size_t title = std::string_view("Excited State").size();
    const std::size_t colon = t.find(':');
    if (colon == std::string_view::npos || colon < title) return std::nullopt;
    return int_of(trim(t.substr(title, colon - title)));
}

// " Excited State   2:      Singlet-A      5.4537 eV  227.34 nm  f=0.1558  <S**2>=0.000"
std::optional<Excitation> excitation_line(std::string_view t) {
    const auto root = excited_root(t);
    if (!root || *root <= 0) return std::nullopt;
    const auto w = words(t.substr(t.find(':') + 1));
    Excitation x{*root, 0.0, std::nullopt};
    bool ev = false;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i] == "eV" && i > 0 && !ev)
            if (auto v = real_of(w[i - 1])) x.ev = *v, ev = true;
        if (starts(w[i], "f=")) x.f = real_of(w[i].substr(2));
    }
    if (!ev) return std::nullopt;
    return x;
}

// ------------------------------------------------------------------ parser

class Parser {
public:
    Parser(Run& run, std::size_t log, int step_offset) : run_(run), log_(log), offset_(step_offset) {}

    void line(std::size_t no, const std::string& raw) {
        std::string_view t = trim(raw);
        if (says(t, msg::kCallStarting)) {
            if (cur_ >= 0) close(no - 1);
            open(no, true);
            return;
        }
        if (cur_ >= 0 && inside(no, raw, t)) return;
        if (outer(t)) return;
        if (quorin_signature(t)) {
            open(no, false);
            if (says(t, msg::kCallDone)) {
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
        log().lines = lines;
    }

    int ended_by_eof() const { return ended_by_eof_; }

private:
    Call& call() { return run_.calls[static_cast<std::size_t>(cur_)]; }
    Log& log() { return run_.logs[log_]; }
    bool log_has_calls() const { return run_.calls.size() > run_.logs[log_].first_call; }

    // A line while a call is open; false when it ended the call and is the outer job's.
    bool inside(std::size_t no, const std::string& raw, std::string_view t) {
        if (says(t, msg::kCallDone)) {
            call().has_done = true;
            seen_ = no;
            close(no);
            return true;
        }
        if (outer_marker(t)) {
            close(no - 1);
            return false;
        }
        if (call().has_start) {
            if (in_call(raw, t, no)) seen_ = no;
            return true;
        }
        // Without its start banner a fragment takes only quorin's own lines (the echoed
        // excited states look like any Gaussian job's), and ends when they stop coming.
        if (quorin_signature(t) || starts(t, "ERROR:") || starts(t, "STOP") || starts(t, msg::kFailurePrefix)) {
            in_call(raw, t, no);
            seen_ = no;
            return true;
        }
        if (no - seen_ <= kFragmentGap) return true;
        close(seen_);
        return false;
    }

    void open(std::size_t no, bool has_start) {
        if (table_left_ > 0) end_table();
        Call c;
        c.has_start = has_start;
        c.log = log_;
        c.first_line = no;
        // Numbered on from the logs before; a damaged log's last number stays the last (no overflow).
        const long long before = run_.calls.empty() ? 0 : run_.calls.back().step;
        const long long step = next_step_ > 0 ? static_cast<long long>(offset_) + next_step_ : before + 1;
        c.step = static_cast<int>(std::min<long long>(step, std::numeric_limits<int>::max()));
        next_step_ = 0;
        run_.calls.push_back(c);
        cur_ = static_cast<int>(run_.calls.size()) - 1;
        last_ = -1;
        last_excited_ = 0;
        fresh_block_ = false;
        message_ = Message::None;
        seen_ = no;
    }

    void close(std::size_t last_line) {
        Call& c = call();
        // A fragment ends at its last line that told something: what follows may be anyone's.
        c.last_line = std::max(c.has_start ? last_line : std::min(last_line, seen_), c.first_line);
        last_ = cur_;
        cur_ = -1;
        if (c.has_start) return;
        const std::string lines = std::to_string(c.first_line) + "-" + std::to_string(c.last_line);
        log().problems.push_back("lines " + lines + ": quorin output without a start banner");
        bool any = c.mode != Mode::Unknown || !c.jobs.empty() || !c.candidates.empty() || c.state_after > 0 ||
                   c.state_before > 0 || !c.error.empty();
        if (!any) {  // nothing of a step in it: only the note stays
            run_.calls.pop_back();
            last_ = -1;
        } else {
            c.notes.push_back("read from lines " + lines + " without a start banner; the call may be incomplete");
        }
    }

    Call* last_call() { return last_ >= 0 ? &run_.calls[static_cast<std::size_t>(last_)] : nullptr; }

    void end_table() {
        table_left_ = 0;
        table_target_ = -1;
    }

    // A row of the outer convergence table; false when the table has ended.
    bool table_row(std::string_view t) {
        auto w = words(t);
        if (w.size() < 5 || !real_of(w[w.size() - 3]) || !real_of(w[w.size() - 2])) {
            end_table();
            return false;
        }
        if (starts(t, "Maximum Force") && table_target_ >= 0)
            run_.calls[static_cast<std::size_t>(table_target_)].max_force = real_of(w[2]);
        if (--table_left_ == 0) end_table();
        return true;
    }

    // A line outside every call; returns true when it was the outer job's.
    bool outer(std::string_view t) {
        if (table_left_ > 0 && table_row(t)) return true;
        if (is_step_line(t)) {
            next_step_ = *int_of(words(t)[1]);
            last_ = -1;
        } else if (starts(t, "Recovered energy=")) {
            if (Call* c = last_call(); c && !c->recovered_energy) c->recovered_energy = real_after(t, 17);
        } else if (has(t, "Item") && has(t, "Value") && has(t, "Threshold") && has(t, "Converged?")) {
            table_left_ = 4;
            table_target_ = last_;
        } else if (starts(t, "Optimization completed.")) {
            log().optimization_completed = true;
            if (log_has_calls()) log().completed_after_step = run_.calls.back().step;
        } else if (starts(t, "Optimization stopped.")) {
            log().step_limit = true;
        } else if (starts(t, "Error termination")) {
            if (log().error_termination.empty()) log().error_termination = std::string(t);
            if (log_has_calls()) run_.calls.back().outer_error_termination = true;
        } else if (starts(t, "Normal termination")) {
            log().normal_termination = true;
        } else if (starts(t, "Frequencies --")) {
            for (auto w : words(t.substr(14)))
                if (auto v = real_of(w)) log().frequencies.push_back(*v);
        } else {
            return false;
        }
        return true;
    }

    // One line of a call; returns false when it told nothing.
    bool in_call(const std::string& raw, std::string_view t, std::size_t no) {
        Call& c = call();
        if (continuation(c, raw, t)) return true;
        return mode_line(c, t) || excited_line(c, t) || matching_line(c, t) || message_line(c, t, no) ||
               quorin_signature(t);
    }

    // A line right after an ERROR or WARNING, indented by six blanks or more, goes on with it.
    bool continuation(Call& c, const std::string& raw, std::string_view t) {
        if (message_ == Message::None) return false;
        const std::size_t lead = raw.find_first_not_of(' ');
        if (t.empty() || lead == std::string::npos || lead < 6 || starts(t, "ERROR") || starts(t, "STOP") ||
            starts(t, "WARNING")) {
            message_ = Message::None;
            return false;
        }
        std::string& text = message_ == Message::Error ? c.error : c.warnings.back().text;
        text += " ";
        text += t;
        return true;
    }

    bool mode_line(Call& c, std::string_view t) {
        if (says(t, msg::kAdiabaticStart)) {
            c.mode = Mode::Adiabatic;
        } else if (says(t, msg::kDiabaticStart)) {
            c.mode = Mode::Diabatic;
        } else if (says(t, msg::kHessianDetected) || says(t, msg::kHessianStart)) {
            c.mode = Mode::Hessian;
        } else if (says(t, msg::kAdiabaticTag)) {
            if (c.mode == Mode::Unknown) c.mode = Mode::Adiabatic;
        } else if (says(t, msg::kFrequencyRoot)) {
            c.mode = Mode::Hessian;
            if (auto r = int_after(t, trim(msg::kFrequencyRoot))) {
                c.jobs.push_back({Job::Kind::Frequency, *r, std::nullopt});
                c.state_after = *r;
            }
        } else if (says(t, msg::kNoMetaFallback)) {
            c.fallback_root = true;
            warning(c, t);
        } else if (says(t, msg::kDiabaticTag)) {
            diabatic(c, t);
        } else {
            return false;
        }
        return true;
    }

    // The echoed excited-state block (the last one of the call counts) and the gradient job's root.
    bool excited_line(Call& c, std::string_view t) {
        if (has(t, "Excitation energies and oscillator strengths:")) {
            fresh_block_ = true;
        } else if (starts(t, "Excited State")) {
            last_excited_ = excited_root(t).value_or(0);
            if (auto x = excitation_line(t)) {
                if (fresh_block_ || (!c.excitations.empty() && x->root <= c.excitations.back().root))
                    c.excitations.clear();
                fresh_block_ = false;
                c.excitations.push_back(*x);
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
        } else {
            return false;
        }
        return true;
    }

    // The state matching: candidates' SNTO values, near-degeneracy, the choice.
    bool matching_line(Call& c, std::string_view t) {
        if (starts(t, "State ")) {
            std::string_view rest = t.substr(6);
            std::size_t colon = rest.find(':');
            if (colon == std::string_view::npos) return false;
            auto s = int_of(trim(rest.substr(0, colon)));
            std::string_view after = trim(rest.substr(colon + 1));
            auto v = real_after_last(after, '=');
            const auto w = words(after);  // "n-1.fch SNTO = v", or "old.fch SNTO = v" with sntoref = first
            if (s && v && w.size() > 1 && w[0].ends_with(".fch") && w[1] == "SNTO") {
                c.second.push_back({*s, *v});
                c.second_reference = std::string(w[0]);
            } else if (s && v && starts(after, "SNTO")) {
                c.candidates.push_back({*s, *v});
            }
        } else if (says(t, msg::kNearDegenerate)) {
            auto w = words(t);
            NearDegenerate n;
            for (std::size_t i = 0; i + 1 < w.size(); ++i) {
                if (w[i] == "state") n.state = int_of(w[i + 1]).value_or(0);
                if (w[i] == "=" && i > 0 && w[i - 1] == "delta") n.delta = real_of(w[i + 1]).value_or(0.0);
            }
            c.near.push_back(n);
            warning(c, t);
        } else if (says(t, msg::kResolvedState)) {
            c.resolved_state = int_after(t, msg::kResolvedState).value_or(0);
        } else if (says(t, msg::kFinalState)) {
            c.final_state = int_after(t, trim(msg::kFinalState)).value_or(0);
        } else if (says(t, msg::kBestSnto)) {
            c.best_snto = real_after(t, trim(msg::kBestSnto).size());
        } else if (says(t, msg::kOwnSnto)) {
            c.own_snto = real_after(t, trim(msg::kOwnSnto).size());
        } else if (says(t, msg::kInnerConverged)) {
            c.inner_converged = true;
        } else {
            return false;
        }
        return true;
    }

    // ERROR and WARNING lines (the start of a message that may go on), STOP, and I/O failures.
    bool message_line(Call& c, std::string_view t, std::size_t no) {
        if (starts(t, "ERROR:") || starts(t, msg::kFailurePrefix)) {  // an I/O failure, on standard error
            if (c.error.empty()) {
                c.error = std::string(t);
                c.error_line = no;
                message_ = starts(t, "ERROR:") ? Message::Error : Message::None;
            }
        } else if (t == "STOP" || starts(t, "STOP ")) {
            c.stop_status = t.size() > 4 ? int_after(t, "STOP").value_or(1) : 0;
        } else if ((starts(t, "WARNING:") || starts(t, "Warning:")) && !has(t, "gjf file")) {
            warning(c, t);
        } else {
            return false;
        }
        return true;
    }

    void warning(Call& c, std::string_view t) {
        c.warnings.push_back({warning_kind(t), std::string(t)});
        message_ = Message::Warning;
    }

    void diabatic(Call& c, std::string_view t) {
        c.mode = c.mode == Mode::Hessian ? Mode::Hessian : Mode::Diabatic;
        const std::string_view initial = trim(msg::kInitialState), previous = trim(msg::kPreviousState),
                               updated = trim(msg::kUpdatedState), overlap = trim(msg::kBestOverlap);
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
        } else if (says(t, msg::kStateUnchanged)) {
            c.gradient = Call::Gradient::Reused;
        } else if (says(t, msg::kStateChanged)) {
            c.gradient = Call::Gradient::Recomputed;
        }
    }

    enum class Message { None, Error, Warning };  // the message that a continuation line would go on with

    Run& run_;
    const std::size_t log_;  // the log being read
    const int offset_;       // the last step of the logs before it
    int cur_ = -1;           // call being read
    int last_ = -1;          // call that the outer lines after it belong to
    int next_step_ = 0;      // outer " Step N" waiting for its call
    int last_excited_ = 0;
    bool fresh_block_ = false;  // an excited-state block has begun and holds no state yet
    Message message_ = Message::None;
    std::size_t seen_ = 0;  // last line of the call that told something
    int table_left_ = 0, table_target_ = -1;  // rows left of the outer convergence table, and its call
    int ended_by_eof_ = -1;
};

// ------------------------------------------------------------------ notes

void note_missing(Call& c) {
    if (!handed_back_energy(c) && c.has_done) c.notes.push_back("no energy found");
    if (c.warned(Warning::Kind::EnergyMissing))
        c.notes.push_back("quorin found no energy in the inner log and handed back 0");
    if (c.mode != Mode::Hessian && c.mode != Mode::Unknown &&
        std::none_of(c.jobs.begin(), c.jobs.end(), [](const Job& j) { return j.kind == Job::Kind::Gradient; }))
        c.notes.push_back("no gradient job root found (no \"This state for optimization\" line)");
    if (c.state_after == 0) c.notes.push_back("followed state not found");
    if (c.mode == Mode::Diabatic && !c.initial && c.candidates.empty()) c.notes.push_back("no SNTO values found");
    if (c.mode == Mode::Diabatic && !c.initial && !c.candidates.empty() && !c.best_snto)
        c.notes.push_back("no \"Best SNTO value\" line");
    if (!c.near.empty() && c.second.empty())
        c.notes.push_back("near-degenerate candidates but no second comparison read");
}

void note_call(const Run& run, std::size_t i, Call& c, bool ended_by_eof) {
    const bool failed = c.failed();
    if (c.mode == Mode::Diabatic && !c.initial && c.state_before == 0 && !failed)
        c.notes.push_back("no \"Previous diabatic state\" line");
    if (!c.has_done && !failed)
        c.notes.push_back(ended_by_eof ? "log ends inside the call (no closing banner): run still going or log cut"
                                       : "no closing banner (lines " + std::to_string(c.first_line) + "-" +
                                             std::to_string(c.last_line) + ")");
    if (c.mode == Mode::Unknown) c.notes.push_back("mode not found");
    if (!failed) note_missing(c);
    for (const Snto& s : c.candidates)
        if (!valid(s.value)) c.notes.push_back("state " + num(s.state) + " has no SNTO value");
    if (c.best_snto && !valid(*c.best_snto))
        c.notes.push_back("quorin printed no best SNTO value (no candidate had one)");
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

}  // namespace

// --------------------------------------------------------------- parsing

void append_log(Run& run, std::istream& in, const std::string& source) {
    Log lg;
    lg.source = source;
    lg.first_call = run.calls.size();
    run.logs.push_back(lg);
    const std::size_t index = run.logs.size() - 1;
    Parser p(run, index, run.calls.empty() ? 0 : run.calls.back().step);
    std::string line;
    std::size_t no = 0;
    while (read_line(in, line)) p.line(++no, line);
    p.finish(no);
    Log& l = run.logs[index];
    l.end_call = run.calls.size();
    // A fragment at the head of a log numbered by " Step N" lines is the step before the first numbered one.
    const std::size_t f = l.first_call;
    if (l.end_call > f + 1 && !run.calls[f].has_start && run.calls[f + 1].step > run.calls[f].step + 1)
        run.calls[f].step = run.calls[f + 1].step - 1;
    for (std::size_t i = f; i < l.end_call; ++i) {
        Call& c = run.calls[i];
        if (c.has_start) note_call(run, i, c, static_cast<int>(i) == p.ended_by_eof());  // a fragment's note says enough
        if (handed_back_energy(c) && !c.recovered_energy) run.energies_from_echo = true;
    }
}

Run parse_log(std::istream& in, const std::string& source) {
    Run run;
    append_log(run, in, source);
    return run;
}

Run parse_log_text(const std::string& text, const std::string& source) {
    std::istringstream in(text);
    return parse_log(in, source);
}

}  // namespace quorin::report
