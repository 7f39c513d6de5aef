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
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>

#include "messages.hpp"
#include "module_gaussian_utils.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"
#include "work_files.hpp"

namespace quorin {

namespace {

// Near-degeneracy: relative tolerance, and the best-value magnitude at or
// below which the difference is taken as absolute.
constexpr double kNearDegenerate = 0.05;
constexpr double kTinyBest = 1.0e-8;
// How many candidate numbers the "Checking" line lists.
constexpr std::size_t kListedCandidates = 10;
// A basis-function count beyond this is a damaged file, not a molecule; the
// bound keeps a bad file from asking for gigabytes.
constexpr long long kMaxBasisFunctions = 10000000;

// Ends the run when a count handed to a reader cannot be the size of an
// orbital set of `file`.
void check_count(long long n, const char* what, const std::string& file) {
    if (n < 0 || n > kMaxBasisFunctions)
        stop_with({"ERROR: Invalid " + std::string(what) + " (" + fmt_I0(n) + ") for ", file});
}

// The first free-form token of a record, for messages about a value that did
// not read as an integer.
std::string first_token(std::string_view record) {
    std::size_t i = record.find_first_not_of(" \t,");
    if (i == std::string_view::npos) return std::string();
    std::size_t j = record.find_first_of(" \t,/", i);
    return std::string(record.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i));
}

// The field of a "Number of basis functions" header that holds the count:
// from column 50 on.
std::string_view basis_count_field(std::string_view header) {
    return header.size() > 49 ? header.substr(49) : std::string_view();
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
        stop_with({std::string("ERROR: Cannot create ") + path});
    }
}

}  // namespace

// ------------------------------------------------------------------- readers

int read_nif_from_fch(const std::string& file) {
    const std::string& name = file;
    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open fch file: ") + name);
    std::string line;
    if (!find_line(in, line, [](const std::string& l) { return starts_with(l, "Number of basis fun"); }))
        stop_with({"ERROR: Could not find number of basis functions in ", name});
    const std::string_view rest = basis_count_field(line);
    FreeRead r(rest, name);
    std::int32_t nif = 0;
    if (!r.get(nif)) {
        // A number too large for 32 bits is a damaged count, anything else
        // that is not an integer an I/O failure.
        std::string tok = first_token(rest);
        if (looks_like_integer(tok)) stop_with({"ERROR: Invalid number of basis functions (" + tok + ") in ", name});
        io_failure(r.error());
    }
    if (nif < 0 || nif > kMaxBasisFunctions)
        stop_with({"ERROR: Invalid number of basis functions (" + fmt_I0(nif) + ") in ", name});
    return nif;
}

OrbitalEnergies read_orbital_energies_from_fch(const std::string& file, int nif, bool with_beta) {
    const std::string& name = file;
    check_count(nif, "number of orbital energies", name);
    OrbitalEnergies energies;

    std::ifstream in = open_or_stop(name, std::string("ERROR: Cannot open fch file: ") + name);
    std::string err;
    bool found = false;
    if (!read_orbital_section(in, "Alpha Orbital Energ", nif, energies.alpha, err, found, {"NTO eigenvalue", name})) {
        if (!found) stop_with({"ERROR: Alpha orbital energies not found in ", name});
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
    const std::string& name = file;
    std::ifstream in;
    if (!open_for_reading(name, in)) return "it cannot be opened";
    std::string line;
    if (!find_line(in, line, [](const std::string& l) { return starts_with(l, "Number of basis fun"); }))
        return "it holds no number of basis functions";
    std::int32_t nif = 0;
    if (!try_read_free(basis_count_field(line), nif) || nif <= 0 || nif > kMaxBasisFunctions)
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
    const std::string& range = range_str;
    const std::size_t comma = range.find(',');
    if (comma == std::string::npos) stop_with({"ERROR: Invalid range format: ", range});
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
    for (const auto& entry : overlap_diagonal(file, n)) s.push_back(entry ? entry->value : 0.0);
    return s;
}

double calculate_snto(const std::string& ref_nto, const std::string& overlap_file, const std::string& range_str,
                      int state) {
    const std::string& range = range_str;
    const auto [a, b] = range_bounds(range);

    const int nif = read_nif_from_fch(ref_nto);
    const std::vector<double> eig = read_orbital_energies_from_fch(ref_nto, nif).alpha;
    const std::string& name = overlap_file;
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
        if (!entry)
            stop_with({"ERROR: Overlap file " + name + " holds no diagonal entry for orbital " + fmt_I0(k) +
                       " of the range " + range},
                      {"       voskwfn may have failed"});
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

// ------------------------------------------------- summary files, snapshots

SntoSummary read_snto_summary(const std::string& file, const std::vector<int>& states) {
    SntoSummary summary{std::vector<double>(states.size(), kNoSnto), std::vector<bool>(states.size(), false)};
    const std::string& name = file;
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

int next_snto_snapshot_id() { return next_counter_value(kSnapshotCounter).value; }

// --------------------------------------------------------------- the tools

void NtoEngine::ensure_nto_templates() const {
    make_dirs(kTempDir);
    write_template(kNtoTemplate, "[excit]\n%process\n    nto state ${state}\n%command\n    mv ex_${state}.fchk " +
                                     std::string(kCandidatePrefix) + "${state}" + kCandidateSuffix +
                                     "\n    rm excit_${input}.out\nend\n\n");
    const bool norm = settings_.overlap_inttype == 2;
    std::string integral = "[of2]\n%process\n";
    integral += norm ? "    orb_integral inttype -2 range ${range} fch2 ${fch2}\n"
                     : "    orb_integral inttype -1 range ${range} fch2 ${fch2}\n";
    integral += "%command\n";
    integral += norm ? "    mv Snormmat.txt ${fch2}.txt\n" : "    mv convmat.txt ${fch2}.txt\n";
    integral += "    rm of2_${input}.out\nend\n\n";
    write_template(kIntegralTemplate, integral);
}

namespace {

// How the lines of the second comparison name its reference ("n-1.fch").
std::string base_name(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The line that says the value of the comparison's k-th state.
void say_value(const Comparison& c, std::size_t k, double value) {
    if (c.tie_break)
        say({"  State ", c.states[k], ": " + base_name(c.reference) + " SNTO = ", value});
    else
        say({" State ", c.states[k], msg::kStateSnto, value});
}

// One run of a tool, ended when it outlives the run's limit.
void run_tool(const char* tool, const std::string& command, const NtoSettings& settings) {
    say({" Command: ", command});
    run_shell(command, ShellOptions{tool, settings.tool_timeout});
}

// voskSNTO: the candidates' NTO files and their SNTO values in one run, the
// values in a summary file.
class VoskSnto final : public NtoTool {
public:
    explicit VoskSnto(const NtoSettings& settings) : settings_(settings) {}

    void nto_for_state(const std::string& fchk, int state, const std::string& nto_file) override {
        say({" Calculating NTO for state ", state, " using voskSNTO"});
        run_tool("voskSNTO",
                 "voskSNTO --newnto '" + fchk + "' " + kInnerLog + " --state " + fmt_I0(state) + " --outfch '" +
                     nto_file + "'",
                 settings_);
        if (!file_exists(nto_file))
            stop_with({"ERROR: Expected output file not found: ", nto_file}, {"       voskSNTO may have failed"});
    }

    void announce(const std::vector<int>&) override {
        say({msg::kMatchingStates, " using voskSNTO (.snto):"});
        snapshot_id_ = -1;
    }

    bool snto_values(const Comparison& c, std::vector<double>& values, MatchResult& result) override {
        const char* summary = c.tie_break ? kSummaryNminus : kSummaryOld;
        std::string cmd = "voskSNTO --newnto '" + c.new_fchk + "' " + kInnerLog + " --oldfch '" + c.reference +
                          "' --autorange " + threshold_text(settings_.nto_threshold) + " --otype " +
                          (settings_.overlap_inttype == 2 ? "2" : "1") + " --sntofile '" + summary + "'";
        if (settings_.snto_debug_flag) cmd += " --sntodebug";
        for (int s : c.states) cmd += " --state " + fmt_I0(s) + " --outfch '" + candidate_nto_name(s) + "'";
        if (c.tie_break) {
            say({""});
            say({" Preparing near-degenerate check with " + base_name(c.reference) + " using voskSNTO"});
        }
        run_tool("voskSNTO", cmd, settings_);
        if (settings_.snto_debug_flag) save_snapshot(summary, c.tie_break ? "nminus" : "old");

        const SntoSummary read = read_snto_summary(summary, c.states);
        values = read.values;
        for (std::size_t k = 0; k < c.states.size(); ++k)
            if (!read.answered[k]) result.missing_rows.push_back(c.states[k]);
        if (!result.missing_rows.empty()) {
            result.incomplete_summary = summary;
            return false;
        }
        for (std::size_t k = 0; k < values.size(); ++k) say_value(c, k, values[k]);
        return true;
    }

    void after_tie_break(const std::vector<int>&, int) override {}

    void after_match() override {
        if (settings_.snto_debug_flag) return;
        remove_file(kSummaryOld);
        remove_file(kSummaryNminus);
    }

    // voskSNTO is given the threshold, not the range: it weighs no orbital
    // outside the reference's own range above the threshold.
    double own_value(const std::vector<double>& eig, const std::string&) const override {
        const Bounds b = bounds_above(eig, settings_.nto_threshold);
        return b.first == 0 ? eigenvalue_weight(eig, 1, static_cast<long long>(eig.size()))
                            : eigenvalue_weight(eig, b.first, b.last);
    }

private:
    // A numbered copy of a summary file, one number for both summaries of a matching.
    void save_snapshot(const char* file, const char* label) {
        if (snapshot_id_ == -1) snapshot_id_ = next_snto_snapshot_id();
        make_dirs(kSnapshotDir);
        if (!file_exists(file)) {
            say({" [Debug] Skip SNTO backup: ", file, " not found"});
            return;
        }
        const std::string snapshot = snto_snapshot_name(snapshot_id_, label);
        say({copy_file_over(file, snapshot) ? " [Debug] Saved SNTO snapshot -> "
                                            : " [Debug] Could not save SNTO snapshot -> ",
             snapshot});
    }

    const NtoSettings& settings_;
    int snapshot_id_ = -1;
};

// voskwfn driving Multiwfn through two script templates: the candidates'
// NTO files in one run, their overlaps with a reference in another, the
// SNTO values from the overlap files.
class VoskWfn final : public NtoTool {
public:
    explicit VoskWfn(const NtoEngine& engine) : engine_(engine), settings_(engine.settings()) {}

    void nto_for_state(const std::string& fchk, int state, const std::string& nto_file) override {
        templates();
        const std::string expected = candidate_nto_name(state);
        say({" Calculating NTO for state ", state});
        run_tool("voskwfn", std::string("voskwfn ") + kNtoTemplate + " '" + fchk + "' -v state=" + fmt_I0(state),
                 settings_);
        if (!file_exists(expected))
            stop_with({"ERROR: Expected template output file not found: ", expected},
                      {"       voskwfn may have failed"});
        // The template fixes the output name; other names get a copy, and the
        // template output stays in place.
        if ((nto_file == expected || copy_file_over(expected, nto_file)) && file_exists(nto_file)) return;
        stop_with({"ERROR: Expected output file not found: ", nto_file}, {"       voskwfn may have failed"});
    }

    void announce(const std::vector<int>& states) override {
        const std::size_t n = states.size();
        say({msg::kMatchingStates, "..."});
        std::string checking = free_line({" Checking ", static_cast<int>(n), " states: "});
        for (std::size_t i = 0; i < n && i < kListedCandidates; ++i) checking += free_line({states[i]});
        put(checking);
        if (n > kListedCandidates) say({"  ... and ", static_cast<int>(n - kListedCandidates), " more states"});
    }

    bool snto_values(const Comparison& c, std::vector<double>& values, MatchResult&) override {
        if (c.tie_break) {
            say({""});
            say({" Preparing near-degenerate check..."});
        } else {
            ntos_for_states(c.new_fchk, c.states);
        }
        std::vector<std::string> ntos;
        for (int s : c.states) ntos.push_back(candidate_nto_name(s));
        overlaps_with(c.reference, ntos, c.range_str);
        values.resize(c.states.size());
        for (std::size_t k = 0; k < c.states.size(); ++k) {
            values[k] = calculate_snto(c.reference, overlap_name_of(ntos[k]), c.range_str, c.states[k]);
            say_value(c, k, values[k]);
        }
        return true;
    }

    void after_tie_break(const std::vector<int>& states, int best_state) override {
        for (int s : states) remove_file(overlap_name_of(candidate_nto_name(s)));
        say({""});
        say({msg::kResolvedState, best_state});
    }

    void after_match() override {}

    double own_value(const std::vector<double>& eig, const std::string& range_str) const override {
        const auto [a, b] = range_bounds(range_str);
        return eigenvalue_weight(eig, a, b);
    }

private:
    void templates() {
        if (templates_ready_) return;
        engine_.ensure_nto_templates();
        templates_ready_ = true;
    }

    // The candidates' NTO files, temp/new_state<state>.fch; a WARNING for each missing one.
    void ntos_for_states(const std::string& fchk, const std::vector<int>& states) {
        templates();
        std::vector<std::string> numbers;
        for (int s : states) numbers.push_back(fmt_I0(s));
        const std::string list = paren_list(numbers);
        say({" Calculating NTO for states in batch: ", list});
        run_tool("voskwfn", std::string("voskwfn ") + kNtoTemplate + " '" + fchk + "' -v 'state=" + list + "'",
                 settings_);
        for (int s : states) {
            const std::string name = candidate_nto_name(s);
            if (file_exists(name)) continue;
            say({"WARNING: Expected output file not found: ", name});
            say({"         voskwfn may have failed for state ", s});
        }
    }

    // The overlap files of the NTO files with the reference's; a WARNING for each missing one.
    void overlaps_with(const std::string& ref_nto, const std::vector<std::string>& ntos, const std::string& range_str) {
        templates();
        const std::string list = paren_list(ntos);
        say({" Calculating NTO overlap for states in batch: ", list});
        run_tool("voskwfn",
                 std::string("voskwfn ") + kIntegralTemplate + " " + ref_nto + " -v range=" + range_str +
                     " -v 'fch2=" + list + "'",
                 settings_);
        for (const std::string& nto : ntos) {
            const std::string expected = overlap_name_of(nto);
            if (file_exists(expected)) continue;
            say({"WARNING: Expected overlap file not found: ", expected});
            say({"         voskwfn may have failed for file ", nto});
        }
    }

    const NtoEngine& engine_;
    const NtoSettings& settings_;
    bool templates_ready_ = false;
};

void final_report(const MatchResult& r) {
    say({""});
    say({msg::kFinalState, r.best_state});
    say({msg::kBestSnto, r.best_snto});
    if (r.own_snto != kNoSnto) say({msg::kOwnSnto, r.own_snto});
}

}  // namespace

// ------------------------------------------------------------------ engine

NtoEngine::NtoEngine(NtoSettings settings) : settings_(settings) {
    if (settings_.overlap_inttype != 1 && settings_.overlap_inttype != 2) {
        say({"WARNING: Unsupported inttype=", settings_.overlap_inttype, ", defaulting to 1"});
        settings_.overlap_inttype = 1;
    }
    if (settings_.use_vosksnto)
        tool_ = std::make_unique<VoskSnto>(settings_);
    else
        tool_ = std::make_unique<VoskWfn>(*this);
}

double NtoEngine::reference_own_value(const std::string& ref_nto, const std::string& range_str) const {
    return tool_->own_value(nto_eigenvalues(ref_nto), range_str);
}

void NtoEngine::remove_scratch(bool summaries) const {
    remove_matching(kTempDir, kCandidatePattern);
    remove_matching(kTempDir, kCandidateOverlapPattern);
    if (!summaries) return;
    remove_file(kSummaryOld);
    remove_file(kSummaryNminus);
}

// The second comparison, against the tie-break reference, for the best
// candidate and the ones within 5 % of it.  Changes the best state only when
// a rival is strictly better against that reference; the best value stays
// the first-pass value of the chosen state.
bool NtoEngine::compare_near_rivals(const std::string& tie_break, const std::string& new_fchk,
                                    const std::string& range_str, const std::vector<int>& states, MatchResult& result) {
    const std::vector<NearRival> rivals = near_degenerate_rivals(result.snto, result.best_pos);
    for (const NearRival& r : rivals)
        say({msg::kNearDegenerate, " state ", states[r.pos], " delta = ", r.delta});
    if (rivals.empty()) return true;

    result.compared = {result.best_pos};
    for (const NearRival& r : rivals) result.compared.push_back(r.pos);
    std::vector<int> second_states;
    for (std::size_t p : result.compared) second_states.push_back(states[p]);
    std::vector<double> second(second_states.size(), kNoSnto);
    if (!tool_->snto_values({tie_break, new_fchk, range_str, second_states, true}, second, result)) return false;

    result.best_pos = resolve_near_tie(result.best_pos, rivals, second);
    result.best_state = states[result.best_pos];
    result.best_snto = result.snto[result.best_pos];
    tool_->after_tie_break(second_states, result.best_state);
    return true;
}

MatchResult NtoEngine::match_nto_states(const MatchReferences& refs, const std::string& new_fchk,
                                        const std::string& range_str, const std::vector<int>& states) {
    MatchResult result;
    result.snto.assign(states.size(), kNoSnto);
    tool_->announce(states);
    if (states.empty()) {
        // Nothing to compare: no tool run, no file touched.
        final_report(result);
        return result;
    }
    if (!tool_->snto_values({refs.reference, new_fchk, range_str, states}, result.snto, result)) return result;

    // Without a single value there is nothing to choose: the caller stops,
    // before any second tool run.
    const std::optional<std::size_t> best = first_choice(result.snto);
    if (!best) return result;
    result.best_pos = *best;
    result.best_state = states[*best];
    result.best_snto = result.snto[*best];
    if (refs.tie_break && !compare_near_rivals(*refs.tie_break, new_fchk, range_str, states, result)) return result;

    result.own_snto = reference_own_value(refs.reference, range_str);
    final_report(result);
    tool_->after_match();
    return result;
}

}  // namespace quorin
