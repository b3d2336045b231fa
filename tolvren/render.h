/* SPDX-License-Identifier: MIT */
// What tolvren prints: one JSON object per file (JSON Lines) or text for
// people, built from the library's result structs.
#ifndef TOLVREN_CLI_RENDER_H
#define TOLVREN_CLI_RENDER_H

#include "crs_names.h"
#include "tolvren_las.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace tolvren_cli {

// Keys keep the order they were added in, so every line reads the same way.
using Json = nlohmann::ordered_json;

// `text` with backslash, control characters and bytes that are not UTF-8
// written as escapes (\\, \n, \t, \r, \xNN), so one field stays on one line.
std::string escape_text(std::string_view text);

// One JSON object on one line, ending in a newline. Text that is not UTF-8
// is written with U+FFFD in its place.
std::string json_line(const Json &object);

// {"code": <tolvren_error_name>, "message": <sentence>}
Json error_json(int code, const std::string &message);

// Every object has "path" first. A file the command could not work on has
// "error", an error_json object; the text of such an object gives that
// sentence without the "path: " it starts with.

// Sets "path" of a new object and, when the path is not UTF-8 (so that
// "path" shows U+FFFD in place of some bytes), "path_bytes" right after it:
// every byte of the path as two lower-case hex digits.
void set_path(Json &object, const std::string &path);

// --- info ---------------------------------------------------------------
// Every header field under its stable key; fields the file's version lacks
// are null.
Json header_json(const std::string &path, const tolvren_header &header);
// The same object as an aligned text block, one field a line; null fields
// are left out, and so are the members add_records_json adds.
std::string header_text(const Json &info);

// Adds what the records say to an info object: "vlrs" and "evlrs" (lists of
// records with "user_id", "record_id", "length", "description", "offset",
// "reserved", "complete" and, `with_data`, "data_hex": the first 1024 bytes
// of their data), "crs" (null without a CRS record), "extra_dimensions",
// "laszip" and "copc" (null when the file has none). CRS names come from
// `names`.
void add_records_json(Json &info, const tolvren_records &records, CrsNames &names, const std::string &path,
                      bool with_data);
// Those members as text, to follow header_text's block.
std::string records_text(const Json &info);

// Adds "stats", the statistics of the point records: "points", "ranges"
// (the real X, Y and Z and every field the point format has, each {"min",
// "max"}, null without points), "flag_points", "classes" (the classes with
// points: "class", "name", "points"), "returns" (the cells with points:
// "number_of_returns", "return_number", "points"), "source_ids", "sources"
// (the IDs with the most points: "id", "points"), "other_source_points",
// "extra_dimensions" ("name", and per component "values", "min", "max")
// and "checks" (what the point checks count).
void add_statistics_json(Json &info, const tolvren_statistics &statistics);
// That member as text, to follow the records' block.
std::string statistics_text(const Json &info);

// Whether `key` is one of the members add_records_json and
// add_statistics_json add.
bool is_records_key(const std::string &key);

// A double in the shortest text that reads back as the same value.
std::string format_double(double value);

// --- check --------------------------------------------------------------
Json check_json(const std::string &path, const tolvren_report &report);
// "path: ok" or "path: N errors, M warnings" (the report's totals, which
// may count findings beyond those it holds), then one line per finding.
std::string check_text(const Json &check, int errors, int warnings);

// --- repair -------------------------------------------------------------
Json repair_json(const std::string &path, const tolvren_repair_result &result, bool dry_run);

// --- set ----------------------------------------------------------------
// "status": "set", "unchanged" or, with a dry run, "would_set"; "changes":
// one object per field whose bytes change, in the order of the
// TOLVREN_SET_* bits, of "field", "old" and "new": a number (the file
// source ID), a text (system identifier, generating software), the date as
// YYYY-DDD (year and day of the year, as the header holds it), the GUID as
// info shows it, "adjusted" or "week" (GPS time type), "on" or "off" (WKT).
Json set_json(const std::string &path, const tolvren_set_result &result, bool dry_run);

// A repair's or a set's object as text: "path: unchanged", "path: repaired:
// field old -> new, ..." (array fields as field[index], the two text fields
// in quotes) or, for a file left as it was, "path: <status>: <reason>".
std::string changes_text(const Json &object);

// --- decompress ---------------------------------------------------------
// "path", "output" (null when there is none), "status" ("decompressed",
// "refused" or "failed"), "points" and "bytes" (the output's size; both
// null unless decompressed), then "error" for a file not decompressed.
Json decompress_json(const std::string &path, const std::string *output, const char *status,
                     const tolvren_decompress_result *result);
// "path: decompressed to output (N points, M bytes)" or, for a file that was
// not, "path: <status>: <reason>".
std::string decompress_text(const Json &decompress);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_RENDER_H
