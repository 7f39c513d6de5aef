// The program as a whole process: help options, banner and start-up errors,
// with exit status and standard error.  The start-up's own messages are
// tested with it; which workflow runs is shown by the end-to-end tests.
#include <set>

#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

ProcessResult quorin(const std::string& args) { return test::run_process(std::string(QUORIN_EXE) + " " + args); }

const std::string kBanner = " >>>>> TD-DFT External Interface Starting\n";
const std::string kGaussianArgs = " layer in.EIn out.EOu msg fchk matel";

// Only the first argument counts, and trailing blanks do not.  The help
// shows the usage and every setting with its default.
TEST(Entry, HelpOptions) {
    for (const char* args : {"-h", "--help", "-H", "'-help  ' x"}) {
        ScratchDir dir;
        ProcessResult r = quorin(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.err, "STOP 0\n") << args;
        EXPECT_FALSE(fs::exists("temp")) << args;
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 56u) << args;
        std::string defaults;
        for (const auto& l : lines) defaults += l.find("default:") != std::string::npos ? l + "\n" : "";
        EXPECT_EQ(lines[7] + "\n" + defaults,
                  "  external='quorin [config_file]'\n    sdnto        Enable diabatic SDNTO tracking (.T./.F., default: .F.)\n"
                  "    vosksnto     Use voskSNTO for NTO generation and SNTO matching (.T./.F., default: .T.)\n"
                  "    sntofirst    Choose iter2+ workflow (.T./.F., default: .F.)\n"
                  "    ntothre      Threshold of NTO eigenvalues (default: 0.3)\n"
                  "    sntorange    Range for SNTO matching in iter2+ (default: -1, uses nadd)\n"
                  "    inttype      NTO overlap integration scheme id (1/2, default: 1)\n"
                  "    debug        Echo more info for debugging (.T./.F., default: .F.)\n"
                  "    nadd         Offset to add to root for nstate calculation (default: 2)\n")
            << args;
    }
}

// Each start-up failure: the banner, what start-up printed, status 1 with
// STOP 1 on standard error; an unreadable value is an I/O failure, status 2,
// named on standard error.  (The External input header's errors are shown
// in test_init.cpp.)
TEST(Entry, StartupErrors) {
    ScratchDir dir;
    const std::string io = " Input file: in.EIn\n Output file: out.EOu\n";
    struct Case { std::string ein, gjf, args, out; int status = 1; std::string err = "STOP 1\n"; } cases[] = {
        {"", "", "--HELP", " ERROR: Expected 6 or 7 arguments but got            1\n"},
        {"", "", "x -h", " ERROR: Expected 6 or 7 arguments but got            2\n"},
        {"2 1 0 1", "", kGaussianArgs, "  Auto-detecting gjf file\n ERROR: No gjf file found in current directory\n"},
        {"2 1 0 1", "", "none.toml" + kGaussianArgs,
         "  Warning: No gjf file found, using default chk name\n Config file (TOML): none.toml\n" + io +
             " ERROR: Cannot open TOML file: none.toml\n"},
        {"2 1 0 1", "#p opt\n", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " ERROR: Unexpected end of gjf file before comment line\n"},
        // Values no inner job can use stop before any is run; 2147483648 does not read at all.
        {"2 1 0 1", "#p\n\nroot=0 nadd=-1\n\n", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " ERROR: root = 0 in a.gjf: states are numbered from 1.\n"
                                     " ERROR: nadd = -1 in a.gjf: must be 0 or more; the inner jobs ask for root + nadd"
                                     " states.\n"},
        {"2 1 0 1", "#p\n\nroot=2147483647 nadd=0 nadd=1\n\n", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " ERROR: root + nadd = 2147483648 in a.gjf: the inner jobs cannot ask for more"
                                     " than 2147483647 states.\n"},
        {"2 1 0 1", "#p\n\nsntorange=2147483648\n\n", "a.gjf" + kGaussianArgs, " GJF file: a.gjf\n" + io, 2,
         "quorin: I/O failure: cannot read an integer from \"2147483648\" (key sntorange in a.gjf)\n"},
    };
    for (const Case& c : cases) {
        if (!c.ein.empty()) write_file("in.EIn", c.ein + "\n8 0 0 0\n1 0 0 1.8\n");
        if (!c.gjf.empty()) write_file("a.gjf", c.gjf);
        ProcessResult r = quorin(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, kBanner + c.out) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_TRUE(fs::is_directory("temp")) << c.args;
    }
}

std::set<std::string> names_here() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(".")) names.insert(entry.path().filename().string());
    return names;
}

// An outer-job geometry of water (bohr), the molecule of the stand-ins' model.
const std::string kWater = "8 0.0 0.0 -0.124 0.0\n1 0.0 1.431 0.984 0.0\n1 0.0 -1.431 0.984 0.0\n";

// Slips in the configuration are named, in a run as in quorin --check, and
// every value is read as before; --check runs nothing and creates nothing.
TEST(Entry, ConfigurationSlipsAreNamedAndCheckCreatesNothing) {
    ScratchDir dir;
    write_file("water.gjf", "%chk=water.chk\n#p opt external='quorin'\n\n"
                            "sndto=.t. SDNTO=yes root = 2 nadd =3 mem= 4GB debug=t\tnproc=4 memory=8GB vosnto=t charge=0\n"
                            "  = x method=b3lyp\n\n0 1\n");
    write_file("quorin.toml", "root = 3\nsntorange = 0\n[Quorin ]\nnadd = 9\n[quorin] # on again\nvosksnto = true # engine\n"
                              "ntothr = 0.2\n[tool.quorin]\n[other]\nsdnto = maybe\n");
    // Quotes, blanks and capitals around keys and values, CR LF ends, a line without a pair.
    write_file("clean.toml", "# settings\r\n  [QUORIN]  \r\nsdnto = .F.\r\ndebug = T\r\nsntorange = 2147483647\r\n"
                             "method = \"b3lyp\"\r\n  basis = '6-31g*'\r\nNTOTHRE=.25\r\nextra = scrf em = gd3\r\nno pair\r\n");
    const std::set<std::string> files_before = names_here();

    const std::string logical =
        " is not a logical value (true: .T./T/true/.true., false: .F./F/false/.false.); read as false.\n";
    const std::string blanks = " is not read as one pair: the title is split at blanks; write ";
    const std::string header = " WARNING: Section header ";
    const std::string gjf_warnings =
        " WARNING: Unknown key \"sndto\" in water.gjf is ignored; did you mean \"sdnto\"?\n"
        " WARNING: SDNTO = \"yes\" in water.gjf" + logical +
        " WARNING: \"root = 2\" in water.gjf" + blanks + "root=2.\n"
        " WARNING: \"nadd =3\" in water.gjf" + blanks + "nadd=3.\n"
        " WARNING: \"mem= 4GB\" in water.gjf" + blanks + "mem=4GB.\n"
        " WARNING: \"debug=t<tab>nproc=4\" in water.gjf holds a tab, which does not separate pairs in the title; "
        "write debug=t nproc=4.\n"
        " WARNING: debug = \"t<tab>nproc=4\" in water.gjf" + logical +
        " WARNING: Unknown key \"memory\" in water.gjf is ignored; did you mean \"mem\"?\n"
        " WARNING: Unknown key \"vosnto\" in water.gjf is ignored; did you mean \"vosksnto\"?\n"
        " WARNING: Unknown key \"charge\" in water.gjf is ignored.\n"
        " WARNING: \"= x\" in water.gjf" + blanks + "key=x.\n";
    const std::string toml_warnings =
        header + "\"[Quorin ]\" in quorin.toml is not [quorin]; the pairs under it are ignored.\n" +
        header + "\"[quorin] # on again\" in quorin.toml is not [quorin]; the pairs under it are read.\n"
        " WARNING: vosksnto = \"true # engine\" in quorin.toml" + logical +
        " WARNING: Unknown key \"ntothr\" in quorin.toml is ignored; did you mean \"ntothre\"?\n" +
        header + "\"[tool.quorin]\" in quorin.toml is not [quorin]; the pairs under it are ignored.\n";
    // The values are read as before: nadd and every switch keep their defaults.
    for (auto [args, head, end] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"--check", "  Auto-detecting gjf file\n GJF file: water.gjf\n" + gjf_warnings, "11 warning(s)"},
             {"--check quorin.toml",
              " Config file (TOML): quorin.toml\n Found unique gjf file: water.gjf\n" + toml_warnings, "5 warning(s)"}}) {
        const ProcessResult r = quorin(args);
        EXPECT_EQ(r.out.substr(0, head.size()), head) << args;
        const auto lines = lines_of(r.out.substr(head.size()));
        ASSERT_EQ(lines.size(), 18u) << r.out;
        EXPECT_EQ(lines[4] + lines[5] + lines[6] + lines[13] + lines[16],
                  "  Root: " + std::string(args == "--check" ? "1" : "3") + "  Nstate offset: 2  SNTO range: " +
                      (args == "--check" ? "using nadd (default)" : "0") +
                      "  SDNTO diabatic following is disabled.  Debug mode is disabled (default).");
        EXPECT_EQ(lines[17], " Configuration check: " + end + ", nothing was run.");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "STOP 1\n");
    }
    ProcessResult r = quorin("--check clean.toml");
    EXPECT_EQ(r.out, " Config file (TOML): clean.toml\n Found unique gjf file: water.gjf\n"
                     " Number of atoms, charge, spin multiplicity: from Gaussian at every step\n  Parameters:\n"
                     "  Method: b3lyp\n  Basis: 6-31g*\n  Root: 1\n  Nstate offset: 2\n  SNTO range: 2147483647\n"
                     "  Inttype keyword: 1\n  NTO threshold:  0.250\n  Singlet calculation.\n  Extra keywords: scrf em = gd3\n"
                     "  Memory: \n  Processors: \n  SDNTO diabatic following is disabled.\n"
                     "  voskSNTO engine for SNTO matching is disabled (default).\n"
                     "  sntofirst: force-first SNTO workflow.\n  Debug mode is ENABLED.\n"
                     " Configuration check: no warnings, nothing was run.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "STOP 0\n");
    r = quorin("--check clean.toml water.gjf");
    EXPECT_EQ(r.out, " ERROR: quorin --check takes one configuration file or none, got            2\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(names_here(), files_before);
}

// Before the first inner job every program the workflow runs must be on
// PATH as an executable file; each missing one is named.
TEST(Entry, MissingOutsideProgramsStopBeforeAnyInnerJob) {
    ScratchDir dir;
    const fs::path bin = dir.path() / "bin";
    write_file(bin / "formchk", "#!/bin/sh\n");  // not executable
    fs::create_directories(bin / "voskSNTO");    // a directory of that name
    write_file("in.EIn", "3 1 0 1\n" + kWater);
    const std::string path = "PATH='" + bin.string() + "' ";
    const std::string start = kBanner + " GJF file: w.gjf\n Input file: in.EIn\n Output file: out.EOu\n"
                                        " Debug mode is disabled (default).\n";
    auto run_with = [&](const std::string& title) {
        write_file("w.gjf", "#p\n\nmethod=b3lyp " + title + "\n\n");
        return run_process(path + QUORIN_EXE + " w.gjf" + kGaussianArgs);
    };
    ProcessResult r = run_with("");
    EXPECT_EQ(r.out, start + " ERROR: g16 not found on PATH; quorin runs it for every inner job.\n"
                             " ERROR: formchk not found on PATH; quorin runs it after every inner job.\n");
    EXPECT_EQ(r.status, 1);

    for (const char* name : {"g16", "formchk"}) {
        fs::remove(bin / name);
        fs::create_symlink(fs::path(STAND_IN_DIR) / name, bin / name);
    }
    r = run_with("sdnto=t");
    EXPECT_EQ(r.out,
              start + " ERROR: voskSNTO not found on PATH; quorin runs it to compare the states (vosksnto on).\n");
    r = run_with("sdnto=t vosksnto=f");
    EXPECT_EQ(r.out, start + " ERROR: voskwfn not found on PATH; quorin runs it with Multiwfn to compare the states "
                             "(vosksnto off).\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists("temp/tddft_pelun.gjf"));

    // A frequency step runs no NTO tool, whatever sdnto says.
    write_file("in.EIn", "3 2 0 1\n" + kWater);
    r = run_with("sdnto=t vosksnto=f");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fs::exists("out.EOu"));
}

}  // namespace
}  // namespace quorin
