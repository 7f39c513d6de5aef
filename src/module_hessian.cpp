#include "module_hessian.hpp"

#include "text_fields.hpp"

namespace quorin {

void run_hessian_mode(const std::string&, const std::string&, const Tddft_config&, int, int, int, bool) {
    say({"ERROR: The Hessian-only mode (ider=2) is not available in this build of quorin."});
    stop(1);
}

}  // namespace quorin
