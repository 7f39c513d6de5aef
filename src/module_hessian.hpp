// Frequency calls: one inner frequency job supplies energy, gradient and
// force constants of the followed root.
#pragma once

#include <string>

#include "module_init.hpp"

namespace quorin {

// One frequency step; stops when the inner job or its checkpoint fails.
void run_hessian_mode(const RunSetup& run);
// Stops when the file cannot be opened or holds no readable Total Energy.
[[nodiscard]] double read_total_energy_from_fchk(const std::string& file);
// Writes the whole External output of a frequency step -- energy, gradient,
// zero polarizability and dipole derivatives, force constants -- reading the
// formatted checkpoint once, front to back, and streaming the force
// constants through as they are read.  The output replaces the old file
// only once complete; a step that stops on the way leaves the old one.
void write_frequency_output(const std::string& fchk, const std::string& output_file, int natoms, double energy);

}  // namespace quorin
