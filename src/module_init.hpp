// Start-up of one call: the External arguments and input header, the run
// configuration and where it comes from, and the start-up summary.
#pragma once

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
InnerJob inner_job_base(const Tddft_config& config);

// Fills every run value from the command-line arguments (without the program
// name), the External input header and the configuration source.  Any
// failure stops the call.
void initialize_quorin(const std::vector<std::string>& args, std::string& gjf_file, std::string& input_file,
                       std::string& output_file, Tddft_config& config, int& natoms, int& charge,
                       int& multiplicity, int& ider, bool& chk_existed);

// The configuration sources.
bool try_find_unique_gjf(std::string& gjf_file);
void read_config_gjf(const std::string& gjf_file, Tddft_config& config);
void read_config_toml(const std::string& toml_file, Tddft_config& config);
void print_config_summary(const Tddft_config& config, int natoms, int charge, int multiplicity);

// Value parsers.  `where` names the key and the file for an I/O failure.
std::string parse_value(std::string_view value);
int parse_integer(std::string_view value, const std::string& where = "");
double parse_real(std::string_view value, const std::string& where = "");
bool parse_logical(std::string_view value);

}  // namespace quorin
