// SPDX-License-Identifier: MIT
#include "commands.h"

#include "inputs.h"
#include "render.h"
#include "runner.h"
#include "tolvren_las.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

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
            return (index > 0 ? "\n" : "") + header_text(object) + records_text(object);
        case Command::Check: return check_text(object, errors, warnings);
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
    }
    object["error"] = error_json(code, message);
    return Outcome{rendered(command, options, index, object), "tolvren: " + escape_text(message) + "\n", true};
}

Outcome info(const Options &options, std::size_t index, const std::string &path, CrsNames &names) {
    // About 80 KB: on the heap, not the thread's stack.
    const auto records = std::make_unique<tolvren_records>();
    tolvren_detail detail{};
    const int code = tolvren_read_records(path.c_str(), records.get(), &detail);
    if (code < 0) return failure(Command::Info, options, index, path, code, message_of(detail, path, code));
    Json object = header_json(path, records->header);
    add_records_json(object, *records, names, path, options.vlr_data);
    return Outcome{rendered(Command::Info, options, index, object), {}, false};
}

Outcome check(const Options &options, std::size_t index, const std::string &path, unsigned threads,
              ProgressSlot &slot) {
    tolvren_report report{};
    tolvren_detail detail{};
    const int code = tolvren_check_file_mt(path.c_str(), options.scan ? TOLVREN_CHECK_SCAN : 0u, threads,
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

}  // namespace

int run_command(Command command, const Options &options) {
    const std::vector<Input> inputs = collect_inputs(options.files, options.recursive);
    if (inputs.empty()) {
        std::fputs("tolvren: no .las or .laz files in the directories given\n", stderr);
        return kExitOk;
    }
    // Reading every point record is measured in bytes, reading headers in files.
    const bool reads_points = command == Command::Repair || (command == Command::Check && options.scan);
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
            case Command::Info: return info(options, index, input.path, names);
            case Command::Check: return check(options, index, input.path, threads, slot);
            case Command::Set: return set(options, index, input.path, fields);
            case Command::Repair: break;
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
