#include "module_adiabatic_tddft.hpp"

#include <vector>

#include "module_gaussian_utils.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"

namespace quorin {

// One step of the adiabatic mode: the gradient of the configured root,
// whatever the character of that root at this geometry.
void run_adiabatic_tddft(const std::string& input_file, const std::string& output_file, const Tddft_config& config,
                         int natoms, int charge, int multiplicity, bool chk_existed, const std::string& gjf_file) {
    InnerJob job = inner_job_base(config);
    job.root = config.root;
    job.nadd = config.nadd;
    job.kind = JobKind::Force;
    job.guess_read = chk_existed;
    job.td_read = false;
    job.title = "TD-DFT gradient calculation";
    const InnerLog log = run_inner_job(job, Molecule{input_file, natoms, charge, multiplicity},
                                       " [Adiabatic] Running Gaussian TD-DFT gradient calculation...");

    double energy = 0.0;
    std::vector<double> forces;
    extract_gradient(log, natoms, energy, forces);

    say({""});
    echo_gaussian_output(log, config.debug);

    bool converged = false;
    check_convergence(log, converged);
    if (converged) copy_chk_to_maindir(gjf_file);

    write_external_output(output_file, natoms, energy, forces, true);
}

}  // namespace quorin
