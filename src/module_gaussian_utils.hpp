// The inner Gaussian jobs: writing their inputs, formatting their checkpoint,
// reading their results, echoing their logs and handing results back to the
// outer Gaussian job through its External output file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text_fields.hpp"  // to_lowercase lives with the other text helpers

namespace quorin {

class FileReplacement;

// The kind of an inner job, as its route line names it.
enum class JobKind { Force, Freq, Sp };
[[nodiscard]] const char* job_kind_word(JobKind kind);

// The molecule of this step: the External input file that holds its
// geometry (atomic numbers, bohr), its atom count, charge and multiplicity.
struct Molecule {
    std::string input_file;
    int natoms = 0;
    int charge = 0;
    int multiplicity = 1;
};

// One inner TD-DFT job.  It asks for root + nadd states.  `td_read` absent:
// the guess-read switch decides ",read" in the TD keyword.
struct InnerJob {
    std::string method, basis, extra, mem, nproc;
    int root = 1;
    int nadd = 0;
    JobKind kind = JobKind::Force;
    bool guess_read = false;
    std::optional<bool> td_read;
    std::string title;
    bool triplet = false;
    int tool_timeout = 0;  // seconds formchk may run after the job; 0: no limit
};

// The Link 0 lines and the route line of an inner job's input, each ending
// in a line feed: what write_gaussian_input writes first, and what
// quorin --check shows.
[[nodiscard]] std::string inner_job_head(const InnerJob& job);

// Writes an inner TD-DFT input for the geometry of the External input file.
// Stops when that geometry cannot be read or holds an atom Gaussian cannot take.
void write_gaussian_input(const std::string& file, const InnerJob& job, const Molecule& molecule);

// The frequency job's input, temp/tddft_freq.gjf (kind and title are the
// frequency job's own).
void generate_freq_input(InnerJob job, const Molecule& molecule);

// Whether temp/tddft_pelun.chk can serve as a guess: present and not empty.
// Asked once per call, at start-up (RunSetup::chk_existed).
[[nodiscard]] bool usable_checkpoint();

// What the program takes from an inner job's log, gathered in one pass over
// it: whether Gaussian reported "Error termination", and copies of the few
// records that the readers below look at.
struct InnerLog {
    std::string file;
    bool opened = false;
    bool error_termination = false;
    // The records holding "Total Energy", "E(TD" and "=" before the first
    // forces table.
    std::vector<std::string> energy_lines;
    // The first record holding "Forces (Hartrees/Bohr)" and those after it,
    // through the first "Cartesian Forces:" record past the two heading
    // records (or to the end of the log).
    std::vector<std::string> forces_table;
    // The first record holding "Excitation energies and oscillator
    // strengths:" and those after it, through the first "SavETr:" "write".
    std::vector<std::string> summary;
    // The first convergence table's heading and the (up to) four records after it.
    std::vector<std::string> convergence;
};
[[nodiscard]] InnerLog read_inner_log(const std::string& file);
// The excitation energy (eV) of `state` from the log's excited-state
// summary ("Excited State   2:  Singlet-A  4.1234 eV ..."); none when the
// summary has no line for it or its energy is not a finite number.
[[nodiscard]] std::optional<double> excitation_energy_ev(const InnerLog& log, int state);

// Runs one inner job from its input to its formatted checkpoint: writes the
// input (temp/tddft_freq.gjf for a frequency job, else temp/tddft_pelun.gjf),
// prints `announce` when given, runs g16, and formchk.  The caller asks for
// a guess only where there is a usable checkpoint: at the first job of a call
// when the previous call left one (RunSetup::chk_existed), after a job of the
// same call always (a job that ran wrote it).  A job that reports "Error termination" after
// reading its guess is run once more from a fresh guess, with the checkpoint
// removed; a job that fails otherwise stops the call.  The formatted
// checkpoint must hold this step's geometry (check_checkpoint_geometry).
// Returns what the job's log holds for the readers below.
InnerLog run_inner_job(InnerJob job, const Molecule& molecule, const std::string& announce = "");

// The element count of a formatted-checkpoint array header ("... N= 12").
[[nodiscard]] std::optional<long long> fchk_count(std::string_view header);

// Stops the call when a formatted checkpoint holds "Current cartesian
// coordinates" that differ from the External input's by more than 1e-4 bohr
// in any coordinate (the checkpoint of another step or another job).
void check_checkpoint_geometry(const std::string& fchk, const Molecule& molecule);

// Runs formchk on temp/tddft_pelun.chk, ended after `timeout_seconds` when
// above 0; stops when no formatted checkpoint is there afterwards.
void run_formchk_for_tddft(int timeout_seconds = 0);

// The name under which a converged checkpoint is copied next to the user's
// input: the gjf file's stem with ".chk", or tddft_pelun.chk without one.
[[nodiscard]] std::string chk_copy_target(const std::string& gjf_file);
void copy_chk_to_maindir(const std::string& gjf_file);

// How messages name component k (from 0, atom by atom) of a Cartesian
// quantity: "force y of atom 2".
[[nodiscard]] std::string component_name(std::string_view quantity, std::size_t k);

// Energy (hartree) and forces (3 per atom, hartree/bohr, the negative
// gradient) of an inner job.
struct GradientResult {
    double energy = 0.0;
    std::vector<double> forces;
};
// The energy and forces of the inner job from its log (temp/tddft_pelun.log).
// Stops when the log could not be opened or lacks the energy or the forces.
[[nodiscard]] GradientResult extract_gradient(const InnerLog& log, int natoms);
// Cartesian gradient (3N) from a formatted checkpoint.  Stops when the file,
// its gradient block or one of its values is missing or unreadable.
[[nodiscard]] std::vector<double> read_grad_from_fch(const std::string& file, int natoms);
// The same from `in`, a reader at the start of the checkpoint `name`.
// Afterwards `in` stands where a search for the force constants finds the
// header a search from the start would find: just after the gradient, or
// back at the start when that header came before.
[[nodiscard]] std::vector<double> read_grad_from_fch(RecordReader& in, const std::string& name, int natoms);
// The lower triangle of the Cartesian force constants, from the first
// "Cartesian Force Const" header after `in`'s position, copied to `out` row
// by row: 3N(3N+1)/2 values in D20.12, three to a line.  Each value is
// written as it is read; nothing of the size of the Hessian is held.  Stops
// when the section is missing, has the wrong count or a value that does not read.
void copy_force_constants(RecordReader& in, const std::string& name, int natoms, FileReplacement& out);

// The External output file: energy, zero dipole, gradient = -forces.  The
// file is replaced atomically.
[[nodiscard]] std::string external_output_text(int natoms, double energy, const std::vector<double>& forces);
void write_external_output(const std::string& file, int natoms, double energy, const std::vector<double>& forces,
                           bool verbose = false);

// Echo of the excited-state summary (and, with debug, the forces table).
// Stops when the log could not be opened.
void echo_gaussian_output(const InnerLog& log, bool debug);
// Whether the inner log's convergence table is all YES.
[[nodiscard]] bool check_convergence(const InnerLog& log);
[[nodiscard]] bool check_convergence(const std::string& log_file);

}  // namespace quorin
