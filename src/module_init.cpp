#include "module_init.hpp"

#include "text_fields.hpp"

namespace quorin {

void initialize_quorin(const std::vector<std::string>& args, std::string&, std::string&, std::string&,
                       Tddft_config&, int&, int&, int&, int&, bool&) {
    say({"ERROR: Expected 6 or 7 arguments but got ", static_cast<int>(args.size())});
    stop(1);
}

}  // namespace quorin
