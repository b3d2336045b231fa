// SPDX-License-Identifier: MIT
// tolvren: reads, checks and repairs the headers of LAS 1.0 to 1.4 files,
// many at once, as text or JSON Lines. The command line is parsed by CLI11;
// the work is done by the library's header API (tolvren_las.h).
#include "commands.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#ifndef TOLVREN_VERSION
#error "TOLVREN_VERSION must be defined by the build"
#endif

namespace {

using tolvren_cli::Command;
using tolvren_cli::Options;

constexpr const char *kDescription =
    "Reads, checks and repairs the public header of LAS files (versions 1.0 to 1.4, compressed or not),\n"
    "many files at once, as aligned text or as JSON Lines.";

constexpr const char *kFooter =
    "Exit status: 0 when every file was read (info), had no error (check) or is right after the run\n"
    "(repair); 1 when a file could not be read, had an error, was refused or failed, or when the results\n"
    "could not be written; 2 for a usage error.";

// The options that every command takes.
void add_common_options(CLI::App &command, Options &options, const char *files_help) {
    command.add_option("files", options.files, files_help)->required()->type_name("FILE");
    command.add_flag("--json", options.json, "One JSON object per file, one per line");
    command.add_flag("-r,--recursive", options.recursive,
                     "Take directories: every file below them ending in .las or .laz (any case), sorted");
    command
        .add_option("-j,--jobs", options.jobs,
                    "Files worked on at once (default: the number of cores); with fewer files than N, the points of "
                    "each are read on several threads. Output keeps the order of the files")
        ->check(CLI::Range(1u, 1024u).description(""))
        ->type_name("N");
    command.footer(kFooter);
}

// Descriptors 0, 1 and 2 are the standard streams. One that the caller left
// closed would be handed to the next file opened, a tile being repaired
// among them, and results or messages meant for the stream would be written
// into it. Each closed one is filled with /dev/null, opened the wrong way
// round (write-only for input, read-only for output and error), so that
// using the stream still fails with EBADF as on a closed descriptor: results
// that reach no reader are still a failure. Returns false when a stream
// cannot be filled.
bool fill_closed_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower numbers are open, so open() returns this one.
        const int filler = open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY);
        if (filler == fd) continue;
        if (filler >= 0) close(filler);
        return false;
    }
    return true;
}

unsigned default_jobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

}  // namespace

int main(int argc, char **argv) {
    // Before anything else opens a descriptor.
    if (!fill_closed_standard_streams()) {
        std::fprintf(stderr, "tolvren: cannot open /dev/null in place of a closed standard stream\n");
        return tolvren_cli::kExitFileProblem;
    }
    Options options;
    options.jobs = default_jobs();

    CLI::App app{kDescription, "tolvren"};
    app.set_version_flag("--version", std::string("tolvren ") + TOLVREN_VERSION);
    app.require_subcommand(1);
    app.footer(kFooter);

    CLI::App *info = app.add_subcommand("info", "Print the header of each file");
    add_common_options(*info, options, "LAS or LAZ files to read");
    info->add_flag("--vlrs", options.vlr_data,
                   "Also show the data of each VLR and EVLR in hex (the first 1024 bytes of each)");
    info->add_flag("--stats", options.stats,
                   "Also read every point record (decoding compressed ones) and show the range of each field, the "
                   "classes, the returns by number of returns, the flight lines and the extra dimensions");

    CLI::App *check = app.add_subcommand("check", "Check each header against its file; print each finding");
    add_common_options(*check, options, "LAS or LAZ files to check");
    check->add_flag("--scan", options.scan,
                    "Also read the point records (decoding compressed ones) and check the counts and extents, and "
                    "a LAZ file's chunk table and chunks");
    check->add_flag("--points", options.points,
                    "Also read every field of every point record and check the points themselves: return numbers, "
                    "numbers of returns, extents, classes, GPS time type, colour depth and scan angles (with "
                    "--scan, the points are read once)");

    CLI::App *repair = app.add_subcommand(
        "repair", "Rewrite in place the point counts and extents that disagree with the point records");
    add_common_options(*repair, options,
                       "LAS or LAZ files to repair (a LAZ file's header only: its compressed data stay as they are)");
    repair->add_flag("--dry-run", options.dry_run, "Say what would change and write nothing");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        // --help and --version end here too, with status 0.
        return app.exit(error) == 0 ? tolvren_cli::kExitOk : tolvren_cli::kExitUsage;
    }

    // A reader that goes away (`tolvren repair ... | head`) must not end the
    // process between two writes of a repair: writing then fails instead,
    // and no further file is started.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f) makes a write beyond it fail with EFBIG
    // instead of ending the process: results redirected to a file then fail
    // as on a full disk. The library's header writes never die of it either
    // way; they take back the signal they raise.
    std::signal(SIGXFSZ, SIG_IGN);

    int status = tolvren_cli::kExitOk;
    try {
        const Command command = app.got_subcommand(info)    ? Command::Info
                                : app.got_subcommand(check) ? Command::Check
                                                            : Command::Repair;
        status = tolvren_cli::run_command(command, options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tolvren: %s\n", error.what());
        status = tolvren_cli::kExitFileProblem;
    }
    // A full disk or a closed pipe must not pass for success; a closed pipe
    // is what a reader that has seen enough leaves, and needs no message.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno != EPIPE) std::fprintf(stderr, "tolvren: cannot write the results: %s\n", std::strerror(errno));
        status = tolvren_cli::kExitFileProblem;
    }
    return status;
}
