// Diabatic (SDNTO) mode: the followed state is carried from step to step in
// temp/sdn_meta.dat and matched at every later step by its NTOs.
#pragma once

#include <string>
#include <vector>

#include "module_init.hpp"

namespace quorin {

void run_diabatic_tddft(const std::string& input_file, const std::string& output_file, const Tddft_config& config,
                        int natoms, int charge, int multiplicity, bool chk_existed, const std::string& gjf_file);

// The state file.
void inquire_sdn_meta(bool& exists, int& follow_state);
void write_sdn_meta(int follow_state, const std::string& range_str, int natoms, double energy,
                    const std::vector<double>& forces);
void read_sdn_meta(int& follow_state, std::string& range_str);
void read_sdn_forces(int natoms, double& energy, std::vector<double>& forces);

// Debug snapshots of the inner jobs, numbered by a step counter kept in
// temp/debug_snapshots.
extern bool debug_step_active;
extern int debug_current_step_id;
void debug_initialize_step(bool debug);
void debug_backup_tddft(const std::string& label);

}  // namespace quorin
