/* SPDX-License-Identifier: MIT */
// The commands of tolvren, each run over many files.
#ifndef TOLVREN_CLI_COMMANDS_H
#define TOLVREN_CLI_COMMANDS_H

#include "tolvren_las.h"

#include <string>
#include <vector>

namespace tolvren_cli {

enum class Command { Info, Check, Repair, Set, Decompress };

struct Options {
    std::vector<std::string> files;
    bool json = false;
    bool recursive = false;
    bool scan = false;     // check: against the point records too
    bool points = false;   // check: the points' own fields too
    bool stats = false;    // info: the statistics of the point records too
    bool dry_run = false;  // repair, set: say what would change, write nothing
    bool vlr_data = false; // info: each record's data in hex too
    bool force = false;    // decompress: replace existing outputs
    std::string input;     // decompress: the LAZ file, or with -r directory
    std::string output;    // decompress: the output file, or with -r directory
    unsigned jobs = 1;
    // set: the fields to write, named in fields.which. The two texts are
    // kept here; the command points fields at them.
    tolvren_header_fields fields{};
    std::string system_identifier, generating_software;
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFileProblem = 1;  // a file failed, had an error or was refused
constexpr int kExitUsage = 2;

// The sentence for a file the library could not work on: its detail's, or
// for a directory named without -r, the hint to give -r.
std::string message_of(const tolvren_detail &detail, const std::string &path, int code);

// Runs `command` over the files of `options` and writes the results, in the
// order of the files, to standard output and diagnostics to standard error.
// Decompress reads `input` (with `recursive`, a directory) and writes to
// `output`. Returns kExitOk or kExitFileProblem.
int run_command(Command command, const Options &options);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_COMMANDS_H
