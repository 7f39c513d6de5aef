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
    write_gaussian_input("temp/tddft_pelun.gjf", config.method, config.basis, config.root, config.nadd,
                         config.extra, config.mem, config.nproc, charge, multiplicity, natoms, input_file, "force",
                         chk_existed, "TD-DFT gradient calculation", config.triplet, false);

    say({" [Adiabatic] Running Gaussian TD-DFT gradient calculation..."});
    run_shell(std::string(kG16Command));
    run_formchk_for_tddft();

    double energy = 0.0;
    std::vector<double> forces;
    extract_gradient(natoms, energy, forces);

    say({""});
    echo_gaussian_output(config.debug);

    bool converged = false;
    check_convergence("temp/tddft_pelun.log", converged);
    if (converged) copy_chk_to_maindir(gjf_file);

    write_external_output(output_file, natoms, energy, forces, true);
}

}  // namespace quorin
