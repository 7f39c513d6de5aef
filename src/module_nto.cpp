#include "module_nto.hpp"

namespace quorin {

int overlap_inttype = 1;
double nto_threshold_global = 0.3;
bool use_vosksnto = false;
bool templates_ready = false;
bool snto_debug_flag = false;

void set_nto_overlap_inttype(int inttype) {
    overlap_inttype = (inttype == 2) ? 2 : 1;
    templates_ready = false;
}
void set_nto_threshold(double threshold) { nto_threshold_global = threshold; }
void set_nto_vosksnto_flag(bool flag) { use_vosksnto = flag; }
void set_snto_debug_flag(bool flag) { snto_debug_flag = flag; }
bool nto_vosksnto_enabled() { return use_vosksnto; }

}  // namespace quorin
