#include "module_hessian.hpp"

#include <fstream>
#include <sstream>

#include "module_gaussian_utils.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"

namespace quorin {

namespace {

// The root that the diabatic mode followed at its last step, if it left one.
bool followed_root_from_meta(int& root) {
    const char* meta = "temp/sdn_meta.dat";
    if (!file_exists(meta)) return false;
    std::ifstream in(meta);
    if (!in) return false;
    FreeRead r(in, meta);
    std::int32_t v = 0;
    if (!r.get(v) || v <= 0) return false;
    root = v;
    return true;
}

}  // namespace

void run_hessian_mode(const std::string& input_file, const std::string& output_file, const Tddft_config& config,
                      int natoms, int charge, int multiplicity, bool chk_existed) {
    say({">>>>> Entering Hessian-only workflow (ider=2)"});
    int root = config.root;
    if (config.sdnto && !followed_root_from_meta(root)) {
        root = config.root;
        say({" Warning: SDNTO flag is on but no valid meta found, fallback to root=", config.root});
    }
    put(" Frequency calculation root = " + fmt_I0(root));

    InnerJob job = inner_job_base(config);
    job.root = root;
    job.nadd = config.nadd;
    job.kind = JobKind::Freq;
    job.guess_read = chk_existed;
    // The frequency job writes the same checkpoint as the gradient jobs, so
    // its formatted checkpoint is temp/tddft_pelun.fchk too.
    run_inner_job(job, Molecule{input_file, natoms, charge, multiplicity}, " Running Gaussian frequency calculation...");

    const std::string fchk = "temp/tddft_pelun.fchk";
    double energy = 0.0;
    read_total_energy_from_fchk(fchk, energy);
    std::vector<double> gradient;
    read_grad_from_fch(fchk, natoms, gradient);
    std::vector<double> forces(gradient.size());
    for (std::size_t i = 0; i < gradient.size(); ++i) forces[i] = -gradient[i];
    std::vector<double> hessian;
    read_gaussian_hessian(fchk, natoms, hessian);

    write_external_output(output_file, natoms, energy, forces, true);
    append_hessian_blocks(output_file, natoms, hessian);
    say({"Hessian-only workflow completed <<<<<"});
}

void read_total_energy_from_fchk(const std::string& file, double& energy) {
    energy = 0.0;
    std::ifstream in = open_or_stop(file, std::string("ERROR: Cannot open fchk file for energy: ") + rtrim(file));
    std::string line;
    while (read_line(in, line)) {
        if (!starts_with(line, "Total Energy")) continue;
        std::string w1, w2, w3;
        double e = 0.0;
        if (!try_read_free(line, w1, w2, w3, e)) {
            say({"ERROR: Failed to parse Total Energy line in ", rtrim(file)});
            stop(1);
        }
        energy = e;
        return;
    }
    say({"ERROR: Total Energy not found in ", rtrim(file)});
    stop(1);
}

void append_hessian_blocks(const std::string& output_file, int natoms, const std::vector<double>& hessian) {
    const std::size_t n3 = static_cast<std::size_t>(natoms) * 3;
    std::ifstream in(output_file, std::ios::binary);
    if (!in) io_failure("cannot open " + output_file + " to append the force constants");
    std::ostringstream text;
    text << in.rdbuf();
    in.close();

    // Polarizability and dipole derivatives are not computed: zeros.
    for (int line = 0; line < 2; ++line) text << fmt_D_row({0.0, 0.0, 0.0}) << '\n';
    for (std::size_t line = 0; line < n3; ++line) text << fmt_D_row({0.0, 0.0, 0.0}) << '\n';

    // Force constants: the lower triangle row by row, three to a line.
    int on_line = 0;
    for (std::size_t i = 0; i < n3; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            text << fmt_D(hessian[i * n3 + j], 20, 12);
            if (++on_line == 3) {
                text << '\n';
                on_line = 0;
            }
        }
    }
    if (on_line != 0) text << '\n';
    replace_file_atomically(output_file, text.str());
}

}  // namespace quorin
