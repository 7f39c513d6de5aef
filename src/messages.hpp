// The console lines of quorin that other programs read back: quorin prints
// them, quorin-report finds a run's steps, states and doubts by them.  Each
// text is the head of a line, the part that tells which line it is, as quorin
// hands it to say() or put(), blanks included; the printing code adds the
// rest of the line, and a reader of the log compares the line with the
// head's trimmed form.  Changing one changes what users' logs say and what
// the report recognises in older logs, so the texts stay as they are, typos
// too.
#pragma once

#include <string_view>

namespace quorin {

// "No value" for an SNTO value; " Best SNTO value:" prints it when no
// candidate had one.
inline constexpr double kNoSnto = -1.0e10;

namespace msg {

// A call: its banners, the workflow it takes, and the prefix of a failure
// that ends it on standard error.
inline constexpr std::string_view kCallStarting = ">>>>> TD-DFT External Interface Starting";
inline constexpr std::string_view kCallDone = "TD-DFT External Interface Done";
inline constexpr std::string_view kAdiabaticStart = "Staring adiabatic state";
inline constexpr std::string_view kDiabaticStart = "Staring diabatic state";
inline constexpr std::string_view kFailurePrefix = "quorin: ";

// The tags that begin the lines of the adiabatic and diabatic steps and of
// the debug snapshots.
inline constexpr std::string_view kAdiabaticTag = "[Adiabatic]";
inline constexpr std::string_view kDiabaticTag = "[Diabatic]";
inline constexpr std::string_view kDebugTag = "[Debug]";

// The frequency step.
inline constexpr std::string_view kHessianDetected = "Hessian-only mode (ider=2)";
inline constexpr std::string_view kHessianStart = ">>>>> Entering Hessian-only workflow";
inline constexpr std::string_view kHessianDone = "Hessian-only workflow completed";
inline constexpr std::string_view kFrequencyRoot = " Frequency calculation root = ";  // then the root
inline constexpr std::string_view kNoMetaFallback = " Warning: SDNTO flag is on but no valid meta found";

// The diabatic step.
inline constexpr std::string_view kInitialState = " [Diabatic] Initial following diabatic state ";
inline constexpr std::string_view kPreviousState = " [Diabatic] Previous diabatic state is ";
inline constexpr std::string_view kUpdatedState = " [Diabatic] Updated diabatic state index = ";
inline constexpr std::string_view kBestOverlap = " [Diabatic] Best SNTO overlap = ";
inline constexpr std::string_view kStateUnchanged = " [Diabatic] Diabatic state unchanged";
inline constexpr std::string_view kStateChanged = " [Diabatic] Diabatic state changed";

// The doubts about the followed state, said aloud.
inline constexpr std::string_view kLowSnto = "WARNING: Low SNTO:";
inline constexpr std::string_view kAmbiguousSnto = "WARNING: Ambiguous SNTO:";
inline constexpr std::string_view kRootChange = "WARNING: Root change:";

// The state matching: the candidates' values, the near-degenerate rivals
// and the choice.
inline constexpr std::string_view kMatchingStates = " Matching NTO states";
inline constexpr std::string_view kStateSnto = ": SNTO = ";  // inside " State n: SNTO = v"
inline constexpr std::string_view kNearDegenerate = " WARNING: Near-degenerate candidate:";
inline constexpr std::string_view kResolvedState = "Resolved best state after near-degenerate check:";
inline constexpr std::string_view kFinalState = " Final best matching state: ";
inline constexpr std::string_view kBestSnto = " Best SNTO value: ";
inline constexpr std::string_view kOwnSnto = " Reference's own SNTO value: ";

// The convergence check of the inner job's log.
inline constexpr std::string_view kNoConvergenceLog = "WARNING: Cannot open log file for convergence check";
inline constexpr std::string_view kNoConvergenceTable = " Warning: Convergence table not found";
inline constexpr std::string_view kInnerConverged = " Convergence criteria met in cartesian coordinate. ";

}  // namespace msg
}  // namespace quorin
