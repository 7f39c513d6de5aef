#include "module_init.hpp"

#include <filesystem>
#include <fstream>
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

constexpr std::string_view kCheckpoint = "temp/tddft_pelun.chk";

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

// Sets the field that `key` names.  Numbers and logicals are parsed from
// `value`; text fields take `text` (already cleaned by the caller), cut to
// their 80 characters.  Unknown keys are ignored.
void apply_key(Tddft_config& c, const std::string& key, std::string_view value, std::string_view text,
               const std::string& file) {
    const std::string where = "key " + key + " in " + file;
    auto as_text = [&](std::string& field) { field = cut(text, kConfigTextLength); };
    if (key == "method") as_text(c.method);
    else if (key == "basis") as_text(c.basis);
    else if (key == "extra") as_text(c.extra);
    else if (key == "mem") as_text(c.mem);
    else if (key == "nproc") as_text(c.nproc);
    else if (key == "root") read_number(value, c.root, "an integer", where);
    else if (key == "nadd") read_number(value, c.nadd, "an integer", where);
    else if (key == "sntorange") read_number(value, c.sntorange, "an integer", where);
    else if (key == "inttype") read_number(value, c.inttype, "an integer", where);
    else if (key == "ntothre") read_number(value, c.ntothre, "a real", where);
    else if (key == "triplet") c.triplet = parse_logical(value);
    else if (key == "sdnto") c.sdnto = parse_logical(value);
    else if (key == "vosksnto") c.vosksnto = parse_logical(value);
    else if (key == "sntofirst") c.sntofirst = parse_logical(value);
    else if (key == "debug") c.debug = parse_logical(value);
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
    std::string v = cut(parse_value(value), kConfigTextLength);
    to_lowercase(v);
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

void read_config_gjf(const std::string& gjf_file, Tddft_config& config) {
    config = Tddft_config{};
    config.vosksnto = true;
    const std::string block = read_comment_block(gjf_file);
    // Words end at blanks, so a pair is written without blanks around "=".
    for (const std::string& word : words_of(block)) {
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos) continue;
        std::string key = word.substr(0, eq);
        to_lowercase(key);
        const std::string_view value = std::string_view(word).substr(eq + 1);
        apply_key(config, key, value, parse_value(value), gjf_file);
    }
}

void read_config_toml(const std::string& toml_file, Tddft_config& config) {
    config = Tddft_config{};
    config.vosksnto = false;
    std::ifstream in = open_or_stop(toml_file, "ERROR: Cannot open TOML file: " + toml_file);
    // Pairs before the first section header count; a header other than
    // [quorin] switches reading off until the next [quorin].
    bool in_section = true;
    std::string raw;
    while (read_line(in, raw)) {
        std::string line = ltrim(raw);
        if (is_blank(line) || line.front() == '#') continue;
        if (line.front() == '[') {
            to_lowercase(line);
            in_section = contains(line, "[quorin]");
            continue;
        }
        if (!in_section) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = rtrim(line.substr(0, eq));
        to_lowercase(key);
        // Everything after the first "=" is the value: no inline comments.
        const std::string value = parse_value(line.substr(eq + 1));
        apply_key(config, key, value, value, toml_file);
    }
}

void print_config_summary(const Tddft_config& c, int natoms, int charge, int multiplicity) {
    if (!c.debug) {
        put(" Debug mode is disabled (default).");
        return;
    }
    put(" Number of atoms: " + fmt_I0(natoms));
    put(" Charge: " + fmt_I0(charge));
    put(" Spin multiplicity: " + fmt_I0(multiplicity));
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
    return job;
}

// ------------------------------------------------------------------ start-up

void initialize_quorin(const std::vector<std::string>& args, std::string& gjf_file, std::string& input_file,
                       std::string& output_file, Tddft_config& config, int& natoms, int& charge,
                       int& multiplicity, int& ider, bool& chk_existed) {
    gjf_file.clear();
    input_file.clear();
    output_file.clear();
    natoms = charge = multiplicity = ider = 0;
    chk_existed = false;

    // Gaussian appends six arguments (layer, input, output, message, fchk,
    // matrix-element file); the user may put a configuration file before them.
    std::string config_file;
    bool toml_mode = false;
    if (args.size() == 6) {
        find_gjf_or_stop(gjf_file);
        input_file = rtrim(args[1]);
        output_file = rtrim(args[2]);
    } else if (args.size() == 7) {
        config_file = rtrim(args[0]);
        input_file = rtrim(args[2]);
        output_file = rtrim(args[3]);
        std::string folded = config_file;
        to_lowercase(folded);
        toml_mode = ends_with(folded, ".toml");
        if (toml_mode) {
            const bool unique = try_find_unique_gjf(gjf_file);
            put(" Config file (TOML): " + config_file);
            if (unique) put(" Found unique gjf file: " + gjf_file);
        } else {
            gjf_file = config_file;
            put(" GJF file: " + gjf_file);
        }
    } else {
        say({"ERROR: Expected 6 or 7 arguments but got ", static_cast<int>(args.size())});
        stop(1);
    }

    put(" Input file: " + input_file);
    put(" Output file: " + output_file);

    {
        std::ifstream in;
        if (!open_for_reading(input_file, in)) io_failure("cannot open the External input file \"" + input_file + "\"");
        FreeRead header(in, "the header of External input file " + input_file);
        header.must(natoms, ider, charge, multiplicity);
    }
    if (natoms < 0 || natoms > kMaxAtoms) {
        say({"ERROR: External input file " + input_file + " gives " + fmt_I0(natoms) +
             " atoms; expected 0 to " + fmt_I0(kMaxAtoms) + "."});
        stop(1);
    }

    if (ider == 2) {
        say({"Hessian-only mode (ider=2) detected."});
    } else if (ider != 1) {
        say({"ERROR: Unsupported deriv level: ", ider});
        say({"       Only ider=1 (gradient) or ider=2 (Hessian) are supported."});
        stop(1);
    }

    if (toml_mode)
        read_config_toml(config_file, config);
    else
        read_config_gjf(gjf_file, config);
    print_config_summary(config, natoms, charge, multiplicity);

    chk_existed = file_exists(std::string(kCheckpoint));
    if (chk_existed) say({" Found previous chk file, will read wavefunction from it."});
}

}  // namespace quorin
