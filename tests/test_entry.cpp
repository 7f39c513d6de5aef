// The program as a whole process: help options, banner and start-up errors,
// with exit status and standard error.  The start-up's own messages are
// tested with it; which workflow runs is shown by the end-to-end tests.
#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

ProcessResult quorin(const std::string& args) { return test::run_process(std::string(QUORIN_EXE) + " " + args); }

const char* const kHelpLines[] = {
    "",
    "quorin: State Tracking TD-DFT Gradient Interface for Gaussian",
    "",
    "This program is designed for following specified root",
    "  while user is running a TD-DFT optimization.",
    "",
    "Usage:",
    "  external='quorin [config_file]'",
    "",
    "Arguments:",
    "  config_file    (optional) Configuration file: .gjf or .toml",
    "                   If omitted, auto-detects unique .gjf file in current directory",
    "",
    "Configuration Parameters (in .gjf comment line or .toml file):",
    "",
    "  Route parameters:",
    "    sdnto        Enable diabatic SDNTO tracking (.T./.F., default: .F.)",
    "    vosksnto     Use voskSNTO for NTO generation and SNTO matching (.T./.F., default: .T.)",
    "                   If disabled, quorin will call voskwfn to use Multiwfn to calculate that.",
    "    sntofirst    Choose iter2+ workflow (.T./.F., default: .F.)",
    "                   .F. for calculating force with previous root_val directly, and if",
    "                     SNTO results showed a crossing happened, calculate force again.",
    "                   .T. for calculating sp and SNTO first, then calculate force with",
    "                     proper root_val.",
    "    ntothre      Threshold of NTO eigenvalues (default: 0.3)",
    "    sntorange    Range for SNTO matching in iter2+ (default: -1, uses nadd)",
    "                  When >= 0, checks states from root-x to root+x (min 1, max nstate)",
    "    inttype      NTO overlap integration scheme id (1/2, default: 1)",
    "                   1 for direct overlap integrals (origin paper)",
    "                   2 for overlap integrals of wavefunction norm",
    "    debug        Echo more info for debugging (.T./.F., default: .F.)",
    "",
    "  Inner gaussian control:",
    "    mem          Memory shared (e.g., %mem=8GB)",
    "    nproc        Processors shared (e.g., %nproc=4)",
    "    method       Your chosen functional (e.g., b3lyp)",
    "    basis        Your chosen basis set (e.g., 6-31g)",
    "    root         The root you want to follow",
    "    nadd         Offset to add to root for nstate calculation (default: 2)",
    "    triplet      Treat triplet TDDFT states (.T./.F.)",
    "    extra        Other keywords not mentioned above (e.g., scrf em=gd3)",
    "",
    "Examples:",
    "  external='quorin'",
    "  external='quorin tddft.gjf'",
    "  external='quorin config.toml'",
    "",
    "Notes:",
    "  1. Vosk suggest always to use 'nosymm' in outer route line, for sometimes gaussian",
    "       would make mistakes in force after adjusting to standart orientation.",
    "  2. If the SNTO values of several NTOs were very close (difference<5%), quorin will",
    "       compare the SNTO values between n+1 and n-1 to decide following which state.",
    "  3. The default maxstep of gaussian is quite large that may cause losing track. If ",  // trailing blank
    "       that happened, you may try to decrease maxstep value.",
    "  4. While running an 'opt freq' job, the %chk should refer to $your_gjf_name.chk",
    "",
};

const std::string kBanner = " >>>>> TD-DFT External Interface Starting\n";
const std::string kGaussianArgs = " layer in.EIn out.EOu msg fchk matel";

TEST(Entry, HelpOptions) {
    std::string help;
    for (const char* line : kHelpLines) help += std::string(line) + "\n";
    ASSERT_EQ(std::size(kHelpLines), 56u);
    // Only the first argument counts, and trailing blanks do not.
    for (const char* args : {"-h", "--help", "-H", "'-help  ' x"}) {
        ScratchDir dir;
        ProcessResult r = quorin(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, help) << args;
        EXPECT_EQ(r.err, "STOP 0\n") << args;
        EXPECT_FALSE(fs::exists("temp")) << args;
    }
}

// Each start-up failure: the banner, what start-up printed, status 1 with
// STOP 1 on standard error; an unreadable value is an I/O failure, status 2,
// named on standard error.
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
        {"2 0 0 1", "", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " ERROR: Unsupported deriv level:            0\n"
                                     "        Only ider=1 (gradient) or ider=2 (Hessian) are supported.\n"},
        {"2 1.0 0 1", "", "a.gjf" + kGaussianArgs, " GJF file: a.gjf\n" + io, 2,
         "quorin: I/O failure: cannot read an integer from \"1.0\" in the header of External input file in.EIn\n"},
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

}  // namespace
}  // namespace quorin
