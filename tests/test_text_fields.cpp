// The text fields must match what gfortran writes, byte for byte: Gaussian
// reads quorin's output with Fortran formats, and users compare quorin's
// console lines with those of the Fortran tools they know.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>

#include "outside_programs.hpp"
#include "test_support.hpp"
#include "text_fields.hpp"

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
    if (std::string(FORTRAN_REF).empty()) GTEST_SKIP() << "no Fortran compiler in this build";
    ScratchDir dir;
    std::vector<double> values = interesting_reals();
    std::string input;
    for (double x : values) input += "R " + std::to_string(std::bit_cast<std::int64_t>(x)) + "\n";
    write_file("in.txt", input);
    auto r = test::run_process(std::string(FORTRAN_REF) + " < in.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), values.size() * 6);
    for (std::size_t i = 0; i < values.size(); ++i) {
        double x = values[i];
        const std::string* g = &out[i * 6];
        SCOPED_TRACE(testing::Message() << "value " << std::hexfloat << x);
        EXPECT_EQ(free_line({x}), g[0]);
        EXPECT_EQ(fmt_D(x, 20, 12), g[1]);
        EXPECT_EQ(fmt_F(x, 20, 12), g[2]);
        EXPECT_EQ(fmt_F(x, 10, 6), g[3]);
        EXPECT_EQ(fmt_F(x, 6, 3), g[4]);
        EXPECT_EQ(fmt_F(x, 12, 6), g[5]);
    }
}

TEST(TextFields, IntegerFieldsAndMixedLinesMatchGfortran) {
    if (std::string(FORTRAN_REF).empty()) GTEST_SKIP() << "no Fortran compiler in this build";
    ScratchDir dir;
    std::vector<int> ints = {0, 7, -1, 123, 9999, 10000, 12345, -5, 2147483647, -2147483647 - 1};
    std::string input = "M x\n";
    for (int v : ints) input += "I " + std::to_string(v) + "\n";
    write_file("in.txt", input);
    auto r = test::run_process(std::string(FORTRAN_REF) + " < in.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 7 + ints.size() * 3);
    EXPECT_EQ(free_line({"Charge:", -1}), out[0]);
    EXPECT_EQ(free_line({"ab", "cd"}), out[1]);
    EXPECT_EQ(free_line({"x", 1.0, "y"}), out[2]);
    EXPECT_EQ(free_line({3, "abc", 4}), out[3]);
    EXPECT_EQ(free_line({true, 1, false}), out[4]);
    EXPECT_EQ(free_line({""}), out[5]);
    EXPECT_EQ(free_line({"Atoms:", 3, "and", -2.5e-7, false, "end"}), out[6]);
    for (std::size_t i = 0; i < ints.size(); ++i) {
        SCOPED_TRACE(ints[i]);
        EXPECT_EQ(free_line({ints[i]}), out[7 + i * 3]);
        EXPECT_EQ(fmt_I0(ints[i]), out[8 + i * 3]);
        EXPECT_EQ(fmt_I(ints[i], 4, 4), out[9 + i * 3]);
    }
}

TEST(TextFields, FieldsWithoutGfortranAtHand) {
    // The layouts Gaussian relies on, so that a build without gfortran still
    // checks them.
    EXPECT_EQ(fmt_D(-123.456, 20, 12), " -0.123456000000D+03");
    EXPECT_EQ(fmt_D(1e-150, 20, 12), "  0.100000000000-149");
    EXPECT_EQ(fmt_D(9.9999999999995, 20, 12), "  0.100000000000D+02");
    EXPECT_EQ(fmt_D(-0.0, 20, 12), " -0.000000000000D+00");
    EXPECT_EQ(fmt_I(12345, 4, 4), "****");
    EXPECT_EQ(fmt_F(-0.5, 5, 3), "-.500");  // the optional zero goes when the field is full
    EXPECT_EQ(fmt_A("abcdef", 3) + fmt_A("ab", 4), "abc  ab");
    EXPECT_EQ(free_line({0.0}), "   0.0000000000000000     ");
}

TEST(TextFields, FreeFormReads) {
    std::int32_t a = -9, b = -9, c = -9, d = -9, e = -9;
    EXPECT_TRUE(try_read_free("3 1 , 0 1 junk", a, b, c, d));
    EXPECT_EQ((std::vector<int>{a, b, c, d}), (std::vector<int>{3, 1, 0, 1}));
    // A null value and a slash leave their variables unchanged.
    a = b = c = d = -9;
    EXPECT_TRUE(try_read_free("3,,5/ 7", a, b, c, d));
    EXPECT_EQ((std::vector<int>{a, b, c, d}), (std::vector<int>{3, -9, 5, -9}));
    EXPECT_TRUE(try_read_free("2*4 1", a, b, c));
    EXPECT_EQ((std::vector<int>{a, b, c}), (std::vector<int>{4, 4, 1}));
    // Integers must be written as integers and fit in 32 bits.
    for (const char* bad : {"3.0", "", "99999999999"}) EXPECT_FALSE(try_read_free(bad, a)) << bad;

    double x = 0;
    for (auto [text, want] : std::vector<std::pair<std::string, double>>{
             {"1.5-03", 1.5e-3}, {"  0.150000000000D+01", 1.5}, {"-.25Q+1", -2.5}, {"7.E-2,", 0.07}, {"inf", INFINITY}}) {
        EXPECT_TRUE(try_read_free(text, x)) << text;
        EXPECT_EQ(x, want) << text;
    }
    for (const char* bad : {"1.2.3", "abc"}) EXPECT_FALSE(try_read_free(bad, x)) << bad;

    bool l = false;
    EXPECT_TRUE(try_read_free(".true.", l) && l);
    EXPECT_TRUE(try_read_free("Fx", l) && !l);
    EXPECT_FALSE(try_read_free("yes", l));

    std::string s;
    for (auto [text, want] :
         std::vector<std::pair<std::string, std::string>>{{"'a b' c", "a b"}, {"abc,def", "abc"}, {"'it''s'", "it's"}}) {
        EXPECT_TRUE(try_read_free(text, s)) << text;
        EXPECT_EQ(s, want) << text;
    }

    // A read goes on in the next record; what remains of the last record used
    // is dropped, and a carriage return is no part of a record.
    std::istringstream in("3\r\n1 0 1 extra\r\n42\n");
    EXPECT_TRUE(FreeRead(in, "header.EIn").all(a, b, c, d));
    EXPECT_EQ((std::vector<int>{a, b, c, d}), (std::vector<int>{3, 1, 0, 1}));
    EXPECT_TRUE(FreeRead(in, "header.EIn").get(e));
    EXPECT_EQ(e, 42);
}

TEST(TextFields, FixedFieldReads) {
    double x = -1;
    EXPECT_TRUE(read_real_field("   1", 3, x));  // no point: the last d digits are the fraction
    EXPECT_EQ(x, 0.001);
    EXPECT_TRUE(read_real_field("    ", 8, x));
    EXPECT_EQ(x, 0.0);
    EXPECT_TRUE(read_real_field(" -0.100000000000-149", 12, x));
    EXPECT_EQ(x, -1e-150);
    EXPECT_FALSE(read_real_field("  abc", 8, x));

    // Five (1X,ES15.8) values to a record, over as many records as needed;
    // the last record holds what remains.
    std::istringstream in("  1.00000000E+00 -2.50000000E-01  3.00000000E+00  4.00000000E+00  5.00000000E+00\n"
                          "  6.00000000E+00  7.00000000E-03\n"
                          "Beta Orbital Energies                      R   N=           7\n");
    std::vector<double> v;
    ASSERT_TRUE(read_real_fields(in, 7, 5, 1, 15, 8, v));
    EXPECT_EQ(v, (std::vector<double>{1.0, -0.25, 3.0, 4.0, 5.0, 6.0, 7e-3}));
    // A file cut off inside a number (a full disk, a crash) holds no number there.
    std::istringstream cut_off("  1.00000000E+00 -2.5000");
    EXPECT_FALSE(read_real_fields(cut_off, 2, 5, 1, 15, 8, v));
    // Reading on into the next section header fails instead of inventing values.
    std::istringstream in2("  1.00000000E+00\nBeta Orbital Energies                      R   N=           7\n");
    EXPECT_FALSE(read_real_fields(in2, 6, 5, 1, 15, 8, v));
}

TEST(TextFields, Files) {
    ScratchDir dir;
    replace_file_atomically("state.dat", "one\n");
    replace_file_atomically("state.dat", "two\n");
    EXPECT_EQ(read_file("state.dat"), "two\n");
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);  // no part file left
    EXPECT_THROW(replace_file_atomically("no_such_dir/state.dat", "x"), IoFailure);

    // A pattern matches whole names only.
    for (std::string name : {"new_state3.fch", "new_state3.fch.txt", "new_state12.fch", "old.fch"})
        write_file("temp/" + name, name);
    remove_matching("temp", "new_state*.fch");
    EXPECT_EQ(list_matching("temp", "*"), (std::vector<std::string>{"new_state3.fch.txt", "old.fch"}));

    // A target name near the file-name limit still gets its copy; a missing
    // source leaves the target as it was.
    const std::string long_name = "temp/" + std::string(240, 'a') + ".chk";
    EXPECT_TRUE(copy_file_over("temp/old.fch", long_name));
    EXPECT_EQ(read_file(long_name), "old.fch");
    EXPECT_FALSE(copy_file_over("temp/missing.fch", long_name));
    EXPECT_EQ(read_file(long_name), "old.fch");
}
