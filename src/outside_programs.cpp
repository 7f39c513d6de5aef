#include "outside_programs.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "text_fields.hpp"

namespace fs = std::filesystem;

namespace quorin {

namespace {
std::vector<std::string>& command_log() {
    static std::vector<std::string> log;
    return log;
}

// A short sibling name (same directory, so the rename is atomic) that no
// other writer is using at the same moment; short so that a long target
// name still leaves room for it.
std::string sibling_name(const std::string& path) {
    static std::mt19937_64 gen(std::random_device{}() ^
                               static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char buf[40];
    std::snprintf(buf, sizeof buf, ".quorin-part-%016llx", static_cast<unsigned long long>(gen()));
    return (fs::path(path).parent_path() / buf).string();
}
}  // namespace

int run_shell(const std::string& command) {
    command_log().push_back(command);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    return std::system(command.c_str());
}

bool found_on_path(std::string_view program, std::string_view path_list) {
    constexpr auto any_exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = path_list.find(':', start);
        const std::string_view dir = path_list.substr(start, colon == std::string_view::npos ? colon : colon - start);
        std::error_code ec;
        const fs::file_status st = fs::status(fs::path(dir.empty() ? "." : dir) / program, ec);
        if (!ec && fs::is_regular_file(st) && (st.permissions() & any_exec) != fs::perms::none) return true;
        if (colon == std::string_view::npos) return false;
        start = colon + 1;
    }
}

const std::vector<std::string>& shell_command_log() { return command_log(); }

void clear_shell_command_log() { command_log().clear(); }

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::path(path), ec);
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(fs::path(path), ec);
}

bool copy_file_over(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::path target(to);
    if (fs::is_directory(target, ec)) target /= fs::path(from).filename();
    std::string tmp = sibling_name(target.string());
    if (!fs::copy_file(fs::path(from), fs::path(tmp), fs::copy_options::overwrite_existing, ec)) {
        fs::remove(fs::path(tmp), ec);
        return false;
    }
    fs::rename(fs::path(tmp), target, ec);
    if (ec) {
        std::error_code ec2;
        fs::remove(fs::path(tmp), ec2);
        return false;
    }
    return true;
}

void remove_file(const std::string& path) {
    std::error_code ec;
    fs::remove(fs::path(path), ec);
}

bool glob_match(std::string_view p, std::string_view s) {
    // Iterative '*' matcher with backtracking to the last star.
    std::size_t pi = 0, si = 0, star = std::string_view::npos, mark = 0;
    while (si < s.size()) {
        if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = si;
        } else if (pi < p.size() && p[pi] == s[si]) {
            ++pi;
            ++si;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

std::vector<std::string> list_matching(const std::string& dir, std::string_view pattern) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(fs::path(dir.empty() ? "." : dir), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        if (!it->is_regular_file(ec2)) continue;
        std::string name = it->path().filename().string();
        // Like the shell, a leading dot is matched only by a leading dot.
        if (!name.empty() && name[0] == '.' && (pattern.empty() || pattern[0] != '.')) continue;
        if (glob_match(pattern, name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void remove_matching(const std::string& dir, std::string_view pattern) {
    for (const auto& name : list_matching(dir, pattern)) remove_file((fs::path(dir) / name).string());
}

void replace_file_atomically(const std::string& path, const std::string& content) {
    std::string tmp = sibling_name(path);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) io_failure("cannot create " + tmp + " to write " + path);
        out << content;
        out.flush();
        if (!out) {
            out.close();
            remove_file(tmp);
            io_failure("cannot write " + path);
        }
    }
    std::error_code ec;
    fs::rename(fs::path(tmp), fs::path(path), ec);
    if (ec) {
        remove_file(tmp);
        io_failure("cannot replace " + path + ": " + ec.message());
    }
}

}  // namespace quorin
