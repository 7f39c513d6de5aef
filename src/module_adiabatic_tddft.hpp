// Adiabatic mode: every step computes the gradient of the configured root.
#pragma once

#include "module_init.hpp"

namespace quorin {

// One adiabatic step; stops when the inner job gives no energy or forces.
void run_adiabatic_tddft(const RunSetup& run);

}  // namespace quorin
