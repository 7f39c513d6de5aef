// Diabatic (SDNTO) mode: the followed state is carried from step to step in
// temp/sdn_meta.dat and matched at every later step by its NTOs.
#pragma once

#include <string>
#include <vector>

#include "module_gaussian_utils.hpp"
#include "module_init.hpp"
#include "module_nto.hpp"

namespace quorin {

// One diabatic step.  Stops -- leaving the state file and the references as
// they were -- when a job, a tool or the matching gives no usable result.
void run_diabatic_tddft(const RunSetup& run, NtoEngine& nto);

// The state file temp/sdn_meta.dat: the followed state, the NTO range text,
// and the energy and forces handed back at the step that wrote it.
struct SdnMetaHead {
    bool exists = false;   // present and readable
    int follow_state = 0;  // 0 when its first line holds no integer
};
[[nodiscard]] SdnMetaHead inquire_sdn_meta();
// The state file's text; it is put in place with the step's references
// (one StagedCommit, so that a kill never leaves one without the others).
[[nodiscard]] std::string sdn_meta_text(int follow_state, const std::string& range_str, const GradientResult& result);
struct SdnMeta {
    int follow_state = 0;
    std::string range_str;
};
// Both stop when the state file cannot be opened or lacks what they read.
[[nodiscard]] SdnMeta read_sdn_meta();
[[nodiscard]] GradientResult read_sdn_forces(int natoms);

// Debug snapshots of the inner jobs, numbered by a step counter kept in
// temp/debug_snapshots: the step number of this call, when debug is on.
struct DebugStep {
    bool active = false;
    int id = 0;
};
[[nodiscard]] DebugStep debug_initialize_step(bool debug);
void debug_backup_tddft(const DebugStep& step, const std::string& label);

}  // namespace quorin
