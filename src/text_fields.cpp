#include "text_fields.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <iostream>
#include <limits>

namespace quorin {

// ---------------------------------------------------------------- process end

void stop(int status) { throw Stop{status}; }

void io_failure(const std::string& what) { throw IoFailure(what); }

// ---------------------------------------------------------------------- texts

std::string rtrim(std::string_view s) {
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ') --n;
    return std::string(s.substr(0, n));
}

std::string ltrim(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return std::string(s.substr(i));
}

bool is_blank(std::string_view s) { return s.find_first_not_of(' ') == std::string_view::npos; }

std::string cut(std::string_view s, std::size_t n) { return rtrim(s.substr(0, std::min(n, s.size()))); }

std::string pad(std::string_view s, std::size_t n) {
    std::string r(s.substr(0, std::min(n, s.size())));
    r.resize(n, ' ');
    return r;
}

void to_lowercase(std::string& s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool read_line(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool open_for_reading(const std::string& path, std::ifstream& in) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    in.open(path, std::ios::binary);
    return static_cast<bool>(in);
}

std::ifstream open_or_stop(const std::string& path, const std::string& message) {
    std::ifstream in;
    if (!open_for_reading(path, in)) {
        say({message});
        stop(1);
    }
    return in;
}

// --------------------------------------------------------- writing: field codes

namespace {

std::string right(std::string s, int w) {
    if (static_cast<int>(s.size()) >= w) return s;
    return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

std::string stars(int w) { return std::string(static_cast<std::size_t>(std::max(w, 0)), '*'); }

// Infinity and NaN as gfortran writes them in a field of width w.
std::string non_finite(double x, int w) {
    std::string s;
    if (std::isnan(x))
        s = "NaN";
    else if (w >= 8 + (x < 0 ? 1 : 0))
        s = x < 0 ? "-Infinity" : "Infinity";
    else
        s = x < 0 ? "-Inf" : "Inf";
    if (static_cast<int>(s.size()) > w) return stars(w);
    return right(s, w);
}

// The significant digits of |x| rounded to `digits` figures, and the decimal
// exponent e such that |x| = 0.d1d2... x 10^(e+1) ... as %e reports it
// (d1.d2d3... x 10^e).  x must be finite and non-zero.
void decimal_digits(double x, int digits, std::string& out, int& e10) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, std::fabs(x));
    std::string s(buf);
    auto epos = s.find('e');
    out.clear();
    for (std::size_t i = 0; i < epos; ++i)
        if (s[i] != '.') out.push_back(s[i]);
    e10 = std::atoi(s.c_str() + epos + 1);
}

}  // namespace

std::string fmt_I0(long long v) { return std::to_string(v); }

std::string fmt_I(long long v, int w, int m) {
    std::string digits = std::to_string(v < 0 ? -v : v);
    if (static_cast<int>(digits.size()) < m) digits = std::string(m - digits.size(), '0') + digits;
    if (v == 0 && m == 0) digits.clear();
    std::string s = (v < 0 ? "-" : "") + digits;
    if (static_cast<int>(s.size()) > w) return stars(w);
    return right(s, w);
}

std::string fmt_F(double x, int w, int d) {
    if (!std::isfinite(x)) return non_finite(x, w);
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.*f", d, x);
    std::string s(buf);
    if (d == 0) s += '.';
    if (static_cast<int>(s.size()) > w) {
        // The zero before the point is optional when the field is too narrow.
        if (s.rfind("0.", 0) == 0 && static_cast<int>(s.size()) - 1 == w)
            s.erase(0, 1);
        else if (s.rfind("-0.", 0) == 0 && static_cast<int>(s.size()) - 1 == w)
            s.erase(1, 1);
        else
            return stars(w);
    }
    return right(s, w);
}

std::string fmt_D(double x, int w, int d) {
    if (!std::isfinite(x)) return non_finite(x, w);
    std::string sign = std::signbit(x) ? "-" : "";
    std::string digits;
    int e = 0;
    if (x == 0.0) {
        digits.assign(static_cast<std::size_t>(d), '0');
        e = 0;
    } else {
        int e10 = 0;
        decimal_digits(x, d, digits, e10);
        e = e10 + 1;  // 0.d1d2... form
    }
    std::string expo;
    int ae = e < 0 ? -e : e;
    char es = e < 0 ? '-' : '+';
    char buf[16];
    if (ae <= 99)
        std::snprintf(buf, sizeof buf, "D%c%02d", es, ae);
    else if (ae <= 999)
        std::snprintf(buf, sizeof buf, "%c%03d", es, ae);
    else
        return stars(w);
    expo = buf;
    std::string s = sign + "0." + digits + expo;
    if (static_cast<int>(s.size()) > w) {
        if (static_cast<int>(s.size()) - 1 == w)
            s.erase(sign.size(), 1);  // drop the optional zero
        else
            return stars(w);
    }
    return right(s, w);
}

std::string fmt_A(std::string_view s, int w) {
    if (static_cast<int>(s.size()) >= w) return std::string(s.substr(0, static_cast<std::size_t>(w)));
    return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + std::string(s);
}

std::string fmt_D_row(std::initializer_list<double> xs, int w, int d) {
    std::string s;
    for (double x : xs) s += fmt_D(x, w, d);
    return s;
}

// ------------------------------------------------------- writing: free-form lines

std::string free_real(double x) {
    if (!std::isfinite(x)) return non_finite(x, 25);
    std::string sign = std::signbit(x) ? "-" : "";
    if (x == 0.0) return right(sign + "0.0000000000000000", 20) + "     ";
    std::string digits;  // 17 significant digits
    int e10 = 0;
    decimal_digits(x, 17, digits, e10);
    if (e10 >= -1 && e10 <= 16) {
        std::string s;
        if (e10 < 0)
            s = sign + "0." + digits;
        else
            s = sign + digits.substr(0, static_cast<std::size_t>(e10) + 1) + "." +
                digits.substr(static_cast<std::size_t>(e10) + 1);
        return right(s, 20) + "     ";
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "E%c%03d", e10 < 0 ? '-' : '+', e10 < 0 ? -e10 : e10);
    return right(sign + digits.substr(0, 1) + "." + digits.substr(1) + buf, 25);
}

std::string free_line(std::initializer_list<Item> items) {
    std::string line = " ";
    bool first = true;
    bool prev_text = false;
    for (const Item& it : items) {
        bool text = it.kind == Item::Kind::Text;
        if (!first && !(text && prev_text)) line += ' ';
        switch (it.kind) {
            case Item::Kind::Text: line += it.text; break;
            case Item::Kind::Integer: line += right(std::to_string(it.integer), 11); break;
            case Item::Kind::Real: line += free_real(it.real); break;
            case Item::Kind::Logical: line += it.logical ? 'T' : 'F'; break;
        }
        first = false;
        prev_text = text;
    }
    return line;
}

void say(std::initializer_list<Item> items) { std::cout << free_line(items) << '\n'; }

void put(std::string_view record) { std::cout << record << '\n'; }

// ------------------------------------------------------------ token conversions

bool parse_int_token(std::string_view tok, std::int32_t& v) {
    std::size_t i = 0;
    bool neg = false;
    if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) neg = tok[i++] == '-';
    if (i == tok.size()) return false;
    long long acc = 0;
    for (; i < tok.size(); ++i) {
        char c = tok[i];
        if (c < '0' || c > '9') return false;
        acc = acc * 10 + (c - '0');
        if (acc > 2147483648LL) return false;
    }
    if (neg) acc = -acc;
    if (acc > std::numeric_limits<std::int32_t>::max() || acc < std::numeric_limits<std::int32_t>::min())
        return false;
    v = static_cast<std::int32_t>(acc);
    return true;
}

namespace {

bool ieq(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Parses a Fortran real: sign, digits with an optional point, and an exponent
// introduced by E/D/Q (either case) or by a bare sign.  `implied` digits are
// taken as the fraction when no point is present (fixed fields only).
bool parse_fortran_real(std::string_view t, int implied, double& v) {
    std::size_t i = 0;
    std::string sign;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) sign = t[i++] == '-' ? "-" : "";
    std::string_view body = t.substr(i);
    if (ieq(body, "inf") || ieq(body, "infinity")) {
        v = sign == "-" ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    if (body.size() >= 3 && ieq(body.substr(0, 3), "nan") &&
        (body.size() == 3 || (body[3] == '(' && body.back() == ')'))) {
        v = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    std::string mant;
    bool point = false;
    int ndig = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        if (c >= '0' && c <= '9') {
            mant.push_back(c);
            ++ndig;
        } else if (c == '.' && !point) {
            point = true;
            mant.push_back(c);
        } else {
            break;
        }
    }
    if (ndig == 0) return false;
    long long ex = 0;
    if (i < t.size()) {
        char c = t[i];
        if (c == 'e' || c == 'E' || c == 'd' || c == 'D' || c == 'q' || c == 'Q') ++i;
        else if (c != '+' && c != '-') return false;
        bool eneg = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) eneg = t[i++] == '-';
        if (i == t.size()) return false;
        for (; i < t.size(); ++i) {
            if (t[i] < '0' || t[i] > '9') return false;
            if (ex < 100000) ex = ex * 10 + (t[i] - '0');
        }
        if (eneg) ex = -ex;
    }
    if (!point) ex -= implied;
    std::string s = sign + mant + "e" + std::to_string(ex);
    errno = 0;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

}  // namespace

bool parse_real_token(std::string_view tok, double& v) { return parse_fortran_real(tok, 0, v); }

bool parse_logical_token(std::string_view tok, bool& v) {
    std::size_t i = 0;
    if (i < tok.size() && tok[i] == '.') ++i;
    if (i == tok.size()) return false;
    char c = tok[i];
    if (c == 't' || c == 'T') v = true;
    else if (c == 'f' || c == 'F') v = false;
    else return false;
    return true;
}

// ------------------------------------------------------------ free-form reads

FreeRead::FreeRead(std::istream& in, std::string source) : in_(&in), source_(std::move(source)) {}

FreeRead::FreeRead(std::string_view record, std::string source)
    : record_(record), have_record_(true), source_(std::move(source)) {}

bool FreeRead::next_record() {
    if (in_ == nullptr) return false;
    if (!read_line(*in_, record_)) return false;
    pos_ = 0;
    have_record_ = true;
    return true;
}

bool FreeRead::fail(const std::string& why) {
    error_ = why;
    if (!source_.empty()) error_ += " in " + source_;
    return false;
}

FreeRead::Tok FreeRead::next(std::string& tok, bool text_wanted) {
    if (slash_) return Tok::Slash;
    if (repeat_left_ > 0) {
        --repeat_left_;
        if (repeat_null_) return Tok::Null;
        tok = repeat_tok_;
        return Tok::Value;
    }
    for (;;) {
        if (!have_record_ && !next_record()) return Tok::End;
        while (pos_ < record_.size() && (record_[pos_] == ' ' || record_[pos_] == '\t')) ++pos_;
        if (pos_ >= record_.size()) {
            have_record_ = false;
            if (in_ == nullptr) return Tok::End;
            continue;
        }
        char c = record_[pos_];
        if (c == '/') {
            slash_ = true;
            return Tok::Slash;
        }
        if (c == ',') {
            ++pos_;
            if (after_separator_) return Tok::Null;
            after_separator_ = true;
            continue;
        }
        break;
    }
    after_separator_ = false;
    char c = record_[pos_];
    tok.clear();
    if (text_wanted && (c == '\'' || c == '"')) {
        // A quoted text; a doubled quote stands for the quote itself.
        ++pos_;
        for (;;) {
            if (pos_ >= record_.size()) {
                // The text goes on in the next record.
                if (!next_record()) return Tok::Value;
                continue;
            }
            char q = record_[pos_++];
            if (q == c) {
                if (pos_ < record_.size() && record_[pos_] == c) {
                    tok.push_back(c);
                    ++pos_;
                    continue;
                }
                break;
            }
            tok.push_back(q);
        }
    } else {
        while (pos_ < record_.size() && record_[pos_] != ' ' && record_[pos_] != '\t' &&
               record_[pos_] != ',' && record_[pos_] != '/')
            tok.push_back(record_[pos_++]);
        // r*c and r* repeat forms.
        auto star = tok.find('*');
        if (star != std::string::npos && star > 0) {
            std::int32_t r = 0;
            if (parse_int_token(std::string_view(tok).substr(0, star), r) && r > 0) {
                repeat_tok_ = tok.substr(star + 1);
                repeat_null_ = repeat_tok_.empty();
                repeat_left_ = r - 1;
                if (repeat_null_) return Tok::Null;
                tok = repeat_tok_;
            }
        }
    }
    return Tok::Value;
}

bool FreeRead::get(std::int32_t& v) {
    std::string tok;
    switch (next(tok, false)) {
        case Tok::End: return fail("end of data while reading an integer");
        case Tok::Null:
        case Tok::Slash: return true;
        case Tok::Value: break;
    }
    if (!parse_int_token(tok, v)) return fail("cannot read an integer from \"" + tok + "\"");
    return true;
}

bool FreeRead::get(double& v) {
    std::string tok;
    switch (next(tok, false)) {
        case Tok::End: return fail("end of data while reading a real");
        case Tok::Null:
        case Tok::Slash: return true;
        case Tok::Value: break;
    }
    if (!parse_real_token(tok, v)) return fail("cannot read a real from \"" + tok + "\"");
    return true;
}

bool FreeRead::get(std::string& v) {
    std::string tok;
    switch (next(tok, true)) {
        case Tok::End: return fail("end of data while reading a text");
        case Tok::Null:
        case Tok::Slash: return true;
        case Tok::Value: break;
    }
    v = tok;
    return true;
}

bool FreeRead::get(bool& v) {
    std::string tok;
    switch (next(tok, false)) {
        case Tok::End: return fail("end of data while reading a logical");
        case Tok::Null:
        case Tok::Slash: return true;
        case Tok::Value: break;
    }
    if (!parse_logical_token(tok, v)) return fail("cannot read a logical from \"" + tok + "\"");
    return true;
}

// ------------------------------------------------------------ fixed-field reads

bool read_real_field(std::string_view field, int d, double& v) {
    std::string t;
    for (char c : field)
        if (c != ' ' && c != '\t') t.push_back(c);
    if (t.empty()) {
        v = 0.0;
        return true;
    }
    return parse_fortran_real(t, d, v);
}

bool read_real_fields(std::istream& in, int n, int per_line, int skip, int width, int d,
                      std::vector<double>& out, std::string* error) {
    out.assign(static_cast<std::size_t>(std::max(n, 0)), 0.0);
    std::string rec;
    int k = 0;
    while (k < n) {
        if (!read_line(in, rec)) {
            if (error) *error = "end of file after " + std::to_string(k) + " of " + std::to_string(n) + " values";
            return false;
        }
        for (int j = 0; j < per_line && k < n; ++j, ++k) {
            std::size_t start = static_cast<std::size_t>(j) * static_cast<std::size_t>(skip + width) +
                                static_cast<std::size_t>(skip);
            // Every value of these arrays fills its field: a line that stops
            // short (a file cut off by a full disk or a crash) holds no
            // number there, not a zero or a shorter number.
            if (start + static_cast<std::size_t>(width) > rec.size()) {
                if (error)
                    *error = "value " + std::to_string(k + 1) + " of " + std::to_string(n) +
                             " is missing or cut short";
                return false;
            }
            const std::string_view field = std::string_view(rec).substr(start, static_cast<std::size_t>(width));
            if (!read_real_field(field, d, out[static_cast<std::size_t>(k)])) {
                if (error) *error = "cannot read a real from \"" + std::string(field) + "\"";
                return false;
            }
        }
    }
    return true;
}

}  // namespace quorin
