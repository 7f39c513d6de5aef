// Adiabatic mode: every step computes the gradient of the configured root.
#pragma once

#include "module_init.hpp"

namespace quorin {

void run_adiabatic_tddft(const RunSetup& run);

}  // namespace quorin
