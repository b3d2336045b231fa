// SPDX-License-Identifier: MIT
#include "inputs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <system_error>

namespace tolvren_cli {

namespace fs = std::filesystem;

namespace {

// True for a name ending in ".las" or ".laz", in any letter case.
bool has_las_extension(const std::string &name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".las" || tail == ".laz";
}

// An input for `path`, with its size and identity when it is a regular file.
Input input_for(std::string path) {
    Input input{std::move(path), 0, 0, 0, {}};
    struct stat st {};
    if (stat(input.path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        input.size = static_cast<std::uint64_t>(st.st_size);
        input.device = static_cast<std::uint64_t>(st.st_dev);
        input.inode = static_cast<std::uint64_t>(st.st_ino);
    }
    return input;
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Adds the LAS files below `dir` to `found`; a directory that cannot be
// read becomes an input naming it, which fails with the reason.
void walk(const fs::path &dir, std::vector<Input> &found) {
    std::error_code error;
    std::vector<fs::path> subdirectories;
    fs::directory_iterator it(dir, error);
    for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
        const fs::directory_entry &entry = *it;
        std::error_code ignored;
        // Linked directories are not followed (no loops); linked files are.
        if (!entry.is_symlink(ignored) && entry.is_directory(ignored)) {
            subdirectories.push_back(entry.path());
        } else if (has_las_extension(entry.path().filename().string())) {
            // A link that leads nowhere (dangling, or a loop) is kept, so
            // that it fails with the reason as it would when named itself.
            std::error_code unreachable;
            if (entry.is_regular_file(unreachable) || unreachable) found.push_back(input_for(entry.path().string()));
        }
    }
    if (error) {
        const std::string where = dir.string();
        found.push_back(Input{where, 0, 0, 0, where + ": cannot read the directory: " + error.message()});
    }
    for (const fs::path &subdirectory : subdirectories) walk(subdirectory, found);
}

}  // namespace

std::vector<Input> collect_inputs(const std::vector<std::string> &arguments, bool recursive) {
    std::vector<Input> inputs;
    for (const std::string &argument : arguments) {
        if (recursive && is_directory(argument)) {
            std::vector<Input> found;
            walk(argument, found);
            // Sorted by path, so a run is the same whatever order the
            // directories list their entries in.
            std::sort(found.begin(), found.end(),
                      [](const Input &a, const Input &b) { return a.path < b.path; });
            inputs.insert(inputs.end(), std::make_move_iterator(found.begin()),
                          std::make_move_iterator(found.end()));
        } else {
            inputs.push_back(input_for(argument));
        }
    }
    return inputs;
}

}  // namespace tolvren_cli
