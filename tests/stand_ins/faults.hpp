// Faults that a test asks the stand-ins to show, as a real run may meet them:
// QUORIN_STANDIN_FAULTS holds a comma-separated list of names, some with a
// value (name=value).
//
//   g16       nan=WHAT            NaN in place of a value: energy (the log's
//                                 and the checkpoint's), forces (the first
//                                 force and gradient value), coordinates (the
//                                 checkpoint's first), hessian (the first
//                                 force constant)
//   g16       slow=S              a "link" process of the job sleeps S seconds (its
//                                 pids go to g16.pids; when it is not stopped, it
//                                 writes late_write afterwards, as a job left
//                                 running would; ended by SIGTERM, SIGINT or
//                                 SIGHUP, it writes the signal's name to
//                                 link_signal)
//             deaf                the slow link ignores those three signals
//             no_chk              the job leaves the checkpoint as it was
//             no_energy           the log lacks the excited-state energy line
//             error_after_forces  the log reports Error termination after the
//                                 forces table
//             lose_candidates     the job removes temp/new_state*.fch (the
//                                 candidates' NTO files vanish while it runs)
//   formchk   cut_force_constants the formatted checkpoint ends inside its
//                                 last force constant (a killed formchk)
//   voskSNTO  empty_summary       the summary file holds no state rows
//             summary_cut         the summary ends after its first state row
//             failed_rows         every state row has status 1 (no value)
//   voskwfn   inf_overlap=S       the first overlap of state S's file is "inf"
//             overlap_gap         each overlap file lacks its first entry
//   both NTO  empty_nto           NTO files are written empty
//             nan_eigenvalue      NTO files hold a NaN eigenvalue
//   not g16   hang=NAME           the tool of that name sleeps a minute first,
//                                 with its process id in hang.pid
//             wait_input          the tool reads its standard input to the
//                                 end first (quorin gives it /dev/null)
//   tools     fewer_orbitals=K    NTO files claim K basis functions more than
//                                 they have orbitals (linear dependencies)
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace standin {

// The value of a fault that is asked for ("" when it has none), or nothing.
inline std::optional<std::string> fault(std::string_view name) {
    const char* all = std::getenv("QUORIN_STANDIN_FAULTS");
    if (all == nullptr) return std::nullopt;
    std::string_view rest(all);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const std::size_t eq = item.find('=');
        if (item.substr(0, eq) == name) return std::string(eq == std::string_view::npos ? "" : item.substr(eq + 1));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return std::nullopt;
}

// What a tool does before its work when asked: waits for input that may
// never come, or hangs.
inline void misbehave(std::string_view tool) {
    if (fault("wait_input")) {
        std::string ignored;
        while (std::getline(std::cin, ignored)) {}
    }
    if (fault("hang") == std::string(tool)) {
        std::ofstream("hang.pid") << getpid() << '\n';
        sleep(60);
    }
}

}  // namespace standin
