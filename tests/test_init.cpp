// Start-up of one call: value parsers, the two configuration sources, the
// choice of the source and the External input header.  (The debug start-up
// summary is shown whole by the diabatic workflow test.)
#include <functional>
#include <map>

#include "module_init.hpp"
#include "outside_programs.hpp"
#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

// A Gaussian input whose title block is `title`; the route ends at a line of blanks.
std::string gjf_with_title(const std::string& title) {
    return "%chk=job.chk\n#p opt external='quorin' nosymm\n  \n" + title + "\n\n0 1\nC 0.0 0.0 0.0\n\n";
}

struct Call : Outcome {
    RunSetup run;
};

Call start(const std::vector<std::string>& args) {
    Call r;
    static_cast<Outcome&>(r) = outcome_of([&] { r.run = initialize_quorin(args); });
    return r;
}

const std::vector<std::string> kSeven = {"job.gjf", "layer", "in.EIn", "out.EOu", "msg", "fchk", "matel"};
const std::vector<std::string> kSix = {"layer", "in.EIn", "out.EOu", "msg", "fchk", "matel"};

TEST(ValueParsers, QuotesAndLogicals) {
    // A quote at either end goes, on its own too; trailing blanks go, leading ones inside quotes stay.
    for (auto [raw, value] : std::vector<std::pair<std::string, std::string>>{
             {"''", ""}, {"'", ""}, {"\"abc", "abc"}, {"abc'", "abc"}, {"   \"6-31g*'   ", "6-31g*"}, {"' a b '", " a b"}})
        EXPECT_EQ(parse_value(raw), value) << raw;
    for (const char* yes : {".t.", "T", "TRUE", ".True.", "'t'", "  \"true\""}) EXPECT_TRUE(parse_logical(yes)) << yes;
    for (const char* no : {".f.", "false", "yes", "1", "", "true # verbose", ".tru."}) EXPECT_FALSE(parse_logical(no)) << no;
}

TEST(ConfigFiles, GjfTitleBlockKeysAndErrorsOfBothKinds) {
    ScratchDir dir;
    // Blank lines before the title, a title over two lines with CR LF ends,
    // later keys winning, text case kept, blanks around "=" breaking the pair,
    // a long text cut to 80 characters; a line of blanks ends the block.
    write_file("job.gjf", "%mem=1GB\r\n#p opt\r\n\r\n\r\n   \r\nroot=2 method=b3lyp basis='6-31g*' sdnto=.T.\r\n"
                          "  nadd=4 ROOT=3 Method=B3LYP extra=scrf=(smd) note root = 2 nadd =5 mem=" +
                              std::string(100, 'm') + "\r\n   \r\nroot=9 debug=t\r\n");
    Tddft_config c{.sntorange = 42};  // every key starts from its default
    // Warned, and still read as before: ROOT and Method given again, "root = 2", "nadd =5".
    EXPECT_EQ(read_config_gjf("job.gjf", c), 4);
    EXPECT_EQ(std::vector<int>({c.root, c.nadd, c.sntorange}), std::vector<int>({3, 4, -1}));
    EXPECT_EQ(c.method + "|" + c.basis + "|" + c.extra + "|" + c.mem, "B3LYP|6-31g*|scrf=(smd)|" + std::string(80, 'm'));
    EXPECT_TRUE(c.sdnto && c.vosksnto);  // vosksnto: the gjf-mode default
    EXPECT_FALSE(c.debug);

    // The block holds 2048 characters: two lines that join to exactly that
    // many, or one line of them, are read (the key at the end proves it), one
    // more is refused.
    const std::string first(1000, 'x'), second = std::string(1040, 'y') + " root=5";  // 1047 characters
    for (const std::string& title : {first + "\n" + second, std::string(2041, 'z') + " root=5"}) {  // one line too
        write_file("job.gjf", gjf_with_title(title));
        read_config_gjf("job.gjf", c);
        EXPECT_EQ(c.root, 5);
    }
    // A title must be there and be ended by a blank line.
    for (auto [text, error] : std::vector<std::pair<std::string, std::string>>{
             {gjf_with_title(first + "\n" + second + "6"), "GJF comment block too long (multi-line route)."},
             {gjf_with_title(std::string(2049, 'z')), "GJF comment block too long (multi-line route)."},
             {"#p opt\n\n\nroot=2", "Unexpected end of gjf file before comment block"}}) {
        write_file("job.gjf", text);
        expect_stop(outcome_of([&] { read_config_gjf("job.gjf", c); }), " ERROR: " + error + "\n");
    }
    expect_stop(outcome_of([&] { read_config_gjf("missing dir/x.gjf", c); }),
                " ERROR: Cannot open gjf file: missing dir/x.gjf\n");

    // A TOML number without a value, and a directory named like a TOML file;
    // what a TOML file sets is shown whole by quorin --check (test_entry.cpp).
    write_file("c.toml", "[quorin]\nnadd =  # none\n");
    expect_stop(outcome_of([&] { read_config_toml("c.toml", c); }),
                " ERROR: nadd = \"\" in c.toml does not read as a whole number (-2147483648 to 2147483647).\n");
    fs::create_directories("dir.toml");
    expect_stop(outcome_of([&] { read_config_toml("dir.toml", c); }), " ERROR: Cannot open TOML file: dir.toml\n");
}

// Edit distance in which a swap of two neighbouring letters is one edit and
// no part of the text is edited twice, from the front of both texts.
std::size_t edits(std::string_view a, std::string_view b) {
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> memo;
    std::function<std::size_t(std::size_t, std::size_t)> d = [&](std::size_t i, std::size_t j) {
        if (i == a.size() || j == b.size()) return a.size() - i + b.size() - j;
        if (const auto it = memo.find({i, j}); it != memo.end()) return it->second;
        std::size_t best = std::min({d(i + 1, j) + 1, d(i, j + 1) + 1, d(i + 1, j + 1) + (a[i] != b[j])});
        if (i + 1 < a.size() && j + 1 < b.size() && a[i] == b[j + 1] && a[i + 1] == b[j]) best = std::min(best, d(i + 2, j + 2) + 1);
        return memo[{i, j}] = best;
    };
    return d(0, 0);
}

// An unknown key is named with the known key nearest to it (within two
// edits, fewer than it has letters; the first in the key table on a tie),
// else with the longest known key it begins with.
TEST(ConfigFiles, NearMissKeysNameTheNearestKnownKey) {
    ScratchDir dir;
    const std::vector<std::string> keys = {"method", "basis", "root", "nadd", "sntorange", "extra", "mem", "nproc",
                                           "triplet", "sdnto", "vosksnto", "sntofirst", "debug", "inttype", "ntothre",
                                           "tooltimeout", "sntowarn", "sntoambig", "minsnto", "sntoref"};
    std::mt19937 gen(18);
    std::string toml, want;
    int unknown = 0;
    while (unknown < 600) {
        std::string k = keys[gen() % keys.size()];
        for (int e = static_cast<int>(gen() % 5); e > 0; --e) {  // insert, delete, replace, swap, add at the end
            const std::size_t at = gen() % k.size(), op = gen() % 5;
            const char c = "abdeimnorst_2"[gen() % 13];
            if (op < 3) k.replace(at, op > 0 && k.size() > 1, op == 1 ? 0 : 1, c);
            else if (op == 3) std::swap(k[at], k[std::min(at + 1, k.size() - 1)]);
            else k += c;
        }
        if (std::find(keys.begin(), keys.end(), k) != keys.end()) continue;
        std::string near, written = k;
        std::size_t best = 3;
        for (const std::string& key : keys)
            if (const std::size_t d = edits(k, key); d < best && d < k.size()) near = key, best = d;
        for (const std::string& key : keys)
            if (best == 3 && k.starts_with(key) && key.size() > near.size()) near = key;
        for (char& c : written) c = gen() % 4 ? c : static_cast<char>(std::toupper(c));
        toml += written + " = 1\n";
        want += " WARNING: Unknown key \"" + written + "\" in c.toml is ignored" +
                (near.empty() ? "." : "; did you mean \"" + near + "\"?") + "\n";
        ++unknown;
    }
    write_file("c.toml", toml);
    Tddft_config c;
    CaptureStdout cap;
    EXPECT_EQ(read_config_toml("c.toml", c), unknown);
    EXPECT_EQ(cap.text(), want);
}

TEST(Startup, NamedSourcesRunValuesAndHeaderErrors) {
    ScratchDir dir;
    // TOML mode, chosen on the folded name; with no .gjf here, then one, then two.
    write_file("in.EIn", "3 1 0 1\n");
    write_file("Settings.TOML", "root = 4\n");
    std::vector<std::string> args = kSeven;
    args[0] = "Settings.TOML";
    const std::string toml = " Config file (TOML): Settings.TOML\n";
    const std::string rest = " Input file: in.EIn\n Output file: out.EOu\n Debug mode is disabled (default).\n";
    for (auto [gjf, found, out] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"", "", "  Warning: No gjf file found, using default chk name\n" + toml + rest},
             {"w.com", "w.com", toml + " Found unique com file: w.com\n" + rest},  // a lone .com serves where no .gjf is
             {"b.gjf", "b.gjf", toml + " Found unique gjf file: b.gjf\n" + rest},
             {"a.gjf", "", "  Warning: Multiple gjf files found, using default chk name\n" + toml + rest}}) {
        if (!gjf.empty()) write_file(gjf, gjf_with_title("root=1"));
        const Call r = start(args);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.run.gjf_file, found);
        EXPECT_EQ(r.run.config.root, 4);
        EXPECT_FALSE(r.run.config.vosksnto || r.run.chk_existed);
    }

    // A named gjf, a header over two CR LF records
    // with more on the line, a checkpoint from an earlier call.
    write_file("in.EIn", "3\r\n2 -1 2 extra words\r\n6 0.0 0.0 2.0\r\n");
    write_file("run.inp", gjf_with_title("root=2 sdnto=t"));
    write_file("temp/tddft_pelun.chk", "x");
    args[0] = "run.inp";
    Call r = start(args);
    ASSERT_EQ(r.status, -1) << r.out << r.failure;
    EXPECT_EQ(r.out, " GJF file: run.inp\n Input file: in.EIn\n Output file: out.EOu\n Hessian-only mode (ider=2) detected.\n"
                     " Debug mode is disabled (default).\n  Found previous chk file, will read wavefunction from it.\n");
    const RunSetup& run = r.run;
    EXPECT_EQ(std::vector<int>({run.natoms, run.ider, run.charge, run.multiplicity, run.config.root}),
              std::vector<int>({3, 2, -1, 2, 2}));
    EXPECT_TRUE(run.chk_existed && run.config.sdnto && run.config.vosksnto);

    // The header is checked before the configuration is read (job.gjf is
    // absent); unreadable headers and a missing file are I/O failures naming it.
    const std::string head = " GJF file: job.gjf\n Input file: in.EIn\n Output file: out.EOu\n";
    const std::string atoms = " atoms; expected 0 to 100000.\n", in = " in the header of External input file in.EIn";
    for (auto [header, status, printed, error] : std::vector<std::tuple<std::string, int, std::string, std::string>>{
             {"3 3 0 1", 1, " ERROR: Unsupported deriv level:            3\n"
                            "        Only ider=1 (gradient) or ider=2 (Hessian) are supported.\n", ""},
             {"-2 1 0 1", 1, " ERROR: External input file in.EIn gives -2" + atoms, ""},
             {"100001 1 0 1", 1, " ERROR: External input file in.EIn gives 100001" + atoms, ""},
             {"3 1 0", 2, "", "end of data while reading an integer" + in},
             {"", 2, "", "cannot open the External input file \"in.EIn\""}}) {
        if (header.empty()) fs::remove("in.EIn");
        else write_file("in.EIn", header + "\n");
        r = start(kSeven);
        EXPECT_EQ(r.status, status) << header;
        EXPECT_EQ(r.out, head + printed) << header;
        EXPECT_EQ(r.failure, error) << header;
    }
    write_file("job.gjf", gjf_with_title("root=1"));
    for (const char* header : {"0 1 0 1\n", "100000 1 0 1\n"}) {  // the edges of the atom count
        write_file("in.EIn", header);
        EXPECT_EQ(start(kSeven).status, -1) << header;
    }
}

TEST(Startup, GjfSearchWithoutShell) {
    ScratchDir dir;
    write_file("in.EIn", "1 1 0 1\n");
    // A name that a shell would split, quote or execute is found and read as
    // it stands; a user's gjf_list.tmp is neither read, written nor removed.
    const std::string odd = "it's \"my\" job; $(touch pwned) `touch pwned2`.gjf";
    write_file(odd, gjf_with_title("root=6"));
    write_file("gjf_list.tmp", "decoy.gjf\nother.gjf\n");
    fs::create_directories("folder.gjf");
    write_file(".backup.gjf", gjf_with_title("root=7"));  // a dot-file is no candidate
    // The shell's file tools, if start-up reached for them, would leave a mark.
    for (const char* tool : {"ls", "mkdir", "cat", "rm", "touch"})
        write_script(std::string("bin/") + tool, "#!/bin/sh\n: > '" + (dir.path() / "shell-ran").string() + "'\n");
    const std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (dir.path() / "bin").c_str(), 1);
    Call r = start(kSix);
    setenv("PATH", saved_path.c_str(), 1);
    ASSERT_EQ(r.status, -1) << r.out << r.failure;
    EXPECT_EQ(r.run.gjf_file, odd);
    EXPECT_EQ(r.run.config.root, 6);
    EXPECT_FALSE(fs::exists("shell-ran") || fs::exists("pwned") || fs::exists("pwned2"));

    write_file("second.gjf", "");
    r = start(kSix);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "  Auto-detecting gjf file\n ERROR: Multiple gjf files found in current directory\n"
                     "        Please specify which gjf file to use\n");
    EXPECT_EQ(read_file("gjf_list.tmp"), "decoy.gjf\nother.gjf\n");
}

}  // namespace
}  // namespace quorin
