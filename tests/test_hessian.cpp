// The frequency step through the whole program with the stand-ins.
#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

TEST(Hessian, AFailedFrequencyJobHandsBackNoForceConstants) {
    ScratchDir dir;
    write_file("config.toml", "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 2\n");
    write_external_input(2);
    // The job printed its forces and wrote its checkpoint, then failed.
    const ProcessResult r = external_call("config.toml", "QUORIN_STANDIN_FAULTS=error_after_forces");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\n ERROR: Gaussian reported Error termination in temp/tddft_freq.log\n"), std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists("out.EOu"));
    EXPECT_TRUE(fs::exists("temp/tddft_pelun.chk"));  // the failed job's checkpoint was there to be misused
}

}  // namespace
}  // namespace quorin
