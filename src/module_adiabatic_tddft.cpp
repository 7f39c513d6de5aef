#include "module_adiabatic_tddft.hpp"

#include "module_gaussian_utils.hpp"
#include "text_fields.hpp"

namespace quorin {

// One step of the adiabatic mode: the gradient of the configured root,
// whatever the character of that root at this geometry.
void run_adiabatic_tddft(const RunSetup& run) {
    const Tddft_config& config = run.config;
    InnerJob job = inner_job_base(config);
    job.root = config.root;
    job.nadd = config.nadd;
    job.kind = JobKind::Force;
    job.guess_read = run.chk_existed;
    job.td_read = false;
    job.title = "TD-DFT gradient calculation";
    const InnerLog log =
        run_inner_job(job, run.molecule(), " [Adiabatic] Running Gaussian TD-DFT gradient calculation...");

    const GradientResult result = extract_gradient(log, run.natoms);

    say({""});
    echo_gaussian_output(log, config.debug);

    if (check_convergence(log)) copy_chk_to_maindir(run.gjf_file);

    write_external_output(run.output_file, run.natoms, result.energy, result.forces, true);
}

}  // namespace quorin
