// quorin-report against real runs: outer_job drives quorin through the
// stand-ins, a wrapper records after every call the state that quorin left in
// temp (and its exit status), and the report must tell the same story.
#include <iterator>
#include <regex>
#include <set>

#include "model.hpp"
#include "report.hpp"
#include "test_support.hpp"

namespace {

using namespace quorin::test;
namespace rep = quorin::report;

struct RealRun {
    std::string log;
    std::vector<std::vector<double>> summary;  // per answered call: step ider energy max|g| ...
    std::vector<std::pair<int, int>> truth;    // per call: followed state left in temp, exit status
    std::string svg;                           // the tool's drawing of the log
    ProcessResult tool;
};

// Runs outer_job in a scratch directory; `bin` holds programs that go first on PATH.
RealRun run_outer(const std::string& config, const std::string& options, const std::string& model = "",
                  const std::string& bin = "") {
    ScratchDir dir;
    use_stand_ins();
    write_file("config.toml", "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\n" + config);
    if (!model.empty()) write_file("quorin_model.dat", model);
    write_file("q.sh", "#!/bin/sh\n\"" QUORIN_EXE
                       "\" \"$@\"; s=$?\n"
                       "if [ -f temp/sdn_meta.dat ]; then st=$(head -n 1 temp/sdn_meta.dat)\n"
                       "else st=$(sed -n 's/.*root=\\([0-9]*\\).*/\\1/p' temp/tddft_pelun.gjf | head -n 1); fi\n"
                       "echo $st $s >> truth.txt; exit $s\n");
    if (!bin.empty()) write_file("bin/formchk", bin);
    run_process("chmod +x q.sh bin/* 2>/dev/null");
    run_process("PATH=" + dir.path().string() + "/bin:$PATH outer_job --summary summary.txt " + options +
                " -- ./q.sh config.toml");
    RealRun r;
    r.log = read_file("outer.log");
    for (const auto& l : lines_of(read_file("summary.txt"))) {
        std::istringstream in(l);
        r.summary.emplace_back(std::istream_iterator<double>(in), std::istream_iterator<double>());
    }
    for (const auto& l : lines_of(read_file("truth.txt")))
        r.truth.emplace_back(std::stoi(l), std::stoi(l.substr(l.find(' '))));
    r.tool = run_process(std::string(BINARY_DIR "/quorin-report --svg out.svg outer.log"));
    r.svg = read_file("out.svg");
    return r;
}

std::set<int> svg_steps(const std::string& svg, const std::string& cls) {
    std::set<int> s;
    std::regex re("class=\"" + cls + "\" data-step=\"([0-9]+)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), re); it != std::sregex_iterator(); ++it)
        s.insert(std::stoi((*it)[1]));
    return s;
}

// Every opened element is closed, in order.
bool balanced(const std::string& svg) {
    std::vector<std::string> open;
    std::regex tag("<(/?)([A-Za-z]+)[^>]*?(/?)>");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), tag); it != std::sregex_iterator(); ++it) {
        if ((*it)[3] == "/") continue;
        if ((*it)[1] == "")
            open.push_back((*it)[2]);
        else if (open.empty() || open.back() != (*it)[2])
            return false;
        else
            open.pop_back();
    }
    return open.empty() && svg.find("<svg") != std::string::npos;
}

// The report's rows against what the run did; returns the steps where the root changed.
std::set<int> check_rows(const RealRun& r, const rep::Run& run) {
    EXPECT_EQ(run.calls.size(), r.truth.size());
    std::set<int> truth_changes, report_changes, answered;
    std::size_t k = 0;  // summary line of the next answered call
    for (std::size_t i = 0; i < std::min(run.calls.size(), r.truth.size()); ++i) {
        const rep::Call& c = run.calls[i];
        EXPECT_EQ(c.step, static_cast<int>(i) + 1);
        EXPECT_EQ(c.failed(), r.truth[i].second != 0) << "step " << c.step;
        if (c.failed()) continue;
        EXPECT_EQ(c.state_after, r.truth[i].first) << "step " << c.step;
        if (i > 0 && r.truth[i].first != r.truth[i - 1].first) truth_changes.insert(c.step);
        if (rep::root_changed(run, i)) report_changes.insert(c.step);
        answered.insert(c.step);
        if (k >= r.summary.size()) continue;
        const auto& s = r.summary[k++];
        EXPECT_NEAR(rep::handed_back_energy(c).value_or(NAN), s[2], 1e-9) << "step " << c.step;
        EXPECT_EQ(c.mode == rep::Mode::Hessian, s[1] == 2) << "step " << c.step;
        if (s[1] == 1) EXPECT_NEAR(c.max_force.value_or(NAN), s[3], 5.1e-7) << "step " << c.step;
    }
    EXPECT_EQ(report_changes, truth_changes);
    EXPECT_TRUE(balanced(r.svg));
    EXPECT_EQ(svg_steps(r.svg, "energy-point"), answered);
    EXPECT_EQ(svg_steps(r.svg, "root-change"), truth_changes);
    return truth_changes;
}

TEST(ReportOfRealRuns, RowsFollowWhatTheRunsDid) {
    // A and B of the default model mixed strongly: near-degenerate matches along the way.
    const std::string near_model =
        std::regex_replace(standin::default_model_text(), std::regex("coupling 1 2 0.002"), "coupling 1 2 0.01");
    struct Case {
        std::string config, options, model;
    } cases[] = {
        {"sdnto = true\nvosksnto = true\n", "--freq --maxstep 0.05", near_model},
        {"sdnto = true\nvosksnto = false\nsntofirst = true\ndebug = true\n", "", ""},
        {"sdnto = true\nvosksnto = false\n", "--maxstep 0.05", near_model},
        {"sdnto = false\n", "", ""},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.config + cs.options);
        const bool diabatic = cs.config.find("sdnto = true") != std::string::npos;
        RealRun r = run_outer(cs.config, cs.options, cs.model);
        ASSERT_EQ(r.tool.status, 0) << r.tool.err;
        rep::Run run = rep::parse_log_text(r.log, "outer.log");
        std::set<int> changes = check_rows(r, run);
        EXPECT_EQ(changes.empty(), !diabatic);  // the default model's root 1 changes character
        EXPECT_EQ(r.tool.out.find("ROOT CHANGED") != std::string::npos, diabatic);
        EXPECT_NE(r.tool.out.find("optimization completed"), std::string::npos);
        EXPECT_TRUE(run.calls.back().inner_converged || run.calls.back().mode == rep::Mode::Hessian);
        std::set<int> near;
        for (const rep::Call& c : run.calls) {
            EXPECT_TRUE(c.notes.empty()) << "step " << c.step << ": " << c.notes.front();
            if (c.mode == rep::Mode::Hessian) continue;
            EXPECT_EQ(c.mode, diabatic ? rep::Mode::Diabatic : rep::Mode::Adiabatic);
            if (c.step == 1 || !diabatic) continue;
            EXPECT_EQ(c.jobs.front().kind == rep::Job::Kind::SinglePoint,
                      cs.config.find("sntofirst") != std::string::npos);
            if (c.near.empty()) continue;
            near.insert(c.step);  // the resolution names the state the run went on with
            const std::string after = std::to_string(r.truth[c.step - 1].first);
            auto top = std::max_element(c.candidates.begin(), c.candidates.end(),
                                        [](const rep::Snto& a, const rep::Snto& b) { return a.value < b.value; });
            EXPECT_NE(rep::near_degeneracy_text(c).find(std::to_string(top->state) == after
                                                            ? "kept first choice " + after + " against n-1"
                                                            : "to state " + after + " against n-1"),
                      std::string::npos);
        }
        EXPECT_EQ(near.empty(), cs.model.empty());
        EXPECT_EQ(svg_steps(r.svg, "near-degenerate"), near);
        if (cs.options.find("--freq") != std::string::npos) {
            EXPECT_EQ(run.calls.back().mode, rep::Mode::Hessian);
            EXPECT_EQ(run.calls.back().jobs.front().root, run.calls[run.calls.size() - 2].state_after);
            EXPECT_NE(r.tool.out.find("frequency call at step " + std::to_string(run.calls.back().step)),
                      std::string::npos);
        }
    }
}

TEST(ReportOfRealRuns, FailedStepIsReportedAndEndsTheRun) {
    // formchk gives up after four conversions: the fourth step's second gradient job fails.
    RealRun r = run_outer("sdnto = true\nvosksnto = false\n", "", "",
                          "#!/bin/sh\nn=$(cat ../count 2>/dev/null || echo 0); n=$((n+1)); echo $n > ../count\n"
                          "[ $n -le 4 ] && exec \"" STAND_IN_DIR "/formchk\" \"$@\"\nexit 1\n");
    ASSERT_EQ(r.tool.status, 0) << r.tool.err;
    rep::Run run = rep::parse_log_text(r.log, "outer.log");
    check_rows(r, run);
    ASSERT_EQ(r.truth.back().second, 1);
    const rep::Call& last = run.calls.back();
    EXPECT_NE(last.error.find("ERROR: formchk"), std::string::npos);
    EXPECT_EQ(last.stop_status, 1);
    EXPECT_FALSE(rep::handed_back_energy(last));
    EXPECT_EQ(svg_steps(r.svg, "error-step"), std::set<int>{last.step});
    EXPECT_NE(r.tool.out.find("STOPPED at step " + std::to_string(last.step) + ": ERROR: formchk"), std::string::npos);
    // The tool's own exit status: a report of a failed run is still a report.
    EXPECT_EQ(run_process(std::string("printf ' Step 1\\n' | " BINARY_DIR "/quorin-report -")).status, 1);
    EXPECT_EQ(run_process(std::string(BINARY_DIR "/quorin-report /nonexistent/outer.log")).status, 1);
    ScratchDir dir;  // standard input reads as the file does
    write_file("outer.log", r.log);
    ProcessResult piped = run_process(std::string("cat outer.log | " BINARY_DIR "/quorin-report -"));
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, std::regex_replace(r.tool.out.substr(0, r.tool.out.find("\nSVG written")),
                                            std::regex("outer\\.log"), "standard input"));
}

TEST(ReportOfExcerpts, NearDegenerateSwitchAgainstNMinus1AndUnreadableParts) {
    // A console capture: the tail of one call, one whole call, and a call cut off.
    const std::string log =
        "  [Diabatic] Updated diabatic state index =            2\n TD-DFT External Interface Done <<<<<\n"
        " >>>>> TD-DFT External Interface Starting\n Staring diabatic state (SDNTO enabled) ...\n"
        "  [Diabatic] Previous diabatic state is            2\n"
        " Excited State   2:      Singlet-A      5.1782 eV  239.43 nm  f=0.0103  <S**2>=0.000\n"
        " This state for optimization and/or second-order correction.\n"
        " Total Energy, E(TD-HF/TD-DFT) =  -75.80000000000000\n"
        "  State            1 : SNTO =    1.0000000000000000E-002\n"
        "  State            2 : SNTO =   0.80000000000000004     \n"
        "  State            3 : SNTO =   0.77000000000000002     \n"
        "  WARNING: Near-degenerate candidate: state            3  delta =    3.7499999999999978E-002\n"
        " \n  Preparing near-degenerate check...\n"
        "   State            2 : n-1.fch SNTO =   0.40000000000000002     \n"
        "   State            3 : n-1.fch SNTO =   0.90000000000000002     \n"
        " \n Resolved best state after near-degenerate check:           3\n \n"
        "  Final best matching state:            3\n"
        "  Best SNTO value:   0.77000000000000002     \n"
        "  [Diabatic] Updated diabatic state index =            3\n"
        "  [Diabatic] Diabatic state changed; recomputing gradient for new state.\n"
        " Excited State   3:      Singlet-A      5.4537 eV  227.34 nm  f=0.1558  <S**2>=0.000\n"
        " This state for optimization and/or second-order correction.\n"
        " Total Energy, E(TD-HF/TD-DFT) =  -75.79000000000000\n"
        " TD-DFT External Interface Done <<<<<\n \n"
        " >>>>> TD-DFT External Interface Starting\n Staring diabatic state (SDNTO enabled) ...\n"
        "  [Diabatic] Previous diabatic state is            3\n";
    rep::Run run = rep::parse_log_text(log, "capture");
    ASSERT_EQ(run.calls.size(), 3u);
    EXPECT_EQ(run.problems, std::vector<std::string>{"lines 1-2: quorin output without a start banner"});
    const rep::Call& c = run.calls[1];
    EXPECT_EQ(c.state_after, 3);
    EXPECT_TRUE(rep::root_changed(run, 1));
    ASSERT_EQ(c.jobs.size(), 2u);
    EXPECT_EQ(c.jobs[1].root, 3);
    EXPECT_EQ(rep::near_degeneracy_text(c), "state 3 (delta 0.0375): switched from 2 to state 3 against n-1");
    EXPECT_NEAR(rep::runner_up_ratio(c).value_or(NAN), 0.8 / 0.77, 1e-12);  // the rival had the larger first-pass value
    EXPECT_NEAR(rep::handed_back_energy(c).value_or(NAN), -75.79, 1e-12);
    const std::string text = rep::format_report(run);
    EXPECT_NE(text.find("step 3: log ends inside the call"), std::string::npos);
    EXPECT_NE(text.find("-75.7900000000*"), std::string::npos);  // marked as the echoed energy
    EXPECT_NE(text.find("the log ends after step 3"), std::string::npos);
    const std::string svg = rep::render_svg(run);
    EXPECT_TRUE(balanced(svg));
    EXPECT_EQ(svg_steps(svg, "root-change"), std::set<int>{2});
    EXPECT_EQ(svg_steps(svg, "snto-nminus"), std::set<int>{2});
    // The same cut call followed by the outer job's error termination: quorin died without a word.
    rep::Run killed = rep::parse_log_text(log + " Error termination via Lnk1e in l402.exe.\n", "capture");
    EXPECT_TRUE(killed.calls.back().failed());
    EXPECT_NE(rep::format_report(killed).find("STOPPED at step 3: quorin ended without its closing banner"),
              std::string::npos);
}

}  // namespace
