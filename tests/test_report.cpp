// quorin-report against real runs: outer_job drives quorin through the
// stand-ins, a wrapper records after every call the state that quorin left in
// temp, and the report must tell the same story.
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
    std::vector<std::vector<double>> summary;  // per answered call: step ider energy max|g|
    std::vector<int> truth;                    // per call: followed state left in temp
    std::string svg;                           // the tool's drawing of the log
    std::string svg_piped;                     // the same drawn from standard input
    ProcessResult tool, piped;                 // the tool on the file (and the SVG), and on standard input
    bool copied = false;                       // a converged step's checkpoint was copied next to the run
};

// Runs outer_job in a scratch directory.
RealRun run_outer(const std::string& config, const std::string& options, const std::string& model) {
    ScratchDir dir;
    use_stand_ins();
    write_file("config.toml", "[quorin]\nmethod = b3lyp\nbasis = 6-31g*\nroot = 1\n" + config);
    if (!model.empty()) write_file("quorin_model.dat", model);
    write_file("q.sh", "#!/bin/sh\n\"" QUORIN_EXE "\" \"$@\" || exit $?\n"
                       "if [ -f temp/sdn_meta.dat ]; then head -n 1 temp/sdn_meta.dat >> truth.txt\n"
                       "else sed -n 's/.*root=\\([0-9]*\\).*/\\1/p' temp/tddft_pelun.gjf | head -n 1 >> truth.txt; fi\n");
    run_process("chmod +x q.sh");
    run_process("outer_job --summary summary.txt " + options + " -- ./q.sh config.toml");
    RealRun r;
    r.log = read_file("outer.log");
    r.copied = fs::exists("tddft_pelun.chk");
    std::istringstream summary(read_file("summary.txt"));  // the first four numbers of each line
    for (std::vector<double> v(4); summary >> v[0] >> v[1] >> v[2] >> v[3]; summary.ignore(1 << 20, '\n'))
        r.summary.push_back(v);
    for (const auto& l : lines_of(read_file("truth.txt"))) r.truth.push_back(std::stoi(l));
    r.tool = run_process(std::string(BINARY_DIR "/quorin-report --svg=out.svg outer.log"));
    r.svg = read_file("out.svg");
    r.piped = run_process(std::string(BINARY_DIR "/quorin-report --svg piped.svg - < outer.log"));
    r.svg_piped = read_file("piped.svg");
    return r;
}

std::set<int> svg_steps(const std::string& svg, const std::string& cls) {
    std::set<int> s;
    std::regex re("class=\"" + cls + "\" data-step=\"([0-9]+)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), re); it != std::sregex_iterator(); ++it)
        s.insert(std::stoi((*it)[1]));
    return s;
}

// Every opened element is closed, in order: taking the innermost elements
// away again and again leaves nothing but the XML declaration.
bool balanced(std::string svg) {
    const bool drawing = svg.find("<svg") != std::string::npos;
    const std::regex innermost(R"(<[A-Za-z]+[^<>]*/>|<([A-Za-z]+)[^<>]*>[^<>]*</\1>)");
    for (std::string before; before != svg;) before = svg, svg = std::regex_replace(svg, innermost, "");
    return drawing && std::regex_replace(svg, std::regex(R"(<\?xml[^>]*\?>|\s)"), "").empty();
}

TEST(ReportOfRealRuns, RowsSvgAndSummaryFollowWhatTheRunsDid) {
    // A and B of the default model mixed strongly: near-degenerate matches along the way.
    const std::string near_model =
        std::regex_replace(standin::default_model_text(), std::regex("coupling 1 2 0.002"), "coupling 1 2 0.01");
    struct Case { std::string config, options, model; };
    const Case cases[] = {{"sdnto = true\nvosksnto = true\n", "--freq --maxstep 0.05", near_model},
                          {"sdnto = true\nvosksnto = false\nsntofirst = true\ndebug = true\n", "", ""},
                          {"sdnto = false\n", "", ""}};
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.config + cs.options);
        const bool diabatic = cs.config.find("sdnto = true") != std::string::npos;
        const RealRun r = run_outer(cs.config, cs.options, cs.model);
        ASSERT_EQ(r.tool.status, 0) << r.tool.err;
        const rep::Run run = rep::parse_log_text(r.log, "outer.log");
        ASSERT_EQ(run.calls.size(), r.truth.size());
        ASSERT_EQ(run.calls.size(), r.summary.size());
        std::set<int> changes, answered, near;
        std::vector<std::string> told;  // what the summary must say
        for (std::size_t i = 0; i < run.calls.size(); ++i) {
            const rep::Call& c = run.calls[i];
            SCOPED_TRACE("step " + std::to_string(c.step));
            EXPECT_TRUE(c.notes.empty()) << c.notes.front();
            const int state = r.truth[i], before = i > 0 ? r.truth[i - 1] : state;
            EXPECT_EQ(c.state_after, state);
            EXPECT_EQ(rep::root_changed(run, i), state != before);
            if (state != before) {
                changes.insert(c.step);
                told.push_back("step " + std::to_string(c.step) + ": " + std::to_string(before) + " -> " +
                               std::to_string(state));
            }
            if (!c.near.empty()) {  // the resolution names the state the run went on with
                near.insert(c.step);
                EXPECT_NE(rep::near_degeneracy_text(c).find(std::to_string(state) + " against n-1"), std::string::npos);
            }
            answered.insert(c.step);
            const auto& s = r.summary[i];
            EXPECT_EQ(s[0], c.step);
            EXPECT_NEAR(rep::handed_back_energy(c).value_or(NAN), s[2], 1e-9);
            EXPECT_EQ(c.mode, s[1] == 2 ? rep::Mode::Hessian : diabatic ? rep::Mode::Diabatic : rep::Mode::Adiabatic);
            if (s[1] == 1) EXPECT_NEAR(c.max_force.value_or(NAN), s[3], 5.1e-7);
        }
        EXPECT_TRUE(r.copied);  // each run converged
        EXPECT_EQ(changes.empty(), !diabatic);  // root 1 changes character
        EXPECT_EQ(near.empty(), cs.model.empty());
        EXPECT_TRUE(balanced(r.svg));
        EXPECT_EQ(svg_steps(r.svg, "energy-point"), answered);
        EXPECT_EQ(svg_steps(r.svg, "root-change"), changes);
        EXPECT_EQ(svg_steps(r.svg, "near-degenerate"), near);
        EXPECT_EQ(svg_steps(r.svg, "error-step"), std::set<int>{});
        const std::string last = std::to_string(run.calls.back().step);
        told.push_back("optimization completed");
        if (!cs.options.empty())
            told.push_back("frequency call at step " + last + " (root " + std::to_string(r.truth.back()) + ")");
        const std::string summary = r.tool.out.substr(r.tool.out.find("\nSummary\n") + 1);
        for (const std::string& line : told) EXPECT_NE(summary.find(line), std::string::npos) << line << summary;
        EXPECT_EQ(r.piped.out, std::regex_replace(std::regex_replace(r.tool.out, std::regex("outer\\.log"), "standard input"),
                                                  std::regex("out\\.svg"), "piped.svg"));
        EXPECT_EQ(r.svg_piped, std::regex_replace(r.svg, std::regex("outer\\.log"), "standard input"));
    }
    // A log without a quorin call, or no log at all: exit status 1.
    EXPECT_EQ(run_process(std::string("printf ' Step 1\\n' | " BINARY_DIR "/quorin-report -")).status, 1);
    EXPECT_EQ(run_process(std::string(BINARY_DIR "/quorin-report /nonexistent/outer.log")).status, 1);
}

// Four calls as quorin prints them, and the whole report: a first step that
// met the inner criteria; a near tie of three states, the first two equal
// (the first-pass choice is the first of them), settled against n-1.fch for
// state 3; a call that failed after choosing state 2, which is not followed:
// the log goes on with a frequency call for state 3.
TEST(ReportOfExcerpts, WholeReportOfATieAFailureAndAFrequencyCall) {
    const std::string start = " >>>>> TD-DFT External Interface Starting\n", done = " TD-DFT External Interface Done <<<<<\n";
    const std::string job = " This state for optimization and/or second-order correction.\n Total Energy, E(TD-HF/TD-DFT) =  ";
    const std::string log =
        start + "  [Diabatic] Initial following diabatic state            1\n Excited State   1:  Singlet-A  5.0 eV\n" +
        job + "-75.80\n  Convergence criteria met in cartesian coordinate. \n" + done + start +
        "  [Diabatic] Previous diabatic state is            1\n Excited State   1:  Singlet-A  5.0 eV\n" + job +
        "-75.81\n  State            1 : SNTO =   0.80\n  State            2 : SNTO =   0.80\n"
        "  State            3 : SNTO =   0.77\n  WARNING: Near-degenerate candidate: state            2  delta =    0.0\n"
        "  WARNING: Near-degenerate candidate: state            3  delta =    3.7499999999999978E-002\n"
        "   State            1 : n-1.fch SNTO =   0.40\n   State            2 : n-1.fch SNTO =   0.50\n"
        "   State            3 : n-1.fch SNTO =   0.90\n  Final best matching state:            3\n"
        "  Best SNTO value:   0.77\n  [Diabatic] Updated diabatic state index =            3\n"
        "  [Diabatic] Diabatic state changed; recomputing gradient for new state.\n Excited State   3:  Singlet-A  5.1 eV\n" +
        job + "-75.82\n  Warning: Convergence table not found in log file\n" + done + start +
        "  [Diabatic] Previous diabatic state is            3\n  [Diabatic] Updated diabatic state index =            2\n"
        " ERROR: formchk falied.\nSTOP 1\n" + start + " Frequency calculation root = 3\n" + done +
        " Recovered energy= -75.83 dipole= 0.0 0.0 0.0\n";
    const rep::Run run = rep::parse_log_text(log, "capture");
    const std::string near = "state 2 (delta 0), state 3 (delta 0.0375): switched from 1 to state 3 against n-1";
    EXPECT_EQ(rep::format_report(run),
              "quorin-report: capture: 4 quorin call(s) in 38 lines\n\nstep  mode       roots    from   to  best SNTO  "
              "2nd/best   E handed back/Eh  max force  inner conv events\n"
              "1     diabatic   1           -    1          -         -    -75.8000000000*          -         met "
              "starts following state 1\n"
              "2     diabatic   1,3         1    3   0.770000     1.039    -75.8200000000*          -    no table ROOT "
              "CHANGED 1 -> 3; gradient recomputed; near-degenerate: " + near + "\n"
              "3     diabatic   -           3    -          -         -                  -          -           - "
              "matching chose state 2 (followed 3); FAILED: ERROR: formchk falied. (STOP 1) [log line 33]\n"
              "4     hessian    3           3    3          -         -    -75.8300000000           -         n/a "
              "frequency job for root 3\n"
              "  * energy from the inner job's echoed total energy (no \"Recovered energy=\" line after the call)\n\n"
              "Could not read:\n  nothing: every call had what a report needs\n\nSummary\n"
              "  steps:           4 quorin call(s) (3 diabatic, 1 hessian)\n"
              "  followed:        state 1 (step 1) -> state 3 (steps 2-4)\n"
              "  root changes:    step 2: 1 -> 3 (best SNTO 0.7700, runner-up at 1.039 of it)\n"
              "  near-degenerate: step 2: " + near + "\n  inner convergence met: step 1\n"
              "  end:             the run STOPPED at step 3: ERROR: formchk falied. (STOP 1) [log line 33]; the log "
              "goes on with 1 more call(s)\n");
    EXPECT_EQ(svg_steps(rep::render_svg(run), "root-change"), std::set<int>{2});
    EXPECT_EQ(svg_steps(rep::render_svg(run), "snto-nminus"), std::set<int>{2});
    EXPECT_EQ(svg_steps(rep::render_svg(run), "error-step"), std::set<int>{3});

    // A log cut before a call's start banner: its lines, with an excited-state
    // block between them, still make one call (a step line is "Step" and a number).
    std::string block;
    for (int k = 0; k < 30; ++k) block += k == 9 ? " Step 2 of a scan\n" : " Excited State   1:  Singlet-A  5.0 eV\n";
    const rep::Run cut = rep::parse_log_text("  [Diabatic] Previous diabatic state is            1\n" + block +
                                                 "  [Diabatic] Updated diabatic state index =            2\n" + done, "cut");
    ASSERT_EQ(cut.calls.size(), 1u);
    EXPECT_EQ(cut.calls[0].state_before * 10 + cut.calls[0].state_after, 12);

    // Damaged logs: step numbers at the ends of the integer range and an
    // energy beyond the resolution of its axis still give a bounded plot.
    const rep::Run odd = rep::parse_log_text(" Step -2147483647\n" + log + " Step 2147483647\n" + log +
                                                 " Recovered energy= 100000000000000016 dipole= 0 0 0\n",
                                             "damaged");
    EXPECT_LT(rep::render_svg(odd).size(), 200000u);
}

}  // namespace
