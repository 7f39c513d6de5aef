#include "module_adiabatic_tddft.hpp"

#include "text_fields.hpp"

namespace quorin {

void run_adiabatic_tddft(const std::string&, const std::string&, const Tddft_config&, int, int, int, bool,
                         const std::string&) {
    say({"ERROR: The adiabatic mode is not available in this build of quorin."});
    stop(1);
}

}  // namespace quorin
