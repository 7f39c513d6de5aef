// Formatted-checkpoint text as Gaussian's formchk writes it, for the stand-in
// outside programs: section headers with the name in the first 40 columns,
// scalars on the header line, arrays after it (reals five per line in
// 1P,E16.8; integers six per line in I12).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace standin {

// First line of the stand-in g16's checkpoint files; formchk copies what
// follows it.
inline constexpr const char* kCheckpointMarker = "QUORIN STAND-IN CHECKPOINT 1";

// The value a reader gets back from an array element (1P,E16.8) and from a
// real scalar (E22.15) of a formatted checkpoint.
inline double fchk_array_value(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%16.8E", v);
    return std::strtod(buf, nullptr);
}
inline double fchk_scalar_value(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%22.15E", v);
    return std::strtod(buf, nullptr);
}

inline std::string fchk_int(const std::string& name, long long v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-40.40s   I     %12lld\n", name.c_str(), v);
    return buf;
}

inline std::string fchk_real(const std::string& name, double v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-40.40s   R     %22.15E\n", name.c_str(), v);
    return buf;
}

inline std::string fchk_int_array(const std::string& name, const std::vector<long long>& v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-40.40s   I   N=%12zu\n", name.c_str(), v.size());
    std::string s = buf;
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%12lld", v[i]);
        s += buf;
        if (i % 6 == 5 || i + 1 == v.size()) s += '\n';
    }
    return s;
}

inline std::string fchk_real_array(const std::string& name, const std::vector<double>& v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-40.40s   R   N=%12zu\n", name.c_str(), v.size());
    std::string s = buf;
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%16.8E", v[i]);
        s += buf;
        if (i % 5 == 4 || i + 1 == v.size()) s += '\n';
    }
    return s;
}

// The sections of a formatted checkpoint by name (trailing blanks of the
// 40-column name removed): scalars as a one-element array.
struct Fchk {
    std::string title;
    std::string job_line;
    std::map<std::string, std::vector<double>> reals;
    std::map<std::string, std::vector<long long>> ints;

    bool has(const std::string& name) const { return reals.count(name) || ints.count(name); }
    double real(const std::string& name, double fallback = 0.0) const {
        auto it = reals.find(name);
        return it == reals.end() || it->second.empty() ? fallback : it->second[0];
    }
    long long integer(const std::string& name, long long fallback = 0) const {
        auto it = ints.find(name);
        return it == ints.end() || it->second.empty() ? fallback : it->second[0];
    }
};

inline bool read_fchk(const std::string& path, Fchk& f) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    auto strip_cr = [](std::string& l) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
    };
    if (std::getline(in, line)) { strip_cr(line); f.title = line; }
    if (std::getline(in, line)) { strip_cr(line); f.job_line = line; }
    while (std::getline(in, line)) {
        strip_cr(line);
        if (line.size() < 44 || line[0] == ' ') continue;
        std::string name = line.substr(0, 40);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        char type = line[43];
        std::string rest = line.substr(44);
        auto npos = rest.find("N=");
        if (npos == std::string::npos) {
            std::istringstream rs(rest);
            if (type == 'I') { long long v = 0; rs >> v; f.ints[name] = {v}; }
            else if (type == 'R') { double v = 0; rs >> v; f.reals[name] = {v}; }
            continue;
        }
        long long n = std::stoll(rest.substr(npos + 2));
        if (n < 0 || n > 100000000) return false;
        if (type == 'I') {
            std::vector<long long> v;
            while ((long long)v.size() < n && std::getline(in, line)) {
                std::istringstream ls(line);
                long long x;
                while (ls >> x) v.push_back(x);
            }
            f.ints[name] = v;
        } else if (type == 'R') {
            std::vector<double> v;
            while ((long long)v.size() < n && std::getline(in, line)) {
                std::istringstream ls(line);
                std::string tok;
                while (ls >> tok) v.push_back(std::strtod(tok.c_str(), nullptr));
            }
            f.reals[name] = v;
        } else {
            // Character arrays and others: skip their lines.
            long long lines = type == 'C' ? (n + 4) / 5 : (n + 5) / 6;
            for (long long i = 0; i < lines && std::getline(in, line); ++i) {}
        }
    }
    return true;
}

}  // namespace standin
