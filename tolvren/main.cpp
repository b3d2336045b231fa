// SPDX-License-Identifier: MIT
// tolvren: reads, checks and repairs the headers of LAS 1.0 to 1.4 files,
// many at once, as text or JSON Lines, and decompresses LAZ files. The command line is parsed by CLI11;
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
    "many files at once, as aligned text or as JSON Lines, and writes LAZ files out uncompressed.";

constexpr const char *kFooter =
    "Exit status: 0 when every file was read (info), had no error (check), is right after the run\n"
    "(repair) or was decompressed; 1 when a file could not be read, had an error, was refused or failed,\n"
    "or when the results could not be written; 2 for a usage error.";

// -j, with the help of each command.
void add_jobs_option(CLI::App &command, Options &options) {
    command
        .add_option("-j,--jobs", options.jobs,
                    "Files worked on at once (default: the number of cores); with fewer files than N, the points of "
                    "each are read on several threads. Output keeps the order of the files")
        ->check(CLI::Range(1u, 1024u).description(""))
        ->type_name("N");
}

// The options that every command but decompress takes.
void add_common_options(CLI::App &command, Options &options, const char *files_help) {
    command.add_option("files", options.files, files_help)->required()->type_name("FILE");
    command.add_flag("--json", options.json, "One JSON object per file, one per line");
    command.add_flag("-r,--recursive", options.recursive,
                     "Take directories: every file below them ending in .las or .laz (any case), sorted");
    add_jobs_option(command, options);
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

    CLI::App *check = app.add_subcommand("check", "Check each header against its file; print each finding");
    add_common_options(*check, options, "LAS or LAZ files to check");
    check->add_flag("--scan", options.scan,
                    "Also read the point records (decoding compressed ones) and check the counts and extents, and "
                    "a LAZ file's chunk table and chunks");

    CLI::App *repair = app.add_subcommand(
        "repair", "Rewrite in place the point counts and extents that disagree with the point records");
    add_common_options(*repair, options,
                       "LAS or LAZ files to repair (a LAZ file's header only: its compressed data stay as they are)");
    repair->add_flag("--dry-run", options.dry_run, "Say what would change and write nothing");

    CLI::App *decompress = app.add_subcommand(
        "decompress", "Write a LAZ file, or every LAZ file below a directory, as an uncompressed LAS file");
    decompress->add_option("input", options.input, "The LAZ file (with -r, the directory of LAZ files)")
        ->required()
        ->type_name("IN");
    decompress->add_option("output", options.output, "The LAS file to write (with -r, the directory to write into)")
        ->required()
        ->type_name("OUT");
    decompress->add_flag("--json", options.json, "One JSON object per file, one per line");
    decompress->add_flag("-r,--recursive", options.recursive,
                         "Decompress every file below IN ending in .laz (any case), sorted, into the same relative "
                         "path below OUT with the extension .las, creating directories");
    add_jobs_option(*decompress, options);
    decompress->add_flag("--force", options.force, "Replace output files that exist (never an input)");
    decompress->footer(kFooter);

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
        const Command command = app.got_subcommand(info)         ? Command::Info
                                : app.got_subcommand(check)      ? Command::Check
                                : app.got_subcommand(decompress) ? Command::Decompress
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
