// Natural transition orbitals: engine settings, orbital data of formatted
// checkpoints, NTO generation, SNTO overlaps and the choice of the state that
// continues the one followed so far.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "messages.hpp"  // kNoSnto

namespace quorin {

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
// overlap with the reference NTOs; snto holds every candidate's value
// (kNoSnto when it has none), in the order of the candidates, and best_pos
// the chosen one's place among them.  compared lists the places that were
// compared once more against the tie-break reference (the first choice, then
// its near-degenerate rivals; empty when there was no such comparison).
// own_snto is the value the reference itself would score (kNoSnto when no
// choice was made).
// When the tool's summary lacked a row for some candidates, its result is
// incomplete: incomplete_summary names the file, missing_rows the states,
// and nothing was chosen.
struct MatchResult {
    int best_state = 0;
    double best_snto = kNoSnto;
    std::vector<double> snto;
    std::size_t best_pos = 0;
    std::vector<std::size_t> compared;
    double own_snto = kNoSnto;
    std::string incomplete_summary;
    std::vector<int> missing_rows;
};

// What the candidates are compared with: the reference NTO file, and the
// file that decides between near-degenerate candidates, when the caller has
// one (the NTOs of a state followed at another step).
struct MatchReferences {
    std::string reference;
    std::optional<std::string> tie_break;
};

// ------------------------------------------------------------ matching rule
// The choice among SNTO values, from the values alone (no files, no tools).

// The place of the largest value, the first of equal ones; a candidate
// without a value (kNoSnto) is never chosen over one with a value.  None
// when no candidate has a value.
[[nodiscard]] std::optional<std::size_t> first_choice(const std::vector<double>& snto);

// The candidates other than `best` whose value lies within 5 % of the best
// value b (|v - b| / |b| <= 0.05; the absolute difference when |b| <= 1e-8),
// in list order, each with that difference.
struct NearRival {
    std::size_t pos;
    double delta;
};
[[nodiscard]] std::vector<NearRival> near_degenerate_rivals(const std::vector<double>& snto, std::size_t best);

// The choice after the near-degenerate candidates were compared with the
// tie-break reference: tie_break holds the values of `best`, then of each
// rival.  A rival wins only when it is strictly better there.
[[nodiscard]] std::size_t resolve_near_tie(std::size_t best, const std::vector<NearRival>& rivals,
                                           const std::vector<double>& tie_break);

// When a choice is said to be doubtful, as shares: of the reference's own
// value for a low best value (warn) and for a lost state (lost; 0: never),
// of the best value for a runner-up that makes the choice ambiguous.
struct DoubtShares {
    double warn = 0.5;
    double ambig = 0.8;
    double lost = 0.0;
};
// What is doubtful about choosing `chosen` with the reference's own value
// `own`: a best value below warn x own (low) or below lost x own (lost),
// and the strongest other candidate reaching ambig x best (rival).  The
// candidates in `compared` (already compared against the tie-break
// reference, with their own lines) are no rivals here.
struct Doubts {
    bool low = false;
    bool lost = false;
    std::optional<std::size_t> rival;
};
[[nodiscard]] Doubts doubts_about(const std::vector<double>& snto, std::size_t chosen,
                                  const std::vector<std::size_t>& compared, double own, const DoubtShares& shares);

// The sum of |eigenvalue| of orbitals first ... last (from 1, clipped to
// the eigenvalues there are): the largest SNTO value a candidate can reach
// against NTOs with these eigenvalues, each overlap being at most 1.
[[nodiscard]] double eigenvalue_weight(const std::vector<double>& eig, long long first, long long last);

// ------------------------------------------------------------------- readers
// The readers of NTO files stop when the file cannot be opened or lacks
// what they read, and when a count is beyond any molecule.
[[nodiscard]] int read_nif_from_fch(const std::string& file);
// Alpha (and, when asked, beta) orbital energies: as many as each section
// holds by its own count (fewer than nif when the basis set had linear
// dependencies); nif values when a header gives no count.
[[nodiscard]] OrbitalEnergies read_orbital_energies_from_fch(const std::string& file, int nif, bool with_beta = false);
// Why an NTO file cannot serve as the reference of the next step (missing,
// empty, no basis size or no readable eigenvalues), or nothing when it can.
[[nodiscard]] std::optional<std::string> nto_file_problem(const std::string& file);
// The range text of an NTO file (all orbitals, with a WARNING, when none
// lies above the threshold).
[[nodiscard]] NtoRange find_nto_range(const std::string& nto_file, double threshold);

[[nodiscard]] std::vector<double> read_overlap_integral_file(const std::string& file, int n);
// The SNTO value of candidate `state` from its overlap file.  An overlap
// file without the diagonal entry of an orbital of the range is a failed
// tool run (ERROR, as a missing file is); an overlap there that is not a
// finite number gives the state no value (kNoSnto) with a WARNING.
[[nodiscard]] double calculate_snto(const std::string& ref_nto, const std::string& overlap_file,
                                    const std::string& range_str, int state);

// SNTO values of the listed states from a voskSNTO summary file (kNoSnto for
// a state the file does not hold).  `answered` marks the states that have a
// whole row, whatever its status; a value that is not a finite number is no
// value, with a WARNING naming the state.
// Stops when the file cannot be opened.
struct SntoSummary {
    std::vector<double> values;
    std::vector<bool> answered;
};
[[nodiscard]] SntoSummary read_snto_summary(const std::string& file, const std::vector<int>& states);
[[nodiscard]] std::vector<double> read_sntofile_summary(const std::string& file, const std::vector<int>& states);
[[nodiscard]] int next_snto_snapshot_id();

// ------------------------------------------------------------------- engine

// One comparison of candidate states with a reference: the candidates' NTOs
// (from new_fchk) against the reference's, over the orbitals of range_str.
// The second comparison of a matching, against the tie-break reference, is
// made only for the best candidate and its near-degenerate rivals.
struct Comparison {
    const std::string& reference;
    const std::string& new_fchk;
    const std::string& range_str;
    const std::vector<int>& states;
    bool tie_break = false;
};

// One NTO tool: how NTO files and SNTO values are made.  There is one
// implementation per tool -- voskSNTO, and voskwfn driving Multiwfn -- and
// the engine chooses one from its settings when it is made, once per run.
// Every function prints its own console lines (the commands it runs, the
// values it finds) and stops where the tool left no usable file.
class NtoTool {
public:
    virtual ~NtoTool() = default;
    // The NTO file of one state of `fchk`, named nto_file; stops when the
    // tool leaves none.
    virtual void nto_for_state(const std::string& fchk, int state, const std::string& nto_file) = 0;
    // The first lines of a matching of `states`.
    virtual void announce(const std::vector<int>& states) = 0;
    // The SNTO values of the comparison's states (kNoSnto: none), in their
    // order, each said on its line.  False when the tool's summary lacks a
    // row for some of them (result.missing_rows, result.incomplete_summary).
    virtual bool snto_values(const Comparison& c, std::vector<double>& values, MatchResult& result) = 0;
    // After the second comparison chose best_state among `states`.
    virtual void after_tie_break(const std::vector<int>& states, int best_state) = 0;
    // After a matching that chose a state.
    virtual void after_match() = 0;
    // The reference's own value from its NTO eigenvalues: their |sum| over
    // the orbitals this tool weighs.
    [[nodiscard]] virtual double own_value(const std::vector<double>& eig, const std::string& range_str) const = 0;
};

// NTO generation and state matching with the settings of the run, through
// the tool they choose.
class NtoEngine {
public:
    // An unsupported overlap scheme is replaced by 1, with a WARNING line.
    explicit NtoEngine(NtoSettings settings = {});
    // The tool refers to the engine's settings: the engine stays where it is made.
    NtoEngine(const NtoEngine&) = delete;
    NtoEngine& operator=(const NtoEngine&) = delete;
    [[nodiscard]] const NtoSettings& settings() const { return settings_; }

    // Writes the voskwfn script templates (the voskwfn tool writes them once
    // per run, before its first command).
    void ensure_nto_templates() const;

    // The NTO file of one state; stops when the tool leaves none.
    void calculate_nto_for_state(const std::string& fchk, int state, const std::string& nto_file) {
        tool_->nto_for_state(fchk, state, nto_file);
    }

    // Chooses which of `states` continues the state whose NTOs are in
    // refs.reference, and says what that reference scores against itself.
    // The second comparison is made only when refs.tie_break is given.
    [[nodiscard]] MatchResult match_nto_states(const MatchReferences& refs, const std::string& new_fchk,
                                               const std::string& range_str, const std::vector<int>& states);

    // The largest SNTO value a candidate can reach against ref_nto: its
    // |eigenvalues| summed over the orbitals this engine weighs (voskwfn:
    // range_str; voskSNTO: the reference's own range above the threshold).
    [[nodiscard]] double reference_own_value(const std::string& ref_nto, const std::string& range_str) const;

    // The candidates' NTO and overlap files; with `summaries`, voskSNTO's
    // summary files too (results of an earlier run that must not pass for
    // the next one's).
    void remove_scratch(bool summaries) const;

private:
    // The second comparison; false when the tool's result is incomplete.
    bool compare_near_rivals(const std::string& tie_break, const std::string& new_fchk, const std::string& range_str,
                             const std::vector<int>& states, MatchResult& result);

    NtoSettings settings_;
    std::unique_ptr<NtoTool> tool_;
};

}  // namespace quorin
