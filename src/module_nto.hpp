// Natural transition orbitals: engine settings, orbital data of formatted
// checkpoints, NTO generation, SNTO overlaps and the choice of the state that
// continues the one followed so far.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorin {

// "No value" for an SNTO value.
inline constexpr double kNoSnto = -1.0e10;

// ------------------------------------------------------------------ settings
// Process-wide settings, handed over once by the entry.
extern int overlap_inttype;          // 1 direct overlap integrals, 2 wavefunction norm
extern double nto_threshold_global;  // NTO eigenvalue threshold for voskSNTO
extern bool use_vosksnto;            // true: voskSNTO, false: voskwfn + Multiwfn
extern bool templates_ready;         // voskwfn templates written for the current scheme
extern bool snto_debug_flag;         // keep SNTO summary snapshots

void set_nto_overlap_inttype(int inttype);
void set_nto_threshold(double threshold);
void set_nto_vosksnto_flag(bool flag);
void set_snto_debug_flag(bool flag);
bool nto_vosksnto_enabled();

// ------------------------------------------------------------------- readers
int read_nif_from_fch(const std::string& file);
// Alpha (and, when asked, beta) orbital energies: as many as each section
// holds by its own count (fewer than nif when the basis set had linear
// dependencies); nif values when a header gives no count.
void read_orbital_energies_from_fch(const std::string& file, int nif, std::vector<double>& alpha,
                                    std::vector<double>* beta = nullptr, bool* beta_found = nullptr);
// Why an NTO file cannot serve as the reference of the next step (missing,
// empty, no basis size or no readable eigenvalues), or nothing when it can.
std::optional<std::string> nto_file_problem(const std::string& file);
// The orbital index range "first,last" of eigenvalues above the threshold
// (by magnitude), and how many are above it.
void find_nto_range(const std::string& nto_file, double threshold, std::string& range_str, int& count);

// ---------------------------------------------------------------- generation
void ensure_nto_templates();
void calculate_nto_for_state(const std::string& fchk, int state, const std::string& nto_file);
void calculate_nto_for_states_batch(const std::string& fchk, const std::vector<int>& states,
                                    const std::string& prefix, const std::string& suffix);

// ------------------------------------------------------------------ overlaps
void calculate_nto_overlap_batch(const std::string& ref_nto, const std::vector<std::string>& nto_files,
                                 const std::string& range_str, const std::vector<std::string>& overlap_files);
void calculate_nto_overlap(const std::string& ref_nto, const std::string& nto_file, const std::string& range_str,
                           const std::string& overlap_file);
std::vector<double> read_overlap_integral_file(const std::string& file, int n);
double calculate_snto(const std::string& ref_nto, const std::string& overlap_file, const std::string& range_str);

// ------------------------------------------------------------------ matching
// Chooses which of `states` continues the state whose NTOs are in old_fch.
// best_state is 0 when nothing could be chosen (an empty list).
void match_nto_states(const std::string& old_fch, const std::string& new_fchk, const std::string& range_str,
                      const std::vector<int>& states, int& best_state, double& best_snto,
                      std::vector<double>& snto);

// ------------------------------------------------- summary files, snapshots
void read_sntofile_summary(const std::string& file, const std::vector<int>& states, std::vector<double>& values);
int next_snto_snapshot_id();
void backup_snto_snapshot(const std::string& file, const std::string& label, int id);
// Snapshot number in four digits (wider when it outgrows them).
std::string snapshot_number(int id);

}  // namespace quorin
