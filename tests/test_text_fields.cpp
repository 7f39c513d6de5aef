// The text fields must match what gfortran writes, byte for byte: Gaussian
// reads quorin's output with Fortran formats, and users compare quorin's
// console lines with those of the Fortran tools they know.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <regex>

#include "outside_programs.hpp"
#include "test_support.hpp"

using namespace quorin;
using namespace quorin::test;

namespace {

std::vector<double> interesting_reals() {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> v = {0.0, -0.0, 1.0, -1.0, 0.3, 0.1, -0.1, std::nextafter(0.1, 0.0),
                             9.9999999999995, 9.99999999999949, 0.99999999999995, 1e-150, -1e-150, 1e300,
                             -1.7976931348623157e308, 4.9406564584124654e-324, 2.2250738585072014e-308,
                             1e17, 99999999999999999.0, 1e16, 9999999999999998.0, 123.4567, -123.456, 0.5,
                             -0.5, 0.0005, 0.0015, 0.0025, -0.0001, 999.9995, 99.9995, -76.4, 0.01, -0.02,
                             1e-5, -1e-5, 0.123456789012345, -0.123456789012345, 1.5, 12345.678, 1e-100,
                             1e99, 1e100, 9.9999999999999e99, inf, -inf};
    std::mt19937_64 gen(20261206);
    std::uniform_real_distribution<double> mant(1.0, 10.0);
    std::uniform_int_distribution<int> expo(-30, 30);
    for (int i = 0; i < 400; ++i) {
        double x = mant(gen) * std::pow(10.0, expo(gen));
        if (i % 2) x = -x;
        v.push_back(x);
    }
    // Values whose decimal expansion sits right at a rounding boundary.
    for (int i = 0; i < 100; ++i) v.push_back(std::round(mant(gen) * 1e6) / 1e6 + 5e-7 * (i % 3 - 1));
    return v;
}

}  // namespace

TEST(TextFields, RealFieldsMatchGfortran) {
    QUORIN_FORTRAN_OR_SKIP();
    const std::vector<double> values = interesting_reals();
    const std::vector<FortranText> g = gfortran(values);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values[i];
        SCOPED_TRACE(testing::Message() << "value " << std::hexfloat << x);
        EXPECT_EQ(free_line({x}) + fmt_D_row({x}) + fmt_F(x, 20, 12) + fmt_F(x, 10, 6) + fmt_F(x, 6, 3) + fmt_F(x, 12, 6) +
                      fmt_F(x, 4, 3) + fmt_F(x, 5, 3) + fmt_F(x, 8, 0) + fmt_F(x, 5, 1),
                  g[i].free + g[i].d20 + g[i].f20 + g[i].f10 + g[i].f6 + g[i].f12 + g[i].f4 + g[i].f5 + g[i].f8 + g[i].f51);
    }
}

namespace {

// A million doubles for the D20.12 sweep: every exponent (random bit
// patterns, NaN and infinities among them), subnormals, exact ties at the
// 12th digit and their neighbours, powers of ten and their neighbours, the
// nine-digit values of formatted checkpoints, and both zeros.
std::vector<double> sweep_values() {
    std::mt19937_64 gen(1206);
    std::vector<double> v = {0.0, -0.0, std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min()};
    auto sign = [&](double x) { return gen() & 1 ? -x : x; };
    const std::uint64_t mantissa_bits = (std::uint64_t(1) << 52) - 1;
    while (v.size() < 1000000) {
        switch (v.size() % 6) {
            case 0:
            case 1: v.push_back(std::bit_cast<double>(gen())); break;
            case 2: v.push_back(sign(std::bit_cast<double>(gen() & mantissa_bits))); break;  // subnormal
            case 3: {
                // D x 10^k with D a 13-digit odd multiple of 5: the 12-digit
                // rounding is an exact tie.  For k < 0, D = r 5^-k and the
                // value is r 2^k; for k >= 0 it is 5r 10^k (below 2^53 x 2^k).
                const int k = static_cast<int>(gen() % 23) - 18;
                const int m = std::max(1, -k);
                const double p5 = std::pow(5.0, m);
                const auto lo = static_cast<std::uint64_t>(std::ceil(1e12 / p5));
                const auto hi = static_cast<std::uint64_t>(std::floor(9999999999999.0 / p5));
                const std::uint64_t r = (lo + gen() % (hi - lo + 1)) | 1;
                const double x = k < 0 ? std::ldexp(static_cast<double>(r), k)
                                       : std::ldexp(static_cast<double>(r * 5 * static_cast<std::uint64_t>(
                                                                                 std::pow(5.0, k))), k);
                const int side = static_cast<int>(gen() % 3);  // the tie, or the next double either way
                v.push_back(sign(side == 0 ? x : std::nextafter(x, side == 1 ? 0.0 : HUGE_VAL)));
                break;
            }
            case 4: {
                const double p = std::pow(10.0, static_cast<int>(gen() % 600) - 300);
                const int side = static_cast<int>(gen() % 3);
                v.push_back(sign(side == 0 ? p : std::nextafter(p, side == 1 ? 0.0 : HUGE_VAL)));
                break;
            }
            default: {
                char text[32];
                std::snprintf(text, sizeof text, "%.8E",
                              sign(std::uniform_real_distribution<double>(1.0, 10.0)(gen)) *
                                  std::pow(10.0, static_cast<int>(gen() % 40) - 20));
                v.push_back(std::strtod(text, nullptr));
            }
        }
    }
    return v;
}

}  // namespace

TEST(TextFields, MillionDoublesInD20_12MatchGfortran) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    const std::vector<double> values = sweep_values();
    write_file("values.bin", std::string(reinterpret_cast<const char*>(values.data()), values.size() * 8));
    const ProcessResult r = test::run_process(std::string(FORTRAN_REF) + " values.bin");
    ASSERT_EQ(r.out.size(), values.size() * 21) << r.err;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string_view want(r.out.data() + i * 21, 20);
        char field[20];
        ASSERT_EQ(put_D20_12(field, values[i]), want) << std::hexfloat << values[i];
        // Read back, gfortran's field is the same field again, by either road.
        double back = 0.0;
        const std::string_view token = want.substr(want.find_first_not_of(' '));
        if (!std::isfinite(values[i])) continue;
        ASSERT_TRUE(parse_real_token(token, back) && put_D20_12(field, back) == want) << want;
        if (std::fabs(back) > 1e-290 && std::fabs(back) < 1e290)
            ASSERT_TRUE(transcode_D20_12(token, field) && std::string_view(field, 20) == want) << want;
    }
}

TEST(TextFields, TranscodedTokensEqualTheFieldOfTheirValue) {
    // Tokens of every shape the free-form reader takes, each turned into a
    // D20.12 field straight from its digits or, where the transcoder declines,
    // not at all: never into a field other than that of its value.
    std::mt19937_64 gen(77);
    const char* letters[] = {"E", "e", "D", "d", "Q", "q", ""};
    int taken = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string t = gen() % 4 == 0 ? "-" : gen() % 4 == 0 ? "+" : "";
        const int ndig = 1 + static_cast<int>(gen() % 16);
        const int point_at = static_cast<int>(gen() % (ndig + 2)) - 1;  // -1: no point
        for (int k = 0; k < ndig; ++k) {
            if (k == point_at) t += '.';
            t += static_cast<char>('0' + (k < 3 && gen() % 3 == 0 ? 0 : gen() % 10));
        }
        if (point_at == ndig) t += '.';
        if (gen() % 5 != 0) {
            const int e = static_cast<int>(gen() % 700) - 350;
            const std::string letter = letters[gen() % 7];
            t += letter + (e < 0 ? "-" : letter.empty() || gen() % 2 ? "+" : "") + std::to_string(std::abs(e));
        }
        double v = 0.0;
        ASSERT_TRUE(parse_real_token(t, v)) << t;
        char field[20], want[20];
        if (!transcode_D20_12(t, field)) continue;
        ++taken;
        ASSERT_EQ(std::string_view(field, 20), put_D20_12(want, v)) << t;
    }
    EXPECT_GT(taken, 50000);

    // Whole checkpoint records: five (1X,ES15.8) fields, zeros of both signs
    // and three-digit exponents (which leave the record to the reader) among them.
    int records_taken = 0;
    for (int r = 0; r < 20000; ++r) {
        std::string record, want;
        bool plain = true;
        const std::size_t first = gen() % 3;
        for (std::size_t j = 0; j < 5; ++j) {
            double v = std::ldexp(static_cast<double>(gen() >> 11), static_cast<int>(gen() % 700) - 400);
            if (gen() % 50 == 0) v = 0.0;
            if (gen() % 2) v = -v;
            char text[32];
            std::snprintf(text, sizeof text, "%16.8E", v);
            record += text;
            plain = plain && std::strlen(text) == 16 && text[0] == ' ' && (text[1] == ' ' || text[1] == '-');
            char field[20];
            want += put_D20_12(field, std::strtod(text, nullptr));
            if ((first + j) % 3 == 2) want += '\n';
        }
        char out[kFchkRecordOut];
        const std::size_t n = transcode_fchk_record(record, first, out);
        if (plain && record.size() == 80) {
            ASSERT_EQ(std::string(out, n), want) << record;
            ++records_taken;
        } else {
            ASSERT_EQ(n, 0u) << record;
        }
    }
    EXPECT_GT(records_taken, 5000);
    EXPECT_LT(records_taken, 19000);
    char field[20] = {};
    for (const char* odd : {"1.5e", "1.2.3", "0x1p3", "1.0E+00001", "1.0E-302", "1.0001000100010001", "inf", "2*3.0"})
        EXPECT_FALSE(transcode_D20_12(odd, field)) << odd;
}

TEST(TextFields, IntegerFieldsAndMixedLinesMatchGfortran) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    std::string input = "M x\n", mine;
    for (const std::string& line : {free_line({"Charge:", -1}), free_line({"ab", "cd"}), free_line({"x", 1.0, "y"}),
                                    free_line({3, "abc", 4}), free_line({true, 1, false}), free_line({""}),
                                    free_line({"Atoms:", 3, "and", -2.5e-7, false, "end"})})
        mine += line + "\n";
    for (int v : {0, 7, -1, 123, 9999, 10000, 12345, -5, 2147483647, -2147483647 - 1}) {
        input += "I " + std::to_string(v) + "\n";
        mine += free_line({v}) + "\n" + fmt_I0(v) + "\n" + fmt_I(v, 4, 4) + "\n";
    }
    write_file("in.txt", input);
    EXPECT_EQ(test::run_process(std::string(FORTRAN_REF) + " < in.txt").out, mine);
}

namespace {

// What a series of free-form reads of n items of one kind ('R', 'I', 'L',
// 'A') makes of a file, in the Fortran reference program's form: a line per
// read, its status (0, or "end" / "error" for the read that fails, which
// ends the series) and the items as the read left them.
template <class T, class Reader>
std::string read_series(Reader& reader, int n, T first, int statements = 1 << 20) {
    std::array<T, 4> items;  // n of them
    items.fill(first);
    if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::int32_t>)
        for (int k = 0; k < 4; ++k) items[k] = T(-k - 1);
    std::string out;
    for (; statements > 0; --statements) {
        FreeRead r(reader, "");
        bool ok = true;
        for (int k = 0; k < n; ++k) ok = ok && r.get(items[k]);
        if (!ok) return out + (r.error().starts_with("end of data") ? "end\n" : "error\n");
        out += '0';
        for (int k = 0; k < n; ++k) {
            const T& v = items[k];
            char text[48];
            if constexpr (std::is_same_v<T, double>)
                std::snprintf(text, sizeof text, " %016llX", std::isnan(v) ? 0x7FF8000000000000ull : std::bit_cast<unsigned long long>(v));
            else if constexpr (std::is_same_v<T, std::int32_t>) std::snprintf(text, sizeof text, " %d", v);
            else if constexpr (std::is_same_v<T, bool>) std::snprintf(text, sizeof text, " %c", v ? 'T' : 'F');
            else std::snprintf(text, sizeof text, " [%s]", rtrim(v).c_str());
            out += text;
        }
        out += '\n';
    }
    return out;
}

}  // namespace

// Random files of free-form records (values of every spelling, nulls,
// repeats, slashes, texts over two records, values that do not read) are
// read, a series of read statements each, through a stream and through a
// record reader whose buffer the records outgrow, as gfortran reads them.
TEST(TextFields, FreeFormReadsMatchGfortran) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    std::mt19937_64 gen(1812);
    auto one_of = [&](std::initializer_list<std::string> xs) { return *(xs.begin() + gen() % xs.size()); };
    auto any_case = [&](std::string s) {
        for (char& c : s) c = gen() % 2 ? static_cast<char>(std::toupper(c)) : c;
        return s;
    };
    auto digits = [&](int most) {
        std::string d;
        for (int k = static_cast<int>(gen() % most); k >= 0; --k) d += static_cast<char>('0' + gen() % 10);
        return d;
    };
    auto value = [&](char kind) -> std::string {
        switch (gen() % 8 == 0 ? 'x' : kind) {
            case 'R':
                if (gen() % 5 == 0) return one_of({"", "+", "-"}) + any_case(one_of({"inf", "infinity", "nan", "nan()", "nan(0x7)"}));
                return one_of({"", "+", "-"}) + one_of({digits(8) + ".", digits(3), "." + digits(4), digits(2) + "." + digits(9), digits(99)}) +
                       (gen() % 2 ? "" : one_of({"e", "E", "d", "D", "q", "Q", ""}) + one_of({"", "+", "-"}) + digits(2));
            case 'I': return one_of({"", "+", "-"}) + (gen() % 9 ? digits(9) : one_of({"2147483647", "2147483648", "-2147483648"}));
            case 'L':  // (gfortran takes "Tx ," as a value and a null, so longer values have their dot)
                return gen() % 3 ? "." + any_case(one_of({"t", "f", "true", "false", "tru", "fx"})) + one_of({"", "."}) : one_of({"t", "F"});
            case 'A': return one_of({"abc", "x1", "'a b'", "'it''s'", "\"q,r\"", "'two\nrecords'", "'/'"});
            default: return one_of({"1.2.3", "abc", "1e", ".", "+", "infin", "0x1p3", "nan(", "3.0", "yes", "*5"});
        }
    };
    // Repeats; quorin neither repeats a quoted text (r*'a,b' gives 'a) nor
    // refuses a zero count before a text (0*abc is the text), as gfortran does.
    auto unquoted = [](std::string v) { return v[0] == '\'' || v[0] == '"' ? std::string("x1") : v; };
    char kind = 'R';
    auto count = [&] { return std::to_string(gen() % 10 + (kind == 'A')); };
    int values = 0;
    for (int file = 0; file < 400; ++file) {
        kind = "RILA"[file % 4];
        const int n = 1 + static_cast<int>(gen() % 4);
        std::string text;
        for (int k = static_cast<int>(gen() % 24); k >= 0; --k) {
            const int r = static_cast<int>(gen() % 12);
            text += r == 0 ? "" : r == 1 ? "," : r == 2 ? "/" : r == 3 ? count() + "*" : r == 4 ? count() + "*" + unquoted(value(kind)) : value(kind);
            text += one_of({" ", "  ", "\t", ",", " , ", "\n", "\r\n", std::string(70, ' ')});
            ++values;
        }
        if (file % 5 == 0) std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        // (gfortran misses null values at commas that open later records)
        text = std::regex_replace(text, std::regex("\n[ \t,]+"), "\n");
        write_file("f.txt", text + "\n");
        std::string want;
        for (const std::string& line : lines_of(run_process(std::string(FORTRAN_REF) + " f.txt " + kind + std::to_string(n)).out))
            want += line.starts_with("0") ? std::regex_replace(line, std::regex("FFF8000000000000"), "7FF8000000000000") + "\n"
                    : line.starts_with("-") ? "end\n" : "error\n";
        std::ifstream stream("f.txt", std::ios::binary);
        RecordReader records("f.txt", 64);
        std::string_view record(text);  // a single record, read once, when the file holds one
        auto all = [&](auto first) {
            return std::array{read_series(stream, n, first), read_series(records, n, first),
                              file % 5 ? want : read_series(record, n, first, 1) + want.substr(want.find('\n') + 1)};
        };
        const auto got = kind == 'R' ? all(0.0) : kind == 'I' ? all(std::int32_t{0}) : kind == 'L' ? all(false) : all(std::string("x"));
        for (const std::string& g : got) ASSERT_EQ(g, want) << text;
    }
    EXPECT_GT(values, 4000);

    // The end of a file, and what holds no records.
    write_file("r.txt", "42\n7");
    RecordReader records("r.txt", 64);
    std::string_view last;
    EXPECT_TRUE(records.next(last) && records.next(last) && last == "7" && !records.last_terminated());
    EXPECT_FALSE(records.next(last));
    EXPECT_FALSE(RecordReader("no_such_file").is_open());
    EXPECT_FALSE(RecordReader(".").is_open());
}

TEST(TextFields, FixedFieldRead) {
    // No point: the last d digits are the fraction; blanks are zero.
    for (const auto& [field, d, ok, value] : std::vector<std::tuple<std::string, int, bool, double>>{
             {"   1", 3, true, 0.001}, {"    ", 8, true, 0.0}, {" -0.100000000000-149", 12, true, -1e-150},
             {"  abc", 8, false, -1.0}}) {
        double x = -1;
        EXPECT_EQ(read_real_field(field, d, x), ok) << field;
        if (ok) EXPECT_EQ(x, value) << field;
    }

    // (Records of such fields: the checkpoint's geometry in test_gaussian_utils.cpp.)
}
