// libFuzzer target for the readers that take text from files quorin does
// not control: free-form and fixed-field reads, configuration files, inner
// logs, formatted checkpoints, NTO files, SNTO summaries, overlap files, the
// state file, and the report's log parser.  Any crash, hang or sanitizer
// report is a bug; a stop or an I/O failure is a handled answer.
//
//     cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DQUORIN_BUILD_FUZZ=ON -DQUORIN_BUILD_TESTS=OFF
//     cmake --build build-fuzz --target fuzz_readers && build-fuzz/fuzz/fuzz_readers -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "module_diabatic_tddft.hpp"
#include "module_gaussian_utils.hpp"
#include "module_hessian.hpp"
#include "module_init.hpp"
#include "module_nto.hpp"
#include "report.hpp"
#include "text_fields.hpp"

// The readers run here for what they do with bad input, not for their results.
#pragma GCC diagnostic ignored "-Wunused-result"

namespace {

// The file readers work in a scratch directory of their own, silently.
struct Scratch {
    Scratch() {
        const auto dir = std::filesystem::temp_directory_path() / "quorin_fuzz_readers";
        std::filesystem::create_directories(dir / "temp");
        std::filesystem::current_path(dir);
        std::cout.rdbuf(nullptr);
    }
};

template <class F>
void handled(F&& f) {
    try {
        f();
    } catch (const quorin::IoFailure&) {
    } catch (const quorin::Stop&) {
    }
}

void put_file(const char* name, const std::string& text) { std::ofstream(name, std::ios::binary) << text; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    const std::string text(reinterpret_cast<const char*>(data), size);
    using namespace quorin;

    handled([&] {
        std::istringstream in(text);
        FreeRead r(in, "fuzz");
        std::int32_t i = 0;
        double x = 0;
        std::string s;
        bool b = false;
        (void)(r.get(i) && r.get(x) && r.get(s) && r.get(b));
        std::istringstream in2(text);
        std::vector<double> v;
        read_real_fields(in2, 7, kFchkReals, v);
        read_real_field(text.substr(0, 40), 12, x);
        fchk_count(text.substr(0, 120));
        parse_logical(text);
        parse_value(text);
        parse_integer(text.substr(0, 80));
    });

    // The same text as each kind of file quorin reads.
    put_file("f.txt", text);
    put_file("temp/tddft_pelun.log", text);
    put_file("temp/sdn_meta.dat", text);
    Tddft_config config;
    handled([&] { read_config_toml("f.txt", config); });
    handled([&] { read_config_gjf("f.txt", config); });
    handled([&] { warn_about_outer_input("f.txt", std::string("c.toml")); });
    handled([&] { extract_gradient(read_inner_log("temp/tddft_pelun.log"), 2); });
    handled([&] {
        check_convergence("temp/tddft_pelun.log");
        echo_gaussian_output(read_inner_log("temp/tddft_pelun.log"), true);
    });
    handled([&] { read_grad_from_fch("f.txt", 2); });
    handled([] { write_frequency_output("f.txt", "f.EOu", 2, 0.0); });
    handled([&] {
        // Every token both ways to a D20.12 field: from its digits when the
        // transcoder takes it, else through its value.
        FreeRead r(text, "fuzz");
        std::string_view token;
        char field[20];
        for (int k = 0; k < 64 && r.get_text(token); ++k) {
            double v = 0.0;
            if (!token.empty() && !transcode_D20_12(token, field) && parse_real_token(token, v)) put_D20_12(field, v);
        }
    });
    handled([&] { read_orbital_energies_from_fch("f.txt", read_nif_from_fch("f.txt") % 64, true); });
    handled([] { (void)nto_file_problem("f.txt"); });
    handled([] {
        read_sntofile_summary("f.txt", {1, 2, 3});
        read_overlap_integral_file("f.txt", 8);
    });
    handled([] {
        read_sdn_meta();
        read_sdn_forces(2);
    });
    handled([&] {
        const report::Run run = report::parse_log_text(text, "fuzz");
        report::format_report(run);
        report::render_svg(run);
    });
    return 0;
}
