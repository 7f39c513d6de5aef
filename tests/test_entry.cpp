// The program as a whole process: help options, banner, start-up errors and
// the choice of the workflow, with exit status and standard error.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace quorin {
namespace {

using test::ProcessResult;
using test::ScratchDir;
using test::write_file;
namespace fs = std::filesystem;

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

std::string gjf(const std::string& title) { return "%chk=job.chk\n#p opt\n\n" + title + "\n\n0 1\nC 0 0 0\n\n"; }

TEST(Entry, HelpOptions) {
    std::string help;
    for (const char* line : kHelpLines) help += std::string(line) + "\n";
    ASSERT_EQ(std::size(kHelpLines), 56u);
    for (const char* args : {"-h", "--help", "-H", "-help x", "'-h  '"}) {
        ScratchDir dir;
        ProcessResult r = quorin(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, help) << args;
        EXPECT_EQ(r.err, "STOP 0\n") << args;
        EXPECT_FALSE(fs::exists("temp")) << args;
    }
}

TEST(Entry, NoHelpOptionMeansArgumentCountError) {
    const std::pair<std::string, std::string> cases[] = {
        {"--HELP", " ERROR: Expected 6 or 7 arguments but got            1\n"},
        {"", " ERROR: Expected 6 or 7 arguments but got            0\n"},
        {"x -h", " ERROR: Expected 6 or 7 arguments but got            2\n"},
    };
    for (const auto& [args, error] : cases) {
        ScratchDir dir;
        ProcessResult r = quorin(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.out, kBanner + error) << args;
        EXPECT_EQ(r.err, "STOP 1\n") << args;
        EXPECT_TRUE(fs::is_directory("temp")) << args;
    }
}

TEST(Entry, StartupErrors) {
    ScratchDir dir;
    write_file("in.EIn", "2 1 0 1\n8 0 0 0\n1 0 0 1.8\n");
    const std::string io = " Input file: in.EIn\n Output file: out.EOu\n";
    auto expect_stop = [&](const std::string& args, const std::string& out) {
        ProcessResult r = quorin(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.out, kBanner + out) << args;
        EXPECT_EQ(r.err, "STOP 1\n") << args;
    };
    expect_stop(kGaussianArgs, "  Auto-detecting gjf file\n ERROR: No gjf file found in current directory\n");
    expect_stop("none.toml" + kGaussianArgs,
                "  Warning: No gjf file found, using default chk name\n"
                " Config file (TOML): none.toml\n" +
                    io + " ERROR: Cannot open TOML file: none.toml\n");
    expect_stop("none.gjf" + kGaussianArgs, " GJF file: none.gjf\n" + io + " ERROR: Cannot open gjf file: none.gjf\n");

    write_file("a.gjf", "#p opt\n");
    expect_stop("a.gjf" + kGaussianArgs,
                " GJF file: a.gjf\n" + io + " ERROR: Unexpected end of gjf file before comment line\n");
    write_file("a.gjf", "#p opt\n\nroot=2\n");
    expect_stop(kGaussianArgs,
                "  Auto-detecting gjf file\n" + io + " ERROR: Unexpected end of gjf file before comment block\n");
    write_file("a.gjf", gjf(std::string(1500, 'a') + "\n" + std::string(600, 'b')));
    expect_stop(kGaussianArgs,
                "  Auto-detecting gjf file\n" + io + " ERROR: GJF comment block too long (multi-line route).\n");

    write_file("b.gjf", gjf("root=2"));
    expect_stop(kGaussianArgs,
                "  Auto-detecting gjf file\n ERROR: Multiple gjf files found in current directory\n"
                "        Please specify which gjf file to use\n");

    write_file("in.EIn", "2 0 0 1\n");
    expect_stop("b.gjf" + kGaussianArgs, " GJF file: b.gjf\n" + io +
                                             " ERROR: Unsupported deriv level:            0\n"
                                             "        Only ider=1 (gradient) or ider=2 (Hessian) are supported.\n");

    // An unreadable header or value is an I/O failure: status 2, named on
    // standard error.
    write_file("in.EIn", "2 1.0 0 1\n");
    ProcessResult r = quorin("b.gjf" + kGaussianArgs);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("in.EIn"), std::string::npos) << r.err;
    write_file("in.EIn", "2 1 0 1\n");
    write_file("b.gjf", gjf("root=2.5"));
    r = quorin("b.gjf" + kGaussianArgs);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("\"2.5\" (key root in b.gjf)"), std::string::npos) << r.err;
}

// A start-up that succeeds hands over to exactly one workflow; what the
// workflow prints after its start line is its own business.
TEST(Entry, DispatchAfterStartup) {
    ScratchDir dir;
    const std::string head = kBanner + " GJF file: job.gjf\n Input file: in.EIn\n Output file: out.EOu\n";
    struct Case {
        std::string header, title, after;
    } cases[] = {
        {"2 1 0 1", "root=1", " Debug mode is disabled (default).\n Staring adiabatic state ...\n"},
        {"2 1 0 1", "sdnto=.t.", " Debug mode is disabled (default).\n Staring diabatic state (SDNTO enabled) ...\n"},
        {"2 2 0 1", "sdnto=.t.", " Hessian-only mode (ider=2) detected.\n Debug mode is disabled (default).\n"},
    };
    for (const Case& c : cases) {
        write_file("in.EIn", c.header + "\n8 0 0 0\n1 0 0 1.8\n");
        write_file("job.gjf", gjf(c.title));
        ProcessResult r = quorin("job.gjf" + kGaussianArgs);
        EXPECT_EQ(r.out.substr(0, head.size() + c.after.size()), head + c.after) << r.out;
        EXPECT_EQ(r.out.find("Staring", head.size() + c.after.size()), std::string::npos) << r.out;
        EXPECT_TRUE(fs::is_directory("temp"));
    }
}

}  // namespace
}  // namespace quorin
