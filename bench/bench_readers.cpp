// Throughput of the text work of one step: reading the inner job's log and
// formatted checkpoint, and writing the External output.  A step of a large
// molecule (thousands of atoms, a long log) should cost milliseconds next to
// the minutes of the inner TD-DFT job.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "module_gaussian_utils.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"

namespace fs = std::filesystem;
using namespace quorin;

namespace {

// A working directory with a synthetic inner log and formatted checkpoint.
struct Workdir {
    fs::path old = fs::current_path();
    fs::path dir;
    explicit Workdir(int natoms, int filler_lines) {
        dir = fs::temp_directory_path() / ("quorin_bench_" + std::to_string(natoms));
        fs::create_directories(dir / "temp");
        fs::current_path(dir);
        std::mt19937 gen(1);
        std::uniform_real_distribution<double> u(-0.05, 0.05);
        std::ofstream log("temp/tddft_pelun.log");
        for (int i = 0; i < filler_lines; ++i)
            log << " SCF Done:  E(RB3LYP) =  -382.307968063     A.U. after   12 cycles filler line " << i << "\n";
        log << " Total Energy, E(TD-HF/TD-DFT) =  -382.119732014\n";
        log << " -------------------------------------------------------------------\n"
               " Center     Atomic                   Forces (Hartrees/Bohr)\n"
               " Number     Number              X              Y              Z\n"
               " -------------------------------------------------------------------\n";
        char buf[160];
        for (int i = 0; i < natoms; ++i) {
            std::snprintf(buf, sizeof buf, "%7d%9d        %15.9f%15.9f%15.9f\n", i + 1, 6, u(gen), u(gen), u(gen));
            log << buf;
        }
        log << " -------------------------------------------------------------------\n";
        std::ofstream fchk("temp/tddft_pelun.fchk");
        int n3 = 3 * natoms;
        auto array = [&](const char* name, long long n) {
            std::snprintf(buf, sizeof buf, "%-40s   R   N=%12lld\n", name, n);
            fchk << buf;
            for (long long i = 0; i < n; ++i) {
                std::snprintf(buf, sizeof buf, "%16.8E", u(gen));
                fchk << buf;
                if (i % 5 == 4 || i + 1 == n) fchk << '\n';
            }
        };
        array("Cartesian Gradient", n3);
        array("Cartesian Force Constants", static_cast<long long>(n3) * (n3 + 1) / 2);
    }
    ~Workdir() {
        fs::current_path(old);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

void BM_extract_gradient(benchmark::State& state) {
    int natoms = static_cast<int>(state.range(0));
    Workdir w(natoms, 50000);
    for (auto _ : state) {
        const GradientResult r = extract_gradient(read_inner_log("temp/tddft_pelun.log"), natoms);
        benchmark::DoNotOptimize(r.forces.data());
    }
}
BENCHMARK(BM_extract_gradient)->Arg(20)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_copy_force_constants(benchmark::State& state) {
    int natoms = static_cast<int>(state.range(0));
    Workdir w(natoms, 0);
    for (auto _ : state) {
        RecordReader in("temp/tddft_pelun.fchk");
        benchmark::DoNotOptimize(read_grad_from_fch(in, "temp/tddft_pelun.fchk", natoms).data());
        FileReplacement out("temp/out.EOu");  // never committed: removed again
        copy_force_constants(in, "temp/tddft_pelun.fchk", natoms, out);
    }
    state.counters["values"] = static_cast<double>(3 * natoms) * (3 * natoms + 1) / 2;
}
BENCHMARK(BM_copy_force_constants)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond);

void BM_external_output_text(benchmark::State& state) {
    int natoms = static_cast<int>(state.range(0));
    std::vector<double> forces(static_cast<std::size_t>(natoms) * 3, -1.234567890123e-3);
    for (auto _ : state) benchmark::DoNotOptimize(external_output_text(natoms, -382.119732014, forces));
}
BENCHMARK(BM_external_output_text)->Arg(20)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_put_D20_12(benchmark::State& state) {
    double x = -0.123456789012345;
    char field[20];
    for (auto _ : state) {
        benchmark::DoNotOptimize(put_D20_12(field, x));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_put_D20_12);

void BM_transcode_D20_12(benchmark::State& state) {
    char field[20];
    for (auto _ : state) {
        benchmark::DoNotOptimize(transcode_D20_12("-1.23456789E-02", field));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_transcode_D20_12);

void BM_free_read_reals(benchmark::State& state) {
    std::string record = "  -0.123456789012D+00  0.987654321098D-03 -0.555555555555D+01";
    for (auto _ : state) {
        double a, b, c;
        benchmark::DoNotOptimize(try_read_free(record, a, b, c));
    }
}
BENCHMARK(BM_free_read_reals);

}  // namespace

BENCHMARK_MAIN();
