#include "module_hessian.hpp"

#include <fstream>
#include <optional>

#include "messages.hpp"
#include "module_diabatic_tddft.hpp"
#include "module_gaussian_utils.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"
#include "work_files.hpp"

namespace quorin {

namespace {

// The root that the diabatic mode followed at its last step, if it left one.
std::optional<int> followed_root_from_meta() {
    // A diabatic step that a killed call recorded but did not complete is
    // completed first, so that the state file is the one it recorded.
    finish_commit(kStepRecord);
    const SdnMetaHead meta = inquire_sdn_meta();
    if (!meta.exists || meta.follow_state <= 0) return std::nullopt;
    return meta.follow_state;
}

}  // namespace

void run_hessian_mode(const RunSetup& run) {
    const Tddft_config& config = run.config;
    say({msg::kHessianStart, " (ider=2)"});
    int root = config.root;
    if (config.sdnto) {
        if (const std::optional<int> followed = followed_root_from_meta())
            root = *followed;
        else
            say({msg::kNoMetaFallback, ", fallback to root=", config.root});
    }
    put(std::string(msg::kFrequencyRoot) + fmt_I0(root));

    InnerJob job = inner_job_base(config);
    job.root = root;
    job.nadd = config.nadd;
    job.kind = JobKind::Freq;
    job.guess_read = run.chk_existed;
    // The frequency job writes the same checkpoint as the gradient jobs, so
    // its formatted checkpoint is temp/tddft_pelun.fchk too.
    run_inner_job(job, run.molecule(), " Running Gaussian frequency calculation...");

    write_frequency_output(kInnerFchk, run.output_file, run.natoms, read_total_energy_from_fchk(kInnerFchk));
    say({msg::kHessianDone, " <<<<<"});
}

double read_total_energy_from_fchk(const std::string& file) {
    RecordReader in = records_or_stop(file, "ERROR: Cannot open fchk file for energy: " + file);
    std::string_view line;
    if (!in.find(line, [](std::string_view l) { return starts_with(l, "Total Energy"); }))
        stop_with({"ERROR: Total Energy not found in ", file});
    std::string w1, w2, w3;
    double e = 0.0;
    FreeRead r(line, std::string());
    if (!r.all(w1, w2, w3) || !r.get_finite(e, "the total energy", file))
        stop_with({"ERROR: Failed to parse Total Energy line in ", file});
    return e;
}

void write_frequency_output(const std::string& fchk, const std::string& output_file, int natoms, double energy) {
    const std::string& name = fchk;
    RecordReader in = records_or_stop(name, "ERROR: Cannot open fchk file for gradient: " + name);
    const std::vector<double> gradient = read_grad_from_fch(in, name, natoms);
    // The writer negates the forces it is given: hand it the negated gradient.
    std::vector<double> forces(gradient.size());
    for (std::size_t i = 0; i < gradient.size(); ++i) forces[i] = -gradient[i];

    const std::string& target = output_file;
    FileReplacement out(target);
    out.write(external_output_text(natoms, energy, forces));
    // Polarizability (6 values, 2 lines) and dipole derivatives (9N values,
    // 3N lines) are not computed: zeros, three to a line.
    const std::string zeros = fmt_D_row({0.0, 0.0, 0.0}) + '\n';
    for (std::size_t line = 0; line < 2 + gradient.size(); ++line) out.write(zeros);
    copy_force_constants(in, name, natoms, out);
    out.commit();
    say({" Output file written: ", target});
}

}  // namespace quorin
