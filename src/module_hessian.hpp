// Frequency calls: one inner frequency job supplies energy, gradient and
// force constants of the followed root.
#pragma once

#include <string>
#include <vector>

#include "module_init.hpp"

namespace quorin {

void run_hessian_mode(const std::string& input_file, const std::string& output_file, const Tddft_config& config,
                      int natoms, int charge, int multiplicity, bool chk_existed);
void read_total_energy_from_fchk(const std::string& file, double& energy);
// Adds the polarizability, dipole-derivative and force-constant blocks to the
// External output file (replacing it atomically with the longer text).
void append_hessian_blocks(const std::string& output_file, int natoms, const std::vector<double>& hessian);

}  // namespace quorin
