// libFuzzer target for the readers that take text from files quorin does
// not control: free-form and fixed-field reads, configuration values, and
// the report's log parser.  Any crash, hang or sanitizer report is a bug.
//
//     cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DQUORIN_BUILD_FUZZ=ON -DQUORIN_BUILD_TESTS=OFF
//     cmake --build build-fuzz --target fuzz_readers && build-fuzz/fuzz/fuzz_readers -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "module_init.hpp"
#include "report.hpp"
#include "text_fields.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        std::istringstream in(text);
        quorin::FreeRead r(in, "fuzz");
        std::int32_t i = 0;
        double x = 0;
        std::string s;
        bool b = false;
        (void)(r.get(i) && r.get(x) && r.get(s) && r.get(b));

        std::istringstream in2(text);
        std::vector<double> v;
        quorin::read_real_fields(in2, 7, 5, 1, 15, 8, v);
        quorin::read_real_field(text.substr(0, 40), 12, x);

        quorin::parse_logical(text);
        quorin::parse_value(text);
        try {
            quorin::parse_integer(text.substr(0, 80));
        } catch (const quorin::IoFailure&) {
        }

        const quorin::report::Run run = quorin::report::parse_log_text(text, "fuzz");
        quorin::report::format_report(run);
        quorin::report::render_svg(run);
    } catch (const quorin::IoFailure&) {
    } catch (const quorin::Stop&) {
    }
    return 0;
}
