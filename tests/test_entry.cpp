// The program as a whole process: help options, banner and start-up errors,
// with exit status and standard error.  The start-up's own messages are
// tested with it; which workflow runs is shown by the end-to-end tests.
#include <regex>

#include "test_support.hpp"

namespace quorin {
namespace {

using namespace test;

ProcessResult quorin(const std::string& args) { return test::run_process(std::string(QUORIN_EXE) + " " + args); }

const std::string kBanner = " >>>>> TD-DFT External Interface Starting\n";
const std::string kGaussianArgs = " layer in.EIn out.EOu msg fchk matel";

// Only the first argument counts, and trailing blanks do not: every
// spelling prints the same help, 65 lines, and creates nothing.
TEST(Entry, HelpOptions) {
    std::string help;
    for (const char* args : {"-h", "--help", "-H", "'-help  ' x"}) {
        ScratchDir dir;
        const ProcessResult r = quorin(args);
        help = help.empty() ? r.out : help;
        EXPECT_EQ(std::to_string(r.status) + r.err + r.out, "0STOP 0\n" + help) << args;
        EXPECT_EQ(lines_of(r.out).size(), 65u) << args;
        EXPECT_FALSE(fs::exists("temp")) << args;
    }
}

// Each start-up failure: the banner, what start-up printed, status 1 with
// STOP 1 on standard error after it.  (The External input header's errors are shown
// in test_init.cpp.)
TEST(Entry, StartupErrors) {
    ScratchDir dir;
    const std::string io = " Input file: in.EIn\n Output file: out.EOu\n";
    struct Case { std::string ein, gjf, args, out; int status = 1; std::string err = "STOP 1\n"; } cases[] = {
        {"", "", "--HELP", " ERROR: Expected 6 or 7 arguments but got            1\n"},
        {"2 1 0 1", "", kGaussianArgs, "  Auto-detecting gjf file\n ERROR: No gjf file found in current directory\n"},
        {"2 1 0 1", "#p opt\n", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " ERROR: Unexpected end of gjf file before comment line\n"},
        // Values no inner job can use stop before any is run; 2147483648 does not read at all.
        {"2 1 0 1", "#p\n\nroot=0 nadd=-1\n\n", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " ERROR: root = 0 in a.gjf: states are numbered from 1.\n"
                                     " ERROR: nadd = -1 in a.gjf: must be 0 or more; the inner jobs ask for root + nadd"
                                     " states.\n"},
        {"2 1 0 1", "#p\n\nroot=2147483647 nadd=0 nadd=1\n\n", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " WARNING: nadd is given again in a.gjf: \"1\" replaces \"0\".\n"
                                     " ERROR: root + nadd = 2147483648 in a.gjf: the inner jobs cannot ask for more"
                                     " than 2147483647 states.\n"},
        {"2 x 0 1", "#p\n\nroot=1\n\n", "a.gjf" + kGaussianArgs, " GJF file: a.gjf\n" + io, 2,
         "quorin: I/O failure: cannot read an integer from \"x\" in the header of External input file in.EIn\n"},
        {"2 1 0 1", "#p\n\nsntorange=2147483648\n\n", "a.gjf" + kGaussianArgs,
         " GJF file: a.gjf\n" + io + " ERROR: sntorange = \"2147483648\" in a.gjf does not read as a whole number "
                                     "(-2147483648 to 2147483647).\n"},
    };
    for (const Case& c : cases) {
        if (!c.ein.empty()) write_file("in.EIn", c.ein + "\n8 0 0 0\n1 0 0 1.8\n");
        if (!c.gjf.empty()) write_file("a.gjf", c.gjf);
        const ProcessResult r = run_process("sh -c '" QUORIN_EXE " " + c.args + " 2>&1'");  // as in a log: reason, then STOP
        EXPECT_EQ(std::to_string(r.status) + r.out, std::to_string(c.status) + kBanner + c.out + c.err) << c.args;
        EXPECT_TRUE(fs::is_directory("temp")) << c.args;
    }
    // A failure no check foresaw (the folder removed under the job) ends with "quorin: " and its reason, status 2.
    write_file("job.gjf", "%chk=job\n# opt freq nosymm\n\n[quorin] method=b3lyp basis=x root=1\n\n0 1\nH 0 0 0\n\n");
    const ProcessResult gone = run_process("mkdir g && cd g && rmdir ../g && " QUORIN_EXE " --check " + fs::absolute("job.gjf").string());
    EXPECT_TRUE(gone.status == 2 && gone.err.starts_with("quorin: filesystem error: ")) << gone.status << gone.err;
    const ProcessResult two = run_process(QUORIN_EXE " --check a.gjf job.gjf");
    EXPECT_EQ(two.out.substr(two.out.find('\n')) + two.err, "\n ERROR: quorin --check takes one configuration file or none, got            2\nSTOP 1\n");
}

// An outer-job geometry of water (bohr), the molecule of the stand-ins' model.
const std::string kWater = "8 0.0 0.0 -0.124 0.0\n1 0.0 1.431 0.984 0.0\n1 0.0 -1.431 0.984 0.0\n";

// Every slip of the configuration or of the outer input is one WARNING line
// of quorin --check (a number that does not read, one ERROR line) and exit
// status 1; the clean files give none and 0.  --check creates nothing.
TEST(Entry, CheckNamesEachSlipOnce) {
    ScratchDir dir;
    use_stand_ins();  // g16 and formchk are on PATH
    const std::string w = " WARNING: ", range = " in c.toml is outside what quorin can use: ";
    const std::string logical = " is not a logical value (true: .T./T/true/.true., false: .F./F/false/.false.); read "
                                "as false.";
    struct Row { std::string toml, title, head, said; } rows[] = {
        {"", "", "", ""},
        {"[quorin] # again\ndebug = false  # quiet\n", "", "", ""},
        {"sdnto: true\n", "", "", w + "\"sdnto: true\" in c.toml has no \"=\" and is ignored; write sdnto = true."},
        {"just a note\n[qorn]\nroot = 2\n", "", "", w + "Section header \"[qorn]\" in c.toml is not [quorin]; the pairs "
                                                          "under it are ignored."},  // two letters off; a line of no key
        {"root = 2\nroot = 3\nroot = 4\n[Quorin old]\n", "", "", w + "root is given again in c.toml: \"3\" replaces \"2\".\n" +
                                                  w + "root is given again in c.toml: \"4\" replaces \"3\".\n" + w +
                                                  "Section header \"[Quorin old]\" in c.toml is not [quorin]; the pairs under "
                                                  "it are ignored."},
        {"mem = 32kW\nsntowarn = 1\nsntoambig = 0\nntothre = 0\n", "", "", ""},  // shares at both ends
        {"ntothre = 0,3\n", "", "", w + "ntothre = \"0,3\" in c.toml is read as 0: \",3\" after it is ignored."},
        {"ntothre = nan\n", "", "", w + "ntothre = \"nan\" in c.toml is not a finite number."},
        {"root = 2.5\n", "", "", " ERROR: root = \"2.5\" in c.toml does not read as a whole number (-2147483648 to "
                                 "2147483647)."},
        {"root = \"2 # 3\"\n", "", "", w + "root = \"2 # 3\" in c.toml is read as 2: \" # 3\" after it is ignored."},
        {"vosksnto = yes\n", "", "", w + "vosksnto = \"yes\" in c.toml" + logical},
        {"extra = \"scf=tight\" x # why\n", "", "", w + "\"x\" after the closing quote of extra in c.toml is ignored."},
        {"inttype = 3\n", "", "", w + "inttype = 3" + range + "1 or 2; a run uses 1 instead."},
        {"nproc = 0\n", "", "", w + "nproc = 0" + range + "a whole number of processors, 1 or more."},
        {"mem = 32\n", "", "", w + "mem = 32" + range + "a whole number with its unit, such as 32GB; Gaussian reads a "
                                                        "bare number as 8-byte words."},
        {"mem = 32xb\n", "", "", w + "mem = 32xb" + range + "a whole number with its unit, such as 32GB; Gaussian "
                                                            "reads a bare number as 8-byte words."},
        {"ntothre = -0.1\n", "", "", w + "ntothre = -0.1" + range + "0 or more and below 1 (NTO eigenvalues lie "
                                                                    "between 0 and 1)."},
        {"sntowarn = 1.5\n", "", "", w + "sntowarn = 1.5" + range + "0 to 1, a share of the reference's own SNTO value; 0 "
                                                                     "turns the warning off."},
        {"sntoref = last\n", "", "", " ERROR: sntoref = \"last\" in c.toml: must be previous (match against the state "
                                      "followed at the previous step) or first (against the first step's)."},
        {"method = \"\"  # none\n", "", "", w + "method is not set in c.toml: the inner route has no functional "
                                                "(\"/basis\"); g16 stops."},
        {"mem = ''\nnproc = ''\n", "", "", w + "mem is not set in c.toml: the inner jobs get %mem=96GB.\n" + w +
                                               "nproc is not set in c.toml: the inner jobs get %nproc=32."},
        {"debug = f\n", "", "#p external='quorin' opt nosymm\n",
         w + "The route of w.gjf runs quorin with the title of w.gjf, not with c.toml as checked here."},
        {"", "sdnto:true", "", w + "\"sdnto:true\" in w.gjf has no \"=\" and is ignored; write sdnto=true."},
        {"", "root = 2", "", w + "\"root = 2\" in w.gjf is not read as one pair: the title is split at blanks; write "
                                 "root=2."},
        {"", "root= 2 debug=f", "", w + "\"root= 2\" in w.gjf is not read as one pair: the title is split at blanks; "
                                        "write root=2.\n ERROR: root = \"\" in w.gjf does not read as a whole number "
                                        "(-2147483648 to 2147483647)."},
        {"", "debug=t\tnproc=4", "", w + "\"debug=t<tab>nproc=4\" in w.gjf holds a tab, which does not separate pairs "
                                         "in the title; write debug=t nproc=4.\n" + w + "debug = \"t<tab>nproc=4\" in "
                                         "w.gjf" + logical},
        {"", "", "! a comment line\n#pnosymm external='quorin' opt\n", ""},
        {"", "", "#p external='quorin' opt Symmetry=None\n", ""},
        {"", "", "#p opt nosymm\n", w + "The route of w.gjf has no external= that names quorin (external='quorin "
                                        "[config_file]'); Gaussian runs quorin only through it."},
        {"", "", "#p external=\"quorin\" opt\n", w + "The route of w.gjf has no nosymm: Gaussian may turn the molecule "
                                                     "to its standard orientation and read the forces in the wrong frame."},
        {"", "", "%chk=w\n#popt external='quorin' freq=raman nosymm\n",
         w + "%chk=w in w.gjf (opt freq) is the file quorin copies the converged inner checkpoint over (./w.chk), so "
             "the freq step reads the inner job's checkpoint instead of the outer job's; name it otherwise "
             "(%chk=w-outer.chk) to keep both."},
        {"", "", "%NProcShared=8\n#p external='quorin' nosymm\n",
         w + "%NProcShared=8 in w.gjf: the outer job only waits for quorin, and its processors compete with the inner "
             "jobs'; use %nproc=1 and give the inner jobs nproc."},
    };
    write_file("c.toml", "");
    write_file("w.gjf", "");
    const std::set<std::string> files_before = names_in(".");
    for (const Row& row : rows) {
        const bool toml = !row.toml.empty();
        // The clean settings, unless the row sets them itself.
        std::string config = "[quorin]\n";
        for (std::string line : {"method = b3lyp\n", "basis = sto-3g\n", "mem = 4GB\n", "nproc = 2\n"})
            if (row.toml.find(line.substr(0, line.find(' ') + 1)) == std::string::npos) config += line;
        write_file("c.toml", config + row.toml);
        const std::string head = "%chk=w-outer.chk\n%nproc=1\n#p external='quorin" + std::string(toml ? " c.toml" : "") +
                                 "' opt freq nosymm\n";
        write_file("w.gjf", (row.head.empty() ? head : row.head) + "\nmethod=b3lyp basis=sto-3g mem=4GB nproc=2 " +
                                row.title + "\n\n0 1\n");
        const ProcessResult r = quorin(toml ? "--check c.toml" : "--check");
        std::string said;
        for (const std::string& line : lines_of(r.out))
            if (line.starts_with(" WARNING:") || line.starts_with(" ERROR:")) said += line + "\n";
        EXPECT_EQ(std::to_string(r.status) + said, row.said.empty() ? "0" : "1" + row.said + "\n")
            << row.toml << row.title << row.head;
    }
    EXPECT_EQ(names_in("."), files_before);
}

// Both programs print the project version and, in a git checkout, a commit
// of the repository (the one built; a later commit does not fail the test).
TEST(Entry, VersionOfBothPrograms) {
    std::smatch project, printed;
    const std::string cmake = read_file(fs::path(SOURCE_DIR) / "CMakeLists.txt");
    ASSERT_TRUE(std::regex_search(cmake, project, std::regex(R"(project\(quorin VERSION ([0-9.]+))")));
    const std::string version = std::regex_replace(project[1].str(), std::regex("\\."), "\\.");
    const ProcessResult q = quorin("--version"), report = run_process(BINARY_DIR "/quorin-report --version");
    ASSERT_TRUE(std::regex_match(q.out, printed, std::regex("quorin " + version + "( \\(git ([0-9a-f]{7})\\))?\n")))
        << q.out;
    const std::string git = "git -C '" SOURCE_DIR "' ";
    EXPECT_EQ(printed[1].matched, run_process(git + "rev-parse HEAD").status == 0);
    if (printed[1].matched) EXPECT_EQ(run_process(git + "cat-file -e " + printed[2].str() + "^{commit}").status, 0);
    EXPECT_EQ(report.out, "quorin-report" + q.out.substr(6));
    EXPECT_EQ(q.err + report.err, "");
    EXPECT_EQ(q.status + report.status, 0);
}

// quorin --check prints the version, the settings as read (TOML comments
// gone), the inner job's Link 0 lines and route exactly as a run writes them,
// and which outside programs are on PATH.
TEST(Entry, CheckShowsTheInnerJobAndTheOutsidePrograms) {
    ScratchDir dir;
    write_script("bin/g16", "#!/bin/sh\n");
    write_file("c.toml", "[quorin]  # settings\nmethod = \"b3lyp\"   # functional\nbasis = '6-31+g(d)'\nroot = 2 # S2\n"
                         "extra = \"scrf=(smd,solvent=water)\" # solvent\nnadd=3\nmem = 16GB\nnproc = 8\nsdnto = true #\n"
                         "triplet = t\nminsnto = 0.25\nsntoref = First\nsntorange = 0\n");
    const std::string head = "%mem=16GB\n%nproc=8\n%chk=tddft_pelun.chk\n#p nosymm Iop(9/40=3) b3lyp/6-31+g(d) "
                             "td(triplet,root=2,nstate=5)" + std::string(4, ' ') + " force scrf=(smd,solvent=water)\n";
    const ProcessResult r = run_process("PATH=bin " QUORIN_EXE " --check c.toml");
    EXPECT_EQ(r.out, quorin("--version").out + "  Warning: No gjf file found, using default chk name\n"
                     " Config file (TOML): c.toml\n Number of atoms, charge, spin multiplicity: from Gaussian at every "
                     "step\n  Parameters:\n  Method: b3lyp\n  Basis: 6-31+g(d)\n  Root: 2\n  Nstate offset: 3\n  SNTO "
                     "range: 0\n  Inttype keyword: 1\n  NTO threshold:  0.300\n  Triplet "
                     "calculation is enabled.\n  Extra keywords: scrf=(smd,solvent=water)\n  Memory: 16GB\n  Processors: "
                     "8\n  SDNTO diabatic following is ENABLED.\n  voskSNTO engine for SNTO matching is disabled "
                     "(default).\n  sntofirst: force-first SNTO workflow.\n  Time limit of NTO tools and formchk (s, 0 off): 3600\n"
                     "  Low-SNTO warning below this share of the reference's own value: 0.5\n  Ambiguous-SNTO warning "
                     "from this share of the best value: 0.8\n  Stop below this share of the reference's own value (0 "
                     "off): 0.25\n  SNTO reference (previous or first step): First\n"
                     "  Debug mode is disabled (default).\n"
                     " Inner gradient job of the first step (temp/tddft_pelun.gjf):\n" + head +
                     " Outside programs of the gradient steps:\n  g16: on PATH\n  formchk: not found on PATH\n  voskwfn: "
                     "not found on PATH\n WARNING: sntorange = 0 in c.toml is outside what quorin can use: -1 (use "
                     "nadd) or 1 and more; 0 compares the followed state with itself only.\n WARNING: formchk is not on "
                     "PATH; quorin runs it after every inner job.\n"
                     " WARNING: voskwfn is not on PATH; quorin runs it with Multiwfn to compare the states (vosksnto "
                     "off).\n Configuration check: 4 warning(s), nothing was run.\n");
    EXPECT_EQ(r.status, 1);
    // A run's first step writes the same lines.
    ASSERT_EQ(call_at(0.0, "c.toml").status, 0);
    EXPECT_EQ(read_file("temp/tddft_pelun.gjf").substr(0, head.size()), head);
}

// A lone .com input serves where no .gjf is; the outer input is looked at by
// the first call of a run only (no inner log in temp/ yet).
TEST(Entry, ComInputAndOuterInputWarnedAtTheFirstCall) {
    ScratchDir dir;
    write_file("w.com", "%nproc=4\n#p external='quorin' opt\n\nmethod=b3lyp basis=sto-3g mem=1GB nproc=1\n\n0 1\n");
    const std::string start = kBanner + "  Auto-detecting gjf file\n Found unique com file: w.com\n Input file: in.EIn\n"
                                        " Output file: out.EOu\n";
    const std::string rest = " Debug mode is disabled (default).\n";
    const std::string warnings =
        " WARNING: The route of w.com has no nosymm: Gaussian may turn the molecule to its standard orientation and "
        "read the forces in the wrong frame.\n WARNING: %nproc=4 in w.com: the outer job only waits for quorin, and "
        "its processors compete with the inner jobs'; use %nproc=1 and give the inner jobs nproc.\n";
    for (const std::string& said : {start + warnings + rest, start + rest}) {
        const ProcessResult r = call_at(0.0, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.substr(0, said.size()), said);
    }
}

// Before the first inner job every program the workflow runs must be on
// PATH as an executable file; each missing one is named.
TEST(Entry, MissingOutsideProgramsStopBeforeAnyInnerJob) {
    ScratchDir dir;
    const fs::path bin = dir.path() / "bin";
    write_file(bin / "formchk", "#!/bin/sh\n");  // not executable
    fs::create_directories(bin / "voskSNTO");    // a directory of that name
    write_file("in.EIn", "3 1 0 1\n" + kWater);
    const std::string path = "PATH='" + bin.string() + "' ";
    const std::string start = kBanner + " GJF file: w.gjf\n Input file: in.EIn\n Output file: out.EOu\n"
                                        " Debug mode is disabled (default).\n";
    auto run_with = [&](const std::string& title) {
        write_file("w.gjf", "#p external='quorin w.gjf' nosymm\n\nmethod=b3lyp " + title + "\n\n");
        return run_process(path + QUORIN_EXE + " w.gjf" + kGaussianArgs);
    };
    ProcessResult r = run_with("");
    EXPECT_EQ(std::to_string(r.status) + r.out, "1" + start + " ERROR: g16 not found on PATH; quorin runs it for every "
                                                "inner job.\n ERROR: formchk not found on PATH; quorin runs it after "
                                                "every inner job.\n");

    for (const char* name : {"g16", "formchk"}) {
        fs::remove(bin / name);
        fs::create_symlink(fs::path(STAND_IN_DIR) / name, bin / name);
    }
    r = run_with("sdnto=t");
    EXPECT_EQ(std::to_string(r.status) + r.out,
              "1" + start + " ERROR: voskSNTO not found on PATH; quorin runs it to compare the states (vosksnto on).\n");
    r = run_with("sdnto=t vosksnto=f");
    EXPECT_EQ(std::to_string(r.status) + r.out, "1" + start + " ERROR: voskwfn not found on PATH; quorin runs it with "
                                                "Multiwfn to compare the states (vosksnto off).\n");
    EXPECT_FALSE(fs::exists("temp/tddft_pelun.gjf"));

    // A frequency step runs no NTO tool, whatever sdnto says.
    write_file("in.EIn", "3 2 0 1\n" + kWater);
    r = run_with("sdnto=t vosksnto=f");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fs::exists("out.EOu"));
}

}  // namespace
}  // namespace quorin
