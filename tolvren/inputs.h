/* SPDX-License-Identifier: MIT */
// The files a command works on: the arguments as given, or with
// --recursive the LAS and LAZ files under the directories among them.
#ifndef TOLVREN_CLI_INPUTS_H
#define TOLVREN_CLI_INPUTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace tolvren_cli {

struct Input {
    std::string path;
    std::uint64_t size = 0;  // bytes, for the progress display; 0 when unknown
    // Which file it is (device and inode; both 0 when unknown), so that two
    // names of one file are never worked on at the same time.
    std::uint64_t device = 0, inode = 0;
    // Set when a directory could not be walked: the input then stands for
    // that directory and fails with this message, in its place in the order.
    std::string walk_error;
};

// One input per argument, in argument order. With `recursive`, a directory
// argument is replaced by every regular file below it (symbolic links to
// directories are not followed) whose name has a LAS extension, sorted by
// path byte by byte so that runs are repeatable; a symbolic link of such a
// name that leads nowhere (dangling, a loop) is kept and fails when read,
// and a directory below it that cannot be read takes its place in that
// order as a failing input. Other arguments are kept as given: a file is
// judged by its contents, never by its name.
std::vector<Input> collect_inputs(const std::vector<std::string> &arguments, bool recursive);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_INPUTS_H
