#include "text_fields.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>

namespace quorin {

// ---------------------------------------------------------------- process end

void stop(int status) { throw Stop{status}; }

void io_failure(const std::string& what) { throw IoFailure(what); }

void stop_non_finite(std::string_view text, std::string_view what, std::string_view file) {
    const std::size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
    const std::string_view shown = first == std::string_view::npos ? text : text.substr(first, last - first + 1);
    stop_with({"ERROR: " + std::string(file) + " holds \"" + std::string(shown) + "\" as " + std::string(what) +
               ", not a finite number."});
}

void require_finite(double v, std::string_view text, std::string_view what, std::string_view file) {
    if (!std::isfinite(v)) stop_non_finite(text, what, file);
}

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

RecordReader::RecordReader(const std::string& path, std::size_t buffer_size)
    : size_(std::max<std::size_t>(buffer_size, 64)) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return;
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (file_ == nullptr) return;
    std::setvbuf(file_.get(), nullptr, _IONBF, 0);  // reads go straight into our own buffer
    buf_ = std::make_unique_for_overwrite<char[]>(size_);
}

// Moves the unread rest to the front (growing the buffer when the rest
// fills it) and reads more after it; false when nothing more came.
bool RecordReader::refill() {
    if (at_eof_ || file_ == nullptr) return false;
    const std::size_t rest = end_ - begin_;
    if (rest == size_) {
        auto bigger = std::make_unique_for_overwrite<char[]>(size_ * 2);
        std::memcpy(bigger.get(), buf_.get(), rest);
        buf_ = std::move(bigger);
        size_ *= 2;
    } else if (begin_ > 0) {
        std::memmove(buf_.get(), buf_.get() + begin_, rest);
    }
    begin_ = 0;
    end_ = rest;
    const std::size_t got = std::fread(buf_.get() + end_, 1, size_ - end_, file_.get());
    end_ += got;
    if (got == 0) at_eof_ = true;
    return got > 0;
}

bool RecordReader::next(std::string_view& record) {
    std::size_t scanned = begin_;
    for (;;) {
        const char* base = buf_ ? buf_.get() : nullptr;
        const void* nl = scanned < end_ ? std::memchr(base + scanned, '\n', end_ - scanned) : nullptr;
        std::size_t stop = 0;
        if (nl != nullptr) {
            stop = static_cast<std::size_t>(static_cast<const char*>(nl) - base);
        } else {
            const std::size_t seen = end_ - begin_;
            if (refill()) {
                scanned = seen;  // the rest moved to the front
                continue;
            }
            if (begin_ == end_) return false;
            stop = end_;  // the last record has no line feed
        }
        terminated_ = stop < end_;
        base = buf_.get();
        std::size_t len = stop - begin_;
        if (len > 0 && base[begin_ + len - 1] == '\r') --len;
        record = std::string_view(base + begin_, len);
        begin_ = stop < end_ ? stop + 1 : end_;
        return true;
    }
}

namespace {

// Where `m` first occurs in `hay`, found through its character at `anchor`
// (one that is rare in the text searched): candidates are the places of
// that character, and only they are compared with the whole marker.
std::size_t find_anchored(std::string_view hay, std::string_view m, std::size_t anchor) {
    if (hay.size() < m.size()) return std::string_view::npos;
    const char* const base = hay.data();
    const char* p = base + anchor;
    const char* const last = base + (hay.size() - m.size()) + anchor + 1;
    while (p < last) {
        p = static_cast<const char*>(std::memchr(p, m[anchor], static_cast<std::size_t>(last - p)));
        if (p == nullptr) return std::string_view::npos;
        if (std::memcmp(p - anchor, m.data(), m.size()) == 0) return static_cast<std::size_t>(p - anchor - base);
        ++p;
    }
    return std::string_view::npos;
}

}  // namespace

bool RecordReader::next_holding(std::string_view& record, std::span<const std::string_view> markers) {
    for (;;) {
        // The whole records in the buffer: up to its last line feed, or all
        // of it once the file has no more.
        std::string_view region(buf_ ? buf_.get() + begin_ : nullptr, end_ - begin_);
        const std::size_t last = region.rfind('\n');
        region = region.substr(0, last != std::string_view::npos ? last + 1 : at_eof_ ? region.size() : 0);
        if (!counted_ && !region.empty()) {
            // How often each character occurs, from the first text searched:
            // each marker is then looked for by its rarest character.
            for (unsigned char c : region.substr(0, std::size_t(1) << 16)) ++byte_counts_[c];
            counted_ = true;
        }
        std::size_t hit = std::string_view::npos;
        for (std::string_view m : markers) {
            if (m.empty()) continue;
            auto count = [&](std::size_t k) { return byte_counts_[static_cast<unsigned char>(m[k])]; };
            std::size_t anchor = 0;
            for (std::size_t k = 1; k < m.size(); ++k)
                if (count(k) < count(anchor)) anchor = k;
            hit = std::min(hit, find_anchored(region.substr(0, hit == std::string_view::npos ? hit : hit + m.size()), m,
                                              anchor));
        }
        if (hit != std::string_view::npos) {
            const std::size_t start = hit == 0 ? std::string_view::npos : region.rfind('\n', hit - 1);
            begin_ += start == std::string_view::npos ? 0 : start + 1;
            return next(record);
        }
        begin_ += region.size();
        if (!refill() && begin_ == end_) return false;
    }
}

RecordReader records_or_stop(const std::string& path, const std::string& message) {
    RecordReader r(path);
    if (!r.is_open()) stop_with({message});
    return r;
}

std::ifstream open_or_stop(const std::string& path, const std::string& message) {
    std::ifstream in;
    if (!open_for_reading(path, in)) stop_with({message});
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

// The significant digits of |x| rounded to `digits` figures (at most 40),
// and the decimal exponent e of the form d1.d2d3... x 10^e, rounded to
// nearest from the exact binary value as %e does.  x must be finite and
// non-zero.  Returns the number of digits written to out.
int decimal_digits(double x, int digits, char* out, int& e10) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific, digits - 1);
    int n = 0;
    const char* p = buf;
    for (; *p != 'e'; ++p)
        if (*p != '.') out[n++] = *p;
    ++p;
    const bool neg = *p++ == '-';
    int e = 0;
    for (; p < r.ptr; ++p) e = e * 10 + (*p - '0');
    e10 = neg ? -e : e;
    return n;
}

// The exponent of a D field: the letter D, its sign and two digits, or for
// |e| of 100 to 999 the sign and three digits.  Returns the end.
char* put_D_exponent(char* p, int e) {
    // Two digits from a table: no division on the common road.
    static constexpr auto kPairs = [] {
        std::array<char, 200> t{};
        for (int i = 0; i < 100; ++i) {
            t[2 * i] = static_cast<char>('0' + i / 10);
            t[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
        return t;
    }();
    unsigned ae = static_cast<unsigned>(e < 0 ? -e : e);
    if (ae <= 99u) *p++ = 'D';
    *p++ = e < 0 ? '-' : '+';
    if (ae > 99u) {
        *p++ = static_cast<char>('0' + ae / 100u);
        ae %= 100u;
    }
    std::memcpy(p, kPairs.data() + 2 * ae, 2);
    return p + 2;
}

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Whether the 8 characters at p are all decimal digits, tested at once.
bool eight_digits(const char* p) {
    std::uint64_t x = 0;
    std::memcpy(&x, p, 8);
    constexpr std::uint64_t high = 0xF0F0F0F0F0F0F0F0u, zeros = 0x3030303030303030u, six = 0x0606060606060606u;
    return (x & high) == zeros && ((x + six) & high) == zeros;
}

// Sign, "0.", the d digits and the exponent of x in Dw.d, without padding;
// x finite, d at most 40.  Returns the length written to out.
std::size_t d_body(char* out, double x, int d) {
    char* p = out;
    if (std::signbit(x)) *p++ = '-';
    *p++ = '0';
    *p++ = '.';
    int e = 0;
    if (x == 0.0) {
        std::memset(p, '0', static_cast<std::size_t>(d));
    } else {
        int e10 = 0;
        decimal_digits(x, d, p, e10);
        e = e10 + 1;  // 0.d1d2... form
    }
    p = put_D_exponent(p + d, e);
    return static_cast<std::size_t>(p - out);
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

std::string_view put_D20_12(std::span<char, 20> field, double x) {
    char* out = field.data();
    if (!std::isfinite(x)) {
        const std::string s = non_finite(x, 20);
        std::memcpy(out, s.data(), 20);
    } else {
        char buf[32];
        const std::size_t n = d_body(buf, x, 12);  // 18 or 19 characters
        std::memset(out, ' ', 20 - n);
        std::memcpy(out + 20 - n, buf, n);
    }
    return {out, 20};
}

namespace {

// The D20.12 field of an ES15.8 value as formatted checkpoints hold it, the
// 14 characters d.ddddddddE+dd after its sign (negative or not: `neg`).  A
// first digit other than zero, or a zero with all eight digits zero, is
// taken; false (out holding nothing of use) for anything else.
inline bool es15_8_field(const char* p, bool neg, char* out) {
    if (p[1] != '.' || !is_digit(p[0]) || !eight_digits(p + 2) ||
        !((p[10] | 0x20) == 'e' || (p[10] | 0x20) == 'd' || (p[10] | 0x20) == 'q') || (p[11] != '+' && p[11] != '-') ||
        !is_digit(p[12]) || !is_digit(p[13]))
        return false;
    out[0] = ' ';
    out[1] = neg ? '-' : ' ';
    out[2] = '0';
    out[3] = '.';
    out[4] = p[0];
    std::memcpy(out + 5, p + 2, 8);
    std::memcpy(out + 13, "000", 3);
    if (p[0] == '0') {  // zero, with its sign; any other leading zero is not ES form
        if (std::memcmp(p + 2, "00000000", 8) != 0) return false;
        std::memcpy(out + 16, "D+00", 4);
        return true;
    }
    const int e = (p[12] - '0') * 10 + (p[13] - '0');
    put_D_exponent(out + 16, p[11] == '-' ? 1 - e : e + 1);
    return true;
}

}  // namespace

std::size_t transcode_fchk_record(std::string_view record, std::size_t first, std::span<char, kFchkRecordOut> out) {
    if (record.size() != 80) return 0;
    char* q = out.data();
    std::size_t phase = first % 3;
    for (const char* f = record.data(); f < record.data() + 80; f += 16) {
        // " -d.ddddddddE+dd" or "  d.ddddddddE+dd"
        if (f[0] != ' ' || (f[1] != ' ' && f[1] != '-') || !es15_8_field(f + 2, f[1] == '-', q)) return 0;
        q += 20;
        if (phase == 2) *q++ = '\n';
        phase = phase == 2 ? 0 : phase + 1;
    }
    return static_cast<std::size_t>(q - out.data());
}

bool transcode_D20_12(std::string_view t, std::span<char, 20> field) {
    char* const out = field.data();
    const char* p = t.data();
    const char* const end = p + t.size();
    const bool neg = p < end && *p == '-';
    p += p < end && (*p == '-' || *p == '+');
    if (end - p == 14 && es15_8_field(p, neg, out)) return true;  // the common form, the short road
    out[0] = ' ';
    out[1] = neg ? '-' : ' ';
    out[2] = '0';
    out[3] = '.';
    char sig[12];
    int nsig = 0;         // significant digits kept
    int zeros_after = 0;  // zeros after the last kept digit, not yet kept
    int ndig = 0;
    int mant_exp = 0;     // the value is 0.sig... x 10^mant_exp
    bool point = false;
    for (; p < end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            ++ndig;
            if (nsig == 0 && c == '0') {
                if (point) --mant_exp;  // a leading zero after the point
                continue;
            }
            if (!point) ++mant_exp;
            if (c == '0') {
                ++zeros_after;
                continue;
            }
            if (nsig + zeros_after >= 12) return false;  // more than 12 significant digits
            for (; zeros_after > 0; --zeros_after) sig[nsig++] = '0';
            sig[nsig++] = c;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (ndig == 0) return false;
    int ex = 0;
    if (p < end) {
        const char c = *p;
        if (c == 'e' || c == 'E' || c == 'd' || c == 'D' || c == 'q' || c == 'Q') ++p;
        else if (c != '+' && c != '-') return false;
        bool eneg = false;
        if (p < end && (*p == '+' || *p == '-')) eneg = *p++ == '-';
        if (p == end || end - p > 4) return false;
        for (; p < end; ++p) {
            if (*p < '0' || *p > '9') return false;
            ex = ex * 10 + (*p - '0');
        }
        if (eneg) ex = -ex;
    }
    int e = 0;
    if (nsig > 0) {
        e = mant_exp + ex;
        // Inside the normal range with room to spare: the nearest double
        // then lies within 2^-53 of the value, far closer than the half
        // unit of the 12th digit.
        if (e < -300 || e > 300) return false;
    }
    std::memset(sig + nsig, '0', static_cast<std::size_t>(12 - nsig));
    std::memcpy(out + 4, sig, 12);
    put_D_exponent(out + 16, e);
    return true;
}

std::string fmt_A(std::string_view s, int w) {
    if (static_cast<int>(s.size()) >= w) return std::string(s.substr(0, static_cast<std::size_t>(w)));
    return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + std::string(s);
}

std::string fmt_D_row(std::initializer_list<double> xs) {
    std::string s(20 * xs.size(), ' ');
    std::size_t at = 0;
    for (double x : xs) put_D20_12(std::span<char, 20>(s.data() + 20 * at++, 20), x);
    return s;
}

// ------------------------------------------------------- writing: free-form lines

std::string free_real(double x) {
    if (!std::isfinite(x)) return non_finite(x, 25);
    std::string sign = std::signbit(x) ? "-" : "";
    if (x == 0.0) return right(sign + "0.0000000000000000", 20) + "     ";
    char buf[64];
    int e10 = 0;
    const std::string digits(buf, static_cast<std::size_t>(decimal_digits(x, 17, buf, e10)));  // 17 significant digits
    if (e10 >= -1 && e10 <= 16) {
        std::string s;
        if (e10 < 0)
            s = sign + "0." + digits;
        else
            s = sign + digits.substr(0, static_cast<std::size_t>(e10) + 1) + "." +
                digits.substr(static_cast<std::size_t>(e10) + 1);
        return right(s, 20) + "     ";
    }
    std::string expo = e10 < 0 ? "E-" : "E+";
    const std::string ae = std::to_string(e10 < 0 ? -e10 : e10);
    expo += std::string(3 - std::min<std::size_t>(3, ae.size()), '0') + ae;
    return right(sign + digits.substr(0, 1) + "." + digits.substr(1) + expo, 25);
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

void stop_with(std::initializer_list<Item> line) {
    say(line);
    stop(1);
}

void stop_with(std::initializer_list<Item> line, std::initializer_list<Item> more) {
    say(line);
    stop_with(more);
}

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
// taken as the fraction when no point is present (fixed fields only).  The
// number is rewritten as C text ("-123.45e-7") in a stack buffer for
// std::from_chars; a value beyond the range of doubles gets what strtod gives
// (an infinity, or zero or a subnormal), as it always has.
bool parse_fortran_real(std::string_view t, int implied, double& v) {
    std::size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    std::string_view body = t.substr(i);
    if (ieq(body, "inf") || ieq(body, "infinity")) {
        v = neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    if (body.size() >= 3 && ieq(body.substr(0, 3), "nan") &&
        (body.size() == 3 || (body[3] == '(' && body.back() == ')'))) {
        v = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    const std::size_t mant_start = i;
    bool point = false;
    int ndig = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        if (c >= '0' && c <= '9') {
            ++ndig;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (ndig == 0) return false;
    const std::string_view mant = t.substr(mant_start, i - mant_start);
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

    char small[96];
    std::string large;
    char* buf = small;
    if (mant.size() + 32 > sizeof small) {
        large.resize(mant.size() + 32);
        buf = large.data();
    }
    char* p = buf;
    if (neg) *p++ = '-';
    std::memcpy(p, mant.data(), mant.size());
    p += mant.size();
    *p++ = 'e';
    p = std::to_chars(p, p + 24, ex).ptr;
    *p = '\0';
    auto r = std::from_chars(buf, p, v);
    if (r.ec == std::errc::result_out_of_range) {
        v = std::strtod(buf, nullptr);
        return true;
    }
    return r.ec == std::errc() && r.ptr == p;
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

FreeRead::FreeRead(RecordReader& in, std::string source) : records_(&in), source_(std::move(source)) {}

FreeRead::FreeRead(std::string_view record, std::string source)
    : line_(record), record_(line_), have_record_(true), source_(std::move(source)) {}

bool FreeRead::next_record() {
    if (records_ != nullptr) {
        if (!records_->next(record_)) return false;
        terminated_ = records_->last_terminated();
    } else {
        if (in_ == nullptr || !read_line(*in_, line_)) return false;
        record_ = line_;
        terminated_ = !in_->eof();  // getline met the end of the file before a line feed
    }
    pos_ = 0;
    have_record_ = true;
    return true;
}

bool FreeRead::fail(const std::string& why) {
    error_ = why;
    if (!source_.empty()) error_ += " in " + source_;
    return false;
}

// A quoted text into text_, from the opening quote at pos_; a doubled quote
// stands for the quote itself, and the text may go on in the next records.
void FreeRead::read_quoted(char quote) {
    text_.clear();
    ++pos_;
    for (;;) {
        if (pos_ >= record_.size()) {
            if (!next_record()) return;
            continue;
        }
        const char q = record_[pos_++];
        if (q == quote && pos_ < record_.size() && record_[pos_] == quote) {
            text_.push_back(quote);
            ++pos_;
        } else if (q == quote) {
            return;
        } else {
            text_.push_back(q);
        }
    }
}

FreeRead::Tok FreeRead::next(std::string_view& tok, bool text_wanted) {
    if (slash_) return Tok::Slash;
    if (repeat_left_ > 0) {
        --repeat_left_;
        if (repeat_null_) return Tok::Null;
        tok = repeat_tok_;
        return Tok::Value;
    }
    const bool over_records = in_ != nullptr || records_ != nullptr;
    for (;;) {
        if (!have_record_ && !next_record()) return Tok::End;
        std::size_t at = pos_;
        while (at < record_.size() && (record_[at] == ' ' || record_[at] == '\t')) ++at;
        pos_ = at;
        if (pos_ >= record_.size()) {
            have_record_ = false;
            if (!over_records) return Tok::End;
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
    if (text_wanted && (c == '\'' || c == '"')) {
        read_quoted(c);
        tok = text_;
    } else {
        // Locals, so that the scan runs in registers.
        const char* const rec = record_.data();
        const std::size_t size = record_.size(), start = pos_;
        std::size_t at = pos_;
        bool starred = false;
        for (; at < size; ++at) {
            const char ch = rec[at];
            if (ch == ' ' || ch == '\t' || ch == ',' || ch == '/') break;
            starred = starred || ch == '*';
        }
        pos_ = at;
        tok = record_.substr(start, at - start);
        if (!terminated_ && at == size) {
            error_ = "the file ends inside the value \"" + std::string(tok) + "\" (it may have been cut off)";
            if (!source_.empty()) error_ += " in " + source_;
            return Tok::Cut;
        }
        // r*c and r* repeat forms.
        const auto star = starred ? tok.find('*') : std::string_view::npos;
        if (star != std::string_view::npos && star > 0) {
            std::int32_t r = 0;
            if (parse_int_token(tok.substr(0, star), r) && r > 0) {
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

bool FreeRead::next_whole_record(std::string_view& record) {
    if (slash_ || repeat_left_ > 0) return false;
    if (have_record_ && record_.find_first_not_of(" \t", pos_) != std::string_view::npos) return false;
    if ((in_ == nullptr && records_ == nullptr) || !next_record()) return false;
    record = record_;
    return true;
}

bool FreeRead::get_text(std::string_view& tok) {
    switch (next(tok, false)) {
        case Tok::End: return fail("end of data while reading a real");
        case Tok::Cut: return false;
        case Tok::Null:
        case Tok::Slash: tok = {}; return true;
        case Tok::Value: break;
    }
    last_ = tok;
    return true;
}

bool FreeRead::get(std::int32_t& v) {
    std::string_view tok;
    switch (next(tok, false)) {
        case Tok::End: return fail("end of data while reading an integer");
        case Tok::Cut: return false;
        case Tok::Null:
        case Tok::Slash: return true;
        case Tok::Value: break;
    }
    last_ = tok;
    if (!parse_int_token(tok, v)) return fail("cannot read an integer from \"" + std::string(tok) + "\"");
    return true;
}

bool FreeRead::get(double& v) {
    std::string_view tok;
    if (!get_text(tok)) return false;
    if (!tok.empty() && !parse_real_token(tok, v)) return fail("cannot read a real from \"" + std::string(tok) + "\"");
    return true;
}

bool FreeRead::get_finite(double& v, std::string_view what, std::string_view file) {
    if (!get(v)) return false;
    require_finite(v, last_, what, file);
    return true;
}

bool FreeRead::get(std::string& v) {
    std::string_view tok;
    switch (next(tok, true)) {
        case Tok::End: return fail("end of data while reading a text");
        case Tok::Cut: return false;
        case Tok::Null:
        case Tok::Slash: return true;
        case Tok::Value: break;
    }
    v = tok;
    return true;
}

bool FreeRead::get(bool& v) {
    std::string_view tok;
    switch (next(tok, false)) {
        case Tok::End: return fail("end of data while reading a logical");
        case Tok::Cut: return false;
        case Tok::Null:
        case Tok::Slash: return true;
        case Tok::Value: break;
    }
    if (!parse_logical_token(tok, v)) return fail("cannot read a logical from \"" + std::string(tok) + "\"");
    return true;
}

// ------------------------------------------------------------ fixed-field reads

bool read_real_field(std::string_view field, int d, double& v) {
    char small[64];
    std::string large;
    char* t = small;
    if (field.size() > sizeof small) {
        large.resize(field.size());
        t = large.data();
    }
    std::size_t n = 0;
    for (char c : field)
        if (c != ' ' && c != '\t') t[n++] = c;
    if (n == 0) {
        v = 0.0;
        return true;
    }
    return parse_fortran_real(std::string_view(t, n), d, v);
}

bool read_real_fields(std::istream& in, int n, const FieldLayout& layout, std::vector<double>& out,
                      std::string* error, const FiniteValues* finite) {
    const auto [per_line, skip, width, d] = layout;
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
            double& v = out[static_cast<std::size_t>(k)];
            if (!read_real_field(field, d, v)) {
                if (error) *error = "cannot read a real from \"" + std::string(field) + "\"";
                return false;
            }
            if (finite) require_finite(v, field, std::string(finite->what) + " " + std::to_string(k + 1), finite->file);
        }
    }
    return true;
}

}  // namespace quorin
