// Start-up of one call: the External arguments and input header, the run
// configuration and where it comes from, and the start-up summary.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module_gaussian_utils.hpp"

namespace quorin {

// Settings of a run, gathered afresh at every call.  Texts are held without
// trailing blanks and cut to their declared 80 characters.
struct Tddft_config {
    std::string method;  // functional of the inner job
    std::string basis;   // basis set of the inner job
    std::string extra;   // further route keywords
    std::string mem;     // %mem= value (blank: the writer's fallback)
    std::string nproc;   // %nproc= value (blank: the writer's fallback)
    int root = 1;        // state to follow (diabatic: the first step's root)
    int nadd = 2;        // states requested beyond the root
    int sntorange = -1;  // half-width of the matching window; negative: nadd
    int inttype = 1;     // NTO overlap scheme (1 direct, 2 wavefunction norm)
    double ntothre = 0.3;
    // Seconds formchk or an NTO tool may run before it is ended as hung; 0
    // (or less) sets no limit.  The default, an hour, lies far above any
    // sound run of these tools (minutes for large molecules) and far below
    // the days a hung tool would hold the whole Gaussian job.  g16 has none.
    int tooltimeout = 3600;
    // When a diabatic step's choice is said to be doubtful, as shares: a
    // best SNTO value below sntowarn x the reference's own value, a
    // runner-up at sntoambig x the best value or more; below minsnto x the
    // own value the step stops instead (0: never).
    double sntowarn = 0.5;
    double sntoambig = 0.8;
    double minsnto = 0.0;
    // What later diabatic steps match against: the state followed at the
    // previous step ("previous") or at the first step ("first"), any case.
    std::string sntoref = "previous";
    bool triplet = false;
    bool sdnto = false;
    bool vosksnto = false;  // defaults to true in gjf mode (see read_config_*)
    bool sntofirst = false;
    bool debug = false;
};

inline constexpr std::size_t kConfigTextLength = 80;

// What every inner job of a run shares: method, basis, extra keywords,
// resources and the triplet switch.  The workflows add root, state count,
// kind, guess and title.
[[nodiscard]] InnerJob inner_job_base(const Tddft_config& config);

// Everything a call starts from: the files named by Gaussian and the user,
// the configuration, the External input's header, and whether the previous
// step left a checkpoint to read the guess from.
struct RunSetup {
    std::string gjf_file;     // names the copy of a converged checkpoint; blank without one
    std::string input_file;   // Gaussian's External input (geometry in bohr)
    std::string output_file;  // Gaussian's External output
    Tddft_config config;
    int natoms = 0;
    int charge = 0;
    int multiplicity = 0;
    int ider = 0;  // derivative level: 1 gradient, 2 force constants
    bool chk_existed = false;

    [[nodiscard]] Molecule molecule() const { return Molecule{input_file, natoms, charge, multiplicity}; }
};

// The run values from the command-line arguments (without the program name),
// the External input header and the configuration source.  Any failure
// stops the call.
[[nodiscard]] RunSetup initialize_quorin(const std::vector<std::string>& args);

// Where the configuration of a call comes from: the file its pairs are read
// from, the gjf file that names the converged-checkpoint copy (blank in TOML
// mode without a unique .gjf), and the warnings printed while choosing it.
struct ConfigSource {
    std::string file;
    std::string gjf_file;
    bool toml = false;
    int warnings = 0;
};

// Six arguments: the one .gjf file of the working directory, or without one
// the one .com file (stops when there is none or more than one).  Seven: the
// named file, TOML when its name ends in ".toml" in any case.
[[nodiscard]] ConfigSource auto_detected_source();
[[nodiscard]] ConfigSource named_source(const std::string& config_file);

// The configuration sources.  Each reader sets the defaults, reads its file,
// prints a WARNING line for every slip it notices (an unknown key, a key
// given again, a logical value that is neither true nor false, text left
// after a number, a real that is not finite, a pair without "=", a header
// that reads like [quorin] but is not, a title pair broken by blanks or
// tabs, text after a closing quote in TOML) and returns how many it printed.
// The values are read the same with or without a warning.  A number that
// does not read stops with an ERROR naming the key, the value and the file.
// In a TOML file "#" outside quotes starts a comment.
[[nodiscard]] bool try_find_unique_gjf(std::string& gjf_file);
int read_config(const ConfigSource& source, Tddft_config& config);
int read_config_gjf(const std::string& gjf_file, Tddft_config& config);
int read_config_toml(const std::string& toml_file, Tddft_config& config);
// Stops with an ERROR line for values no run can work with: root below 1,
// nadd below 0, root + nadd beyond the 32-bit range of the state count, or an
// sntoref other than previous or first.
void check_config_values(const Tddft_config& config, const std::string& file);
// Whether later diabatic steps match against the first step's NTOs.
[[nodiscard]] bool matches_first_step(const Tddft_config& config);
void print_config_summary(const Tddft_config& config, int natoms, int charge, int multiplicity);

// Warns about the outer Gaussian input: no external= naming quorin (or,
// given `checked_config`, one that runs quorin with another configuration
// file; empty: none), no nosymm, with opt freq a %chk that the
// converged-checkpoint copy would replace, an outer %nproc above 1.  Returns
// the number of warnings.
int warn_about_outer_input(const std::string& gjf_file, const std::optional<std::string>& checked_config);

// An outside program a step runs, and what for.
struct OutsideProgram {
    std::string_view name, why;
};
// The outside programs of the step that derivative level `ider` asks for.
[[nodiscard]] std::vector<OutsideProgram> programs_needed(int ider, const Tddft_config& config);

// quorin --check [config]: reads the configuration as a run would and prints
// its warnings, every setting, the inner gradient job's Link 0 lines and
// route, the outside programs and whether they are on PATH, then a warning
// for each value outside what a run can use, each slip of the outer input
// and each program missing.  Runs and creates nothing.  Returns the exit
// status: 0 without a warning, 1 with one (an ERROR stops as in a run).
[[nodiscard]] int check_configuration(const std::vector<std::string>& files);

// Value parsers.  A number that does not read stops the call with an ERROR
// naming `key`, the value and `file`.
[[nodiscard]] std::string parse_value(std::string_view value);
[[nodiscard]] int parse_integer(std::string_view value, const std::string& key = "value", const std::string& file = "");
[[nodiscard]] bool parse_logical(std::string_view value);

}  // namespace quorin
