// Text conventions shared by every unit of quorin.
//
// Gaussian reads and writes Fortran-formatted text, and so do the users' files
// that quorin reads: free-form ("list-directed") lines and reads, and the
// fixed field codes A, Aw, nX, I0, Iw.m, Fw.d, Dw.d (ES15.8 on input).  Every
// byte written here is meant to match what gfortran writes for the same item.
//
// Texts are kept as std::string without their trailing blanks: every consumer
// uses them trimmed, so the blank padding of a fixed-length text never needs
// to be stored.  Where a declared length cuts a value, `cut` does it.
//
// The process ends in exactly two ways of its own, both as exceptions that
// `main` catches once: a stop with a status (Stop), and an I/O failure that no
// caller handled (IoFailure, status 2).
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <istream>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorin {

// ---------------------------------------------------------------- process end

// A stop with status N: main writes "STOP N" to standard error and returns N.
struct Stop {
    int status;
};

// An I/O failure that nothing handled: main writes the message to standard
// error and returns 2.  The message names the file and the offending value.
struct IoFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void stop(int status);
[[noreturn]] void io_failure(const std::string& what);

// Every number quorin hands on or decides by must be finite.  A NaN or an
// infinity read from a file stops the call (status 1) with one ERROR line
// naming the file, what was read and its text as it stands in the file
// (`text`, trimmed): never a formatted non-finite value.
[[noreturn]] void stop_non_finite(std::string_view text, std::string_view what, std::string_view file);
void require_finite(double v, std::string_view text, std::string_view what, std::string_view file);

// ---------------------------------------------------------------------- texts

// Only the blank (space) counts as a blank in texts.
[[nodiscard]] std::string rtrim(std::string_view s);
[[nodiscard]] std::string ltrim(std::string_view s);
[[nodiscard]] bool is_blank(std::string_view s);
// The first n characters of s (a longer value is cut to its declared length);
// the result carries no trailing blanks.
[[nodiscard]] std::string cut(std::string_view s, std::size_t n);
// ASCII case folding, A..Z to a..z; every other character stays.
void to_lowercase(std::string& s);
[[nodiscard]] bool contains(std::string_view s, std::string_view part);
[[nodiscard]] bool starts_with(std::string_view s, std::string_view prefix);

// Reads one record.  A carriage return before the line feed (files edited on
// Windows) is not part of the record.  Returns false at the end of the file.
[[nodiscard]] bool read_line(std::istream& in, std::string& line);

// Reads records until one for which `wanted` holds; false at the end.
template <class Pred>
[[nodiscard]] bool find_line(std::istream& in, std::string& line, Pred wanted) {
    while (read_line(in, line))
        if (wanted(line)) return true;
    return false;
}

// Reads the records of a file through one large buffer, without a copy per
// record: each record is a view into the buffer, valid until the next call.
// Records end at a line feed; a carriage return before it is no part of the
// record, as with read_line.  A record longer than the buffer grows it.
class RecordReader {
public:
    // A directory, or a file that cannot be opened, gives a reader that is
    // not open and has no records.
    explicit RecordReader(const std::string& path, std::size_t buffer_size = std::size_t(1) << 20);
    RecordReader(RecordReader&&) noexcept = default;
    RecordReader& operator=(RecordReader&&) noexcept = default;

    [[nodiscard]] bool is_open() const { return file_ != nullptr; }
    // False at the end of the file.
    [[nodiscard]] bool next(std::string_view& record);
    // Whether the record last handed out ended with a line feed (a last
    // record without one may have been cut off).
    [[nodiscard]] bool last_terminated() const { return terminated_; }
    // Skips to the next record that holds one of `markers`, searching the
    // buffered text for them rather than looking at the records one by one;
    // false at the end.  For long files in which few records matter.
    [[nodiscard]] bool next_holding(std::string_view& record, std::span<const std::string_view> markers);
    // Reads records until one for which `wanted` holds; false at the end.
    template <class Pred>
    [[nodiscard]] bool find(std::string_view& record, Pred wanted) {
        while (next(record))
            if (wanted(record)) return true;
        return false;
    }

private:
    bool refill();

    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    std::unique_ptr<char[]> buf_;
    std::size_t size_ = 0, begin_ = 0, end_ = 0;
    bool at_eof_ = false;
    bool terminated_ = true;
    std::array<std::uint32_t, 256> byte_counts_{};  // for next_holding
    bool counted_ = false;
};

// The reader of a file that must exist: one that cannot be opened prints
// `message` as a free-form line and stops with status 1.
[[nodiscard]] RecordReader records_or_stop(const std::string& path, const std::string& message);

// Opens a text file for reading.  A directory of that name counts as a file
// that cannot be opened (a stream over it would just read nothing).
[[nodiscard]] bool open_for_reading(const std::string& path, std::ifstream& in);
// The same, but a file that cannot be opened prints `message` as a
// free-form line and stops with status 1.
[[nodiscard]] std::ifstream open_or_stop(const std::string& path, const std::string& message);

// --------------------------------------------------------- writing: field codes

[[nodiscard]] std::string fmt_I0(long long v);
[[nodiscard]] std::string fmt_I(long long v, int w, int m);  // Iw.m
[[nodiscard]] std::string fmt_F(double x, int w, int d);     // Fw.d
[[nodiscard]] std::string fmt_A(std::string_view s, int w);  // Aw
// Several reals in D20.12, concatenated (one record of a "nD20.12" format).
[[nodiscard]] std::string fmt_D_row(std::initializer_list<double> xs);

// The field Gaussian reads every number of the External output from:
// x in D20.12, written to `out`; returns the field.  No allocation.
std::string_view put_D20_12(std::span<char, 20> out, double x);
// The D20.12 field of the value that a free-form token reads as, made from
// the token's own digits without converting it to binary and back.  Only
// plain decimal tokens are taken (a sign, digits with at most one point, an
// exponent by letter or bare sign) with at most 12 significant digits and a
// value well inside the normal range; for those the nearest double rounds
// back to the same 12 digits, so the field is exactly put_D20_12(value).
// Returns false for any other token (out then holds nothing of use).
[[nodiscard]] bool transcode_D20_12(std::string_view token, std::span<char, 20> out);
// The same for a whole record of a formatted checkpoint's real array: five
// 16-column ES15.8 fields (" -1.23456789E-02"), written as five D20.12
// fields with a line feed after each value whose index, counting from
// `first`, is 2 modulo 3 (three values to a line).  Returns the number of
// characters written (at most kFchkRecordOut), or 0 when the record is not
// in exactly that layout.
inline constexpr std::size_t kFchkRecordOut = 5 * 21;
[[nodiscard]] std::size_t transcode_fchk_record(std::string_view record, std::size_t first,
                                                std::span<char, kFchkRecordOut> out);

// ------------------------------------------------------- writing: free-form lines

// One item of a free-form line: a text, an integer, a real or a logical.
struct Item {
    enum class Kind { Text, Integer, Real, Logical };
    Kind kind;
    std::string text;
    long long integer = 0;
    double real = 0.0;
    bool logical = false;

    Item(const char* s) : kind(Kind::Text), text(s) {}
    Item(std::string s) : kind(Kind::Text), text(std::move(s)) {}
    Item(std::string_view s) : kind(Kind::Text), text(s) {}
    template <std::integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, char>)
    Item(T v) : kind(Kind::Integer), integer(static_cast<long long>(v)) {}
    Item(double v) : kind(Kind::Real), real(v) {}
    Item(bool v) : kind(Kind::Logical), logical(v) {}
};

// The free-form line for the items, without its line feed: one leading blank,
// a blank between items except between two texts, integers in 11 columns,
// reals in 25 columns, logicals as T or F.
[[nodiscard]] std::string free_line(std::initializer_list<Item> items);
[[nodiscard]] std::string free_real(double x);  // the 25 columns of one real item

// Console output (standard output).
void say(std::initializer_list<Item> items);  // a free-form line
void put(std::string_view record);             // a record written with A

// The one way a check ends the call: its lines (the first "ERROR: ...", the
// next one, if any, what to do about it) as free-form lines, then Stop with
// status 1.
[[noreturn]] void stop_with(std::initializer_list<Item> line);
[[noreturn]] void stop_with(std::initializer_list<Item> line, std::initializer_list<Item> more);

// ------------------------------------------------------------ free-form reads

// One free-form read statement.  Values are separated by blanks, a comma or
// the end of a record; a slash ends the read and leaves the remaining
// variables unchanged, as does a null value (two commas).  `r*c` repeats c.
// Over a stream the read continues on further records as needed; what is
// left of the last record used is dropped.  Over a single record, running out
// of values is the end of the file.  Over a file, a value that ends the last
// record where no line feed follows is refused: the file may have been cut
// off inside it (a killed writer, a full disk), and a shorter number is not
// the number that was written.
class FreeRead {
public:
    FreeRead(std::istream& in, std::string source);
    FreeRead(RecordReader& in, std::string source);
    FreeRead(std::string_view record, std::string source);

    // Each returns false when the value cannot be read (end of data or a
    // token that does not convert); error() then says which.
    [[nodiscard]] bool get(std::int32_t& v);
    [[nodiscard]] bool get(double& v);
    [[nodiscard]] bool get(std::string& v);
    [[nodiscard]] bool get(bool& v);
    // A real that must be finite: false as get() does; NaN or an infinity
    // stops the call (stop_non_finite: `what` read from `file`).
    [[nodiscard]] bool get_finite(double& v, std::string_view what, std::string_view file);
    // The text of the last value read, as it stands in the record.
    [[nodiscard]] std::string_view last_text() const { return last_; }

    // For callers that convert reals themselves: the text of the next value,
    // or an empty view for a null value or after a slash (the variable keeps
    // its value).  False at the end of data, with error() set.  The view is
    // valid until the next read.
    [[nodiscard]] bool get_text(std::string_view& token);

    // For callers with a short road for records of a known layout: when the
    // read stands between records (nothing but blanks left of the current
    // one, no repeat or slash pending), fetches the next record, hands it
    // out and returns true.  The caller then either takes all of its values
    // (skip_record) or leaves them to be read one by one as usual.
    [[nodiscard]] bool next_whole_record(std::string_view& record);
    void skip_record() {
        pos_ = record_.size();
        after_separator_ = false;
    }

    [[nodiscard]] const std::string& error() const { return error_; }
    [[nodiscard]] const std::string& source() const { return source_; }

    // Reads every variable in turn or throws IoFailure naming the source and
    // the value that did not convert.
    template <class... T>
    void must(T&... vars) {
        (must_one(vars), ...);
    }
    template <class... T>
    [[nodiscard]] bool all(T&... vars) {
        return (get(vars) && ...);
    }

private:
    enum class Tok { Value, Null, Slash, End, Cut };
    Tok next(std::string_view& tok, bool text_wanted);
    void read_quoted(char quote);
    bool next_record();
    template <class T>
    void must_one(T& v) {
        if (!get(v)) io_failure(error_);
    }
    bool fail(const std::string& why);

    std::istream* in_ = nullptr;
    RecordReader* records_ = nullptr;
    std::string line_;          // the record, when it is not a view into a reader
    std::string_view record_;
    bool terminated_ = true;    // the record ended with a line feed
    std::string_view last_;     // the text of the last value
    std::string text_;          // a quoted text, unquoted
    std::size_t pos_ = 0;
    bool have_record_ = false;
    bool slash_ = false;
    bool after_separator_ = true;  // at the start or after a comma
    int repeat_left_ = 0;
    bool repeat_null_ = false;
    std::string repeat_tok_;
    std::string source_;
    std::string error_;
};

// Convenience: one free-form read of the whole list from a single record.
template <class... T>
[[nodiscard]] bool try_read_free(std::string_view record, T&... vars) {
    FreeRead r(record, std::string());
    return r.all(vars...);
}
template <class... T>
void read_free(std::string_view record, const std::string& source, T&... vars) {
    FreeRead r(record, source);
    r.must(vars...);
}

// Conversions of one free-form token (no blanks inside).
[[nodiscard]] bool parse_int_token(std::string_view tok, std::int32_t& v);
[[nodiscard]] bool parse_real_token(std::string_view tok, double& v);
[[nodiscard]] bool parse_logical_token(std::string_view tok, bool& v);

// ------------------------------------------------------------ fixed-field reads

// A numeric input field of a Dw.d / Fw.d / ESw.d code: blanks are ignored, an
// all-blank field is zero, and without a decimal point the last d digits are
// the fraction.  Exponents by E, D, Q (either case) or a bare sign.
[[nodiscard]] bool read_real_field(std::string_view field, int d, double& v);

// Where the reals of a fixed-field record stand: `per_line` fields to a
// record, each preceded by `skip` columns and `width` wide, with `digits`
// implied fraction digits when a field holds no point.
struct FieldLayout {
    int per_line;
    int skip;
    int width;
    int digits;
};
// The (5(1X,ES15.8)) layout of the real arrays of formatted checkpoints.
inline constexpr FieldLayout kFchkReals{5, 1, 15, 8};

// Reads n reals in the given layout, continuing on as many records as
// needed.  Returns false at an early end of the file, on a field that does
// not convert, and on a record that ends before a field it should hold is
// complete.  Given `finite` (what the values are, and the file), a value
// that is NaN or an infinity stops the call (stop_non_finite).
struct FiniteValues {
    std::string_view what;  // "NTO eigenvalue": the message adds the value's number
    std::string_view file;
};
[[nodiscard]] bool read_real_fields(std::istream& in, int n, const FieldLayout& layout, std::vector<double>& out,
                                    std::string* error = nullptr, const FiniteValues* finite = nullptr);

}  // namespace quorin
