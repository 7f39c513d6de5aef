// quorin: follows one excited state through a Gaussian optimisation or
// frequency job that runs it through the External keyword, once per step.
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "module_adiabatic_tddft.hpp"
#include "module_diabatic_tddft.hpp"
#include "module_hessian.hpp"
#include "messages.hpp"
#include "module_init.hpp"
#include "module_nto.hpp"
#include "outside_programs.hpp"
#include "quorin_version.hpp"
#include "text_fields.hpp"
#include "work_files.hpp"

namespace quorin {
namespace {

constexpr std::string_view kHelp[] = {
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
    "  3. The default maxstep of gaussian is quite large that may cause losing track. If ",
    "       that happened, you may try to decrease maxstep value.",
    "  4. While running an 'opt freq' job, the %chk should refer to $your_gjf_name.chk",
    "",
    "More:",
    "  quorin --check [config_file]  Check the settings before submitting: every setting, the",
    "                                inner job's Link 0 and route lines, the outside programs,",
    "                                a WARNING per slip; exit status 1 after a warning",
    "  quorin --version              Print the version",
    "  quorin-report LOG             Which state each step of a run followed (--svg FILE: a plot)",
    "  Documentation: man quorin, man quorin-report; usage.md and cluster.md (a batch script)",
    "                 in share/doc/quorin of the installation, or docs/ of the sources",
    "",
};

void print_help() {
    for (std::string_view line : kHelp) put(line);
    stop(0);
}

bool is_help_option(const std::string& arg) {
    const std::string& a = arg;
    return a == "-h" || a == "--help" || a == "-H" || a == "-help";
}

// Every outside program the chosen workflow runs must be on PATH before the
// first inner job, or the call would fail later with a message about a
// missing output file.  Names each missing one, then stops.
void require_outside_programs(int ider, const Tddft_config& config) {
    const char* path = std::getenv("PATH");
    bool missing = false;
    for (const OutsideProgram& n : programs_needed(ider, config))
        if (!found_on_path(n.name, path ? path : "")) {
            say({"ERROR: " + std::string(n.name) + " not found on PATH; quorin runs it " + std::string(n.why) + "."});
            missing = true;
        }
    if (missing) stop(1);
}

// One call of the program: one step of the outer Gaussian job.
void run(const std::vector<std::string>& args) {
    if (!args.empty() && is_help_option(args[0])) print_help();
    if (!args.empty() && args[0] == "--version") {
        put("quorin " QUORIN_VERSION);
        return;
    }
    // A dry run of the start-up: before "temp" is made, so it creates nothing.
    if (!args.empty() && args[0] == "--check") {
        put("quorin " QUORIN_VERSION);
        stop(check_configuration({args.begin() + 1, args.end()}));
    }

    say({msg::kCallStarting});
    make_dirs(kTempDir);
    const DirectoryLock lock(kLockFile);
    // What a killed call left half-written never became the real file; with
    // the lock held nobody else is writing here, so the leftovers can go.
    for (const char* dir : {kTempDir, kSnapshotDir, "."}) remove_partial_files(dir);

    const RunSetup run = initialize_quorin(args);
    require_outside_programs(run.ider, run.config);

    // One NTO engine for the run, with the run's settings (an unsupported
    // overlap scheme is reported here, whatever the mode).
    NtoEngine nto(NtoSettings{run.config.inttype, run.config.ntothre, run.config.vosksnto, run.config.debug,
                              run.config.tooltimeout});

    if (run.ider == 2) {
        run_hessian_mode(run);
    } else if (run.config.sdnto) {
        say({msg::kDiabaticStart, " (SDNTO enabled) ..."});
        run_diabatic_tddft(run, nto);
    } else {
        say({msg::kAdiabaticStart, " ..."});
        run_adiabatic_tddft(run);
    }

    say({msg::kCallDone, " <<<<<"});
    say({""});
}

}  // namespace
}  // namespace quorin

int main(int argc, char** argv) {
    // Arguments are trimmed once, here: every name below carries no trailing blank.
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::string& arg : args) arg = quorin::rtrim(arg);
    quorin::install_signal_forwarding();
    int status = 0;
    try {
        quorin::run(args);
    } catch (const quorin::Stop& s) {
        std::cout.flush();
        std::cerr << "STOP " << s.status << '\n';
        status = s.status;
    } catch (const quorin::IoFailure& e) {
        std::cout.flush();
        std::cerr << quorin::msg::kFailurePrefix << "I/O failure: " << e.what() << '\n';
        status = 2;
    } catch (const std::bad_alloc&) {
        std::cout.flush();
        std::cerr << quorin::msg::kFailurePrefix << "out of memory\n";
        status = 2;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << quorin::msg::kFailurePrefix << e.what() << '\n';
        status = 2;
    }
    std::cout.flush();
    return status;
}
