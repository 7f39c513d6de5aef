// The frequency step through the whole program with the stand-ins: which
// root its job computes, its console lines and the whole External output.
#include "fchk_io.hpp"
#include "module_hessian.hpp"
#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

// The stored state counts only in the diabatic mode, and only above 0.
TEST(Hessian, RootFromTheStateFileWholeOutputAndAFailedJob) {
    QUORIN_FORTRAN_OR_SKIP();
    ScratchDir dir;
    const std::string fallback = "  Warning: SDNTO flag is on but no valid meta found, fallback to root=           1\n";
    struct Case { std::string sdnto, meta; int root; std::string warning; };
    for (const Case& c : {Case{"false", "           2", 1, ""}, Case{"true", "           0", 1, fallback},
                          Case{"true", "", 1, fallback}, Case{"true", "           2", 2, ""}}) {
        SCOPED_TRACE(c.sdnto + " [" + c.meta + "]");
        fs::remove_all("temp");
        write_config("nadd = 0\nsdnto = " + c.sdnto + "\n", "c.toml");
        if (!c.meta.empty()) write_file("temp/sdn_meta.dat", c.meta + "\n1,2\n");
        const ProcessResult r = call_at(0.0, "c.toml", "", 2);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::string root = std::to_string(c.root);
        EXPECT_EQ(r.out.substr(r.out.find(" >>>>> Entering")),
                  " >>>>> Entering Hessian-only workflow (ider=2)\n" + c.warning + " Frequency calculation root = " +
                      root + "\n  Generated frequency input: temp/tddft_freq.gjf\n  Running Gaussian frequency "
                      "calculation...\n  Output file written: out.EOu\n Hessian-only workflow completed <<<<<\n"
                      " TD-DFT External Interface Done <<<<<\n \n");
        EXPECT_EQ(standin_runs(), "g16 freq root=" + root + " nstate=" + root + " guess_read=0 td_read=0\nformchk\n");
        const auto gjf = lines_of(read_file("temp/tddft_freq.gjf"));
        EXPECT_EQ(gjf.at(3) + "|" + gjf.at(5), "#p nosymm Iop(9/40=3) b3lyp/6-31g* td(root=" + root + ",nstate=" + root +
                                              ")             freq|TD-DFT frequency calculation");

        // Energy and gradient as the formatted checkpoint carries them, zero
        // polarizability and dipole derivatives, the force constants' lower triangle.
        const auto e = model_at(read_file("in.EIn"), c.root, c.root, true);
        std::vector<double> gradient, triangle;
        for (double g : e.gradient) gradient.push_back(standin::fchk_array_value(g));
        for (std::size_t i = 0; i < 9; ++i)
            for (std::size_t j = 0; j <= i; ++j) triangle.push_back(standin::fchk_array_value(e.hessian[i * 9 + j]));
        EXPECT_EQ(read_file("out.EOu"), d20_rows({standin::fchk_scalar_value(e.energy), 0.0, 0.0, 0.0}, 4) +
                                            d20_rows(gradient, 3) + d20_rows(std::vector<double>(33, 0.0), 3) +
                                            d20_rows(triangle, 3));
    }
    // Later steps read their guess from the checkpoint, amplitudes included;
    // a triplet's TD keyword of 33 characters is written whole.
    write_file("c.toml", read_file("c.toml") + "triplet = true\n");
    ASSERT_EQ(call_at(0.0, "c.toml", "", 2).status, 0);
    EXPECT_EQ(standin_runs(), "g16 freq root=2 nstate=2 guess_read=1 td_read=1\nformchk\n");
    EXPECT_EQ(lines_of(read_file("temp/tddft_freq.gjf")).at(3),
              "#p nosymm Iop(9/40=3) b3lyp/6-31g* guess=read td(triplet,root=2,nstate=2,read) freq");

    // A job that printed its forces and wrote its checkpoint, then failed, hands nothing back.
    const ProcessResult r = call_at(0.0, "c.toml", "QUORIN_STANDIN_FAULTS=error_after_forces", 2);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\n ERROR: Gaussian reported Error termination in temp/tddft_freq.log\n"), std::string::npos);
    EXPECT_FALSE(fs::exists("out.EOu"));

    // Only a line that starts with "Total Energy" gives the energy; without
    // a usable one the step stops with one ERROR line.
    const std::string unread = " ERROR: Failed to parse Total Energy line in e.fchk\n";
    for (const auto& [fchk, said] : std::vector<std::pair<std::string, std::string>>{
             {"", " ERROR: Cannot open fchk file for energy: e.fchk\n"},
             {"SCF Energy  R  -1.0\n Total Energy  R  -2.0\n", " ERROR: Total Energy not found in e.fchk\n"},
             {"Total Energy   R   -7.6E+0x\n", unread},
             {"SCF Energy  R  -1.0\n Total Energy  R  -2.0\nTotal Energy   R   -7.6123456789E+01\n", ""}}) {
        if (fchk.empty()) fs::remove("e.fchk");
        else write_file("e.fchk", fchk);
        double e = 0.0;
        const Outcome o = outcome_of([&] { e = read_total_energy_from_fchk("e.fchk"); });
        EXPECT_EQ(strf("%d", o.status) + o.out, (said.empty() ? "-1" : "1") + said) << fchk;
        EXPECT_EQ(e, said.empty() ? -76.123456789 : 0.0) << fchk;
    }
}

}  // namespace
}  // namespace quorin
