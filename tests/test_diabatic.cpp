// The diabatic step through the whole program with the stand-ins: the
// followed state across the model's crossing, and what is kept when a step
// meets a fault.
#include <map>

#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

const std::string kConfig = "config.toml";
// Steps of a descent that passes the seam of the model's states A and B
// (between 0.2 and 0.35 along the stretch from the start geometry).
const double kPath[] = {0.0, 0.2, 0.35, 0.5};

void write_config(bool vosksnto) {
    write_file(kConfig, std::string("[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\nsdnto = true\nvosksnto = ") +
                            (vosksnto ? "true" : "false") + "\n");
}

ProcessResult call_at(double s, const std::string& faults = "") {
    write_external_input(1, s);
    fs::remove("out.EOu");
    return external_call(kConfig, faults.empty() ? "" : "QUORIN_STANDIN_FAULTS=" + faults);
}

// What the next step reads.
std::map<std::string, std::string> kept_state() {
    std::map<std::string, std::string> files;
    for (const char* f : {"temp/sdn_meta.dat", "temp/old.fch", "temp/n-1.fch"}) files[f] = read_file(f);
    return files;
}

TEST(Diabatic, AStepWithoutAUsableMatchKeepsTheFollowedStateAsItWas) {
    ScratchDir dir;
    write_config(true);
    ASSERT_EQ(call_at(kPath[0]).status, 0);
    ASSERT_EQ(call_at(kPath[1]).status, 0);
    const auto before = kept_state();
    ASSERT_FALSE(before.at("temp/n-1.fch").empty());

    struct Case {
        std::string faults, error;
    };
    for (const Case& c : {Case{"empty_summary", " ERROR: State matching found no SNTO value for any of the states 1 to 3; "
                                                "the NTO tool produced no usable result."},
                          Case{"empty_nto", " ERROR: The NTO file of the chosen state 2, temp/new_state2.fch, cannot "
                                            "serve as the next reference: it holds no number of basis functions."}}) {
        SCOPED_TRACE(c.faults);
        const ProcessResult r = call_at(kPath[2], c.faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("\n" + c.error + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(kept_state(), before);
        EXPECT_FALSE(fs::exists("out.EOu"));
    }
    // The same step without the fault goes on from there.
    const ProcessResult r = call_at(kPath[2]);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(kept_state(), before);
}

TEST(Diabatic, FollowingSurvivesACrashedCheckpointAndFewerOrbitalsThanBasisFunctions) {
    for (bool vosksnto : {true, false}) {
        SCOPED_TRACE(vosksnto ? "voskSNTO" : "voskwfn");
        // The undisturbed descent: state A leaves root 1 for root 2 at the seam.
        std::vector<std::string> want;
        {
            ScratchDir dir;
            write_config(vosksnto);
            for (double s : kPath) {
                ASSERT_EQ(call_at(s).status, 0);
                want.push_back(read_file("out.EOu"));
            }
            EXPECT_EQ(lines_of(read_file("temp/sdn_meta.dat")).at(0), "           2");
        }
        // The same descent with NTO files of fewer orbitals than basis
        // functions, a checkpoint emptied by a crashed node before step 3 and
        // one filled with garbage before step 4: the same results.
        ScratchDir dir;
        write_config(vosksnto);
        for (std::size_t k = 0; k < std::size(kPath); ++k) {
            SCOPED_TRACE(k + 1);
            if (k == 2) write_file("temp/tddft_pelun.chk", "");
            if (k == 3) write_file("temp/tddft_pelun.chk", "not a checkpoint");
            const ProcessResult r = call_at(kPath[k], "fewer_orbitals=3");
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_EQ(read_file("out.EOu"), want[k]);
        }
    }
}

}  // namespace
}  // namespace quorin
