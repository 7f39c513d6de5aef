// Adiabatic mode: every step computes the gradient of the configured root.
#pragma once

#include <string>

#include "module_init.hpp"

namespace quorin {

void run_adiabatic_tddft(const std::string& input_file, const std::string& output_file, const Tddft_config& config,
                         int natoms, int charge, int multiplicity, bool chk_existed, const std::string& gjf_file);

}  // namespace quorin
