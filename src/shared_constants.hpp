// Element symbols by atomic number.
#pragma once

#include <array>
#include <string_view>

namespace quorin {

// Two-character symbols for atomic numbers 0 (a ghost atom, "Bq") to 86 (Rn);
// one-letter symbols are followed by a blank.
extern const std::array<std::string_view, 87> ind2name;

// Bohr to angstrom, as the inner Gaussian inputs use it.
inline constexpr double kBohrToAngstrom = 0.529177249;

[[nodiscard]] inline bool valid_atomic_number(int z) { return z >= 0 && z < static_cast<int>(ind2name.size()); }

}  // namespace quorin
