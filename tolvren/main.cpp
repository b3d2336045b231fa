// SPDX-License-Identifier: MIT
// tolvren: reads, checks, repairs and sets the headers of LAS 1.0 to 1.4
// files, many at once, as text or JSON Lines, and decompresses LAZ files.
// The command line is parsed by CLI11;
// the work is done by the library's header API (tolvren_las.h).
#include "commands.h"
#include "field_values.h"
#include "index_command.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
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
    "Reads, checks, repairs and sets the public header of LAS files (versions 1.0 to 1.4, compressed or\n"
    "not), many files at once, as aligned text or as JSON Lines; maps their footprints as GeoJSON and SVG,\n"
    "and writes LAZ files out uncompressed.";

constexpr const char *kFooter =
    "Exit status: 0 when every file was read (info), had no error (check), is right after the run\n"
    "(repair, set) or was decompressed; 1 when a file could not be read, had an error, was refused or\n"
    "failed, or when the results could not be written; 2 for a usage error.";

// A whole number from `low` to `high`. The message says which of the two an
// argument is not.
CLI::Validator whole_number(long long low, long long high) {
    return CLI::Validator(
        [low, high](std::string &text) -> std::string {
            long long value = 0;
            const char *end = text.data() + text.size();
            const std::from_chars_result read = std::from_chars(text.data(), end, value);
            if (read.ec == std::errc::invalid_argument) return text + " is not a number";
            if (read.ptr != end) return text + " is not a whole number";
            if (read.ec == std::errc::result_out_of_range || value < low || value > high) {
                return text + " is not between " + std::to_string(low) + " and " + std::to_string(high);
            }
            return {};
        },
        "");
}

// -j, with the help of each command.
void add_jobs_option(CLI::App &command, Options &options) {
    command
        .add_option("-j,--jobs", options.jobs,
                    "Files worked on at once (default: the number of cores); with fewer files than N, the points of "
                    "each are read on several threads. Output keeps the order of the files")
        ->check(whole_number(1, 1024))
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

// The options of `set`: each names its field in options.fields.which. A
// random GUID is asked for through `random_guid`, to be made once the
// command line is known to be right.
void add_field_options(CLI::App &set, Options &options, bool &random_guid) {
    tolvren_header_fields &fields = options.fields;
    set.add_option_function<unsigned>(
           "--file-source-id",
           [&fields](const unsigned &id) {
               fields.file_source_id = static_cast<std::uint16_t>(id);
               fields.which |= TOLVREN_SET_FILE_SOURCE_ID;
           },
           "The file source ID, 0 to 65535 (LAS 1.1 on)")
        ->check(whole_number(0, 65535))
        ->type_name("N");
    set.add_option_function<std::string>(
           "--system-identifier",
           [&options](const std::string &text) {
               options.system_identifier = text;
               options.fields.which |= TOLVREN_SET_SYSTEM_IDENTIFIER;
           },
           "The system identifier: up to 32 characters of printable ASCII, never cut")
        ->type_name("TEXT");
    set.add_option_function<std::string>(
           "--generating-software",
           [&options](const std::string &text) {
               options.generating_software = text;
               options.fields.which |= TOLVREN_SET_GENERATING_SOFTWARE;
           },
           "The generating software: up to 32 characters of printable ASCII, never cut")
        ->type_name("TEXT");
    set.add_option_function<std::string>(
           "--creation-date",
           [&fields](const std::string &text) {
               tolvren_cli::DayOfYear date;
               if (text == "today") {
                   date = tolvren_cli::today();
               } else if (!tolvren_cli::parse_date(text, date)) {
                   throw CLI::ValidationError("--creation-date", text + " is not a date (YYYY-MM-DD)");
               }
               fields.creation_year = date.year;
               fields.creation_day = date.day;
               fields.which |= TOLVREN_SET_CREATION_DATE;
           },
           "The creation date, YYYY-MM-DD or today (UTC), stored as the year and the day of the year")
        ->type_name("DATE");
    set.add_option_function<std::string>(
           "--guid",
           [&fields, &random_guid](const std::string &text) {
               random_guid = text == "random";
               if (!random_guid && !tolvren_cli::parse_guid(text, fields.guid)) {
                   throw CLI::ValidationError("--guid", text + " is not a UUID written as 8-4-4-4-12 hex digits");
               }
               fields.which |= TOLVREN_SET_GUID;
           },
           "The GUID (project ID) as info shows it, 8-4-4-4-12 hex digits, or random: one new random UUID for "
           "every file of the run")
        ->type_name("UUID");
    set.add_option_function<std::string>(
           "--global-encoding-gps",
           [&fields](const std::string &type) {
               fields.gps_time_adjusted = type == "adjusted";
               fields.which |= TOLVREN_SET_GPS_TIME_TYPE;
           },
           "Global encoding bit 0, the points' GPS time: adjusted (standard GPS time minus 1e9) or week (GPS "
           "week time); LAS 1.2 on")
        ->check(CLI::IsMember({"adjusted", "week"}))
        ->type_name("TYPE");
    set.add_option_function<std::string>(
           "--global-encoding-wkt",
           [&fields](const std::string &state) {
               fields.wkt = state == "on";
               fields.which |= TOLVREN_SET_WKT;
           },
           "Global encoding bit 4, the CRS given as WKT: on (only with a WKT record in the file) or off (LAS 1.4; "
           "always on in point formats 6 to 10)")
        ->check(CLI::IsMember({"on", "off"}))
        ->type_name("STATE");
    set.callback([&fields] {
        if (fields.which == 0) {
            throw CLI::RequiredError("set needs a field to set: --file-source-id, --system-identifier, "
                                     "--generating-software, --creation-date, --guid, --global-encoding-gps or "
                                     "--global-encoding-wkt",
                                     CLI::ExitCodes::RequiredError);
        }
    });
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

    CLI::App *set = app.add_subcommand(
        "set", "Write the given header fields in place: who made each file and when (header bytes only)");
    add_common_options(*set, options,
                       "LAS or LAZ files to set the fields of (only header bytes are read and written)");
    set->add_flag("--dry-run", options.dry_run, "Say what would change and write nothing");
    bool random_guid = false;
    add_field_options(*set, options, random_guid);

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

    tolvren_cli::IndexOptions index_options;
    index_options.jobs = options.jobs;
    CLI::App *index = tolvren_cli::add_index_command(app, index_options, whole_number(1, 1024));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        // A first word that is no command leaves the command missing; the
        // word is what to name.
        const std::vector<std::string> left = app.remaining();
        if (app.get_subcommands().empty() && !left.empty() && left.front().rfind('-', 0) != 0) {
            app.exit(CLI::ExtrasError(left.front() + " is not a command of tolvren; the commands are info, check, "
                                                     "repair, set and index",
                                      CLI::ExitCodes::ExtrasError));
            return tolvren_cli::kExitUsage;
        }
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

    // One GUID for the run: the field is a project ID, which the files of
    // one project share.
    if (random_guid && !tolvren_cli::random_guid(options.fields.guid)) {
        std::fprintf(stderr, "tolvren: cannot get random bytes for --guid random: %s\n", std::strerror(errno));
        return tolvren_cli::kExitFileProblem;
    }

    int status = tolvren_cli::kExitOk;
    try {
        const Command command = app.got_subcommand(info)         ? Command::Info
                                : app.got_subcommand(check)      ? Command::Check
                                : app.got_subcommand(repair)     ? Command::Repair
                                : app.got_subcommand(decompress) ? Command::Decompress
                                                                 : Command::Set;
        status = app.got_subcommand(index) ? tolvren_cli::run_index(index_options)
                                           : tolvren_cli::run_command(command, options);
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
