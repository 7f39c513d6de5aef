// Small text helpers shared by the parts of quorin-report: the log reader,
// the table and the plot.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report.hpp"
#include "text_fields.hpp"

namespace quorin::report {

// ------------------------------------------------------------ small helpers

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

inline std::string_view trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

inline bool starts(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
inline bool has(std::string_view s, std::string_view p) { return s.find(p) != std::string_view::npos; }

inline std::vector<std::string_view> words(std::string_view s) {
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

inline std::optional<double> real_of(std::string_view tok) {
    double v = 0.0;
    if (tok.empty() || !parse_real_token(tok, v) || !std::isfinite(v)) return std::nullopt;
    return v;
}

inline std::optional<int> int_of(std::string_view tok) {
    std::int32_t v = 0;
    if (tok.empty() || !parse_int_token(tok, v)) return std::nullopt;
    return static_cast<int>(v);
}

// The first word after a prefix of t, read as an integer or a real.
inline std::optional<int> int_after(std::string_view t, std::string_view prefix) {
    auto w = words(t.substr(std::min(prefix.size(), t.size())));
    return w.empty() ? std::nullopt : int_of(w[0]);
}
inline std::optional<double> real_after(std::string_view t, std::size_t pos) {
    auto w = words(t.substr(std::min(pos, t.size())));
    return w.empty() ? std::nullopt : real_of(w[0]);
}
inline std::optional<double> real_after_last(std::string_view t, char c) {
    std::size_t p = t.rfind(c);
    return p == std::string_view::npos ? std::nullopt : real_after(t, p + 1);
}

inline std::string fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

inline std::string num(int v) { return std::to_string(v); }

inline std::string pad_right(const std::string& s, std::size_t w) {
    return s.size() >= w ? s : s + std::string(w - s.size(), ' ');
}
inline std::string pad_left(const std::string& s, std::size_t w) {
    return s.size() >= w ? s : std::string(w - s.size(), ' ') + s;
}

inline bool valid(double snto) { return snto > kNoSnto / 2; }

inline std::string step_label(const Call& c) { return "step " + num(c.step); }

// The text with every byte that is no part of a well-formed UTF-8 sequence
// replaced by U+FFFD, so that the SVG and JSON files stay readable whatever
// the log held.
inline std::string utf8_clean(std::string_view s) {
    std::string r;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = b < 0x80 ? 1 : b < 0xc2 ? 0 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : b < 0xf5 ? 4 : 0;
        for (std::size_t k = 1; k < n; ++k)
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) >> 6) != 2) n = 0;
        if (n == 0) {
            r += "\xef\xbf\xbd";
            ++i;
        } else {
            r.append(s.substr(i, n));
            i += n;
        }
    }
    return r;
}

}  // namespace quorin::report
