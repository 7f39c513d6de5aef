// Natural transition orbitals: engine settings, orbital data of formatted
// checkpoints, NTO generation through voskSNTO or voskwfn, SNTO overlaps, the
// choice of the state that continues the followed one, the SNTO summary files
// of voskSNTO and their numbered debug copies.
//
// The outside tools run through run_shell with fixed command texts; the file
// work of this module (directories, copies, removals) goes through the file
// operations of outside_programs, never through a shell.  Command and list
// texts are never cut: a batch of any size reaches the tool whole.

#include "module_nto.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>

#include "messages.hpp"
#include "module_gaussian_utils.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"

namespace quorin {

namespace {

// Fixed names shared by the generation, overlap and matching steps.
constexpr const char* kInnerLog = "temp/tddft_pelun.log";
constexpr const char* kNtoTemplate = "temp/NTO.bw";
constexpr const char* kIntegralTemplate = "temp/integral.bw";
constexpr const char* kCandidatePrefix = "temp/new_state";
constexpr const char* kCandidateSuffix = ".fch";
constexpr const char* kSummaryOld = "temp/snto.snto";
constexpr const char* kSummaryNminus = "temp/snto_nminus.snto";
constexpr const char* kSnapshotDir = "temp/debug_snapshots";
constexpr const char* kSnapshotCounter = "temp/debug_snapshots/.snto_counter";

// Near-degeneracy: relative tolerance, and the best-value magnitude at or
// below which the difference is taken as absolute.
constexpr double kNearDegenerate = 0.05;
constexpr double kTinyBest = 1.0e-8;
// How many candidate numbers the "Checking" line lists.
constexpr std::size_t kListedCandidates = 10;
// A basis-function count beyond this is a damaged file, not a molecule; the
// bound keeps a bad file from asking for gigabytes.
constexpr long long kMaxBasisFunctions = 10000000;

std::string candidate_nto_name(int state) {
    return std::string(kCandidatePrefix) + fmt_I0(state) + kCandidateSuffix;
}

std::string overlap_name_of(const std::string& nto_file) { return rtrim(nto_file) + ".txt"; }

// Ends the run when a count handed to a reader cannot be the size of an
// orbital set of `file`.
void check_count(long long n, const char* what, const std::string& file) {
    if (n < 0 || n > kMaxBasisFunctions) {
        say({"ERROR: Invalid " + std::string(what) + " (" + fmt_I0(n) + ") for ", rtrim(file)});
        stop(1);
    }
}

// The first free-form token of a record, for messages about a value that did
// not read as an integer.
std::string first_token(std::string_view record) {
    std::size_t i = record.find_first_not_of(" \t,");
    if (i == std::string_view::npos) return std::string();
    std::size_t j = record.find_first_of(" \t,/", i);
    return std::string(record.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i));
}

bool looks_like_integer(std::string_view tok) {
    std::size_t i = (!tok.empty() && (tok[0] == '+' || tok[0] == '-')) ? 1 : 0;
    if (i == tok.size()) return false;
    for (; i < tok.size(); ++i)
        if (tok[i] < '0' || tok[i] > '9') return false;
    return true;
}

// Reads the values of a real array section whose header line is `header`:
// as many as the header's own N= says (basis sets with linear dependencies
// have fewer orbitals than basis functions), or `fallback` values when the
// header gives no count.  The (5(1X,ES15.8)) layout.
bool read_section_values(std::istream& in, const std::string& header, int fallback, std::vector<double>& out,
                         std::string& err, const FiniteValues& finite) {
    const std::optional<long long> n = fchk_count(header);
    const long long count = n ? *n : fallback;
    if (count < 0 || count > kMaxBasisFunctions) {
        err = "an array of " + fmt_I0(count) + " values";
        return false;
    }
    return read_real_fields(in, static_cast<int>(count), kFchkReals, out, &err, &finite);
}

// Finds a section whose header starts with `name` and reads its values.
// Returns false with the reason when the section is missing or unreadable.
// NaN or an infinity among the values stops the call (`what`, `file`).
bool read_orbital_section(std::istream& in, std::string_view name, int fallback, std::vector<double>& out,
                          std::string& err, bool& section_found, const FiniteValues& finite) {
    std::string header;
    section_found = find_line(in, header, [name](const std::string& l) { return starts_with(l, name); });
    if (!section_found) return false;
    return read_section_values(in, header, fallback, out, err, finite);
}

// "(a b c)": the entries separated by single blanks in parentheses.
std::string paren_list(const std::vector<std::string>& entries) {
    std::string s = "(";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) s += ' ';
        s += entries[i];
    }
    return s + ")";
}

std::string threshold_text(double threshold) { return ltrim(rtrim(fmt_F(threshold, 12, 6))); }

void write_template(const char* path, const std::string& text) {
    try {
        replace_file_atomically(path, text);
    } catch (const IoFailure&) {
        say({std::string("ERROR: Cannot create ") + path});
        stop(1);
    }
}

}  // namespace

// ------------------------------------------------------------------ engine

NtoEngine::NtoEngine(NtoSettings settings) : settings_(settings) {
    if (settings_.overlap_inttype != 1 && settings_.overlap_inttype != 2) {
        say({"WARNING: Unsupported inttype=", settings_.overlap_inttype, ", defaulting to 1"});
        settings_.overlap_inttype = 1;
    }
}

// One run of the engine's tool, ended when it outlives the run's limit.
void NtoEngine::run_tool(const std::string& command) const {
    run_shell(command, ShellOptions{settings_.use_vosksnto ? "voskSNTO" : "voskwfn", settings_.tool_timeout});
}

// The voskSNTO matching command against `reference`, writing `summary`.
std::string NtoEngine::vosksnto_match_command(const std::string& new_fchk, const std::string& reference,
                                              const std::string& summary, const std::vector<int>& states) const {
    std::string cmd = "voskSNTO --newnto '" + rtrim(new_fchk) + "' " + kInnerLog + " --oldfch '" + rtrim(reference) +
                      "' --autorange " + threshold_text(settings_.nto_threshold) + " --otype " +
                      (settings_.overlap_inttype == 2 ? "2" : "1") + " --sntofile '" + summary + "'";
    if (settings_.snto_debug_flag) cmd += " --sntodebug";
    for (int s : states) cmd += " --state " + fmt_I0(s) + " --outfch '" + candidate_nto_name(s) + "'";
    return cmd;
}

// ------------------------------------------------------------------- readers

int read_nif_from_fch(const std::string& file) {
    const std::string name = rtrim(file);
    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open fch file: ") + name);
    std::string line;
    if (!find_line(in, line, [](const std::string& l) { return starts_with(l, "Number of basis fun"); })) {
        say({"ERROR: Could not find number of basis functions in ", name});
        stop(1);
    }
    // The value stands from column 50 on.
    std::string_view rest = line.size() > 49 ? std::string_view(line).substr(49) : std::string_view();
    FreeRead r(rest, name);
    std::int32_t nif = 0;
    if (!r.get(nif)) {
        // A number too large for 32 bits is a damaged count, anything else
        // that is not an integer an I/O failure.
        std::string tok = first_token(rest);
        if (looks_like_integer(tok)) {
            say({"ERROR: Invalid number of basis functions (" + tok + ") in ", name});
            stop(1);
        }
        io_failure(r.error());
    }
    if (nif < 0 || nif > kMaxBasisFunctions) {
        say({"ERROR: Invalid number of basis functions (" + fmt_I0(nif) + ") in ", name});
        stop(1);
    }
    return nif;
}

OrbitalEnergies read_orbital_energies_from_fch(const std::string& file, int nif, bool with_beta) {
    const std::string name = rtrim(file);
    check_count(nif, "number of orbital energies", name);
    OrbitalEnergies energies;

    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open fch file: ") + name);
    std::string err;
    bool found = false;
    if (!read_orbital_section(in, "Alpha Orbital Energ", nif, energies.alpha, err, found, {"NTO eigenvalue", name})) {
        if (!found) {
            say({"ERROR: Alpha orbital energies not found in ", name});
            stop(1);
        }
        io_failure(err + " in the alpha orbital energy section of " + name);
    }
    if (!with_beta) return energies;
    in.clear();
    in.seekg(0);
    std::vector<double> beta;
    if (read_orbital_section(in, "Beta Orbital Energ", nif, beta, err, found, {"beta orbital energy", name}))
        energies.beta = std::move(beta);
    else if (found)
        io_failure(err + " in the beta orbital energy section of " + name);
    return energies;
}

std::optional<std::string> nto_file_problem(const std::string& file) {
    const std::string name = rtrim(file);
    std::ifstream in;
    if (!open_for_reading(name, in)) return "it cannot be opened";
    std::string line;
    if (!find_line(in, line, [](const std::string& l) { return starts_with(l, "Number of basis fun"); }))
        return "it holds no number of basis functions";
    std::int32_t nif = 0;
    if (!try_read_free(line.size() > 49 ? std::string_view(line).substr(49) : std::string_view(), nif) || nif <= 0 ||
        nif > kMaxBasisFunctions)
        return "its number of basis functions is unreadable";
    std::vector<double> eig;
    std::string err;
    bool found = false;
    if (!read_orbital_section(in, "Alpha Orbital Energ", nif, eig, err, found, {"NTO eigenvalue", name}))
        return found ? "its NTO eigenvalues cannot be read (" + err + ")" : std::string("it holds no NTO eigenvalues");
    if (eig.empty()) return "it holds no NTO eigenvalues";
    return std::nullopt;
}

namespace {

// The NTO eigenvalues of a file that belong to orbitals: orbitals beyond the
// file's eigenvalues (fewer orbitals than basis functions) are not part of
// any range, nor eigenvalues beyond the basis size.
std::vector<double> nto_eigenvalues(const std::string& nto_file) {
    const int nif = read_nif_from_fch(nto_file);
    std::vector<double> eig = read_orbital_energies_from_fch(nto_file, nif).alpha;
    eig.resize(std::min<std::size_t>(eig.size(), static_cast<std::size_t>(nif)));
    return eig;
}

// Orbitals from the first to the last eigenvalue above the threshold in
// magnitude, and how many lie above it; all zero when none does.
struct Bounds {
    int first = 0, last = 0, count = 0;
};
Bounds bounds_above(const std::vector<double>& eig, double threshold) {
    Bounds b;
    for (int i = 1; i <= static_cast<int>(eig.size()); ++i) {
        if (std::fabs(eig[static_cast<std::size_t>(i - 1)]) > threshold) {
            if (b.first == 0) b.first = i;
            ++b.count;
            b.last = i;
        }
    }
    return b;
}

// The two orbital indices of a range text "a,b".
std::pair<std::int32_t, std::int32_t> range_bounds(const std::string& range_str) {
    const std::string range = rtrim(range_str);
    const std::size_t comma = range.find(',');
    if (comma == std::string::npos) {
        say({"ERROR: Invalid range format: ", range});
        stop(1);
    }
    const std::string source = "the range text \"" + range + "\"";
    std::int32_t a = 0, b = 0;
    read_free(std::string_view(range).substr(0, comma), source, a);
    read_free(std::string_view(range).substr(comma + 1), source, b);
    return {a, b};
}

}  // namespace

NtoRange find_nto_range(const std::string& nto_file, double threshold) {
    const std::vector<double> eig = nto_eigenvalues(nto_file);
    Bounds b = bounds_above(eig, threshold);
    if (b.first == 0) {
        say({"WARNING: No orbitals found with eigenvalue > ", threshold});
        say({"         Using all orbitals as fallback"});
        const int norb = static_cast<int>(eig.size());
        b = Bounds{1, norb, norb};
    }
    return NtoRange{fmt_I0(b.first) + "," + fmt_I0(b.last), b.count};
}

double eigenvalue_weight(const std::vector<double>& eig, long long first, long long last) {
    double sum = 0.0;
    for (long long k = std::max(first, 1LL); k <= std::min(last, static_cast<long long>(eig.size())); ++k)
        sum += std::fabs(eig[static_cast<std::size_t>(k - 1)]);
    return sum;
}

double NtoEngine::reference_own_value(const std::string& ref_nto, const std::string& range_str) const {
    const std::vector<double> eig = nto_eigenvalues(ref_nto);
    if (!settings_.use_vosksnto) {
        const auto [a, b] = range_bounds(range_str);
        return eigenvalue_weight(eig, a, b);
    }
    // voskSNTO is given the threshold, not the range: it weighs no orbital
    // outside the reference's own range above the threshold.
    const Bounds b = bounds_above(eig, settings_.nto_threshold);
    return b.first == 0 ? eigenvalue_weight(eig, 1, static_cast<long long>(eig.size()))
                        : eigenvalue_weight(eig, b.first, b.last);
}

// ---------------------------------------------------------------- generation

void NtoEngine::ensure_nto_templates() {
    if (templates_ready_) return;
    make_dirs("temp");

    write_template(kNtoTemplate,
                   "[excit]\n"
                   "%process\n"
                   "    nto state ${state}\n"
                   "%command\n"
                   "    mv ex_${state}.fchk temp/new_state${state}.fch\n"
                   "    rm excit_${input}.out\n"
                   "end\n"
                   "\n");

    const bool norm = settings_.overlap_inttype == 2;
    std::string integral = "[of2]\n%process\n";
    integral += norm ? "    orb_integral inttype -2 range ${range} fch2 ${fch2}\n"
                     : "    orb_integral inttype -1 range ${range} fch2 ${fch2}\n";
    integral += "%command\n";
    integral += norm ? "    mv Snormmat.txt ${fch2}.txt\n" : "    mv convmat.txt ${fch2}.txt\n";
    integral += "    rm of2_${input}.out\nend\n\n";
    write_template(kIntegralTemplate, integral);

    templates_ready_ = true;
}

void NtoEngine::calculate_nto_for_state(const std::string& fchk, int state, const std::string& nto_file) {
    const std::string target = rtrim(nto_file);
    if (settings_.use_vosksnto) {
        say({" Calculating NTO for state ", state, " using voskSNTO"});
        const std::string cmd = "voskSNTO --newnto '" + rtrim(fchk) + "' " + kInnerLog + " --state " +
                                fmt_I0(state) + " --outfch '" + target + "'";
        say({" Command: ", cmd});
        run_tool(cmd);
        if (file_exists(target)) return;
        say({"ERROR: Expected output file not found: ", target});
        say({"       voskSNTO may have failed"});
        stop(1);
    }

    ensure_nto_templates();
    const std::string cmd =
        std::string("voskwfn ") + kNtoTemplate + " '" + rtrim(fchk) + "' -v state=" + fmt_I0(state);
    const std::string expected = candidate_nto_name(state);
    say({" Calculating NTO for state ", state});
    say({" Command: ", cmd});
    run_tool(cmd);
    if (!file_exists(expected)) {
        say({"ERROR: Expected template output file not found: ", expected});
        say({"       voskwfn may have failed"});
        stop(1);
    }
    // The template fixes the output name; other names get a copy, and the
    // template output stays in place.
    if (target != expected) copy_file_over(expected, target);
    if (file_exists(target)) return;
    say({"ERROR: Expected output file not found: ", target});
    say({"       voskwfn may have failed"});
    stop(1);
}

void NtoEngine::calculate_nto_for_states_batch(const std::string& fchk, const std::vector<int>& states,
                                               const std::string& prefix, const std::string& suffix) {
    const std::string head = rtrim(prefix);
    auto expected_name = [&](int s) { return rtrim(head + fmt_I0(s) + suffix); };

    std::string cmd;
    const char* tool = settings_.use_vosksnto ? "voskSNTO" : "voskwfn";
    if (settings_.use_vosksnto) {
        cmd = "voskSNTO --newnto '" + rtrim(fchk) + "' " + kInnerLog;
        for (int s : states) cmd += " --state " + fmt_I0(s) + " --outfch '" + head + fmt_I0(s) + suffix + "'";
        say({" Calculating NTO for states in batch using voskSNTO"});
    } else {
        ensure_nto_templates();
        std::vector<std::string> numbers;
        numbers.reserve(states.size());
        for (int s : states) numbers.push_back(fmt_I0(s));
        const std::string list = paren_list(numbers);
        cmd = std::string("voskwfn ") + kNtoTemplate + " '" + rtrim(fchk) + "' -v 'state=" + list + "'";
        say({" Calculating NTO for states in batch: ", list});
    }
    say({" Command: ", cmd});
    run_tool(cmd);
    for (int s : states) {
        const std::string name = expected_name(s);
        if (file_exists(name)) continue;
        say({"WARNING: Expected output file not found: ", name});
        say({"         " + std::string(tool) + " may have failed for state ", s});
    }
}

// ------------------------------------------------------------------ overlaps

void NtoEngine::calculate_nto_overlap_batch(const std::string& ref_nto, const std::vector<std::string>& nto_files,
                                            const std::string& range_str,
                                            const std::vector<std::string>& overlap_files) {
    ensure_nto_templates();
    std::vector<std::string> names;
    names.reserve(nto_files.size());
    for (const auto& f : nto_files) names.push_back(rtrim(f));
    const std::string list = paren_list(names);
    const std::string cmd = std::string("voskwfn ") + kIntegralTemplate + " " + rtrim(ref_nto) +
                            " -v range=" + rtrim(range_str) + " -v 'fch2=" + list + "'";
    say({" Calculating NTO overlap for states in batch: ", list});
    say({" Command: ", cmd});
    run_tool(cmd);
    for (std::size_t i = 0; i < overlap_files.size(); ++i) {
        const std::string expected = rtrim(overlap_files[i]);
        if (file_exists(expected)) continue;
        say({"WARNING: Expected overlap file not found: ", expected});
        say({"         voskwfn may have failed for file ", i < names.size() ? names[i] : std::string()});
    }
}

void NtoEngine::calculate_nto_overlap(const std::string& ref_nto, const std::string& nto_file,
                                      const std::string& range_str, const std::string& overlap_file) {
    ensure_nto_templates();
    const std::string cmd = std::string("voskwfn ") + kIntegralTemplate + " " + rtrim(ref_nto) +
                            " -v range=" + rtrim(range_str) + " -v fch2=" + rtrim(nto_file);
    say({" Calculating NTO overlap"});
    say({" Command: ", cmd});
    run_tool(cmd);
    const std::string expected = rtrim(overlap_file);
    if (file_exists(expected)) return;
    say({"ERROR: Expected overlap file not found: ", expected});
    say({"       voskwfn may have failed"});
    stop(1);
}

namespace {

// The diagonal entries of an overlap file, 1 ... n: each with the text it
// was read from, or none when the file holds no entry for it.
struct OverlapEntry {
    double value = 0.0;
    std::string text;
};
std::vector<std::optional<OverlapEntry>> overlap_diagonal(const std::string& name, int n) {
    check_count(n, "number of overlap entries", name);
    std::vector<std::optional<OverlapEntry>> s(static_cast<std::size_t>(n));
    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open overlap file: ") + name);
    std::string line;
    while (read_line(in, line)) {
        if (is_blank(line)) continue;
        // A line counts with its three items; a slash or a null value ends
        // the read early and leaves the value out.
        FreeRead r(line, std::string());
        std::int32_t i = 0, j = 0;
        std::string_view tok;
        double v = 0.0;
        if (!r.all(i, j) || !r.get_text(tok) || tok.empty() || !parse_real_token(tok, v)) continue;
        if (i != j || i < 1 || i > n) continue;
        s[static_cast<std::size_t>(i - 1)] = OverlapEntry{v, std::string(tok)};
    }
    return s;
}

}  // namespace

std::vector<double> read_overlap_integral_file(const std::string& file, int n) {
    std::vector<double> s;
    for (const auto& entry : overlap_diagonal(rtrim(file), n)) s.push_back(entry ? entry->value : 0.0);
    return s;
}

double calculate_snto(const std::string& ref_nto, const std::string& overlap_file, const std::string& range_str,
                      int state) {
    const std::string range = rtrim(range_str);
    const auto [a, b] = range_bounds(range);

    const int nif = read_nif_from_fch(ref_nto);
    const std::vector<double> eig = read_orbital_energies_from_fch(ref_nto, nif).alpha;
    const std::string name = rtrim(overlap_file);
    const auto s = overlap_diagonal(name, nif);

    // Indices outside the reference's orbitals contribute nothing; a > b is
    // an empty sum.  Every orbital of the range needs its overlap: the tool
    // is asked for the whole range, so a gap is a run that failed.
    const long long lo = std::max<long long>(a, 1);
    const long long hi = std::min<long long>({static_cast<long long>(b), static_cast<long long>(nif),
                                              static_cast<long long>(eig.size())});
    double sum = 0.0;
    for (long long k = lo; k <= hi; ++k) {
        const auto& entry = s[static_cast<std::size_t>(k - 1)];
        if (!entry) {
            say({"ERROR: Overlap file " + name + " holds no diagonal entry for orbital " + fmt_I0(k) + " of the range " +
                 range});
            say({"       voskwfn may have failed"});
            stop(1);
        }
        if (!std::isfinite(entry->value)) {
            say({"WARNING: " + name + " holds \"" + entry->text + "\" as the overlap of orbital " + fmt_I0(k) +
                 ", not a number; state " + fmt_I0(state) + " gets no SNTO value."});
            return kNoSnto;
        }
        sum += std::fabs(eig[static_cast<std::size_t>(k - 1)]) * std::fabs(entry->value);
    }
    return std::fabs(sum);
}

// ------------------------------------------------------------- matching rule

std::optional<std::size_t> first_choice(const std::vector<double>& snto) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < snto.size(); ++i)
        if (snto[i] > kNoSnto && (!best || snto[i] > snto[*best])) best = i;
    return best;
}

std::vector<NearRival> near_degenerate_rivals(const std::vector<double>& snto, std::size_t best) {
    const double b = snto[best];
    const double mag = std::fabs(b);
    std::vector<NearRival> rivals;
    for (std::size_t i = 0; i < snto.size(); ++i) {
        if (i == best) continue;
        const double delta = std::fabs(snto[i] - b);
        const double d = mag > kTinyBest ? delta / mag : delta;
        if (d <= kNearDegenerate) rivals.push_back({i, d});
    }
    return rivals;
}

std::size_t resolve_near_tie(std::size_t best, const std::vector<NearRival>& rivals,
                             const std::vector<double>& tie_break) {
    const std::size_t e = first_choice(tie_break).value_or(0);
    return e == 0 || e > rivals.size() ? best : rivals[e - 1].pos;
}

Doubts doubts_about(const std::vector<double>& snto, std::size_t chosen, const std::vector<std::size_t>& compared,
                    double own, const DoubtShares& shares) {
    Doubts d;
    const double b = snto[chosen];
    d.low = b < shares.warn * own;
    d.lost = b < shares.lost * own;
    std::vector<double> others = snto;
    others[chosen] = kNoSnto;
    for (std::size_t p : compared)
        if (p < others.size()) others[p] = kNoSnto;
    if (const auto r = first_choice(others); r && b > 0.0 && others[*r] >= shares.ambig * b) d.rival = r;
    return d;
}

// ------------------------------------------------------------------ matching

namespace {

void final_report(const MatchResult& r) {
    say({""});
    say({msg::kFinalState, r.best_state});
    say({msg::kBestSnto, r.best_snto});
    if (r.own_snto != kNoSnto) say({msg::kOwnSnto, r.own_snto});
}

// How the lines of the second comparison name its reference ("n-1.fch").
std::string base_name(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

bool NtoEngine::read_whole_summary(const std::string& file, const std::vector<int>& states,
                                   std::vector<double>& values, MatchResult& result) {
    const SntoSummary summary = read_snto_summary(file, states);
    values = summary.values;
    for (std::size_t k = 0; k < states.size(); ++k)
        if (!summary.answered[k]) result.missing_rows.push_back(states[k]);
    if (result.missing_rows.empty()) return true;
    result.incomplete_summary = file;
    return false;
}

// The second comparison, against the tie-break reference, for the best
// candidate and the ones within 5 % of it.  Changes the best state only when
// a rival is strictly better against that reference; the best value stays
// the first-pass value of the chosen state.
void NtoEngine::resolve_near_degeneracy(const std::string& tie_break, const std::string& new_fchk,
                                        const std::string& range_str, const std::vector<int>& states,
                                        MatchResult& result, int& snapshot_id) {
    const std::vector<NearRival> rivals = near_degenerate_rivals(result.snto, result.best_pos);
    for (const NearRival& r : rivals) say({msg::kNearDegenerate, " state ", states[r.pos], " delta = ", r.delta});
    if (rivals.empty()) return;

    result.compared = {result.best_pos};
    for (const NearRival& r : rivals) result.compared.push_back(r.pos);
    std::vector<int> second_states;
    for (std::size_t p : result.compared) second_states.push_back(states[p]);
    std::vector<double> second(second_states.size(), kNoSnto);
    const std::string label = ": " + base_name(tie_break) + " SNTO = ";

    if (settings_.use_vosksnto) {
        const std::string cmd = vosksnto_match_command(new_fchk, tie_break, kSummaryNminus, second_states);
        say({""});
        say({" Preparing near-degenerate check with " + base_name(tie_break) + " using voskSNTO"});
        say({" Command: ", cmd});
        run_tool(cmd);
        if (settings_.snto_debug_flag) {
            if (snapshot_id == -1) snapshot_id = next_snto_snapshot_id();
            backup_snto_snapshot(kSummaryNminus, "nminus", snapshot_id);
        }
        if (!read_whole_summary(kSummaryNminus, second_states, second, result)) return;
        for (std::size_t e = 0; e < second.size(); ++e) say({"  State ", second_states[e], label, second[e]});
    } else {
        std::vector<std::string> ntos, overlaps;
        for (int s : second_states) {
            ntos.push_back(candidate_nto_name(s));
            overlaps.push_back(overlap_name_of(ntos.back()));
        }
        say({""});
        say({" Preparing near-degenerate check..."});
        calculate_nto_overlap_batch(tie_break, ntos, range_str, overlaps);
        for (std::size_t e = 0; e < second.size(); ++e) {
            second[e] = calculate_snto(tie_break, overlaps[e], range_str, second_states[e]);
            say({"  State ", second_states[e], label, second[e]});
        }
    }

    result.best_pos = resolve_near_tie(result.best_pos, rivals, second);
    result.best_state = states[result.best_pos];
    result.best_snto = result.snto[result.best_pos];

    if (!settings_.use_vosksnto) {
        for (int s : second_states) remove_file(overlap_name_of(candidate_nto_name(s)));
        say({""});
        say({msg::kResolvedState, result.best_state});
    }
}

MatchResult NtoEngine::match_nto_states(const MatchReferences& refs, const std::string& new_fchk,
                                        const std::string& range_str, const std::vector<int>& states) {
    const std::size_t n = states.size();
    MatchResult result;
    result.snto.assign(n, kNoSnto);
    std::vector<double>& snto = result.snto;
    int snapshot_id = -1;

    if (settings_.use_vosksnto) {
        say({msg::kMatchingStates, " using voskSNTO (.snto):"});
        if (n == 0) {
            // Nothing to compare: no tool run, no summary file touched.
            final_report(result);
            return result;
        }
        const std::string cmd = vosksnto_match_command(new_fchk, refs.reference, kSummaryOld, states);
        say({" Command: ", cmd});
        run_tool(cmd);
        if (settings_.snto_debug_flag) {
            snapshot_id = next_snto_snapshot_id();
            backup_snto_snapshot(kSummaryOld, "old", snapshot_id);
        }
        if (!read_whole_summary(kSummaryOld, states, snto, result)) return result;
        for (std::size_t i = 0; i < n; ++i) say({" State ", states[i], msg::kStateSnto, snto[i]});
    } else {
        say({msg::kMatchingStates, "..."});
        std::string checking = free_line({" Checking ", static_cast<int>(n), " states: "});
        for (std::size_t i = 0; i < n && i < kListedCandidates; ++i) checking += free_line({states[i]});
        put(checking);
        if (n > kListedCandidates) say({"  ... and ", static_cast<int>(n - kListedCandidates), " more states"});
        if (n == 0) {
            final_report(result);
            return result;
        }

        calculate_nto_for_states_batch(new_fchk, states, kCandidatePrefix, kCandidateSuffix);
        std::vector<std::string> ntos, overlaps;
        for (int s : states) {
            ntos.push_back(candidate_nto_name(s));
            overlaps.push_back(overlap_name_of(ntos.back()));
        }
        calculate_nto_overlap_batch(refs.reference, ntos, range_str, overlaps);
        for (std::size_t i = 0; i < n; ++i) {
            snto[i] = calculate_snto(refs.reference, overlaps[i], range_str, states[i]);
            say({" State ", states[i], msg::kStateSnto, snto[i]});
        }
    }

    // Without a single value there is nothing to choose: the caller stops,
    // before any second tool run.
    const std::optional<std::size_t> best = first_choice(snto);
    if (!best) return result;
    result.best_pos = *best;
    result.best_state = states[*best];
    result.best_snto = snto[*best];
    if (refs.tie_break) {
        resolve_near_degeneracy(*refs.tie_break, new_fchk, range_str, states, result, snapshot_id);
        if (!result.missing_rows.empty()) return result;
    }

    result.own_snto = reference_own_value(refs.reference, range_str);
    final_report(result);
    if (settings_.use_vosksnto && !settings_.snto_debug_flag) {
        remove_file(kSummaryOld);
        remove_file(kSummaryNminus);
    }
    return result;
}

// ------------------------------------------------- summary files, snapshots

SntoSummary read_snto_summary(const std::string& file, const std::vector<int>& states) {
    SntoSummary summary{std::vector<double>(states.size(), kNoSnto), std::vector<bool>(states.size(), false)};
    const std::string name = rtrim(file);
    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open .snto file: ") + name);
    std::string line;
    bool in_block = false;
    while (read_line(in, line)) {
        const std::string row = ltrim(line);
        if (!in_block) {
            in_block = starts_with(row, "BEGIN_STATES");
            continue;
        }
        if (starts_with(row, "END_STATES")) break;
        if (is_blank(row) || row[0] == '!' || row[0] == '#') continue;
        // A row counts only when all six items are there and its status is
        // 0; the status starts non-zero so that a row cut short by a slash
        // does not count either.
        FreeRead r(row, std::string());
        std::int32_t state = 0, status = 1;
        double value = 0.0, extra1 = 0.0, extra2 = 0.0;
        std::string label;
        if (!r.get(state) || !r.get(value)) continue;
        const std::string value_text(r.last_text());
        if (!r.all(extra1, extra2, label, status)) continue;
        const bool counts = status == 0 && std::isfinite(value);
        if (status == 0 && !counts)
            say({"WARNING: " + name + " gives state " + fmt_I0(state) + " the SNTO value \"" + value_text +
                 "\", not a number; the state has no value."});
        for (std::size_t k = 0; k < states.size(); ++k) {
            if (states[k] != state) continue;
            summary.answered[k] = true;
            if (counts) summary.values[k] = value;
        }
    }
    return summary;
}

std::vector<double> read_sntofile_summary(const std::string& file, const std::vector<int>& states) {
    return read_snto_summary(file, states).values;
}

int next_snto_snapshot_id() {
    int id = 1;
    if (file_exists(kSnapshotCounter)) {
        std::ifstream in(kSnapshotCounter);
        std::int32_t last = 0;
        FreeRead r(in, kSnapshotCounter);
        // A counter that cannot be read, or that cannot be stepped on,
        // restarts the numbering.
        if (in && r.get(last) && last >= 0 && last < INT_MAX) id = last + 1;
    }
    try {
        replace_file_atomically(kSnapshotCounter, free_line({id}) + "\n");
    } catch (const IoFailure&) {
        // Not recorded: the next call hands out the same number again.
    }
    return id;
}

std::string snapshot_number(int id) {
    if (id >= 0 && id <= 9999) return fmt_I(id, 4, 4);
    return fmt_I0(id);
}

void NtoEngine::backup_snto_snapshot(const std::string& file, const std::string& label, int id) const {
    if (!settings_.snto_debug_flag) return;
    make_dirs(kSnapshotDir);
    const std::string name = rtrim(file);
    if (!file_exists(name)) {
        say({" [Debug] Skip SNTO backup: ", name, " not found"});
        return;
    }
    const std::string snapshot =
        std::string(kSnapshotDir) + "/snto" + snapshot_number(id) + "_" + rtrim(label) + ".snto";
    copy_file_over(name, snapshot);
    say({" [Debug] Saved SNTO snapshot -> ", snapshot});
}

}  // namespace quorin
