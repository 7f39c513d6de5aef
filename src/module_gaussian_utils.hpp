// The inner Gaussian jobs: writing their inputs, formatting their checkpoint,
// reading their results, echoing their logs and handing results back to the
// outer Gaussian job through its External output file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "text_fields.hpp"  // to_lowercase lives with the other text helpers

namespace quorin {

// Writes an inner TD-DFT input for the geometry of the External input file.
// `td_read` absent: the guess-read switch decides ",read" in the TD keyword.
void write_gaussian_input(const std::string& file, const std::string& method, const std::string& basis, int root,
                          int nadd, const std::string& extra, const std::string& mem, const std::string& nproc,
                          int charge, int multiplicity, int natoms, const std::string& input_file,
                          const std::string& job_kind, bool guess_read, const std::string& title, bool triplet,
                          std::optional<bool> td_read = std::nullopt);

// The frequency job's input, "temp/tddft_freq.gjf".
void generate_freq_input(const std::string& method, const std::string& basis, int root, int nadd,
                         const std::string& extra, const std::string& mem, const std::string& nproc, int charge,
                         int multiplicity, int natoms, const std::string& input_file, bool triplet,
                         std::optional<bool> guess_read = std::nullopt);

// Runs formchk on temp/tddft_pelun.chk; stops when no formatted checkpoint
// is there afterwards.
void run_formchk_for_tddft();

// The name under which a converged checkpoint is copied next to the user's
// input: the gjf file's stem with ".chk", or tddft_pelun.chk without one.
std::string chk_copy_target(const std::string& gjf_file);
void copy_chk_to_maindir(const std::string& gjf_file);

// Energy and forces (3 per atom, hartree/bohr, the negative gradient) of the
// inner job from temp/tddft_pelun.log.
void extract_gradient(int natoms, double& energy, std::vector<double>& forces);
// Cartesian gradient (3N) from a formatted checkpoint.
void read_grad_from_fch(const std::string& file, int natoms, std::vector<double>& gradient);
// Full symmetric Cartesian Hessian, 3N x 3N row-major, from a formatted checkpoint.
void read_gaussian_hessian(const std::string& file, int natoms, std::vector<double>& hessian);

// The External output file: energy, zero dipole, gradient = -forces.  The
// file is replaced atomically.
std::string external_output_text(int natoms, double energy, const std::vector<double>& forces);
void write_external_output(const std::string& file, int natoms, double energy, const std::vector<double>& forces,
                           bool verbose = false);

// Echo of the excited-state summary (and, with debug, the forces table).
void echo_gaussian_output(bool debug);
// Whether the inner log's convergence table is all YES.
void check_convergence(const std::string& log_file, bool& converged);

}  // namespace quorin
