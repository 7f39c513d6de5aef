// Start-up of one call: value parsers, the two configuration sources, the
// start-up summary, the choice of the source and the External input header.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "module_init.hpp"
#include "outside_programs.hpp"
#include "test_support.hpp"

namespace quorin {
namespace {

using test::CaptureStdout;
using test::read_file;
using test::ScratchDir;
using test::status_of;
using test::write_file;
namespace fs = std::filesystem;

// A Gaussian input whose title block is `title`; the route ends at a line of blanks.
std::string gjf_with_title(const std::string& title) {
    return "%chk=job.chk\n#p opt external='quorin'\n  \n" + title + "\n\n0 1\nC 0.0 0.0 0.0\n\n";
}

struct Call {
    int status;
    std::string out;
    std::string error;  // message of an I/O failure
    std::string gjf, input, output;
    Tddft_config config;
    int natoms = -7, charge = -7, mult = -7, ider = -7;
    bool chk = false;
};

Call start(const std::vector<std::string>& args) {
    Call r;
    CaptureStdout cap;
    r.status = status_of(
        [&] { initialize_quorin(args, r.gjf, r.input, r.output, r.config, r.natoms, r.charge, r.mult, r.ider, r.chk); },
        &r.error);
    r.out = cap.text();
    return r;
}

const std::vector<std::string> kSeven = {"job.gjf", "layer", "in.EIn", "out.EOu", "msg", "fchk", "matel"};
const std::vector<std::string> kSix = {"layer", "in.EIn", "out.EOu", "msg", "fchk", "matel"};

TEST(ValueParsers, QuotesNumbersAndLogicals) {
    EXPECT_EQ(parse_value("'x'"), "x");
    EXPECT_EQ(parse_value("''"), "");
    EXPECT_EQ(parse_value("'"), "");
    EXPECT_EQ(parse_value("\"abc"), "abc");
    EXPECT_EQ(parse_value("abc'"), "abc");
    EXPECT_EQ(parse_value("   \"6-31g*'   "), "6-31g*");
    EXPECT_EQ(parse_value("' a b '"), " a b");

    EXPECT_EQ(parse_integer("2 # two"), 2);
    EXPECT_EQ(parse_integer("'-3'"), -3);
    EXPECT_DOUBLE_EQ(parse_real(".25"), 0.25);
    EXPECT_DOUBLE_EQ(parse_real("1.5d-1"), 0.15);

    std::string msg;
    EXPECT_EQ(status_of([] { parse_integer("2.5", "key root in job.gjf"); }, &msg), 2);
    EXPECT_EQ(msg, "cannot read an integer from \"2.5\" (key root in job.gjf)");
    EXPECT_EQ(status_of([] { parse_real("", "key ntothre in c.toml"); }, &msg), 2);
    EXPECT_EQ(msg, "cannot read a real from \"\" (key ntothre in c.toml)");

    for (const char* yes : {".t.", "T", "TRUE", ".True.", "'t'", "  \"true\""}) EXPECT_TRUE(parse_logical(yes)) << yes;
    for (const char* no : {".f.", "false", "yes", "1", "", "true # verbose", ".tru."})
        EXPECT_FALSE(parse_logical(no)) << no;
}

TEST(GjfConfig, TitleBlockKeysAndDefaults) {
    ScratchDir dir;
    // Blank lines before the title, a title over two lines with CR LF ends,
    // later keys winning, text case kept; the line after the block is not read.
    write_file("job.gjf",
               "%mem=1GB\r\n#p opt\r\n\r\n\r\n   \r\nroot=2 method=b3lyp basis='6-31g*' sdnto=.T.\r\n"
               "  nadd=4 ROOT=3 Method=B3LYP extra=scrf=(smd) note\r\n\r\nroot=9 debug=t\r\n");
    Tddft_config c;
    c.root = 42;
    read_config_gjf("job.gjf", c);
    EXPECT_EQ(std::vector<int>({c.root, c.nadd, c.sntorange}), std::vector<int>({3, 4, -1}));
    EXPECT_EQ(c.method + "|" + c.basis + "|" + c.extra, "B3LYP|6-31g*|scrf=(smd)");
    EXPECT_TRUE(c.sdnto && c.vosksnto);  // vosksnto: the gjf-mode default
    EXPECT_FALSE(c.debug);

    // Blanks around "=" break the pair; a long text value keeps 80 characters.
    const std::string long_method(100, 'm');
    write_file("job.gjf", gjf_with_title("root = 2 nadd =5 method=" + long_method));
    read_config_gjf("job.gjf", c);
    EXPECT_EQ(c.root + c.nadd, 1 + 2);
    EXPECT_EQ(c.method, long_method.substr(0, 80));

    write_file("job.gjf", gjf_with_title("root=2.5"));
    std::string msg;
    EXPECT_EQ(status_of([&] { read_config_gjf("job.gjf", c); }, &msg), 2);
    EXPECT_EQ(msg, "cannot read an integer from \"2.5\" (key root in job.gjf)");
}

TEST(GjfConfig, FileErrorsAndBlockLimit) {
    ScratchDir dir;
    Tddft_config c;
    auto failure = [&](const std::string& text) {
        write_file("job.gjf", text);
        CaptureStdout cap;
        EXPECT_EQ(status_of([&] { read_config_gjf("job.gjf", c); }), 1);
        return cap.text();
    };
    EXPECT_EQ(failure("%chk=a\n#p opt\n"), " ERROR: Unexpected end of gjf file before comment line\n");
    EXPECT_EQ(failure("#p opt\n\n\nroot=2"), " ERROR: Unexpected end of gjf file before comment block\n");
    EXPECT_EQ(failure("#p opt\n\n\n\n"), " ERROR: Unexpected end of gjf file before comment block\n");

    // The block holds 2048 characters: two lines that join to exactly that
    // many are read (the key at the end proves it), one more is refused.
    const std::string first(1000, 'x');
    const std::string second = std::string(1040, 'y') + " root=5";  // 1047 characters
    write_file("job.gjf", gjf_with_title(first + "\n" + second));
    read_config_gjf("job.gjf", c);
    EXPECT_EQ(c.root, 5);
    EXPECT_EQ(failure(gjf_with_title(first + "\n" + second + "6")),
              " ERROR: GJF comment block too long (multi-line route).\n");
    EXPECT_EQ(failure(gjf_with_title(std::string(2049, 'z'))),
              " ERROR: GJF comment block too long (multi-line route).\n");

    CaptureStdout cap;
    EXPECT_EQ(status_of([&] { read_config_gjf("missing dir/x.gjf", c); }), 1);
    EXPECT_EQ(cap.text(), " ERROR: Cannot open gjf file: missing dir/x.gjf\n");
}

TEST(TomlConfig, SectionsCommentsAndQuotes) {
    ScratchDir dir;
    write_file("c.toml",
               "# settings\r\n"
               "root = 2\r\n"
               "  [QUORIN]  \r\n"
               "method = \"b3lyp\"\r\n"
               "debug = true # verbose\r\n"
               "[other]\r\n"
               "triplet = T\r\n"
               "[Quorin] # back on\r\n"
               "  basis = '6-31g*'\r\n"
               "sdnto = 'T'\r\n"
               "NTOTHRE=.25\r\n"
               "extra = scrf em = gd3\r\n"
               "no pair here\r\n");
    Tddft_config c;
    c.vosksnto = true;
    read_config_toml("c.toml", c);
    EXPECT_EQ(c.root, 2);
    EXPECT_EQ(c.method + "|" + c.basis + "|" + c.extra, "b3lyp|6-31g*|scrf em = gd3");
    EXPECT_DOUBLE_EQ(c.ntothre, 0.25);
    EXPECT_TRUE(c.sdnto);
    EXPECT_FALSE(c.debug || c.triplet || c.vosksnto);  // triplet only under [other]; vosksnto's TOML default

    write_file("c.toml", "[quorin]\nnadd =\n");
    std::string msg;
    EXPECT_EQ(status_of([&] { read_config_toml("c.toml", c); }, &msg), 2);
    EXPECT_NE(msg.find("c.toml"), std::string::npos);

    fs::create_directories("dir.toml");
    CaptureStdout cap;
    EXPECT_EQ(status_of([&] { read_config_toml("none.toml", c); }), 1);
    EXPECT_EQ(status_of([&] { read_config_toml("dir.toml", c); }), 1);
    EXPECT_EQ(cap.text(), " ERROR: Cannot open TOML file: none.toml\n ERROR: Cannot open TOML file: dir.toml\n");
}

TEST(Summary, EveryFieldLineForLine) {
    Tddft_config c;
    c.method = "cam-b3lyp";
    c.basis = "def2svp";
    c.root = 3;
    c.nadd = 4;
    c.sntorange = 0;
    c.inttype = 2;
    c.ntothre = 0.25;
    c.triplet = c.sdnto = c.vosksnto = c.sntofirst = c.debug = true;
    c.extra = "em=gd3";
    c.mem = "8GB";
    c.nproc = "4";
    CaptureStdout cap;
    print_config_summary(c, 12, -1, 2);
    EXPECT_EQ(cap.text(),
              " Number of atoms: 12\n"
              " Charge: -1\n"
              " Spin multiplicity: 2\n"
              "  Parameters:\n"
              "  Method: cam-b3lyp\n"
              "  Basis: def2svp\n"
              "  Root: 3\n"
              "  Nstate offset: 4\n"
              "  SNTO range: 0\n"
              "  Inttype keyword: 2\n"
              "  NTO threshold:  0.250\n"
              "  Triplet calculation is enabled.\n"
              "  Extra keywords: em=gd3\n"
              "  Memory: 8GB\n"
              "  Processors: 4\n"
              "  SDNTO diabatic following is ENABLED.\n"
              "  voskSNTO engine for SNTO matching is ENABLED.\n"
              "  sntofirst: single-point + SNTO + force (default).\n"
              "  Debug mode is ENABLED.\n");

    // The other side of every switch, and the one line without debug.
    CaptureStdout cap2;
    Tddft_config d;
    d.debug = true;
    print_config_summary(d, 0, 0, 1);
    d.debug = false;
    print_config_summary(d, 0, 0, 1);
    const auto lines = cap2.lines();
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(
        std::vector<std::string>({lines[8], lines[10], lines[11], lines[15], lines[16], lines[17], lines[19]}),
        std::vector<std::string>({"  SNTO range: using nadd (default)", "  NTO threshold:  0.300",
                                  "  Singlet calculation.", "  SDNTO diabatic following is disabled.",
                                  "  voskSNTO engine for SNTO matching is disabled (default).",
                                  "  sntofirst: force-first SNTO workflow.", " Debug mode is disabled (default)."}));
}

TEST(Startup, NamedSourcesAndRunValues) {
    ScratchDir dir;
    write_file("in.EIn", "3\r\n2 -1 2 extra words\r\n6 0.0 0.0 2.0\r\n");
    write_file("run.inp", gjf_with_title("root=2 sdnto=t"));
    fs::create_directories("temp");
    write_file("temp/tddft_pelun.chk", "x");

    std::vector<std::string> args = kSeven;
    args[0] = "run.inp  ";
    Call r = start(args);
    ASSERT_EQ(r.status, -1) << r.out << r.error;
    EXPECT_EQ(r.out,
              " GJF file: run.inp\n Input file: in.EIn\n Output file: out.EOu\n"
              " Hessian-only mode (ider=2) detected.\n Debug mode is disabled (default).\n"
              "  Found previous chk file, will read wavefunction from it.\n");
    EXPECT_EQ(r.gjf + "|" + r.input + "|" + r.output, "run.inp|in.EIn|out.EOu");
    EXPECT_EQ(std::vector<int>({r.natoms, r.ider, r.charge, r.mult, r.config.root}),
              std::vector<int>({3, 2, -1, 2, 2}));
    EXPECT_TRUE(r.chk && r.config.sdnto && r.config.vosksnto);

    // TOML mode, chosen on the folded name; no .gjf here yet.
    fs::remove("temp/tddft_pelun.chk");
    write_file("in.EIn", "3 1 0 1\n");
    write_file("Settings.TOML", "root = 4\n");
    args[0] = "Settings.TOML";
    r = start(args);
    ASSERT_EQ(r.status, -1) << r.out << r.error;
    EXPECT_EQ(r.out,
              "  Warning: No gjf file found, using default chk name\n Config file (TOML): Settings.TOML\n"
              " Input file: in.EIn\n Output file: out.EOu\n Debug mode is disabled (default).\n");
    EXPECT_EQ(r.gjf, "");
    EXPECT_EQ(r.config.root, 4);
    EXPECT_FALSE(r.config.vosksnto || r.chk);

    write_file("b.gjf", "");
    r = start(args);
    EXPECT_EQ(r.gjf, "b.gjf");
    EXPECT_EQ(test::lines_of(r.out)[1], " Found unique gjf file: b.gjf");

    write_file("a.gjf", "");
    r = start(args);
    EXPECT_EQ(r.gjf, "");
    const auto lines = test::lines_of(r.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "  Warning: Multiple gjf files found, using default chk name");
    EXPECT_EQ(lines[1], " Config file (TOML): Settings.TOML");
}

TEST(Startup, GjfSearchWithoutShell) {
    ScratchDir dir;
    write_file("in.EIn", "1 1 0 1\n");
    Call r = start(kSix);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "  Auto-detecting gjf file\n ERROR: No gjf file found in current directory\n");

    // A name that a shell would split, quote or execute is found and read as
    // it stands; a user's gjf_list.tmp is neither read, written nor removed.
    const std::string odd = "it's \"my\" job; $(touch pwned) `touch pwned2`.gjf";
    write_file(odd, gjf_with_title("root=6"));
    write_file("gjf_list.tmp", "decoy.gjf\nother.gjf\n");
    fs::create_directories("folder.gjf");
    clear_shell_command_log();
    r = start(kSix);
    ASSERT_EQ(r.status, -1) << r.out << r.error;
    EXPECT_EQ(r.gjf, odd);
    EXPECT_EQ(r.config.root, 6);
    EXPECT_EQ(r.out.find(odd), std::string::npos);  // the found name is not printed
    EXPECT_TRUE(shell_command_log().empty());
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists("pwned2"));
    EXPECT_EQ(read_file("gjf_list.tmp"), "decoy.gjf\nother.gjf\n");

    write_file("second.gjf", "");
    r = start(kSix);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "  Auto-detecting gjf file\n ERROR: Multiple gjf files found in current directory\n"
              "        Please specify which gjf file to use\n");
    EXPECT_EQ(read_file("gjf_list.tmp"), "decoy.gjf\nother.gjf\n");
}

TEST(Startup, ArgumentAndHeaderErrors) {
    ScratchDir dir;
    Call r = start({"a", "b", "c", "d", "e"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, " ERROR: Expected 6 or 7 arguments but got            5\n");

    // The level is checked before the configuration is read (job.gjf is absent).
    const std::string head = " GJF file: job.gjf\n Input file: in.EIn\n Output file: out.EOu\n";
    for (const char* level : {"0", "-1"}) {
        write_file("in.EIn", "3 " + std::string(level) + " 0 1\n");
        r = start(kSeven);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, head + " ERROR: Unsupported deriv level: " + std::string(12 - strlen(level), ' ') + level +
                             "\n        Only ider=1 (gradient) or ider=2 (Hessian) are supported.\n");
    }

    for (const char* atoms : {"-2", "100001"}) {
        write_file("in.EIn", std::string(atoms) + " 1 0 1\n");
        r = start(kSeven);
        EXPECT_EQ(r.status, 1);
        const auto lines = test::lines_of(r.out);
        ASSERT_EQ(lines.size(), 4u) << r.out;
        EXPECT_TRUE(starts_with(lines[3], " ERROR: ")) << lines[3];
        EXPECT_NE(lines[3].find("in.EIn"), std::string::npos) << lines[3];
        EXPECT_NE(lines[3].find(atoms), std::string::npos) << lines[3];
    }
    write_file("job.gjf", gjf_with_title("root=1"));
    write_file("in.EIn", "100000 1 0 1\n");
    EXPECT_EQ(start(kSeven).status, -1);

    // Unreadable headers (and a missing file) are I/O failures naming the file.
    for (const char* header : {"3 3.0 0 1\n", "3 1 0\n", ""}) {
        if (*header)
            write_file("in.EIn", header);
        else
            fs::remove("in.EIn");
        r = start(kSeven);
        EXPECT_EQ(r.status, 2) << header;
        EXPECT_NE(r.error.find("in.EIn"), std::string::npos) << r.error;
        EXPECT_EQ(r.out, head);
    }
    write_file("in.EIn", "3 3.0 0 1\n");
    EXPECT_NE(start(kSeven).error.find("\"3.0\""), std::string::npos);
}

}  // namespace
}  // namespace quorin
