#include "module_diabatic_tddft.hpp"

#include "text_fields.hpp"

namespace quorin {

bool debug_step_active = false;
int debug_current_step_id = 0;

void run_diabatic_tddft(const std::string&, const std::string&, const Tddft_config&, int, int, int, bool,
                        const std::string&) {
    say({"ERROR: The diabatic (SDNTO) mode is not available in this build of quorin."});
    stop(1);
}

}  // namespace quorin
