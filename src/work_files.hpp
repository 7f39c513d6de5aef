// The files of a call's working directory and of its temp/ directory: every
// name the program reads, writes or removes there, and the builders of the
// names that carry a state number or a step number.  Who writes each file,
// who reads it and when it is replaced is told in docs/layout.md.
#pragma once

#include <string>
#include <string_view>

#include "text_fields.hpp"

namespace quorin {

// ------------------------------------------------------------ directories

inline constexpr const char* kTempDir = "temp";
inline constexpr const char* kSnapshotDir = "temp/debug_snapshots";
// One run per working directory (DirectoryLock).
inline constexpr const char* kLockFile = "temp/.quorin.lock";

// -------------------------------------------------------------- inner jobs

inline constexpr const char* kInnerInput = "temp/tddft_pelun.gjf";
inline constexpr const char* kInnerLog = "temp/tddft_pelun.log";
inline constexpr const char* kInnerChk = "temp/tddft_pelun.chk";
inline constexpr const char* kInnerFchk = "temp/tddft_pelun.fchk";
inline constexpr const char* kFreqInput = "temp/tddft_freq.gjf";
inline constexpr const char* kFreqLog = "temp/tddft_freq.log";
// The checkpoint as the inner input names it (%chk=, from inside temp/), and
// the name of its copy beside a user's input that has no name of its own.
inline constexpr const char* kInnerChkName = "tddft_pelun.chk";

// Command lines of the inner Gaussian jobs, run from the working directory.
inline constexpr std::string_view kG16Command = "cd temp && g16 < tddft_pelun.gjf > tddft_pelun.log 2>&1";
inline constexpr std::string_view kG16FreqCommand = "cd temp && g16 < tddft_freq.gjf > tddft_freq.log 2>&1";
inline constexpr std::string_view kFormchkCommand =
    "cd temp && formchk tddft_pelun.chk tddft_pelun.fchk > formchk.log 2>&1";

// ------------------------------------------------------- the diabatic state

// The state file: followed state, NTO range text, energy and forces.
inline constexpr const char* kMetaFile = "temp/sdn_meta.dat";
// Which External input the last recorded step answered, and the files its
// end put in place (StagedCommit).
inline constexpr const char* kStepRecord = "temp/sdn_step.dat";
// The NTOs of the state followed at the previous step, at the step before it
// (n-1), and with sntoref = first at the first step (written once).
inline constexpr const char* kReference = "temp/old.fch";
inline constexpr const char* kOlderReference = "temp/n-1.fch";
inline constexpr const char* kFirstReference = "temp/first.fch";

// ------------------------------------------------------------ NTO engine

inline constexpr const char* kNtoTemplate = "temp/NTO.bw";
inline constexpr const char* kIntegralTemplate = "temp/integral.bw";
// voskSNTO's summaries: against the reference, and against the tie-break one.
inline constexpr const char* kSummaryOld = "temp/snto.snto";
inline constexpr const char* kSummaryNminus = "temp/snto_nminus.snto";
// The candidates' NTO files and their overlap files, as temp/ patterns.
inline constexpr const char* kCandidatePrefix = "temp/new_state";
inline constexpr const char* kCandidateSuffix = ".fch";
inline constexpr std::string_view kCandidatePattern = "new_state*.fch";
inline constexpr std::string_view kCandidateOverlapPattern = "new_state*.fch.txt";

// The NTO file of candidate state `state`: temp/new_state<state>.fch.
[[nodiscard]] inline std::string candidate_nto_name(int state) {
    return kCandidatePrefix + fmt_I0(state) + kCandidateSuffix;
}
// The overlap file voskwfn writes for an NTO file: its name with ".txt".
[[nodiscard]] inline std::string overlap_name_of(const std::string& nto_file) { return nto_file + ".txt"; }

// ------------------------------------------------------- debug snapshots

inline constexpr const char* kStepCounter = "temp/debug_snapshots/.step_counter";
inline constexpr const char* kSnapshotCounter = "temp/debug_snapshots/.snto_counter";

// Snapshot number in four digits (wider when it outgrows them).
[[nodiscard]] inline std::string snapshot_number(int id) {
    return id >= 0 && id <= 9999 ? fmt_I(id, 4, 4) : fmt_I0(id);
}
// temp/debug_snapshots/snto<id>_<label>.snto
[[nodiscard]] inline std::string snto_snapshot_name(int id, std::string_view label) {
    return std::string(kSnapshotDir) + "/snto" + snapshot_number(id) + "_" + std::string(label) + ".snto";
}
// temp/debug_snapshots/step<id>, then _<tag> when there is one; the caller
// adds the extension.
[[nodiscard]] inline std::string step_snapshot_base(int step, std::string_view tag) {
    std::string base = std::string(kSnapshotDir) + "/step" + snapshot_number(step);
    if (!tag.empty()) base += "_" + std::string(tag);
    return base;
}

}  // namespace quorin
