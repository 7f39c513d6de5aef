#include "module_init.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "messages.hpp"
#include "outside_programs.hpp"
#include "text_fields.hpp"
#include "work_files.hpp"

namespace quorin {

namespace fs = std::filesystem;

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

// The Gaussian inputs of the working directory with this extension, listed
// without a shell so that any name is taken exactly as it stands on disk.
std::vector<std::string> inputs_here(std::string_view extension) {
    std::string pattern = "*";
    pattern += extension;
    return list_matching(".", pattern);
}

// Where no .gjf file is, the one .com file of the working directory serves
// as the Gaussian input; the line saying so names it.
bool take_unique_com(std::string& gjf_file) {
    const std::vector<std::string> found = inputs_here(".com");
    if (found.size() != 1) return false;
    gjf_file = found.front();
    put(" Found unique com file: " + gjf_file);
    return true;
}

// Six arguments: the configuration must come from the one .gjf file (or,
// without one, the one .com file) of the working directory.
void find_gjf_or_stop(std::string& gjf_file) {
    say({" Auto-detecting gjf file"});
    const std::vector<std::string> found = inputs_here(".gjf");
    if (found.empty() && take_unique_com(gjf_file)) return;
    if (found.empty()) stop_with({"ERROR: No gjf file found in current directory"});
    if (found.size() > 1)
        stop_with({"ERROR: Multiple gjf files found in current directory"},
                  {"       Please specify which gjf file to use"});
    gjf_file = found.front();
}

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
std::string in_quotes(std::string_view s) {
    std::string r = shown(s);
    r.insert(r.begin(), '"');
    return r + '"';
}

std::string folded(std::string_view s) {
    std::string r(s);
    to_lowercase(r);
    return r;
}

// A real in its shortest exact form ("0.25", "nan").
std::string shortest(double x) {
    char buf[40];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
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

// ----------------------------------------------------------------- key table

using C = Tddft_config;
using Field = std::variant<std::string C::*, int C::*, double C::*, bool C::*>;

// One configuration key: the field it sets (whose type decides the parser),
// what the inner jobs get when a text is left blank, which values a run can
// use (and how a warning names them), and the --check line of a key that the
// start-up summary does not show.  Adding a key is adding a row.
struct Key {
    std::string_view name;
    Field field;
    std::string_view unset = {};
    bool (*usable)(const C&) = nullptr;
    std::string_view range = {};
    std::string_view label = {};
};

// Gaussian's %mem: a whole number and its unit, with nothing between them;
// a bare number counts 8-byte words.
bool memory_with_unit(std::string_view mem) {
    const std::size_t digits = mem.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string_view::npos) return false;
    const std::string unit = folded(mem.substr(digits));
    return unit.size() == 2 && contains("kmgt", unit.substr(0, 1)) && (unit[1] == 'b' || unit[1] == 'w');
}

bool processor_count(std::string_view nproc) {
    return !nproc.empty() && nproc.find_first_not_of("0123456789") == std::string_view::npos &&
           nproc.find_first_not_of('0') != std::string_view::npos;
}

// A share of an SNTO value; one that is not finite is named where it is read.
bool share(double x) { return !std::isfinite(x) || (x >= 0 && x <= 1); }

const Key kKeys[] = {
    {.name = "method", .field = &C::method, .unset = "the inner route has no functional (\"/basis\"); g16 stops"},
    {.name = "basis", .field = &C::basis, .unset = "the inner route has no basis set (\"method/\"); g16 stops"},
    {.name = "root", .field = &C::root},
    {.name = "nadd", .field = &C::nadd},
    {.name = "sntorange",
     .field = &C::sntorange,
     .usable = [](const C& c) { return c.sntorange != 0; },
     .range = "-1 (use nadd) or 1 and more; 0 compares the followed state with itself only"},
    {.name = "extra", .field = &C::extra},
    {.name = "mem",
     .field = &C::mem,
     .unset = "the inner jobs get %mem=96GB",
     .usable = [](const C& c) { return memory_with_unit(c.mem); },
     .range = "a whole number with its unit, such as 32GB; Gaussian reads a bare number as 8-byte words"},
    {.name = "nproc",
     .field = &C::nproc,
     .unset = "the inner jobs get %nproc=32",
     .usable = [](const C& c) { return processor_count(c.nproc); },
     .range = "a whole number of processors, 1 or more"},
    {.name = "triplet", .field = &C::triplet},
    {.name = "sdnto", .field = &C::sdnto},
    {.name = "vosksnto", .field = &C::vosksnto},
    {.name = "sntofirst", .field = &C::sntofirst},
    {.name = "debug", .field = &C::debug},
    {.name = "inttype",
     .field = &C::inttype,
     .usable = [](const C& c) { return c.inttype == 1 || c.inttype == 2; },
     .range = "1 or 2; a run uses 1 instead"},
    // A value that is not finite is named where it is read.
    {.name = "ntothre",
     .field = &C::ntothre,
     .usable = [](const C& c) { return !std::isfinite(c.ntothre) || (c.ntothre >= 0 && c.ntothre < 1); },
     .range = "0 or more and below 1 (NTO eigenvalues lie between 0 and 1)"},
    {.name = "tooltimeout",
     .field = &C::tooltimeout,
     .label = "Time limit of NTO tools and formchk (s, 0 off)"},
    {.name = "sntowarn",
     .field = &C::sntowarn,
     .usable = [](const C& c) { return share(c.sntowarn); },
     .range = "0 to 1, a share of the reference's own SNTO value; 0 turns the warning off",
     .label = "Low-SNTO warning below this share of the reference's own value"},
    {.name = "sntoambig",
     .field = &C::sntoambig,
     .usable = [](const C& c) { return share(c.sntoambig); },
     .range = "0 to 1, a share of the best SNTO value",
     .label = "Ambiguous-SNTO warning from this share of the best value"},
    {.name = "minsnto",
     .field = &C::minsnto,
     .usable = [](const C& c) { return share(c.minsnto); },
     .range = "0 (off) to 1, a share of the reference's own SNTO value",
     .label = "Stop below this share of the reference's own value (0 off)"},
    // Any other value stops the run (check_config_values).
    {.name = "sntoref", .field = &C::sntoref, .label = "SNTO reference (previous or first step)"},
};

const Key* find_key(std::string_view folded_name) {
    for (const Key& k : kKeys)
        if (k.name == folded_name) return &k;
    return nullptr;
}

std::string value_text(const C& c, const Field& field) {
    return std::visit(
        [&](auto member) -> std::string {
            const auto& v = c.*member;
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) return v;
            else if constexpr (std::is_same_v<T, int>) return fmt_I0(v);
            else if constexpr (std::is_same_v<T, double>) return shortest(v);
            else return v ? "T" : "F";
        },
        field);
}

// The known key an unknown (folded) one was probably meant to be: the
// nearest within two edits (fewer than the key has letters), else the
// longest known key it begins with ("memory" for mem); empty when none is near.
std::string_view closest_key(std::string_view key) {
    std::string_view best;
    std::size_t best_distance = 3;
    for (const Key& known : kKeys) {
        const std::size_t d = edit_distance(key, known.name);
        if (d < best_distance && d < key.size()) best = known.name, best_distance = d;
    }
    if (best.empty())
        for (const Key& known : kKeys)
            if (starts_with(key, known.name) && known.name.size() > best.size()) best = known.name;
    return best;
}

// The folded form of a logical value, as parse_logical compares it.
std::string folded_logical(std::string_view value) { return folded(cut(parse_value(value), kConfigTextLength)); }

// One read of a configuration file: the record being filled, the keys met so
// far with the values they were given, and the warnings printed.
struct Reading {
    Reading(Tddft_config& c, const std::string& f) : config(c), file(f) {}
    Tddft_config& config;
    const std::string& file;
    std::vector<std::pair<std::string, std::string>> given;
    int warnings = 0;

    // One free-form read of an integer or a real from a value, after its
    // quotes are stripped and it is cut to 80 characters.  A value that does
    // not read is a configuration error; text after the number (the read
    // stops at a blank, comma or slash) and a real that is not finite are
    // named.  A null value or a slash leaves `field` as it was.
    template <class T>
    void number(const std::string& key, std::string_view value, T& field) {
        const std::string text = cut(parse_value(value), kConfigTextLength);
        FreeRead r(text, std::string());
        const std::string what = key + " = " + in_quotes(text) + " in " + file;
        if (!r.get(field))
            stop_with({"ERROR: " + what +
                       (std::is_same_v<T, int> ? " does not read as a whole number (-2147483648 to "
                                                 "2147483647)."
                                               : " does not read as a number.")});
        const std::size_t begin = text.find_first_not_of(' ');
        const std::size_t end = begin == std::string::npos ? begin : text.find_first_of(" ,/", begin);
        const std::string left = end == std::string::npos ? std::string() : text.substr(end);
        std::string as_read;
        if constexpr (std::is_same_v<T, int>) as_read = fmt_I0(field);
        else as_read = shortest(field);
        if (!is_blank(left))
            warnings += warn(what + " is read as " + as_read + ": " + in_quotes(left) + " after it is ignored.");
        else if constexpr (std::is_same_v<T, double>)
            if (!std::isfinite(field)) warnings += warn(what + " is not a finite number.");
    }

    // A logical that is neither a true nor a false spelling reads as false, and is named.
    void logical(const std::string& key, std::string_view value, bool& field) {
        field = parse_logical(value);
        const std::string v = folded_logical(value);
        if (field || v == ".f." || v == "f" || v == "false" || v == ".false.") return;
        warnings += warn(key + " = " + in_quotes(parse_value(value)) + " in " + file + " is not a logical value " +
                         "(true: .T./T/true/.true., false: .F./F/false/.false.); read as false.");
    }

    // Sets the field that the key names.  An unknown key is ignored and a key
    // given again replaces the earlier value; both are named.
    void pair(const std::string& key_as_written, std::string_view value, std::string_view text) {
        const std::string key = folded(key_as_written);
        const Key* k = find_key(key);
        if (!k) {
            const std::string_view near = closest_key(key);
            warnings += warn("Unknown key " + in_quotes(key_as_written) + " in " + file + " is ignored" +
                             (near.empty() ? std::string(".") : "; did you mean \"" + std::string(near) + "\"?"));
            return;
        }
        // The value replaced is the one given last before this one.
        for (auto it = given.rbegin(); it != given.rend(); ++it)
            if (it->first == key) {
                warnings += warn(key + " is given again in " + file + ": " + in_quotes(text) + " replaces " +
                                 in_quotes(it->second) + ".");
                break;
            }
        given.emplace_back(key, std::string(text));
        std::visit(
            [&](auto member) {
                auto& field = config.*member;
                using T = std::decay_t<decltype(field)>;
                if constexpr (std::is_same_v<T, std::string>) field = cut(text, kConfigTextLength);
                else if constexpr (std::is_same_v<T, bool>) logical(key_as_written, value, field);
                else number(key, value, field);
            },
            k->field);
    }

    // A pair written without "=" ("sdnto: true", "sdnto true") is no pair;
    // named when it starts with a known key.
    void no_equals(std::string_view as_written, std::string_view separator) {
        const std::size_t end = as_written.find_first_of(" :\t");
        const std::string key = folded(as_written.substr(0, end));
        if (end == 0 || !find_key(key)) return;
        std::string value(as_written.substr(end == std::string_view::npos ? as_written.size() : end));
        value.erase(0, value.find_first_not_of(" :\t"));
        if (value.empty()) value = "...";
        warnings += warn(in_quotes(as_written) + " in " + file + " has no \"=\" and is ignored; write " +
                         std::string(as_written.substr(0, end)) + std::string(separator) + value + ".");
    }
};

// The title block of a Gaussian input: the non-blank lines after the first
// blank line (which ends the Link 0 and route lines), joined by one blank.
std::string read_comment_block(const std::string& gjf_file) {
    std::ifstream in = open_or_stop(gjf_file, "ERROR: Cannot open gjf file: " + gjf_file);
    std::string line;
    for (;;) {
        if (!read_line(in, line)) stop_with({"ERROR: Unexpected end of gjf file before comment line"});
        if (is_blank(line)) break;
    }
    auto too_long = [] { stop_with({"ERROR: GJF comment block too long (multi-line route)."}); };
    std::string block;  // kept without trailing blanks
    for (;;) {
        if (!read_line(in, line)) stop_with({"ERROR: Unexpected end of gjf file before comment block"});
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
// blanks anywhere, or misspelt by up to two letters) without being exactly
// that once folded; `reading` tells whether the pairs under it are read all
// the same.
int warn_header_slip(const std::string& header, bool reading, const std::string& file) {
    const std::string f = folded(header);
    std::string name = f;
    std::erase_if(name, [](char ch) { return ch == ' ' || ch == '[' || ch == ']'; });
    if (f == "[quorin]" || (!contains(name, "quorin") && (name.size() < 4 || edit_distance(name, "quorin") > 2)))
        return 0;
    return warn("Section header " + in_quotes(header) + " in " + file + " is not [quorin]; the pairs under it are " +
                (reading ? "read." : "ignored."));
}

// A TOML line without its comment: "#" outside quotes starts one.
std::string without_comment(std::string_view line) {
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char ch = line[i];
        if (quote) quote = ch == quote ? 0 : quote;
        else if (ch == '\'' || ch == '"') quote = ch;
        else if (ch == '#') return rtrim(line.substr(0, i));
    }
    return rtrim(line);
}

// A TOML value (the comment already gone): a quoted value ends at its
// closing quote, and `after` receives what follows it; an unclosed quote
// keeps the rest of the line.
std::string toml_value(std::string_view value, std::string& after) {
    const std::string v = ltrim(value);
    const std::size_t close = v.empty() || (v[0] != '\'' && v[0] != '"') ? std::string::npos : v.find(v[0], 1);
    if (close == std::string::npos) return v;
    after = ltrim(v.substr(close + 1));
    return v.substr(0, close + 1);
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

// The settings the start-up summary does not show (--check only, so that a
// run's summary stays as it always was): a line for each key with a label.
void print_labelled_keys(const Tddft_config& c) {
    for (const Key& k : kKeys)
        if (!k.label.empty()) put("  " + std::string(k.label) + ": " + value_text(c, k.field));
}

// Values a run would write into the inner jobs without the user having
// chosen them, and values outside what the run can use.
int warn_unusable_values(const Tddft_config& c, const std::string& file) {
    int warnings = 0;
    for (const Key& k : kKeys) {
        const std::string value = value_text(c, k.field);
        if (!k.unset.empty() && is_blank(value))
            warnings += warn(std::string(k.name) + " is not set in " + file + ": " + std::string(k.unset) + ".");
        else if (k.usable && !k.usable(c))
            warnings += warn(std::string(k.name) + " = " + value + " in " + file + " is outside what quorin can use: " +
                             std::string(k.range) + ".");
    }
    return warnings;
}

// ----------------------------------------------------------- the outer input

// What quorin looks at in the outer Gaussian input: its Link 0 lines and its
// route (every line up to the first blank one).
struct OuterInput {
    std::string chk;
    std::string nproc;  // the %nproc (or %nprocshared) line
    std::string route;  // the route lines joined by blanks, folded
};

std::optional<OuterInput> read_outer_input(const std::string& gjf_file) {
    std::ifstream in;
    if (!open_for_reading(gjf_file, in)) return std::nullopt;
    OuterInput outer;
    std::string line;
    while (read_line(in, line) && !is_blank(line)) {
        const std::string l = ltrim(line);
        const std::size_t eq = l.find('=');
        if (l.front() != '%') {
            outer.route += folded(l) + " ";
        } else if (eq != std::string::npos) {
            const std::string name = rtrim(folded(l.substr(0, eq)));
            if (name == "%chk") outer.chk = rtrim(ltrim(l.substr(eq + 1)));
            if (starts_with(name, "%nproc")) outer.nproc = rtrim(l);
        }
    }
    return outer;
}

// The command of an external= keyword of a (folded) route, without its
// quotes, taken out of the route so that nothing in it passes for a keyword;
// empty without one.
std::string take_external(std::string& route) {
    const std::size_t at = route.find("external");
    if (at == std::string::npos) return {};
    std::size_t i = route.find_first_not_of(' ', at + 8);
    if (i == std::string::npos || route[i] != '=') return {};
    i = route.find_first_not_of(' ', i + 1);
    if (i == std::string::npos) return {};
    const bool quoted_value = route[i] == '\'' || route[i] == '"';
    const std::size_t end = std::min(quoted_value ? route.find(route[i], i + 1) : route.find(' ', i), route.size());
    const std::string command = route.substr(i + quoted_value, end - i - quoted_value);
    route.erase(at, end + 1 - at);
    return command;
}

// Whether the (folded) route holds a keyword of this name, written alone or
// with options ("opt", "opt=(maxstep=10)", "freq(raman)").
bool has_keyword(std::string_view route, std::string_view name) {
    std::size_t i = 0;
    while ((i = route.find(name, i)) != std::string_view::npos) {
        const bool starts = i == 0 || contains(" #", route.substr(i - 1, 1)) ||
                            (i >= 2 && route[i - 2] == '#' && contains("pnt", route.substr(i - 1, 1)));
        const std::size_t after = i + name.size();
        if (starts && (after == route.size() || contains(" =(", route.substr(after, 1)))) return true;
        i = after;
    }
    return false;
}

}  // namespace

int warn_about_outer_input(const std::string& gjf_file, const std::optional<std::string>& checked_config) {
    const std::optional<OuterInput> outer = read_outer_input(gjf_file);
    if (!outer) return 0;
    std::string route = outer->route;
    const std::string program = take_external(route);
    int warnings = 0;
    if (!contains(program, "quorin")) {
        warnings += warn("The route of " + gjf_file +
                         " has no external= that names quorin (external='quorin [config_file]'); Gaussian runs quorin "
                         "only through it.");
    } else if (checked_config) {
        // A run reads the configuration file named after the program or,
        // without one, the title of the one .gjf of the directory: this file.
        std::string command, named;
        std::istringstream(program) >> command >> named;
        auto normal = [](const std::string& f) { return fs::path(folded(f)).lexically_normal(); };
        auto shown_as = [&](const std::string& f) { return f.empty() ? "the title of " + gjf_file : f; };
        if (normal(named.empty() ? gjf_file : named) != normal(checked_config->empty() ? gjf_file : *checked_config))
            warnings += warn("The route of " + gjf_file + " runs quorin with " + shown_as(named) + ", not with " +
                             shown_as(*checked_config) + " as checked here.");
    }
    if (!has_keyword(route, "nosymm") && !contains(route, "symmetry=none") && !contains(route, "symm=none"))
        warnings += warn("The route of " + gjf_file +
                         " has no nosymm: Gaussian may turn the molecule to its standard orientation and read the "
                         "forces in the wrong frame.");
    const bool opt_freq = has_keyword(route, "opt") && (has_keyword(route, "freq") || has_keyword(route, "frequency"));
    if (!outer->chk.empty() && opt_freq) {
        // Gaussian adds ".chk" to a name without an extension.
        fs::path chk = outer->chk;
        if (!chk.has_extension()) chk += ".chk";
        const std::string target = chk_copy_target(gjf_file);
        if (fs::absolute(chk).lexically_normal() == fs::absolute(target).lexically_normal())
            warnings += warn("%chk=" + outer->chk + " in " + gjf_file + " (opt freq) is the file quorin copies the " +
                             "converged inner checkpoint over (./" + target + "), so the freq step reads the inner " +
                             "job's checkpoint instead of the outer job's; name it otherwise (%chk=" +
                             chk.stem().string() + "-outer.chk) to keep both.");
    }
    int nproc = 0;
    const std::string_view count = std::string_view(outer->nproc).substr(outer->nproc.find('=') + 1);
    if (!outer->nproc.empty() && (!try_read_free(count, nproc) || nproc > 1))
        warnings += warn(outer->nproc + " in " + gjf_file +
                         ": the outer job only waits for quorin, and its processors compete with the inner jobs'; "
                         "use %nproc=1 and give the inner jobs nproc.");
    return warnings;
}

std::vector<OutsideProgram> programs_needed(int ider, const Tddft_config& config) {
    std::vector<OutsideProgram> needed = {{"g16", "for every inner job"}, {"formchk", "after every inner job"}};
    if (ider == 1 && config.sdnto)
        needed.push_back(config.vosksnto
                             ? OutsideProgram{"voskSNTO", "to compare the states (vosksnto on)"}
                             : OutsideProgram{"voskwfn", "with Multiwfn to compare the states (vosksnto off)"});
    return needed;
}

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

int parse_integer(std::string_view value, const std::string& key, const std::string& file) {
    Tddft_config unused;
    int v = 0;
    Reading{unused, file}.number(key, value, v);
    return v;
}

bool parse_logical(std::string_view value) {
    const std::string v = folded_logical(value);
    return v == ".t." || v == "t" || v == "true" || v == ".true.";
}

// ------------------------------------------------------- configuration sources

bool try_find_unique_gjf(std::string& gjf_file) {
    gjf_file.clear();
    const std::vector<std::string> found = inputs_here(".gjf");
    if (found.size() == 1) {
        gjf_file = found.front();
        return true;
    }
    // Without a .gjf file the one .com file names the copy (named_source says which).
    const std::vector<std::string> com = found.empty() ? inputs_here(".com") : std::vector<std::string>();
    if (found.size() > 1)
        say({" Warning: Multiple gjf files found, using default chk name"});
    else if (com.size() != 1)
        say({" Warning: No gjf file found, using default chk name"});
    else
        gjf_file = com.front();
    return !gjf_file.empty();
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
        if (unique)
            put((ends_with(source.gjf_file, ".com") ? " Found unique com file: " : " Found unique gjf file: ") +
                source.gjf_file);
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
    Reading reading{config, gjf_file};
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        reading.warnings += warn_title_slip(words, i, gjf_file);
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos && contains(word, ":")) reading.no_equals(word, "=");
        if (eq == std::string::npos || eq == 0) continue;  // no pair, or one without a key (named above)
        const std::string_view value = std::string_view(word).substr(eq + 1);
        reading.pair(word.substr(0, eq), value, parse_value(value));
    }
    return reading.warnings;
}

int read_config_toml(const std::string& toml_file, Tddft_config& config) {
    config = Tddft_config{};
    config.vosksnto = false;
    std::ifstream in = open_or_stop(toml_file, "ERROR: Cannot open TOML file: " + toml_file);
    // Pairs before the first section header count; a header other than
    // [quorin] switches reading off until the next [quorin].
    bool in_section = true;
    Reading reading{config, toml_file};
    std::string raw;
    while (read_line(in, raw)) {
        const std::string line = without_comment(ltrim(raw));
        if (is_blank(line)) continue;
        if (line.front() == '[') {
            in_section = contains(folded(line), "[quorin]");
            reading.warnings += warn_header_slip(line, in_section, toml_file);
            continue;
        }
        if (!in_section) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            reading.no_equals(line, " = ");
            continue;
        }
        std::string after;
        const std::string value = parse_value(toml_value(line.substr(eq + 1), after));
        const std::string key = rtrim(line.substr(0, eq));
        if (!after.empty())
            reading.warnings += warn(in_quotes(after) + " after the closing quote of " + folded(key) + " in " +
                                     toml_file + " is ignored.");
        reading.pair(key, value, value);
    }
    return reading.warnings;
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
    if (!matches_first_step(c) && folded(c.sntoref) != "previous")
        error("sntoref = " + in_quotes(c.sntoref) + " in " + file +
              ": must be previous (match against the state followed at the previous step) or first (against the "
              "first step's).");
    if (bad) stop(1);
}

bool matches_first_step(const Tddft_config& c) { return folded(c.sntoref) == "first"; }

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
        run.input_file = args[1];
        run.output_file = args[2];
    } else if (args.size() == 7) {
        run.input_file = args[2];
        run.output_file = args[3];
        source = named_source(args[0]);
    } else {
        stop_with({"ERROR: Expected 6 or 7 arguments but got ", static_cast<int>(args.size())});
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
    if (run.natoms < 0 || run.natoms > kMaxAtoms)
        stop_with({"ERROR: External input file " + run.input_file + " gives " + fmt_I0(run.natoms) +
                   " atoms; expected 0 to " + fmt_I0(kMaxAtoms) + "."});

    if (run.ider == 2) {
        say({msg::kHessianDetected, " detected."});
    } else if (run.ider != 1)
        stop_with({"ERROR: Unsupported deriv level: ", run.ider},
                  {"       Only ider=1 (gradient) or ider=2 (Hessian) are supported."});

    read_config(source, run.config);
    check_config_values(run.config, source.file);
    // The outer input is looked at once per run, at its first call: the one
    // that finds no inner job's log in temp/ yet.
    if (!run.gjf_file.empty() && !file_exists(kInnerLog) && !file_exists(kFreqLog))
        warn_about_outer_input(run.gjf_file, std::nullopt);
    print_config_summary(run.config, run.natoms, run.charge, run.multiplicity);

    // An empty checkpoint (a node that crashed while writing it) is no guess.
    run.chk_existed = usable_checkpoint();
    if (run.chk_existed) say({" Found previous chk file, will read wavefunction from it."});
    return run;
}

int check_configuration(const std::vector<std::string>& files) {
    if (files.size() > 1)
        stop_with({"ERROR: quorin --check takes one configuration file or none, got ", static_cast<int>(files.size())});
    ConfigSource source;
    if (files.empty()) {
        source = auto_detected_source();
        put(" GJF file: " + source.gjf_file);
    } else {
        source = named_source(files.front());
    }
    Tddft_config config;
    int warnings = source.warnings + read_config(source, config);
    check_config_values(config, source.file);
    // No External input file here: Gaussian gives these at every step.
    put(" Number of atoms, charge, spin multiplicity: from Gaussian at every step");
    print_parameters(config);
    print_labelled_keys(config);
    put(config.debug ? "  Debug mode is ENABLED." : "  Debug mode is disabled (default).");

    // What a new run writes first: its first step's gradient job, without a guess to read.
    InnerJob job = inner_job_base(config);
    job.root = config.root;
    job.nadd = config.nadd;
    job.td_read = false;
    put(" Inner gradient job of the first step (" + std::string(kInnerInput) + "):");
    std::istringstream head(inner_job_head(job));
    for (std::string line; std::getline(head, line);) put(line);

    const char* path = std::getenv("PATH");
    const std::vector<OutsideProgram> programs = programs_needed(1, config);
    auto on_path = [&](const OutsideProgram& p) { return found_on_path(p.name, path ? path : ""); };
    put(" Outside programs of the gradient steps:");
    for (const OutsideProgram& p : programs)
        put("  " + std::string(p.name) + (on_path(p) ? ": on PATH" : ": not found on PATH"));

    warnings += warn_unusable_values(config, source.file);
    if (!source.gjf_file.empty())
        warnings += warn_about_outer_input(source.gjf_file, files.empty() ? std::string() : files.front());
    for (const OutsideProgram& p : programs)
        if (!on_path(p))
            warnings += warn(std::string(p.name) + " is not on PATH; quorin runs it " + std::string(p.why) + ".");
    say({"Configuration check: " + (warnings == 0 ? std::string("no warnings") : fmt_I0(warnings) + " warning(s)") +
         ", nothing was run."});
    return warnings == 0 ? 0 : 1;
}

}  // namespace quorin
