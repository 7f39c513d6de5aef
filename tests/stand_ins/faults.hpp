// Faults that a test asks the stand-ins to show, as a real run may meet them:
// QUORIN_STANDIN_FAULTS holds a comma-separated list of names, some with a
// value (name=value).
//
//   g16       slow=S              a "link" process of the job sleeps S seconds (its
//                                 pids go to g16.pids; when it is not stopped, it
//                                 writes late_write afterwards, as a job left
//                                 running would)
//             no_chk              the job leaves the checkpoint as it was
//             no_energy           the log lacks the excited-state energy line
//             error_after_forces  the log reports Error termination after the
//                                 forces table
//   voskSNTO  empty_summary       the summary file holds no state rows
//   both NTO  empty_nto           NTO files are written empty
//   tools     fewer_orbitals=K    NTO files claim K basis functions more than
//                                 they have orbitals (linear dependencies)
#pragma once

#include <cstdlib>
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

}  // namespace standin
