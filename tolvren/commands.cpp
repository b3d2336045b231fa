// SPDX-License-Identifier: MIT
#include "commands.h"

#include "inputs.h"
#include "render.h"
#include "runner.h"
#include "tolvren_las.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace tolvren_cli {

std::string message_of(const tolvren_detail &detail, const std::string &path, int code) {
    // A directory named without -r: say how to take the files in it.
    struct stat info {};
    if (code == TOLVREN_ENOTREGULAR && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return path + ": is a directory; give -r to take the LAS and LAZ files below it";
    }
    if (detail.message[0] != '\0') return std::string(detail.message, strnlen(detail.message, sizeof detail.message));
    return path + ": " + tolvren_strerror(code);
}

namespace {

// The result of one file as the options ask: a JSON line or text.
// `errors` and `warnings` are a check's totals.
std::string rendered(Command command, const Options &options, std::size_t index, const Json &object, int errors = 0,
                     int warnings = 0) {
    if (options.json) return json_line(object);
    switch (command) {
        case Command::Info:  // blocks apart by an empty line
            return (index > 0 ? "\n" : "") + header_text(object) + records_text(object) + statistics_text(object);
        case Command::Check: return check_text(object, errors, warnings);
        case Command::Decompress: return decompress_text(object);
        case Command::Repair:
        case Command::Set: break;
    }
    return changes_text(object);
}

// A repair or a set that did not happen: "refused" when the file was left
// untouched (not LAS, compressed points that cannot be decoded or are
// damaged, a layout in doubt, a value a field cannot hold, changed
// meanwhile, not writable, too many points...), "failed" when writing it
// went wrong, whether the header holds its original bytes or may be
// damaged.
const char *write_failure_status(int code) {
    return code == TOLVREN_EWRITE || code == TOLVREN_EWRITERESTORE ? "failed" : "refused";
}

// A file the command could not work on: the result says so in the command's
// own shape, and standard error gets the sentence. A failed repair or set
// lists the changes it tried to write.
Outcome failure(Command command, const Options &options, std::size_t index, const std::string &path, int code,
                const std::string &message, Json changes = Json::array()) {
    Json object;
    set_path(object, path);
    switch (command) {
        case Command::Info: break;
        case Command::Check:
            object["ok"] = false;
            object["findings"] = Json::array();
            break;
        case Command::Repair:
        case Command::Set:
            object["status"] = write_failure_status(code);
            object["changes"] = std::move(changes);
            break;
        case Command::Decompress: break;
    }
    object["error"] = error_json(code, message);
    return Outcome{rendered(command, options, index, object), "tolvren: " + escape_text(message) + "\n", true};
}

Outcome info(const Options &options, std::size_t index, const std::string &path, CrsNames &names, unsigned threads,
             ProgressSlot &slot) {
    // About 80 KB: on the heap, not the thread's stack, and one for each
    // thread rather than one for each file.
    thread_local const auto records = std::make_unique<tolvren_records>();
    tolvren_detail detail{};
    int code = tolvren_read_records(path.c_str(), records.get(), &detail);
    if (code < 0) return failure(Command::Info, options, index, path, code, message_of(detail, path, code));
    Json object = header_json(path, records->header);
    add_records_json(object, *records, names, path, options.vlr_data);
    if (!options.stats) return Outcome{rendered(Command::Info, options, index, object), {}, false};
    const auto statistics = std::make_unique<tolvren_statistics>();
    code = tolvren_compute_statistics(path.c_str(), threads, &ProgressSlot::callback, &slot, statistics.get(), &detail);
    if (code < 0) {
        // The header and the records are still shown; the points could not
        // be read.
        const std::string message = message_of(detail, path, code);
        object["stats"] = nullptr;
        object["error"] = error_json(code, message);
        return Outcome{rendered(Command::Info, options, index, object), "tolvren: " + escape_text(message) + "\n",
                       true};
    }
    add_statistics_json(object, *statistics);
    return Outcome{rendered(Command::Info, options, index, object), {}, false};
}

Outcome check(const Options &options, std::size_t index, const std::string &path, unsigned threads,
              ProgressSlot &slot) {
    tolvren_report report{};
    tolvren_detail detail{};
    const unsigned flags = (options.scan ? TOLVREN_CHECK_SCAN : 0u) | (options.points ? TOLVREN_CHECK_POINTS : 0u);
    const int code = tolvren_check_file_mt(path.c_str(), flags, threads,
                                           &ProgressSlot::callback, &slot, &report, &detail);
    if (code < 0) return failure(Command::Check, options, index, path, code, message_of(detail, path, code));
    return Outcome{rendered(Command::Check, options, index, check_json(path, report), report.errors, report.warnings),
                   {}, report.errors > 0};
}

Outcome repair(const Options &options, std::size_t index, const std::string &path, unsigned threads,
               ProgressSlot &slot) {
    tolvren_repair_result result{};
    tolvren_detail detail{};
    const int code = tolvren_repair_mt(path.c_str(), options.dry_run ? TOLVREN_REPAIR_DRY_RUN : 0u, threads,
                                       &ProgressSlot::callback, &slot, &result, &detail);
    if (code < 0) {
        Json tried = repair_json(path, result, options.dry_run).at("changes");
        return failure(Command::Repair, options, index, path, code, message_of(detail, path, code),
                       std::string(write_failure_status(code)) == "failed" ? std::move(tried) : Json::array());
    }
    // A dry run that finds fields to change leaves the file wrong.
    return Outcome{rendered(Command::Repair, options, index, repair_json(path, result, options.dry_run)), {},
                   options.dry_run && result.count > 0};
}

Outcome set(const Options &options, std::size_t index, const std::string &path,
            const tolvren_header_fields &fields) {
    tolvren_set_result result{};
    tolvren_detail detail{};
    const int code =
        tolvren_set_fields(path.c_str(), &fields, options.dry_run ? TOLVREN_SET_DRY_RUN : 0u, &result, &detail);
    if (code < 0) {
        const bool failed = std::string(write_failure_status(code)) == "failed";
        return failure(Command::Set, options, index, path, code, message_of(detail, path, code),
                       failed ? set_json(path, result, options.dry_run).at("changes") : Json::array());
    }
    // A dry run that finds fields to change leaves the file unlike what was asked.
    return Outcome{rendered(Command::Set, options, index, set_json(path, result, options.dry_run)), {},
                   options.dry_run && result.changed != 0};
}

// --- decompress -------------------------------------------------------------

// The signal that asked a decompression run to stop; 0 while none has.
volatile std::sig_atomic_t stop_signal = 0;

void note_stop_signal(int signal) { stop_signal = signal; }

// While decompressing, SIGINT, SIGTERM and SIGHUP stop the run instead of
// the process: the files under way are canceled through their progress
// callbacks, so their new files are removed, and no further file starts.
// Then the signal is raised again with its own action, so that whoever sent
// it sees the program end by it. A signal the program was started ignoring
// stays ignored.
class StopSignals {
public:
    StopSignals() {
        struct sigaction action {};
        action.sa_handler = note_stop_signal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            installed_[i] = sigaction(kSignals[i], nullptr, &saved_[i]) == 0 && saved_[i].sa_handler != SIG_IGN &&
                            sigaction(kSignals[i], &action, nullptr) == 0;
        }
    }
    ~StopSignals() { restore(); }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // After the run: ends the process by the signal that stopped it.
    void raise_caught() {
        restore();
        if (stop_signal == 0) return;
        std::fflush(stdout);
        std::raise(stop_signal);
    }

private:
    void restore() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            if (installed_[i]) sigaction(kSignals[i], &saved_[i], nullptr);
            installed_[i] = false;
        }
    }
    static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 3> saved_{};
    std::array<bool, 3> installed_{};
};

// The slot's progress, and a cancel once a stop signal came.
struct StoppableProgress {
    ProgressSlot &slot;
    static int callback(std::uint64_t done, std::uint64_t total, void *user) {
        ProgressSlot::callback(done, total, &static_cast<StoppableProgress *>(user)->slot);
        return stop_signal != 0 ? 1 : 0;
    }
};

// A decompression that did not happen: "refused" when the input is not a
// LAZ file this can decompress (unreadable, not LAS, not compressed,
// damaged, a layout in doubt) or the output is not a path to write (it
// exists without --force, it is a directory, it names the input); "failed"
// when the work went wrong: a read, the memory, a signal, creating or
// writing the output.
const char *decompress_failure_status(int code, int sys_errno) {
    switch (code) {
        case TOLVREN_EWRITEOPEN: return sys_errno == EEXIST || sys_errno == EISDIR ? "refused" : "failed";
        case TOLVREN_EREAD:
        case TOLVREN_ECHANGED:
        case TOLVREN_ENOMEM:
        case TOLVREN_ECANCELED:
        case TOLVREN_EWRITE: return "failed";
        default: return "refused";
    }
}

Outcome decompress(const Options &options, std::size_t index, const Input &input, const std::string &output,
                   unsigned threads, ProgressSlot &slot) {
    const auto not_done = [&](int code, int sys_errno, const std::string &message) {
        Json object = decompress_json(input.path, output.empty() ? nullptr : &output,
                                      decompress_failure_status(code, sys_errno), nullptr);
        object["error"] = error_json(code, message);
        return Outcome{rendered(Command::Decompress, options, index, object),
                       "tolvren: " + escape_text(message) + "\n", true};
    };
    if (!input.walk_error.empty()) return not_done(TOLVREN_EOPEN, 0, input.walk_error);
    if (stop_signal != 0) {
        return not_done(TOLVREN_ECANCELED, 0,
                        input.path + ": not started: a signal (" + strsignal(stop_signal) + ") stopped the run");
    }
    const std::filesystem::path parent = std::filesystem::path(output).parent_path();
    std::error_code error;
    if (!parent.empty()) std::filesystem::create_directories(parent, error);
    if (error) {
        return not_done(TOLVREN_EWRITEOPEN, error.value(),
                        parent.string() + ": cannot create the directory (" + error.message() + ")");
    }
    tolvren_decompress_result result{};
    tolvren_detail detail{};
    StoppableProgress progress{slot};
    const int code = tolvren_decompress(input.path.c_str(), output.c_str(), options.force ? TOLVREN_DECOMPRESS_FORCE : 0u,
                                        threads, &StoppableProgress::callback, &progress, &result, &detail);
    if (code == TOLVREN_ECANCELED && stop_signal != 0) {
        return not_done(code, 0, input.path + ": stopped by a signal (" + strsignal(stop_signal) + ")");
    }
    if (code < 0) return not_done(code, detail.sys_errno, message_of(detail, input.path, code));
    return Outcome{rendered(Command::Decompress, options, index,
                            decompress_json(input.path, &output, "decompressed", &result)),
                   {}, false};
}

bool has_laz_extension(const std::string &path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".laz";
}

// The LAZ files below `directory`, and where each goes below `out`: the same
// relative path with the extension .las. A directory that cannot be read
// keeps its place, with no output.
void collect_tree(const std::string &directory, const std::string &out, std::vector<Input> &inputs,
                  std::vector<std::string> &outputs) {
    for (Input &input : collect_inputs({directory}, true)) {
        if (!input.walk_error.empty()) {
            outputs.emplace_back();
        } else if (has_laz_extension(input.path)) {
            // Every path found starts with the directory as given.
            std::string relative = input.path.substr(directory.size());
            relative.erase(0, relative.find_first_not_of('/'));
            outputs.push_back((std::filesystem::path(out) / relative).replace_extension(".las").string());
        } else {
            continue;
        }
        inputs.push_back(std::move(input));
    }
}

int run_decompress(const Options &options) {
    const std::string &in = options.input;
    std::vector<Input> inputs;
    std::vector<std::string> outputs;
    if (options.recursive) {
        std::error_code error;
        if (!std::filesystem::is_directory(in, error)) {
            std::fprintf(stderr, "tolvren: %s: not a directory; with -r, decompress takes a directory of LAZ files\n",
                         escape_text(in).c_str());
            return kExitFileProblem;
        }
        collect_tree(in, options.output, inputs, outputs);
        if (inputs.empty()) {
            std::fprintf(stderr, "tolvren: no .laz files below %s\n", escape_text(in).c_str());
            return kExitOk;
        }
    } else {
        inputs = collect_inputs({in}, false);
        outputs.push_back(options.output);
    }
    const std::size_t at_once = std::min<std::size_t>(options.jobs, inputs.size());
    const unsigned threads = std::max(1u, options.jobs / static_cast<unsigned>(std::max<std::size_t>(at_once, 1)));
    StopSignals signals;
    const Task task = [&](std::size_t index, ProgressSlot &slot) {
        return decompress(options, index, inputs[index], outputs[index], threads, slot);
    };
    // Each result is written before a file more is started; the inputs are
    // only read.
    const std::size_t failures =
        run_in_order(inputs, options.jobs, ProgressUnit::Bytes, Writes::Flushed, SameFile::Together, task);
    signals.raise_caught();
    return failures > 0 ? kExitFileProblem : kExitOk;
}

}  // namespace

int run_command(Command command, const Options &options) {
    if (command == Command::Decompress) return run_decompress(options);
    const std::vector<Input> inputs = collect_inputs(options.files, options.recursive);
    if (inputs.empty()) {
        std::fputs("tolvren: no .las or .laz files in the directories given\n", stderr);
        return kExitOk;
    }
    // Reading every point record is measured in bytes, reading headers in files.
    const bool reads_points = command == Command::Repair ||
                              (command == Command::Check && (options.scan || options.points)) ||
                              (command == Command::Info && options.stats);
    // Fewer files than jobs: the cores left over read the points of each
    // file on several threads (a LAZ file's chunks, an uncompressed file's
    // blocks).
    const std::size_t at_once = std::min<std::size_t>(options.jobs, inputs.size());
    const unsigned threads = std::max(1u, options.jobs / static_cast<unsigned>(std::max<std::size_t>(at_once, 1)));
    CrsNames names;
    tolvren_header_fields fields = options.fields;
    fields.system_identifier = options.system_identifier.c_str();
    fields.generating_software = options.generating_software.c_str();
    const Task task = [&](std::size_t index, ProgressSlot &slot) {
        const Input &input = inputs[index];
        if (!input.walk_error.empty()) {
            return failure(command, options, index, input.path, TOLVREN_EOPEN, input.walk_error);
        }
        switch (command) {
            case Command::Info: return info(options, index, input.path, names, threads, slot);
            case Command::Check: return check(options, index, input.path, threads, slot);
            case Command::Set: return set(options, index, input.path, fields);
            case Command::Repair:
            case Command::Decompress: break;
        }
        return repair(options, index, input.path, threads, slot);
    };
    // The result of a repair or a set must reach its reader before the next
    // file changes, and two names of one file are written in turn; reading
    // needs neither.
    const bool changes_files = (command == Command::Repair || command == Command::Set) && !options.dry_run;
    const std::size_t failures =
        run_in_order(inputs, options.jobs, reads_points ? ProgressUnit::Bytes : ProgressUnit::Files,
                     changes_files ? Writes::Flushed : Writes::Buffered,
                     changes_files ? SameFile::InTurn : SameFile::Together, task);
    return failures > 0 ? kExitFileProblem : kExitOk;
}

}  // namespace tolvren_cli
