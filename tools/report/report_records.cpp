// quorin-report, records for scripts: one record per call as CSV or JSON.
// A value the log does not give is an empty field (CSV) or null (JSON),
// never a number standing in for "no value".
#include <charconv>
#include <cstdio>
#include <sstream>
#include <utility>

#include "report.hpp"
#include "report_text.hpp"

namespace quorin::report {

namespace {

// One field of a record: no value, a number, a text, or a list of texts.
struct Field {
    enum class Kind { Null, Number, Text, List };
    Kind kind = Kind::Null;
    std::string text;
    std::vector<std::string> list;
};

Field number(std::optional<double> v) {
    if (!v) return {};
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, *v, std::chars_format::general);  // shortest that reads back
    return {Field::Kind::Number, std::string(buf, r.ptr), {}};
}
Field integer(int v) {  // 0: not known
    return v > 0 ? Field{Field::Kind::Number, num(v), {}} : Field{};
}
Field text(std::string s) { return {Field::Kind::Text, utf8_clean(s), {}}; }

using Record = std::vector<std::pair<const char*, Field>>;

Record record(const Run& run, std::size_t i) {
    const Call& c = run.calls[i];
    const int after = followed_after(c);
    const Excitation* x = after > 0 ? excitation(c, after) : nullptr;
    const auto second = runner_up(c);
    Field warnings{Field::Kind::List, "", {}};
    for (const Warning& w : c.warnings) warnings.list.push_back(utf8_clean(w.text));
    return {{"log", text(run.logs[c.log].source)},
            {"step", integer(c.step)},
            {"mode", text(mode_name(c.mode))},
            {"root_before", integer(followed_before(run, i))},
            {"root_after", integer(after)},
            {"best_snto", number(best_snto(c))},
            {"second_state", integer(second ? second->state : 0)},
            {"second_snto", number(second ? std::optional(second->value) : std::nullopt)},
            {"second_to_best", number(runner_up_ratio(c))},
            {"own_snto", number(own_snto(c))},
            {"energy_hartree", number(handed_back_energy(c))},
            {"max_force", number(c.max_force)},
            {"excitation_ev", number(x ? std::optional(x->ev) : std::nullopt)},
            {"oscillator_strength", number(x ? x->f : std::nullopt)},
            {"outcome", text(outcome(c))},
            {"error", c.failed() ? text(error_text(run, c)) : Field{}},
            {"warnings", warnings}};
}

std::string csv_field(const Field& f) {
    std::string s = f.text;
    if (f.kind == Field::Kind::List)
        for (std::size_t k = 0; k < f.list.size(); ++k) s += (k ? " | " : "") + f.list[k];
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char ch : s) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return q + "\"";
}

std::string json_string(const std::string& s) {
    std::string q = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') {
            q += '\\';
            q += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(ch));
            q += buf;
        } else {
            q += ch;
        }
    }
    return q + "\"";
}

std::string json_value(const Field& f) {
    switch (f.kind) {
        case Field::Kind::Number:
            return f.text;
        case Field::Kind::Text:
            return json_string(f.text);
        case Field::Kind::List: {
            std::string s = "[";
            for (std::size_t k = 0; k < f.list.size(); ++k) s += (k ? ", " : "") + json_string(f.list[k]);
            return s + "]";
        }
        default:
            return "null";
    }
}

}  // namespace

std::string format_csv(const Run& run) {
    std::ostringstream out;
    const Record head = record(Run{{Log{}}, {Call{}}, false}, 0);
    for (std::size_t k = 0; k < head.size(); ++k) out << (k ? "," : "") << head[k].first;
    out << "\n";
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        const Record r = record(run, i);
        for (std::size_t k = 0; k < r.size(); ++k) out << (k ? "," : "") << csv_field(r[k].second);
        out << "\n";
    }
    return out.str();
}

std::string format_json(const Run& run) {
    std::ostringstream out;
    out << "[";
    for (std::size_t i = 0; i < run.calls.size(); ++i) {
        const Record r = record(run, i);
        out << (i ? ",\n " : "\n ") << "{";
        for (std::size_t k = 0; k < r.size(); ++k)
            out << (k ? ", " : "") << json_string(r[k].first) << ": " << json_value(r[k].second);
        out << "}";
    }
    out << "\n]\n";
    return out.str();
}

}  // namespace quorin::report
