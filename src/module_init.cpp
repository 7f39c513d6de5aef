#include "module_init.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "outside_programs.hpp"
#include "text_fields.hpp"

namespace quorin {

namespace {

// The title block of a Gaussian input is gathered into one text of this size;
// a longer block is refused rather than cut.
constexpr std::size_t kCommentBlockLength = 2048;

// Gaussian's External input never comes near this many atoms; a larger (or a
// negative) count means the file is not what we take it for.
constexpr int kMaxAtoms = 100000;


bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The .gjf files of the working directory, listed without a shell so that
// any name is taken exactly as it stands on disk.
std::vector<std::string> gjf_files_here() { return list_matching(".", "*.gjf"); }

// Six arguments: the configuration must come from the one .gjf file of the
// working directory.
void find_gjf_or_stop(std::string& gjf_file) {
    say({" Auto-detecting gjf file"});
    const std::vector<std::string> found = gjf_files_here();
    if (found.empty()) {
        say({"ERROR: No gjf file found in current directory"});
        stop(1);
    }
    if (found.size() > 1) {
        say({"ERROR: Multiple gjf files found in current directory"});
        say({"       Please specify which gjf file to use"});
        stop(1);
    }
    gjf_file = found.front();
}

// One free-form read of an integer or a real from a value, after its quotes
// are stripped and it is cut to 80 characters.  A null value or a slash
// leaves `field` as it was; anything unreadable is an I/O failure naming the
// value and, through `where`, the key and the file.
template <class T>
void read_number(std::string_view value, T& field, const char* kind, const std::string& where) {
    const std::string text = cut(parse_value(value), kConfigTextLength);
    FreeRead r(text, std::string());
    if (!r.get(field)) {
        std::string what = std::string("cannot read ") + kind + " from \"" + text + "\"";
        if (!where.empty()) what += " (" + where + ")";
        io_failure(what);
    }
}

// The keys of the configuration, in both sources.
constexpr std::string_view kKeys[] = {"method",  "basis", "root",     "nadd",      "sntorange",
                                      "extra",   "mem",   "nproc",    "triplet",   "sdnto",
                                      "vosksnto", "sntofirst", "debug", "inttype", "ntothre", "tooltimeout"};

// Prints one WARNING line; returns 1 so that callers can count what they printed.
int warn(const std::string& what) {
    say({"WARNING: " + what});
    return 1;
}

// A text as a warning quotes it: a tab, invisible on the console, shows as <tab>.
std::string shown(std::string_view s) {
    std::string r;
    for (char ch : s) r += ch == '\t' ? std::string("<tab>") : std::string(1, ch);
    return r;
}

// Edit distance in which swapping two neighbouring letters counts as one
// edit ("sndto" is one edit from "sdnto").
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The known key an unknown (folded) one was probably meant to be: the
// nearest within two edits (fewer than the key has letters), else the
// longest known key it begins with ("memory" for mem); empty when none is near.
std::string_view closest_key(std::string_view key) {
    std::string_view best;
    std::size_t best_distance = 3;
    for (std::string_view known : kKeys) {
        const std::size_t d = edit_distance(key, known);
        if (d < best_distance && d < key.size()) best = known, best_distance = d;
    }
    if (best.empty())
        for (std::string_view known : kKeys)
            if (starts_with(key, known) && known.size() > best.size()) best = known;
    return best;
}

// The folded form of a logical value, as parse_logical compares it.
std::string folded_logical(std::string_view value) {
    std::string v = cut(parse_value(value), kConfigTextLength);
    to_lowercase(v);
    return v;
}

// One key=value pair as the user wrote it: the key, the value that numbers
// and logicals are parsed from, and the cleaned value text fields take.
struct Pair {
    std::string key;
    std::string_view value;
    std::string_view text;
};

// Sets the field that the pair's key names and returns the number of
// warnings printed: an unknown key is ignored, a logical that is neither a
// true nor a false spelling reads as false; both are named.
int apply_key(Tddft_config& c, const Pair& p, const std::string& file) {
    std::string key = p.key;
    to_lowercase(key);
    const std::string where = "key " + key + " in " + file;
    auto as_text = [&](std::string& field) { field = cut(p.text, kConfigTextLength); return 0; };
    auto as_number = [&](auto& field, const char* kind) { read_number(p.value, field, kind, where); return 0; };
    auto as_logical = [&](bool& field) {
        field = parse_logical(p.value);
        const std::string v = folded_logical(p.value);
        if (field || v == ".f." || v == "f" || v == "false" || v == ".false.") return 0;
        return warn(shown(p.key) + " = \"" + shown(parse_value(p.value)) + "\" in " + file +
                    " is not a logical value (true: .T./T/true/.true., false: .F./F/false/.false.); read as false.");
    };
    if (key == "method") return as_text(c.method);
    if (key == "basis") return as_text(c.basis);
    if (key == "extra") return as_text(c.extra);
    if (key == "mem") return as_text(c.mem);
    if (key == "nproc") return as_text(c.nproc);
    if (key == "root") return as_number(c.root, "an integer");
    if (key == "nadd") return as_number(c.nadd, "an integer");
    if (key == "sntorange") return as_number(c.sntorange, "an integer");
    if (key == "inttype") return as_number(c.inttype, "an integer");
    if (key == "ntothre") return as_number(c.ntothre, "a real");
    if (key == "tooltimeout") return as_number(c.tooltimeout, "an integer");
    if (key == "triplet") return as_logical(c.triplet);
    if (key == "sdnto") return as_logical(c.sdnto);
    if (key == "vosksnto") return as_logical(c.vosksnto);
    if (key == "sntofirst") return as_logical(c.sntofirst);
    if (key == "debug") return as_logical(c.debug);
    const std::string_view near = closest_key(key);
    return warn("Unknown key \"" + shown(p.key) + "\" in " + file + " is ignored" +
                (near.empty() ? std::string(".") : "; did you mean \"" + std::string(near) + "\"?"));
}

// The title block of a Gaussian input: the non-blank lines after the first
// blank line (which ends the Link 0 and route lines), joined by one blank.
std::string read_comment_block(const std::string& gjf_file) {
    std::ifstream in = open_or_stop(gjf_file, "ERROR: Cannot open gjf file: " + gjf_file);
    std::string line;
    for (;;) {
        if (!read_line(in, line)) {
            say({"ERROR: Unexpected end of gjf file before comment line"});
            stop(1);
        }
        if (is_blank(line)) break;
    }
    auto too_long = [] {
        say({"ERROR: GJF comment block too long (multi-line route)."});
        stop(1);
    };
    std::string block;  // kept without trailing blanks
    for (;;) {
        if (!read_line(in, line)) {
            say({"ERROR: Unexpected end of gjf file before comment block"});
            stop(1);
        }
        const std::string trimmed = rtrim(line);
        if (trimmed.empty()) {
            if (!block.empty()) break;  // the blank line that ends the title
            continue;                   // blank lines before the title
        }
        if (block.empty()) {
            block = ltrim(trimmed);
            if (block.size() > kCommentBlockLength) too_long();
        } else {
            if (block.size() + trimmed.size() + 1 > kCommentBlockLength) too_long();
            block += ' ';
            block += ltrim(trimmed);
        }
    }
    return block;
}

std::vector<std::string> words_of(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        std::size_t j = text.find(' ', i);
        if (j == std::string_view::npos) j = text.size();
        words.emplace_back(text.substr(i, j - i));
        i = j;
    }
    return words;
}

// Title words that the blank-splitting reader misreads: "=" standing alone
// or opening a word ("root = 2", "root =2"), a word ending in "=" before a
// bare value ("root= 2"), and a tab, which does not end a word.  Names the
// slip with the way to write it; returns the number of warnings printed.
int warn_title_slip(const std::vector<std::string>& words, std::size_t i, const std::string& file) {
    const std::string& w = words[i];
    if (contains(w, "\t")) {
        std::string blanks = w;
        std::replace(blanks.begin(), blanks.end(), '\t', ' ');
        std::string fixed;
        for (const std::string& part : words_of(blanks)) fixed += (fixed.empty() ? "" : " ") + part;
        return warn("\"" + shown(w) + "\" in " + file +
                    " holds a tab, which does not separate pairs in the title; write " + fixed + ".");
    }
    auto bare = [&](std::size_t j) { return j < words.size() && words[j].find('=') == std::string::npos; };
    std::vector<std::string> parts;
    if (w.front() == '=') {
        if (i > 0 && bare(i - 1)) parts.push_back(words[i - 1]);
        parts.push_back(w);
        if (w == "=" && bare(i + 1)) parts.push_back(words[i + 1]);
    } else if (w.back() == '=' && bare(i + 1)) {
        parts = {w, words[i + 1]};
    } else {
        return 0;
    }
    std::string as_written, fixed;
    for (const std::string& part : parts) as_written += (as_written.empty() ? "" : " ") + part, fixed += part;
    if (fixed.front() == '=') fixed = "key" + fixed;  // no key to be seen
    return warn("\"" + as_written + "\" in " + file + " is not read as one pair: the title is split at blanks; write " +
                fixed + ".");
}

// Warns when a TOML section header reads like [quorin] (the word in any case,
// blanks anywhere) without being exactly that once folded; `reading` tells
// whether the pairs under it are read all the same.
int warn_header_slip(const std::string& header, bool reading, const std::string& file) {
    std::string folded = header;
    to_lowercase(folded);
    std::string squeezed = folded;
    std::erase(squeezed, ' ');
    if (folded == "[quorin]" || !contains(squeezed, "quorin")) return 0;
    return warn("Section header \"" + shown(header) + "\" in " + file + " is not [quorin]; the pairs under it are " +
                (reading ? "read." : "ignored."));
}

// The parameter lines of the start-up summary, from "Parameters:" to the
// sntofirst line.
void print_parameters(const Tddft_config& c) {
    say({" Parameters:"});
    put("  Method: " + c.method);
    put("  Basis: " + c.basis);
    put("  Root: " + fmt_I0(c.root));
    put("  Nstate offset: " + fmt_I0(c.nadd));
    if (c.sntorange < 0)
        put("  SNTO range: using nadd (default)");
    else
        put("  SNTO range: " + fmt_I0(c.sntorange));
    put("  Inttype keyword: " + fmt_I0(c.inttype));
    put("  NTO threshold: " + fmt_F(c.ntothre, 6, 3));
    put(c.triplet ? "  Triplet calculation is enabled." : "  Singlet calculation.");
    put("  Extra keywords: " + c.extra);
    put("  Memory: " + c.mem);
    put("  Processors: " + c.nproc);
    put(c.sdnto ? "  SDNTO diabatic following is ENABLED." : "  SDNTO diabatic following is disabled.");
    put(c.vosksnto ? "  voskSNTO engine for SNTO matching is ENABLED."
                   : "  voskSNTO engine for SNTO matching is disabled (default).");
    put(c.sntofirst ? "  sntofirst: single-point + SNTO + force (default)."
                    : "  sntofirst: force-first SNTO workflow.");
}

}  // namespace

// ------------------------------------------------------------- value parsers

std::string parse_value(std::string_view value) {
    const std::string v = rtrim(ltrim(value));
    const std::size_t n = v.size();
    if (n == 0) return std::string();
    auto is_quote = [](char ch) { return ch == '\'' || ch == '"'; };
    const bool first = is_quote(v.front());
    const bool last = is_quote(v.back());
    std::string r;
    if (first && last)
        r = n < 3 ? std::string() : v.substr(1, n - 2);
    else if (first)
        r = v.substr(1);
    else if (last)
        r = v.substr(0, n - 1);
    else
        r = v;
    return rtrim(r);
}

int parse_integer(std::string_view value, const std::string& where) {
    int v = 0;
    read_number(value, v, "an integer", where);
    return v;
}

double parse_real(std::string_view value, const std::string& where) {
    double v = 0.0;
    read_number(value, v, "a real", where);
    return v;
}

bool parse_logical(std::string_view value) {
    const std::string v = folded_logical(value);
    return v == ".t." || v == "t" || v == "true" || v == ".true.";
}

// ------------------------------------------------------- configuration sources

bool try_find_unique_gjf(std::string& gjf_file) {
    gjf_file.clear();
    const std::vector<std::string> found = gjf_files_here();
    if (found.size() == 1) {
        gjf_file = found.front();
        return true;
    }
    if (found.size() > 1)
        say({" Warning: Multiple gjf files found, using default chk name"});
    else
        say({" Warning: No gjf file found, using default chk name"});
    return false;
}

ConfigSource auto_detected_source() {
    ConfigSource source;
    find_gjf_or_stop(source.gjf_file);
    source.file = source.gjf_file;
    return source;
}

ConfigSource named_source(const std::string& config_file) {
    ConfigSource source;
    source.file = config_file;
    std::string folded = config_file;
    to_lowercase(folded);
    source.toml = ends_with(folded, ".toml");
    if (source.toml) {
        const bool unique = try_find_unique_gjf(source.gjf_file);
        if (!unique) source.warnings = 1;
        put(" Config file (TOML): " + config_file);
        if (unique) put(" Found unique gjf file: " + source.gjf_file);
    } else {
        source.gjf_file = config_file;
        put(" GJF file: " + source.gjf_file);
    }
    return source;
}

int read_config(const ConfigSource& source, Tddft_config& config) {
    return source.toml ? read_config_toml(source.file, config) : read_config_gjf(source.file, config);
}

int read_config_gjf(const std::string& gjf_file, Tddft_config& config) {
    config = Tddft_config{};
    config.vosksnto = true;
    const std::string block = read_comment_block(gjf_file);
    // Words end at blanks, so a pair is written without blanks around "=".
    const std::vector<std::string> words = words_of(block);
    int warnings = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        warnings += warn_title_slip(words, i, gjf_file);
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) continue;  // no pair, or one without a key (named above)
        const std::string_view value = std::string_view(word).substr(eq + 1);
        const std::string text = parse_value(value);
        warnings += apply_key(config, Pair{word.substr(0, eq), value, text}, gjf_file);
    }
    return warnings;
}

int read_config_toml(const std::string& toml_file, Tddft_config& config) {
    config = Tddft_config{};
    config.vosksnto = false;
    std::ifstream in = open_or_stop(toml_file, "ERROR: Cannot open TOML file: " + toml_file);
    // Pairs before the first section header count; a header other than
    // [quorin] switches reading off until the next [quorin].
    bool in_section = true;
    int warnings = 0;
    std::string raw;
    while (read_line(in, raw)) {
        const std::string line = ltrim(raw);
        if (is_blank(line) || line.front() == '#') continue;
        if (line.front() == '[') {
            std::string folded = line;
            to_lowercase(folded);
            in_section = contains(folded, "[quorin]");
            warnings += warn_header_slip(rtrim(line), in_section, toml_file);
            continue;
        }
        if (!in_section) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        // Everything after the first "=" is the value: no inline comments.
        const std::string value = parse_value(line.substr(eq + 1));
        warnings += apply_key(config, Pair{rtrim(line.substr(0, eq)), value, value}, toml_file);
    }
    return warnings;
}

void check_config_values(const Tddft_config& c, const std::string& file) {
    bool bad = false;
    auto error = [&](const std::string& what) {
        say({"ERROR: " + what});
        bad = true;
    };
    if (c.root < 1) error("root = " + fmt_I0(c.root) + " in " + file + ": states are numbered from 1.");
    if (c.nadd < 0)
        error("nadd = " + fmt_I0(c.nadd) + " in " + file +
              ": must be 0 or more; the inner jobs ask for root + nadd states.");
    constexpr long long kMaxStates = std::numeric_limits<std::int32_t>::max();
    const long long nstates = static_cast<long long>(c.root) + c.nadd;
    if (!bad && nstates > kMaxStates)
        error("root + nadd = " + fmt_I0(nstates) + " in " + file + ": the inner jobs cannot ask for more than " +
              fmt_I0(kMaxStates) + " states.");
    if (bad) stop(1);
}

void print_config_summary(const Tddft_config& c, int natoms, int charge, int multiplicity) {
    if (!c.debug) {
        put(" Debug mode is disabled (default).");
        return;
    }
    put(" Number of atoms: " + fmt_I0(natoms));
    put(" Charge: " + fmt_I0(charge));
    put(" Spin multiplicity: " + fmt_I0(multiplicity));
    print_parameters(c);
    put("  Debug mode is ENABLED.");
}

InnerJob inner_job_base(const Tddft_config& config) {
    InnerJob job;
    job.method = config.method;
    job.basis = config.basis;
    job.extra = config.extra;
    job.mem = config.mem;
    job.nproc = config.nproc;
    job.triplet = config.triplet;
    job.tool_timeout = config.tooltimeout;
    return job;
}

// ------------------------------------------------------------------ start-up

RunSetup initialize_quorin(const std::vector<std::string>& args) {
    RunSetup run;
    // Gaussian appends six arguments (layer, input, output, message, fchk,
    // matrix-element file); the user may put a configuration file before them.
    ConfigSource source;
    if (args.size() == 6) {
        source = auto_detected_source();
        run.input_file = rtrim(args[1]);
        run.output_file = rtrim(args[2]);
    } else if (args.size() == 7) {
        run.input_file = rtrim(args[2]);
        run.output_file = rtrim(args[3]);
        source = named_source(rtrim(args[0]));
    } else {
        say({"ERROR: Expected 6 or 7 arguments but got ", static_cast<int>(args.size())});
        stop(1);
    }
    run.gjf_file = source.gjf_file;

    put(" Input file: " + run.input_file);
    put(" Output file: " + run.output_file);

    {
        std::ifstream in;
        if (!open_for_reading(run.input_file, in))
            io_failure("cannot open the External input file \"" + run.input_file + "\"");
        FreeRead header(in, "the header of External input file " + run.input_file);
        header.must(run.natoms, run.ider, run.charge, run.multiplicity);
    }
    if (run.natoms < 0 || run.natoms > kMaxAtoms) {
        say({"ERROR: External input file " + run.input_file + " gives " + fmt_I0(run.natoms) +
             " atoms; expected 0 to " + fmt_I0(kMaxAtoms) + "."});
        stop(1);
    }

    if (run.ider == 2) {
        say({"Hessian-only mode (ider=2) detected."});
    } else if (run.ider != 1) {
        say({"ERROR: Unsupported deriv level: ", run.ider});
        say({"       Only ider=1 (gradient) or ider=2 (Hessian) are supported."});
        stop(1);
    }

    read_config(source, run.config);
    check_config_values(run.config, source.file);
    print_config_summary(run.config, run.natoms, run.charge, run.multiplicity);

    // An empty checkpoint (a node that crashed while writing it) is no guess.
    run.chk_existed = usable_checkpoint();
    if (run.chk_existed) say({" Found previous chk file, will read wavefunction from it."});
    return run;
}

int check_configuration(const std::vector<std::string>& files) {
    if (files.size() > 1) {
        say({"ERROR: quorin --check takes one configuration file or none, got ", static_cast<int>(files.size())});
        stop(1);
    }
    ConfigSource source;
    if (files.empty()) {
        source = auto_detected_source();
        put(" GJF file: " + source.gjf_file);
    } else {
        source = named_source(rtrim(files.front()));
    }
    Tddft_config config;
    const int warnings = source.warnings + read_config(source, config);
    check_config_values(config, source.file);
    // No External input file here: Gaussian gives these at every step.
    put(" Number of atoms, charge, spin multiplicity: from Gaussian at every step");
    print_parameters(config);
    put(config.debug ? "  Debug mode is ENABLED." : "  Debug mode is disabled (default).");
    say({"Configuration check: " + (warnings == 0 ? std::string("no warnings") : fmt_I0(warnings) + " warning(s)") +
         ", nothing was run."});
    return warnings == 0 ? 0 : 1;
}

}  // namespace quorin
