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

// How NTOs and SNTO values are made in a run: one engine choice per run.
struct NtoSettings {
    int overlap_inttype = 1;      // 1 direct overlap integrals, 2 wavefunction norm
    double nto_threshold = 0.3;   // NTO eigenvalue threshold handed to voskSNTO
    bool use_vosksnto = false;    // true: voskSNTO, false: voskwfn + Multiwfn
    bool snto_debug_flag = false; // keep numbered copies of the SNTO summaries
    int tool_timeout = 0;         // seconds a tool run may take; 0: no limit
};

// Orbital energies of a formatted checkpoint or NTO file (NTO eigenvalues).
struct OrbitalEnergies {
    std::vector<double> alpha;
    std::optional<std::vector<double>> beta;  // when asked for and present
};

// The orbital index range "first,last" of the NTO eigenvalues above the
// threshold, and how many lie above it.
struct NtoRange {
    std::string range_str;
    int count = 0;
};

// The state of the new geometry that continues the followed one: best_state
// is 0 when nothing could be chosen (an empty list); best_snto measures its
// overlap with the previous step's NTOs; snto holds every candidate's value
// (kNoSnto when it has none), in the order of the candidates.
// When the tool's summary lacked a row for some candidates, its result is
// incomplete: incomplete_summary names the file, missing_rows the states,
// and nothing was chosen.
struct MatchResult {
    int best_state = 0;
    double best_snto = kNoSnto;
    std::vector<double> snto;
    std::string incomplete_summary;
    std::vector<int> missing_rows;
};

// ------------------------------------------------------------------- readers
int read_nif_from_fch(const std::string& file);
// Alpha (and, when asked, beta) orbital energies: as many as each section
// holds by its own count (fewer than nif when the basis set had linear
// dependencies); nif values when a header gives no count.
OrbitalEnergies read_orbital_energies_from_fch(const std::string& file, int nif, bool with_beta = false);
// Why an NTO file cannot serve as the reference of the next step (missing,
// empty, no basis size or no readable eigenvalues), or nothing when it can.
std::optional<std::string> nto_file_problem(const std::string& file);
NtoRange find_nto_range(const std::string& nto_file, double threshold);

std::vector<double> read_overlap_integral_file(const std::string& file, int n);
// The SNTO value of candidate `state` from its overlap file.  An overlap
// file without the diagonal entry of an orbital of the range is a failed
// tool run (ERROR, as a missing file is); an overlap there that is not a
// finite number gives the state no value (kNoSnto) with a WARNING.
double calculate_snto(const std::string& ref_nto, const std::string& overlap_file, const std::string& range_str,
                      int state);

// SNTO values of the listed states from a voskSNTO summary file (kNoSnto for
// a state the file does not hold).  `answered` marks the states that have a
// whole row, whatever its status; a value that is not a finite number is no
// value, with a WARNING naming the state.
struct SntoSummary {
    std::vector<double> values;
    std::vector<bool> answered;
};
SntoSummary read_snto_summary(const std::string& file, const std::vector<int>& states);
std::vector<double> read_sntofile_summary(const std::string& file, const std::vector<int>& states);
int next_snto_snapshot_id();
// Snapshot number in four digits (wider when it outgrows them).
std::string snapshot_number(int id);

// ------------------------------------------------------------------- engine
// NTO generation, overlaps and state matching with the settings of the run,
// through voskSNTO or through voskwfn driving Multiwfn.
class NtoEngine {
public:
    // An unsupported overlap scheme is replaced by 1, with a WARNING line.
    explicit NtoEngine(NtoSettings settings = {});
    const NtoSettings& settings() const { return settings_; }
    bool nto_vosksnto_enabled() const { return settings_.use_vosksnto; }

    // The voskwfn script templates, written once per engine (so once per run).
    void ensure_nto_templates();

    void calculate_nto_for_state(const std::string& fchk, int state, const std::string& nto_file);
    void calculate_nto_for_states_batch(const std::string& fchk, const std::vector<int>& states,
                                        const std::string& prefix, const std::string& suffix);
    void calculate_nto_overlap_batch(const std::string& ref_nto, const std::vector<std::string>& nto_files,
                                     const std::string& range_str, const std::vector<std::string>& overlap_files);
    void calculate_nto_overlap(const std::string& ref_nto, const std::string& nto_file, const std::string& range_str,
                               const std::string& overlap_file);

    // Chooses which of `states` continues the state whose NTOs are in old_fch.
    MatchResult match_nto_states(const std::string& old_fch, const std::string& new_fchk,
                                 const std::string& range_str, const std::vector<int>& states);

    // In debug mode: a numbered copy of an SNTO summary file.
    void backup_snto_snapshot(const std::string& file, const std::string& label, int id) const;

private:
    std::string vosksnto_match_command(const std::string& new_fchk, const std::string& reference,
                                       const std::string& summary, const std::vector<int>& states) const;
    void run_tool(const std::string& command) const;
    // Reads a summary; false (with the missing rows in `result`) when it
    // lacks a row for one of `states`.
    static bool read_whole_summary(const std::string& file, const std::vector<int>& states,
                                   std::vector<double>& values, MatchResult& result);
    void resolve_near_degeneracy(const std::string& new_fchk, const std::string& range_str,
                                 const std::vector<int>& states, std::size_t best_pos, MatchResult& result,
                                 int& snapshot_id);

    NtoSettings settings_;
    bool templates_ready_ = false;
};

}  // namespace quorin
