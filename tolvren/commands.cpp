// SPDX-License-Identifier: MIT
#include "commands.h"

#include "inputs.h"
#include "render.h"
#include "runner.h"
#include "tolvren_las.h"

#include <cstdio>
#include <cstring>

namespace tolvren_cli {

namespace {

std::string message_of(const tolvren_detail &detail, const std::string &path, int code) {
    if (detail.message[0] != '\0') return std::string(detail.message, strnlen(detail.message, sizeof detail.message));
    return path + ": " + tolvren_strerror(code);
}

// The sentence without the "path: " the library starts it with, for lines
// that name the file already.
std::string reason_of(const std::string &message, const std::string &path) {
    const std::string prefix = path + ": ";
    return message.compare(0, prefix.size(), prefix) == 0 ? message.substr(prefix.size()) : message;
}

// A file the command could not work on: the result says so in the command's
// own shape, and standard error gets the sentence.
Outcome failure(Command command, const Options &options, std::size_t index, const std::string &path, int code,
                const std::string &message) {
    Outcome outcome;
    outcome.failed = true;
    outcome.err = "tolvren: " + escape_text(message) + "\n";
    const std::string reason = escape_text(reason_of(message, path));
    Json object;
    object["path"] = path;
    switch (command) {
        case Command::Info:
            if (!options.json) {
                object["error"] = reason_of(message, path);
                outcome.out = (index > 0 ? "\n" : "") + header_text(object);
                return outcome;
            }
            break;
        case Command::Check:
            object["ok"] = false;
            object["findings"] = Json::array();
            outcome.out = escape_text(path) + ": cannot check: " + reason + "\n";
            break;
        case Command::Repair:
            object["status"] = "refused";
            object["changes"] = Json::array();
            outcome.out = escape_text(path) + ": refused: " + reason + "\n";
            break;
    }
    if (options.json) {
        object["error"] = error_json(code, message);
        outcome.out = json_line(object);
    }
    return outcome;
}

Outcome info(const Options &options, std::size_t index, const std::string &path) {
    tolvren_header header{};
    tolvren_detail detail{};
    const int code = tolvren_read_header(path.c_str(), &header, &detail);
    if (code < 0) return failure(Command::Info, options, index, path, code, message_of(detail, path, code));
    const Json object = header_json(path, header);
    // Text blocks are separated by an empty line.
    return Outcome{options.json ? json_line(object) : (index > 0 ? "\n" : "") + header_text(object), {}, false};
}

Outcome check(const Options &options, std::size_t index, const std::string &path, ProgressSlot &slot) {
    tolvren_report report{};
    tolvren_detail detail{};
    const int code = tolvren_check_file(path.c_str(), options.scan ? TOLVREN_CHECK_SCAN : 0u,
                                        &ProgressSlot::callback, &slot, &report, &detail);
    if (code < 0) return failure(Command::Check, options, index, path, code, message_of(detail, path, code));
    return Outcome{options.json ? json_line(check_json(path, report)) : check_text(path, report), {},
                   report.errors > 0};
}

Outcome repair(const Options &options, std::size_t index, const std::string &path, ProgressSlot &slot) {
    tolvren_repair_result result{};
    tolvren_detail detail{};
    const int code = tolvren_repair(path.c_str(), options.dry_run ? TOLVREN_REPAIR_DRY_RUN : 0u,
                                    &ProgressSlot::callback, &slot, &result, &detail);
    if (code < 0) return failure(Command::Repair, options, index, path, code, message_of(detail, path, code));
    const bool dry_run = options.dry_run;
    // A dry run that finds fields to change leaves the file wrong.
    return Outcome{options.json ? json_line(repair_json(path, result, dry_run)) : repair_text(path, result, dry_run),
                   {}, dry_run && result.count > 0};
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
    const Task task = [&](std::size_t index, ProgressSlot &slot) {
        const Input &input = inputs[index];
        if (!input.walk_error.empty()) {
            return failure(command, options, index, input.path, TOLVREN_EOPEN, input.walk_error);
        }
        switch (command) {
            case Command::Info: return info(options, index, input.path);
            case Command::Check: return check(options, index, input.path, slot);
            case Command::Repair: break;
        }
        return repair(options, index, input.path, slot);
    };
    // A repair's result must reach its reader before the next file changes.
    const Writes writes = command == Command::Repair && !options.dry_run ? Writes::Flushed : Writes::Buffered;
    const std::size_t failures =
        run_in_order(inputs, options.jobs, reads_points ? ProgressUnit::Bytes : ProgressUnit::Files, writes, task);
    return failures > 0 ? kExitFileProblem : kExitOk;
}

}  // namespace tolvren_cli
