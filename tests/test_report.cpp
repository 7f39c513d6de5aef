// quorin-report against real runs (outer_job drives quorin through the
// stand-ins; a wrapper records after every call the state that quorin left in
// temp), against runs made up at random as log text, and as a program with
// its exit statuses. The picture is read back as SVG and must say what the
// logs say: values on axes that run the way the data do, one colour per
// state, no line across a step without a value.
#include <map>
#include <regex>
#include <set>

#include "model.hpp"
#include "report.hpp"
#include "test_support.hpp"

namespace {

using namespace quorin::test;
namespace rep = quorin::report;
const std::string kTool = BINARY_DIR "/quorin-report ";

// What one call must show in the report.
struct Expected {
    std::string log;
    int step = 0, before = 0, after = 0;  // after 0: the call failed
    std::optional<double> energy, best, own, second;
    int second_state = 0;
    std::map<int, std::pair<double, double>> roots;  // root: eV, f of the last block
    std::vector<std::string> warnings;
    std::string error, outcome = "ok";
    bool doubt = false;
};

// ------------------------------------------------------------ reading the outputs back

struct Element {  // an SVG element: its name, attributes, the text after its start tag, and where it stands
    std::string name, text;
    std::map<std::string, std::string> a;
    double x = 0, y = 0;
    std::string at(const std::string& k) const { return a.count(k) ? a.at(k) : ""; }
    int num(const std::string& k) const { return a.count(k) ? std::stoi(a.at(k)) : 0; }
};

std::vector<Element> elements(const std::string& svg) {
    static const std::regex tag(R"(<([a-z]+)([^<>]*)>([^<]*))"), attr(R"(([\w-]+)="([^"]*)\")");
    std::vector<Element> all;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), tag); it != std::sregex_iterator(); ++it) {
        Element e{(*it)[1], (*it)[3], {}};
        const std::string attrs = (*it)[2];
        for (auto m = std::sregex_iterator(attrs.begin(), attrs.end(), attr); m != std::sregex_iterator(); ++m)
            e.a[(*m)[1]] = (*m)[2];
        if (e.name == "text") e.x = std::atof(e.at("x").c_str()), e.y = std::atof(e.at("y").c_str());
        std::sscanf(e.at("transform").c_str(), "translate(%lf,%lf)", &e.x, &e.y);
        all.push_back(e);
    }
    return all;
}

std::vector<Element> of(const std::vector<Element>& all, const std::string& cls) {
    std::vector<Element> some;
    std::copy_if(all.begin(), all.end(), std::back_inserter(some), [&](const Element& e) { return e.at("class") == cls; });
    return some;
}

std::set<int> steps_of(const std::vector<Element>& all, const std::string& cls) {
    std::set<int> s;
    for (const Element& e : of(all, cls)) s.insert(e.num("data-step"));
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

// A line's vertices lie on points (of its state) and are joined only at adjacent steps; returns their count.
std::size_t check_line(const Element& line, const std::vector<Element>& pts) {
    std::istringstream d(line.at("d"));
    std::size_t count = 0;
    int prev = 0;
    for (std::string op; d >> op; ++count) {
        double x = 0, y = 0;
        d >> x >> y;
        auto on = std::find_if(pts.begin(), pts.end(), [&](const Element& p) {
            return std::fabs(p.x - x) < 0.06 && std::fabs(p.y - y) < 0.06 &&
                   (!line.a.count("data-state") || p.at("data-state") == line.at("data-state"));
        });
        if (on == pts.end()) {
            ADD_FAILURE() << line.at("class") << " at " << x << "," << y;
            return 0;
        }
        if (op == "L") EXPECT_EQ(on->num("data-step"), prev + 1) << line.at("class");
        prev = on->num("data-step");
    }
    return count;
}

// The picture against the calls: axes, colours, lines, rings and marks. `roots`: the blocks are known.
void check_picture(const std::string& svg, const std::vector<Expected>& calls, bool roots) {
    ASSERT_TRUE(balanced(svg));
    const std::vector<Element> all = elements(svg);
    std::map<int, std::string> colour;  // each state one colour, each colour one state
    std::set<std::string> used;
    for (const Element& e : all)
        if (e.a.count("data-state")) {
            const std::string fill = e.at("fill"), c = fill == "white" || fill == "none" || fill.empty() ? e.at("stroke") : fill;
            if (colour.emplace(e.num("data-state"), c).second) EXPECT_TRUE(used.insert(c).second) << c;
            EXPECT_EQ(colour[e.num("data-state")], c) << "state " << e.at("data-state");
        }
    const std::map<std::string, std::string> points = {
        {"excitation", "excitation-point"}, {"energy", "energy-point"}, {"snto", "snto-point"}};
    std::map<std::string, std::function<double(double)>> y_of;  // read from the tick labels, which must rise upwards
    for (const auto& [panel, cls] : points) {
        std::vector<std::pair<double, double>> ticks;
        for (const Element& e : of(all, "tick"))
            if (e.at("data-panel") == panel) ticks.push_back({std::stod(e.text), e.y});
        std::sort(ticks.begin(), ticks.end());
        for (std::size_t k = 1; k < ticks.size(); ++k) EXPECT_LT(ticks[k].second, ticks[k - 1].second) << panel;
        if (ticks.size() > 1)
            y_of[panel] = [t = ticks](double v) {
                return t[0].second + (v - t[0].first) * (t.back().second - t[0].second) / (t.back().first - t[0].first);
            };
        for (const Element& line : of(all, "series"))
            if (line.at("data-panel") == panel) check_line(line, of(all, cls));
    }
    const auto rings = of(all, "followed"), path = of(all, "followed-path");  // the followed roots, step to step
    for (const Element& line : path) EXPECT_EQ(check_line(line, rings), rings.size());
    EXPECT_EQ(path.size(), rings.size() > 1 ? 1u : 0u);
    std::set<int> changes, failed, doubts, answered;
    for (const Expected& c : calls) {
        SCOPED_TRACE("step " + std::to_string(c.step));
        if (c.after > 0 && c.before > 0 && c.after != c.before) changes.insert(c.step);
        if (c.energy) answered.insert(c.step);
        if (c.outcome == "failed") failed.insert(c.step);
        if (c.doubt) doubts.insert(c.step);
        for (const Element& e : of(all, "energy-point"))
            if (e.num("data-step") == c.step && c.energy) {
                EXPECT_EQ(e.num("data-state"), c.after);
                EXPECT_NEAR(e.y, y_of["energy"](*c.energy), 0.3);
            }
        if (!roots) continue;
        std::map<int, double> drawn;
        for (const Element& e : of(all, "excitation-point"))
            if (e.num("data-step") == c.step) drawn[e.num("data-state")] = e.y;
        ASSERT_EQ(drawn.size(), c.roots.size());
        for (const auto& [root, ef] : c.roots) EXPECT_NEAR(drawn[root], y_of["excitation"](ef.first), 0.3) << root;
        int rings = 0;
        for (const Element& e : of(all, "followed"))
            if (e.num("data-step") == c.step) {
                EXPECT_NEAR(e.y, drawn[c.after], 0.06);
                EXPECT_EQ(e.num("data-root"), c.after);
                ++rings;
            }
        EXPECT_EQ(rings, c.after > 0 ? 1 : 0);
    }
    EXPECT_EQ(steps_of(all, "energy-point"), answered);
    EXPECT_EQ(steps_of(all, "root-change"), changes);
    EXPECT_EQ(steps_of(all, "error-step"), failed);
    if (roots) EXPECT_EQ(steps_of(all, "doubt"), doubts);
}

std::vector<std::map<std::string, std::string>> csv_records(const std::string& csv) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    for (std::size_t i = 0; i < csv.size(); ++i) {
        if (csv[i] == '"') {  // a quoted field, where "" is a quote
            for (++i; i < csv.size() && (csv[i] != '"' || csv[i + 1] == '"'); ++i) {
                if (csv[i] == '"') ++i;
                rows.back().back() += csv[i];
            }
        } else if (csv[i] == ',') rows.back().emplace_back();
        else if (csv[i] == '\n') rows.emplace_back(1);
        else rows.back().back() += csv[i];
    }
    std::vector<std::map<std::string, std::string>> records;
    for (std::size_t r = 1; r + 1 < rows.size(); ++r) {
        records.emplace_back();
        for (std::size_t k = 0; k < rows[0].size(); ++k) records.back()[rows[0][k]] = k < rows[r].size() ? rows[r][k] : "?";
    }
    return records;
}

bool same(const std::string& field, std::optional<double> want) {
    return want ? !field.empty() && std::stod(field) == *want : field.empty();
}

// ------------------------------------------------------------ runs made up at random

std::string f(const char* format, double v) {
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

// A diabatic run as quorin and Gaussian print it, in one log or restarted in a
// second one, and what each call must show. Values are drawn as decimals that
// the log's texts hold exactly.
struct MadeRun {
    std::vector<std::string> logs{"", ""};  // first.log and second.log (empty: one log)
    std::vector<Expected> calls;
};

MadeRun make_run(std::mt19937& rng) {
    auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    auto chance = [&](int percent) { return pick(1, 100) <= percent; };
    const int nroots = pick(2, 11), ncalls = pick(3, 12), split = chance(50) ? pick(1, ncalls - 1) : ncalls;
    MadeRun m;
    int followed = pick(1, nroots), local = 0, offset = 0;
    for (int i = 0; i < ncalls; ++i) {
        if (i == split) local = 0, offset = m.calls.back().step;  // a restarted run's log numbers its steps anew
        std::string& log = m.logs[i < split ? 0 : 1];
        Expected e{i < split ? "first.log" : "second.log", offset + (local += chance(15) ? 2 : 1), i ? followed : 0};
        const bool missing = i > 0 && chance(6), failed = i > 0 && chance(12);
        const int chosen = missing ? 1 : i == 0 || chance(70) ? followed : pick(1, nroots);
        const std::string energy = f("%.10f", -pick(750000, 760000) / 1e4);
        log += " Step " + std::to_string(local) + "\n >>>>> TD-DFT External Interface Starting\n" +
               " Staring diabatic state (SDNTO enabled) ...\n  [Diabatic] " +
               (i ? "Previous diabatic state is " : "Initial following diabatic state ") + std::to_string(followed) + "\n";
        for (int block = chance(30) ? 0 : 1; block < 2; ++block) {  // the call's last block counts
            log += " \n Excitation energies and oscillator strengths:\n\n";
            for (int r = 1, ev = pick(2000, 4000); r <= nroots; ++r) {
                const double fr = pick(0, 6000) / 1e4;
                ev += pick(1, 900);
                log += " Excited State" + f("%4.0f", r) + ":      Singlet-A     " + f("%.4f", ev / 1e3) + " eV  " +
                       f("%.2f", 1239.84e3 / ev) + " nm  f=" + f("%.4f", fr) + "  <S**2>=0.000\n       5 -> 6   0.70654\n";
                if (block == 0) continue;
                e.roots[r] = {ev / 1e3, fr};
                if (r == chosen) log += " This state for optimization and/or second-order correction.\n Total Energy, E(TD-HF/TD-DFT) = " + energy + "\n";
            }
        }
        if (i == ncalls - 1 && chance(20)) {  // the log ends in the middle of the last call
            e.outcome = "unfinished";
            m.calls.push_back(e);
            break;
        }
        if (chance(20)) {  // a warning with a continuation line, and one that is no doubt
            log += " WARNING: Expected output file not found: \"C:\\nto\\s2.fch\"\n          voskSNTO may have failed for state 2\n"
                   " Warning: Convergence table not found in log file\n";
            e.warnings.push_back("WARNING: Expected output file not found: \"C:\\nto\\s2.fch\" voskSNTO may have failed for state 2");
            e.warnings.push_back("Warning: Convergence table not found in log file");
        }
        if (i > 0) {
            const int top = pick(300000, 1000000), own = pick(800000, 1200000);
            for (int s = 1; s <= nroots; ++s) {
                const bool none = missing || (s != chosen && chance(10));
                const double v = (s == chosen ? top : pick(0, top - 1)) / 1e6;
                log += "  State " + std::to_string(s) + " : SNTO =   " + (none ? "-10000000000.000000" : f("%.6f", v)) + "\n";
                if (!none && s != chosen && (!e.second || v > *e.second)) e.second = v, e.second_state = s;
            }
            const std::string none = "-10000000000.000000";
            if (!missing) e.best = top / 1e6, e.own = own / 1e6;
            log += " \n  Final best matching state: " + std::to_string(chosen) + "\n  Best SNTO value:   " +
                   (missing ? none : f("%.6f", *e.best)) + "\n  Reference's own SNTO value:   " + (missing ? none : f("%.6f", *e.own)) + "\n";
            std::vector<std::string> doubts;
            if (e.best && *e.best < 0.5 * *e.own)
                doubts.push_back("WARNING: Low SNTO: best value " + f("%.6f", *e.best) + " is " + f("%.3f", *e.best / *e.own) +
                                 " of the reference's own value " + f("%.6f", *e.own) + " (sntowarn 0.500); the followed state may be lost.");
            if (e.best && e.second && *e.second >= 0.8 * *e.best)
                doubts.push_back("WARNING: Ambiguous SNTO: state " + std::to_string(e.second_state) + " reaches " + f("%.3f", *e.second / *e.best) +
                                 " of the best value (" + f("%.6f", *e.second) + " against state " + std::to_string(chosen) + " with " +
                                 f("%.6f", *e.best) + ", sntoambig 0.800).");
            if (chosen != followed)
                doubts.push_back("WARNING: Root change: the followed state moves from root " + std::to_string(followed) + " to root " +
                                 std::to_string(chosen) + "; E(" + std::to_string(chosen) + ") - E(" + std::to_string(followed) +
                                 ") = " + f("%.4f", e.roots[chosen].first - e.roots[followed].first) + " eV at this geometry.");
            for (const auto& d : doubts) log += " " + d + "\n", e.warnings.push_back(d);
            e.doubt = !doubts.empty();
        }
        if (failed) {
            if (chance(50)) log += "  [Diabatic] Updated diabatic state index = " + std::to_string(chosen) + "\n";  // then it failed
            const std::string line = std::to_string(std::count(log.begin(), log.end(), '\n') + 1);
            const std::string what = "ERROR: Best SNTO value 0.100000 is 0.100 of the reference's own value 1.000000, "
                                     "below minsnto 0.500: the followed state is lost.",
                              more = "No External output was written; temp/sdn_meta.dat, temp/old.fch and temp/n-1.fch are left as they were.";
            log += " " + what + "\n        " + more + "\n STOP 1\n";
            e.outcome = "failed";
            e.error = what + " " + more + " (STOP 1) [" + (split < ncalls ? e.log : "log") + " line " + line + "]";
        } else {
            log += "  [Diabatic] Updated diabatic state index = " + std::to_string(chosen) +
                   "\n TD-DFT External Interface Done <<<<<\n Recovered energy= " + energy + " dipole= 0 0 0\n";
            e.energy = std::stod(energy);
            e.after = followed = chosen;
        }
        m.calls.push_back(e);
    }
    return m;
}

std::optional<double> opt(int v) { return v > 0 ? std::optional<double>(v) : std::nullopt; }

TEST(ReportOfMadeUpRuns, PictureRecordsAndSummarySayWhatTheLogsSay) {
    const char* seed_text = std::getenv("QUORIN_TEST_SEED");  // another seed: other runs
    const unsigned seed = seed_text ? static_cast<unsigned>(std::stoul(seed_text)) : 1905u;
    std::mt19937 rng(seed);
    ScratchDir dir;
    std::string all_csv;
    for (int k = 0; k < 40; ++k) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(k));
        const MadeRun m = make_run(rng);
        rep::Run run;
        for (std::size_t l = 0; l < 2; ++l) {
            std::istringstream in(m.logs[l]);
            if (!m.logs[l].empty()) rep::append_log(run, in, l ? "second.log" : "first.log");
        }
        const std::string svg = rep::render_svg(run), csv = rep::format_csv(run), json = rep::format_json(run),
                          table = rep::format_report(run);
        check_picture(svg, m.calls, true);
        const auto records = csv_records(csv);
        ASSERT_EQ(records.size(), m.calls.size());
        int doubts = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const Expected& c = m.calls[i];
            auto r = records[i];
            SCOPED_TRACE("step " + std::to_string(c.step));
            const auto* x = c.roots.count(c.after) ? &c.roots.at(c.after) : nullptr;
            EXPECT_EQ(r["log"] + r["step"] + r["mode"] + r["outcome"] + r["error"],
                      c.log + std::to_string(c.step) + "diabatic" + c.outcome + c.error);
            EXPECT_TRUE(same(r["root_before"], opt(c.before)) && same(r["root_after"], opt(c.after)) &&
                        same(r["second_state"], opt(c.second_state)));
            EXPECT_TRUE(same(r["best_snto"], c.best) && same(r["second_snto"], c.second) && same(r["own_snto"], c.own));
            EXPECT_TRUE(same(r["second_to_best"], c.best && c.second ? std::optional(*c.second / *c.best) : std::nullopt));
            EXPECT_TRUE(same(r["energy_hartree"], c.energy) && same(r["excitation_ev"], x ? std::optional(x->first) : std::nullopt) &&
                        same(r["oscillator_strength"], x ? std::optional(x->second) : std::nullopt));
            std::string warnings;
            for (const auto& w : c.warnings) {
                warnings += (warnings.empty() ? "" : " | ") + w;
                if (w.find("WARNING: Expected") == 0 || w.find("Warning:") == 0) continue;
                ++doubts;  // each doubt listed in the summary with its step
                EXPECT_NE(table.find("\n    step " + std::to_string(c.step) + ": " + w + "\n"), std::string::npos) << w;
            }
            EXPECT_EQ(r["warnings"], warnings);
        }
        EXPECT_NE(table.find(doubts ? "doubts:          " + std::to_string(doubts) + " warning(s)" : "doubts:          none"), std::string::npos);
        for (const std::string* out : {&svg, &csv, &json, &table})  // "no value" is never a number
            EXPECT_FALSE(std::regex_search(*out, std::regex("1e\\+?10|10000000000"))) << *out;
        write_file("r" + std::to_string(k) + ".json", json);
        all_csv += csv;
    }
    // Python's own JSON reader finds the same records in the JSON files.
    EXPECT_EQ(run_process("/usr/bin/python3 -c 'import csv, json, sys\nfor k in range(40):\n rows = json.load(open(f\"r{k}.json\"))\n"
                          " w = csv.writer(sys.stdout, lineterminator=\"\\n\")\n w.writerow(rows[0].keys())\n"
                          " for r in rows: w.writerow([\"\" if v is None else \" | \".join(v) if isinstance(v, list) else v "
                          "for v in r.values()])'").out, all_csv);
}

// ------------------------------------------------------------ real runs

struct RealRun {
    std::string log, svg, svg_piped;
    std::vector<std::vector<double>> summary;  // per answered call: step ider energy max|g|
    std::vector<int> truth;                    // per call: followed state left in temp
    ProcessResult tool, piped;                 // the tool on the file (with SVG and CSV), and on standard input
    std::vector<std::map<std::string, std::string>> records;
    bool copied = false;  // a converged step's checkpoint was copied next to the run
};

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
    r.tool = run_process(kTool + "--svg=out.svg --csv out.csv outer.log");
    r.svg = read_file("out.svg");
    r.records = csv_records(read_file("out.csv"));
    r.piped = run_process(kTool + "--svg piped.svg - < outer.log");
    r.svg_piped = read_file("piped.svg");
    return r;
}

TEST(ReportOfRealRuns, RowsRecordsPictureAndSummaryFollowWhatTheRunsDid) {
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
        ASSERT_EQ(r.records.size(), r.summary.size());
        std::set<int> near;
        std::vector<Expected> calls;
        std::vector<std::string> told;  // what the summary must say
        for (std::size_t i = 0; i < run.calls.size(); ++i) {
            const rep::Call& c = run.calls[i];
            const auto& s = r.summary[i];
            SCOPED_TRACE("step " + std::to_string(c.step));
            EXPECT_TRUE(c.notes.empty()) << c.notes.front();
            Expected e{"outer.log", static_cast<int>(s[0]), i > 0 ? r.truth[i - 1] : 0, r.truth[i], s[2]};
            auto rec = r.records[i];
            EXPECT_EQ(rec["step"] + rec["root_after"] + rec["mode"], std::to_string(e.step) + std::to_string(e.after) +
                      (s[1] == 2 ? "hessian" : diabatic ? "diabatic" : "adiabatic"));
            EXPECT_NEAR(std::stod(rec["energy_hartree"]), s[2], 1e-9);
            if (s[1] == 1) EXPECT_NEAR(c.max_force.value_or(NAN), s[3], 5.1e-7);
            if (e.before > 0 && e.after != e.before)
                told.push_back("step " + std::to_string(e.step) + ": " + std::to_string(e.before) + " -> " + std::to_string(e.after));
            if (!c.near.empty()) {  // the resolution names the state the run went on with
                near.insert(c.step);
                EXPECT_NE(rep::near_degeneracy_text(c).find("state " + std::to_string(e.after)), std::string::npos);
            }
            calls.push_back(e);
        }
        EXPECT_TRUE(r.copied);                      // each run converged
        EXPECT_EQ(told.empty(), !diabatic);         // root 1 changes character
        EXPECT_EQ(near.empty(), cs.model.empty());
        check_picture(r.svg, calls, false);
        EXPECT_EQ(steps_of(elements(r.svg), "near-degenerate"), near);
        told.push_back("optimization completed");
        if (!cs.options.empty())
            told.push_back("frequency call at step " + std::to_string(calls.back().step) + " (root " + std::to_string(r.truth.back()) + ")");
        const std::string summary = r.tool.out.substr(r.tool.out.find("\nSummary\n") + 1);
        for (const std::string& line : told) EXPECT_NE(summary.find(line), std::string::npos) << line << summary;
        EXPECT_EQ(r.piped.out, std::regex_replace(std::regex_replace(r.tool.out, std::regex("outer\\.log"), "standard input"),
                                                  std::regex("out\\.svg\nCSV written: out\\.csv"), "piped.svg"));
        EXPECT_EQ(r.svg_piped, std::regex_replace(r.svg, std::regex("outer\\.log"), "standard input"));

        // The run restarted halfway in a second log, which numbers its steps anew: the same records.
        const int restart = calls[calls.size() / 2].step;
        const std::size_t cut = r.log.find(" Step " + std::to_string(restart) + "\n");
        std::string second = r.log.substr(cut);
        for (int k = restart; k <= calls.back().step; ++k)
            second = std::regex_replace(second, std::regex(" Step " + std::to_string(k) + "\n"), " Step " + std::to_string(k - restart + 1) + "\n");
        rep::Run both = rep::parse_log_text(r.log.substr(0, cut), "first.log");
        std::istringstream in(second);
        rep::append_log(both, in, "second.log");
        auto stitched = csv_records(rep::format_csv(both)), whole = csv_records(rep::format_csv(run));
        for (auto* records : {&stitched, &whole})
            for (auto& rec : *records) rec.erase("log");
        EXPECT_EQ(stitched, whole);
    }
}

// ------------------------------------------------------------ excerpts and the program

// Four calls as quorin prints them: a first step that met the inner criteria;
// a near tie of three states, the first two equal (the first-pass choice is
// the first of them), settled against n-1.fch for state 3, with quorin's
// doubts; a call that failed after choosing state 2, which is not followed;
// a frequency call for state 3.
const std::string kStart = " >>>>> TD-DFT External Interface Starting\n", kDone = " TD-DFT External Interface Done <<<<<\n";
const std::string kJob = " This state for optimization and/or second-order correction.\n Total Energy, E(TD-HF/TD-DFT) =  ";
const std::string kExcerpt =
    kStart + "  [Diabatic] Initial following diabatic state            1\n Excited State   1:  Singlet-A  5.0 eV  248 nm  f=0.2\n" +
    kJob + "-75.80\n  Convergence criteria met in cartesian coordinate. \n" + kDone + kStart +
    "  [Diabatic] Previous diabatic state is            1\n Excited State   1:  Singlet-A  5.0 eV\n" + kJob +
    "-75.81\n  State            1 : SNTO =   0.80\n  State            2 : SNTO =   0.80\n"
    "  State            3 : SNTO =   0.77\n  WARNING: Near-degenerate candidate: state            2  delta =    0.0\n"
    "  WARNING: Near-degenerate candidate: state            3  delta =    3.7499999999999978E-002\n"
    "   State            1 : n-1.fch SNTO =   0.40\n   State            2 : n-1.fch SNTO =   0.50\n"
    "   State            3 : n-1.fch SNTO =   0.90\n  Final best matching state:            3\n"
    "  Best SNTO value:   0.77\n  Reference's own SNTO value:   0.962500\n"
    " WARNING: Ambiguous SNTO: state 1 reaches 1.039 of the best value (0.800000 against state 3 with 0.770000, sntoambig 0.800).\n"
    " WARNING: Root change: the followed state moves from root 1 to root 3; E(3) - E(1) = 0.1000 eV at this geometry.\n"
    "  [Diabatic] Updated diabatic state index =            3\n"
    "  [Diabatic] Diabatic state changed; recomputing gradient for new state.\n Excited State   1:  Singlet-A  4.9 eV  f=0.01\n"
    " Excited State   3:  Singlet-A  5.1 eV  f=0.3\n" + kJob + "-75.82\n  Warning: Convergence table not found in log file\n" +
    kDone + kStart + "  [Diabatic] Previous diabatic state is            3\n  [Diabatic] Updated diabatic state index =            2\n"
    " ERROR: formchk falied.\n        See temp/formchk.log.\nSTOP 1\n" + kStart + " Frequency calculation root = 3\n" + kDone +
    " Recovered energy= -75.83 dipole= 0.0 0.0 0.0\n";

TEST(ReportOfExcerpts, WholeReportOfATieDoubtsAFailureAndAFrequencyCall) {
    const rep::Run run = rep::parse_log_text(kExcerpt, "capture");
    const std::string near = "state 2 (gap 0), state 3 (gap 0.0375) within 5 % of state 1; compared against the state "
                             "followed two steps back (n-1): switched to state 3";
    const std::string failure = "ERROR: formchk falied. See temp/formchk.log. (STOP 1) [log line 37]";
    EXPECT_EQ(rep::format_report(run),
              "quorin-report: capture: 4 quorin call(s) in 43 lines\n\nstep  mode       roots    from   to  best SNTO best/own  "
              "2nd/best      exc/eV (f)   E handed back/Eh  max force  inner conv events\n"
              "1     diabatic   1           -    1          -        -         -  5.0000 (0.200)    -75.8000000000*          -"
              "         met starts following state 1\n"
              "2     diabatic   1,3         1    3   0.770000    0.800     1.039  5.1000 (0.300)    -75.8200000000*          -"
              "    no table ROOT CHANGED 1 -> 3; gradient recomputed; DOUBT: ambiguous SNTO; near-degenerate: " + near + "\n"
              "3     diabatic   -           3    -          -        -         -               -                  -          -"
              "           - matching chose state 2 (followed 3); FAILED: " + failure + "\n"
              "4     hessian    3           3    3          -        -         -               -    -75.8300000000           -"
              "         n/a frequency job for root 3\n\n"
              "  from, to: the followed root before and after the step\n"
              "  best SNTO: overlap of the chosen state's NTOs with those of the state followed before;\n"
              "    best/own: that value as a share of the reference's own value (what a perfect match scores);\n"
              "    2nd/best: the runner-up's value as a share of the best\n"
              "  exc/eV (f): excitation energy and oscillator strength of the followed root\n"
              "  inner conv: quorin's convergence check of the inner job's log: met (all four criteria; the\n"
              "    checkpoint was copied next to the input), no, no table (none found), n/a (frequency step)\n"
              "  * energy from the inner job's echoed total energy (no \"Recovered energy=\" line after the call)\n\n"
              "Could not read:\n  nothing: every call had what a report needs\n\nSummary\n"
              "  steps:           4 quorin call(s) (3 diabatic, 1 hessian)\n"
              "  followed:        state 1 (step 1) -> state 3 (steps 2-4)\n"
              "  root changes:    step 2: 1 -> 3 (best SNTO 0.7700, 0.800 of its own value, runner-up at 1.039 of it), "
              "E(3) - E(1) = +0.2000 eV\n"
              "  near-degenerate: step 2: " + near + "\n"
              "  doubts:          2 warning(s) about the followed state\n"
              "    step 2: WARNING: Ambiguous SNTO: state 1 reaches 1.039 of the best value (0.800000 against state 3 with "
              "0.770000, sntoambig 0.800).\n"
              "    step 2: WARNING: Root change: the followed state moves from root 1 to root 3; E(3) - E(1) = 0.1000 eV "
              "at this geometry.\n"
              "  inner convergence met: step 1\n"
              "  end:             the run STOPPED at step 3: " + failure + "; the log goes on with 1 more call(s)\n");

    // A log cut before a call's start banner: its lines, with an excited-state
    // block between them, still make one call (a step line is "Step" and a number).
    std::string block;
    for (int k = 0; k < 30; ++k) block += k == 9 ? " Step 2 of a scan\n" : " Excited State   1:  Singlet-A  5.0 eV\n";
    const rep::Run cut = rep::parse_log_text("  [Diabatic] Previous diabatic state is            1\n" + block +
                                                 "  [Diabatic] Updated diabatic state index =            2\n" + kDone, "cut");
    ASSERT_EQ(cut.calls.size(), 1u);
    EXPECT_EQ(cut.calls[0].state_before * 10 + cut.calls[0].state_after, 12);

    // Damaged logs: step numbers at the ends of the integer range and an
    // energy beyond the resolution of its axis still give a bounded plot.
    const rep::Run odd = rep::parse_log_text(" Step -2147483647\n" + kExcerpt + " Step 2147483647\n" + kExcerpt +
                                                 " Recovered energy= 100000000000000016 dipole= 0 0 0\n", "damaged");
    EXPECT_LT(rep::render_svg(odd).size(), 200000u);
}

// Every way the program ends, and what it writes then.
TEST(ReportTool, EveryExitStatusAndOutput) {
    ScratchDir dir;
    write_file("run.log", kExcerpt);
    write_file("empty.log", " Step 1\n Normal termination of Gaussian\n");
    fs::create_directories("adir");
    const rep::Run run = rep::parse_log_text(kExcerpt, "run.log");
    struct Case {
        std::string args;
        int status;
        std::string err, out, made;  // a part of standard error, all of standard output (when given), a file made
    };
    const Case cases[] = {
        {"--help", 0, "", "", ""},
        {"run.log --svg p.svg --csv=p.csv --json p.json", 0, "", rep::format_report(run) +
             "\nSVG written: p.svg\nCSV written: p.csv\nJSON written: p.json\n", "p.json"},
        {"--csv - run.log", 0, "", rep::format_csv(run), ""},
        {"--json=- - < run.log", 0, "", rep::format_json(rep::parse_log_text(kExcerpt, "standard input")), ""},
        {"", 2, "usage:", "", ""},
        {"--bogus run.log", 2, "unexpected argument --bogus", "", ""},
        {"run.log --svg", 2, "usage:", "", ""},
        {"--csv= run.log", 2, "usage:", "", ""},
        {"--csv - --json - run.log", 2, "only one output", "", ""},
        {"- - < run.log", 2, "only once", "", ""},
        {"missing.log", 1, "cannot open missing.log", "", ""},
        {"run.log adir", 1, "cannot open adir", "", ""},
        {"empty.log", 4, "empty.log holds no quorin call", "", ""},
        {"run.log --json adir", 3, "cannot write adir", "", ""},
        {"run.log > /dev/full", 3, "cannot write standard output", "", ""},
        {"--csv - run.log > /dev/full", 3, "cannot write standard output", "", ""},
        {"run.log --svg nodir/p.svg --csv p.csv", 3, "cannot write nodir/p.svg", "", "p.csv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        for (const char* f : {"p.svg", "p.csv", "p.json"}) fs::remove(f);
        const ProcessResult r = run_process("(" + kTool + c.args + ")");
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(c.status == 2 || c.args == "--help", r.out.find("usage:") != std::string::npos || r.err.find("usage:") != std::string::npos);
        if (!c.out.empty()) EXPECT_EQ(r.out, c.out);
        if (!c.made.empty()) EXPECT_TRUE(fs::exists(c.made));
    }
    EXPECT_EQ(read_file("p.csv"), rep::format_csv(run));  // written despite the SVG that could not be
}

}  // namespace
