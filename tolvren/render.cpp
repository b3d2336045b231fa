// SPDX-License-Identifier: MIT
#include "render.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tolvren_cli {

namespace {

// Header fields as they read in the text block, by JSON key, in the order
// header_json adds them.
constexpr std::pair<const char *, const char *> kLabels[] = {
    {"path", "File"},
    {"version", "Version"},
    {"point_format", "Point format"},
    {"compressed", "Compressed"},
    {"point_record_length", "Point record length"},
    {"extra_bytes", "Extra bytes"},
    {"header_size", "Header size"},
    {"offset_to_point_data", "Offset to point data"},
    {"number_of_vlrs", "Number of VLRs"},
    {"start_of_waveform_data", "Start of waveform data"},
    {"start_of_first_evlr", "Start of first EVLR"},
    {"number_of_evlrs", "Number of EVLRs"},
    {"point_count", "Point count"},
    {"points_by_return", "Points by return"},
    {"legacy_point_count", "Legacy point count"},
    {"legacy_points_by_return", "Legacy points by return"},
    {"scale", "Scale"},
    {"offset", "Offset"},
    {"min", "Min"},
    {"max", "Max"},
    {"system_identifier", "System identifier"},
    {"generating_software", "Generating software"},
    {"creation_day", "Creation day"},
    {"creation_year", "Creation year"},
    {"file_source_id", "File source ID"},
    {"global_encoding", "Global encoding"},
    {"guid", "GUID"},
    {"error", "Error"},
};

// Values start in this column: the longest label and two spaces.
constexpr std::size_t kValueColumn = 25;
// Finding lines: severity and code in columns of these widths.
constexpr std::size_t kSeverityWidth = 9;
constexpr std::size_t kCodeWidth = 27;

const char *label_of(const std::string &key) {
    for (const auto &[json_key, label] : kLabels) {
        if (key == json_key) return label;
    }
    return key.c_str();
}

// The shortest decimal text that reads back as the same double, by the
// library's rule for its sentences: plain digits for the magnitudes a
// header holds, 1e-15 to below 1e17 (an offset of 600000 reads 600000,
// never 6e+05), an exponent only beyond them; "nan", "inf", "-inf".
std::string shortest(double value) {
    constexpr double kPlainLeast = 1e-15;
    constexpr double kPlainBeyond = 1e17;
    std::array<char, 48> text{};
    const double magnitude = std::fabs(value);
    const std::to_chars_result result = value == 0.0 || (magnitude >= kPlainLeast && magnitude < kPlainBeyond)
                                            ? std::to_chars(text.data(), text.data() + text.size(), value,
                                                            std::chars_format::fixed)
                                            : std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

// The GUID as 8-4-4-4-12 lower-case hex: the first group is the
// little-endian 32-bit number in bytes 0-3, the next two the 16-bit numbers
// in bytes 4-5 and 6-7, then bytes 8-15 as stored.
std::string guid_text(const std::uint8_t (&guid)[16]) {
    const auto le = [&](std::size_t at, std::size_t bytes) {
        unsigned long value = 0;
        for (std::size_t k = bytes; k-- > 0;) value = value << 8 | guid[at + k];
        return value;
    };
    char text[37];
    std::snprintf(text, sizeof text, "%08lx-%04lx-%04lx-%02x%02x-%02x%02x%02x%02x%02x%02x", le(0, 4), le(4, 2),
                  le(6, 2), guid[8], guid[9], guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
    return text;
}

// "unchanged", "repaired", or with a dry run "would_repair".
const char *repair_status(const tolvren_repair_result &result, bool dry_run) {
    if (result.count == 0) return "unchanged";
    return dry_run ? "would_repair" : "repaired";
}

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string text_value(const Json &value) {
    switch (value.type()) {
        case Json::value_t::boolean: return value.get<bool>() ? "yes" : "no";
        case Json::value_t::number_unsigned: return std::to_string(value.get<std::uint64_t>());
        case Json::value_t::number_integer: return std::to_string(value.get<std::int64_t>());
        case Json::value_t::number_float: return shortest(value.get<double>());
        case Json::value_t::string: return escape_text(value.get_ref<const std::string &>());
        case Json::value_t::array: {
            std::string joined;
            for (const Json &element : value) {
                if (!joined.empty()) joined += ' ';
                joined += text_value(element);
            }
            return joined;
        }
        default: return "";
    }
}

template <std::size_t N, typename T>
Json array_of(const T (&values)[N], std::size_t count = N) {
    Json array = Json::array();
    for (std::size_t i = 0; i < count && i < N; ++i) array.push_back(values[i]);
    return array;
}

bool is_array_field(const std::string &name) {
    for (const int field : {TOLVREN_FIELD_POINTS_BY_RETURN, TOLVREN_FIELD_LEGACY_POINTS_BY_RETURN, TOLVREN_FIELD_MIN,
                            TOLVREN_FIELD_MAX}) {
        if (name == tolvren_field_name(field)) return true;
    }
    return false;
}

// Global encoding: bit 0 set for adjusted standard GPS time (else GPS week
// time), bit 4 when the coordinate reference system is given as WKT.
constexpr std::uint16_t kGpsTimeAdjustedBit = 1u << 0;
constexpr std::uint16_t kWktBit = 1u << 4;

// A text field of the header without the zeros that pad it.
std::string header_text_field(const char (&field)[33]) { return std::string(field, strnlen(field, 32)); }

// The value of one TOLVREN_SET_* field of a header, as set_json gives it.
Json set_value(unsigned bit, const tolvren_header &h) {
    switch (bit) {
        case TOLVREN_SET_FILE_SOURCE_ID: return h.file_source_id;
        case TOLVREN_SET_SYSTEM_IDENTIFIER: return header_text_field(h.system_identifier);
        case TOLVREN_SET_GENERATING_SOFTWARE: return header_text_field(h.generating_software);
        case TOLVREN_SET_CREATION_DATE: {
            char date[16];
            std::snprintf(date, sizeof date, "%04u-%03u", unsigned{h.creation_year}, unsigned{h.creation_day});
            return date;
        }
        case TOLVREN_SET_GUID: return guid_text(h.guid);
        case TOLVREN_SET_GPS_TIME_TYPE: return (h.global_encoding & kGpsTimeAdjustedBit) != 0 ? "adjusted" : "week";
        case TOLVREN_SET_WKT: return (h.global_encoding & kWktBit) != 0 ? "on" : "off";
        default: return Json();
    }
}

const std::string &string_of(const Json &object, const char *key) {
    return object.at(key).get_ref<const std::string &>();
}

// A changed value as text; the two text fields' in quotes, so that an
// empty text and spaces at either end show.
std::string change_value(const std::string &field, const Json &value) {
    const bool quoted = field == tolvren_set_field_name(TOLVREN_SET_SYSTEM_IDENTIFIER) ||
                        field == tolvren_set_field_name(TOLVREN_SET_GENERATING_SOFTWARE);
    return quoted ? "\"" + text_value(value) + "\"" : text_value(value);
}

// How many bytes the path takes at the start of a library's sentence about
// it: "path: ", or "...end of path: " when the library cut a long path to
// keep the reason whole; 0 when the sentence starts otherwise.
std::size_t path_prefix_length(const std::string &message, const std::string &path) {
    if (message.compare(0, path.size() + 2, path + ": ") == 0) return path.size() + 2;
    constexpr std::string_view kCut = "...";
    if (message.compare(0, kCut.size(), kCut) != 0) return 0;
    for (std::size_t tail = std::min(path.size(), message.size() - kCut.size()); tail > 0; --tail) {
        if (message.compare(kCut.size(), tail, path, path.size() - tail, tail) == 0 &&
            message.compare(kCut.size() + tail, 2, ": ") == 0) {
            return kCut.size() + tail + 2;
        }
    }
    return 0;
}

// The sentence of the object's "error", escaped, without the path the
// library starts it with: the lines it goes in name the file already.
std::string error_reason(const Json &object) {
    const std::string &message = string_of(object.at("error"), "message");
    return escape_text(message.substr(path_prefix_length(message, string_of(object, "path"))));
}

std::string plural(int count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Length of the UTF-8 sequence at text[i] if it is well formed (an ASCII
// byte is one), else 0.
std::size_t utf8_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

// How many bytes from text[i], where no well-formed UTF-8 sequence starts,
// make the longest start of one that was cut short or spoilt (the maximal
// subpart that decoders replace with one U+FFFD): at least 1.
std::size_t invalid_utf8_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 1;
    }
    std::size_t k = 1;
    for (; k < length && i + k < text.size(); ++k) {
        const unsigned char next = byte(i + k);
        const unsigned char least = k == 1 ? low : 0x80, most = k == 1 ? high : 0xBF;
        if (next < least || next > most) break;
    }
    return k;
}

// Length of the UTF-8 sequence at text[i] (a byte of 0x80 or above) if it is
// well formed and not a C1 control character (U+0080 to U+009F, C2 80 to
// C2 9F), else 0.
std::size_t printable_utf8_length(std::string_view text, std::size_t i) {
    const std::size_t length = utf8_length(text, i);
    const bool c1 = length == 2 && static_cast<unsigned char>(text[i]) == 0xC2 &&
                    static_cast<unsigned char>(text[i + 1]) < 0xA0;
    return c1 ? 0 : length;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0, length; i < text.size(); i += length) {
        if ((length = utf8_length(text, i)) == 0) return false;
    }
    return true;
}

// Appends `value` as compact JSON. Strings, keys and whole numbers are as
// nlohmann/json writes them (text that is not UTF-8 with U+FFFD in its
// place); doubles are written here, as shortest() gives them, since its own
// form sometimes takes 17 digits where fewer read back the same, and uses an
// exponent for magnitudes a header holds.
// Appends `text` as a JSON string: quotes, backslashes and control
// characters escaped, UTF-8 as it is, and each maximal part of a sequence
// that is not UTF-8 (a stray byte, a sequence cut short) as one U+FFFD, as
// decoders that replace do.
void append_json_string(std::string_view text, std::string &out) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const std::size_t length = utf8_length(text, i); length > 0) {
                out.append(text.substr(i, length));
                i += length;
            } else {
                out += "\xEF\xBF\xBD";
                i += invalid_utf8_length(text, i);
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[7];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

template <typename Integer>
void append_integer(Integer value, std::string &out) {
    std::array<char, 24> text{};
    const std::to_chars_result result = std::to_chars(text.data(), text.data() + text.size(), value);
    out.append(text.data(), result.ptr);
}

// Appends `value` as compact JSON, written here rather than by the JSON
// library (each scalar of which would be a string of its own): strings as
// append_json_string writes them, doubles as shortest() gives them, since
// the library's own form sometimes takes 17 digits where fewer read back the
// same, and uses an exponent for magnitudes a header holds.
void append_json(const Json &value, std::string &out) {
    switch (value.type()) {
        case Json::value_t::object: {
            out += '{';
            bool first = true;
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first) out += ',';
                first = false;
                append_json_string(it.key(), out);
                out += ':';
                append_json(it.value(), out);
            }
            out += '}';
            return;
        }
        case Json::value_t::array: {
            out += '[';
            bool first = true;
            for (const Json &element : value) {
                if (!first) out += ',';
                first = false;
                append_json(element, out);
            }
            out += ']';
            return;
        }
        case Json::value_t::string: append_json_string(value.get_ref<const std::string &>(), out); return;
        case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
        case Json::value_t::number_unsigned: append_integer(value.get<std::uint64_t>(), out); return;
        case Json::value_t::number_integer: append_integer(value.get<std::int64_t>(), out); return;
        case Json::value_t::number_float: {
            const double number = value.get<double>();
            if (!std::isfinite(number)) {  // JSON has no NaN or infinity
                out += "null";
                return;
            }
            const std::string text = shortest(number);
            out += text;
            // A whole number keeps a ".0", so that readers take it for a double.
            if (text.find_first_of(".e") == std::string::npos) out += ".0";
            return;
        }
        default: out += "null"; return;  // null, and nothing else a result holds
    }
}

}  // namespace

std::string escape_text(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            escaped += static_cast<char>(c);
            ++i;
        } else if (c == '\\') {
            escaped += "\\\\";
            ++i;
        } else if (c == '\n' || c == '\t' || c == '\r') {
            escaped += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
            ++i;
        } else if (const std::size_t length = c >= 0x80 ? printable_utf8_length(text, i) : 0; length > 0) {
            escaped.append(text.substr(i, length));
            i += length;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            escaped += hex;
            ++i;
        }
    }
    return escaped;
}

std::string json_line(const Json &object) {
    std::string line;
    append_json(object, line);
    line += '\n';
    return line;
}

void set_path(Json &object, const std::string &path) {
    object["path"] = path;
    if (is_utf8(path)) return;
    std::string hex;
    hex.reserve(2 * path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 0x0F];
    }
    object["path_bytes"] = hex;
}

Json error_json(int code, const std::string &message) {
    Json error;
    error["code"] = tolvren_error_name(code);
    error["message"] = message;
    return error;
}

Json header_json(const std::string &path, const tolvren_header &h) {
    // Fields by version: 1.0 reserves the file source ID, 1.0 and 1.1 the
    // global encoding; 1.3 adds the waveform start, 1.4 the EVLRs and the
    // 64-bit counts.
    const bool v1_0 = h.version_minor == 0;
    const bool v1_2 = h.version_minor >= 2;
    const bool v1_3 = h.version_minor >= 3;
    const bool v1_4 = h.version_minor >= 4;
    // Room for every member at once: the header's and those info adds.
    Json j = Json::object();
    j.get_ref<Json::object_t &>().reserve(40);
    set_path(j, path);
    j["version"] = std::to_string(h.version_major) + "." + std::to_string(h.version_minor);
    j["point_format"] = h.point_format;
    j["compressed"] = h.compressed != 0;
    j["point_record_length"] = h.point_record_length;
    j["extra_bytes"] = h.extra_bytes;
    j["header_size"] = h.header_size;
    j["offset_to_point_data"] = h.offset_to_point_data;
    j["number_of_vlrs"] = h.number_of_vlrs;
    j["start_of_waveform_data"] = v1_3 ? Json(h.start_of_waveform_data) : Json();
    j["start_of_first_evlr"] = v1_4 ? Json(h.start_of_first_evlr) : Json();
    j["number_of_evlrs"] = v1_4 ? Json(h.number_of_evlrs) : Json();
    j["point_count"] = h.point_count;
    j["points_by_return"] = array_of(h.points_by_return, v1_4 ? 15 : 5);
    j["legacy_point_count"] = h.legacy_point_count;
    j["legacy_points_by_return"] = array_of(h.legacy_points_by_return);
    j["scale"] = array_of(h.scale);
    j["offset"] = array_of(h.offset);
    j["min"] = array_of(h.min);
    j["max"] = array_of(h.max);
    j["system_identifier"] = header_text_field(h.system_identifier);
    j["generating_software"] = header_text_field(h.generating_software);
    j["creation_day"] = h.creation_day;
    j["creation_year"] = h.creation_year;
    j["file_source_id"] = v1_0 ? Json() : Json(h.file_source_id);
    j["global_encoding"] = v1_2 ? Json(h.global_encoding) : Json();
    j["guid"] = guid_text(h.guid);
    return j;
}

std::string format_double(double value) { return shortest(value); }

bool is_records_key(const std::string &key) {
    for (const char *records_key : {"vlrs", "evlrs", "crs", "extra_dimensions", "laszip", "copc", "stats"}) {
        if (key == records_key) return true;
    }
    return false;
}

std::string header_text(const Json &info) {
    std::string text;
    for (const auto &[key, value] : info.items()) {
        // The path line shows every byte already, escaped; the records have
        // a text of their own.
        if (value.is_null() || key == "path_bytes" || is_records_key(key)) continue;
        text += pad(label_of(key), kValueColumn) + (key == "error" ? error_reason(info) : text_value(value)) + "\n";
    }
    return text;
}

Json check_json(const std::string &path, const tolvren_report &report) {
    Json findings = Json::array();
    for (std::size_t i = 0; i < report.count && i < TOLVREN_MAX_FINDINGS; ++i) {
        const tolvren_finding &finding = report.findings[i];
        Json entry;
        entry["severity"] = tolvren_severity_name(finding.severity);
        entry["code"] = tolvren_finding_name(finding.code);
        entry["message"] = std::string(finding.message, strnlen(finding.message, sizeof finding.message));
        findings.push_back(std::move(entry));
    }
    Json j;
    set_path(j, path);
    j["ok"] = report.errors == 0;
    j["findings"] = std::move(findings);
    return j;
}

std::string check_text(const Json &check, int errors, int warnings) {
    std::string text = escape_text(string_of(check, "path")) + ": ";
    if (check.contains("error")) return text + "cannot check: " + error_reason(check) + "\n";
    if (errors > 0) {
        text += plural(errors, "error") + ", " + plural(warnings, "warning");
    } else {
        text += warnings > 0 ? "ok, " + plural(warnings, "warning") : "ok";
    }
    text += '\n';
    const Json &findings = check.at("findings");
    for (const Json &finding : findings) {
        text += "  " + pad(string_of(finding, "severity"), kSeverityWidth) + pad(string_of(finding, "code"), kCodeWidth) +
                escape_text(string_of(finding, "message")) + "\n";
    }
    const auto total = static_cast<std::size_t>(errors + warnings);
    if (total > findings.size()) text += "  and " + std::to_string(total - findings.size()) + " more\n";
    return text;
}

Json repair_json(const std::string &path, const tolvren_repair_result &result, bool dry_run) {
    Json changes = Json::array();
    for (std::size_t i = 0; i < result.count && i < TOLVREN_MAX_CHANGES; ++i) {
        const tolvren_change &change = result.changes[i];
        Json entry;
        entry["field"] = tolvren_field_name(change.field);
        entry["index"] = change.index;
        entry["old"] = change.is_real ? Json(change.old_real) : Json(change.old_count);
        entry["new"] = change.is_real ? Json(change.new_real) : Json(change.new_count);
        changes.push_back(std::move(entry));
    }
    Json j;
    set_path(j, path);
    j["status"] = repair_status(result, dry_run);
    j["changes"] = std::move(changes);
    return j;
}

Json set_json(const std::string &path, const tolvren_set_result &result, bool dry_run) {
    Json changes = Json::array();
    for (unsigned bit = 1; bit != 0 && bit <= result.changed; bit <<= 1) {
        if ((result.changed & bit) == 0) continue;
        const char *name = tolvren_set_field_name(bit);
        if (!name) continue;
        Json entry;
        entry["field"] = name;
        entry["old"] = set_value(bit, result.before);
        entry["new"] = set_value(bit, result.after);
        changes.push_back(std::move(entry));
    }
    Json j;
    set_path(j, path);
    j["status"] = result.changed == 0 ? "unchanged" : dry_run ? "would_set" : "set";
    j["changes"] = std::move(changes);
    return j;
}

std::string changes_text(const Json &object) {
    std::string status = string_of(object, "status");
    std::replace(status.begin(), status.end(), '_', ' ');  // "would repair"
    std::string text = escape_text(string_of(object, "path")) + ": " + status;
    if (object.contains("error")) return text + ": " + error_reason(object) + "\n";
    const Json &changes = object.at("changes");
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        const std::string &field = string_of(*it, "field");
        text += (it == changes.begin() ? ": " : ", ") + field;
        if (is_array_field(field)) text += "[" + text_value(it->at("index")) + "]";
        text += " " + change_value(field, it->at("old")) + " -> " + change_value(field, it->at("new"));
    }
    return text + "\n";
}

Json decompress_json(const std::string &path, const std::string *output, const char *status,
                     const tolvren_decompress_result *result) {
    Json j;
    set_path(j, path);
    j["output"] = output ? Json(*output) : Json(nullptr);
    j["status"] = status;
    j["points"] = result ? Json(result->points) : Json(nullptr);
    j["bytes"] = result ? Json(result->output_size) : Json(nullptr);
    return j;
}

std::string decompress_text(const Json &decompress) {
    std::string text = escape_text(string_of(decompress, "path")) + ": " + string_of(decompress, "status");
    if (decompress.contains("error")) return text + ": " + error_reason(decompress) + "\n";
    return text + " to " + escape_text(string_of(decompress, "output")) + " (" +
           text_value(decompress.at("points")) + " points, " + text_value(decompress.at("bytes")) + " bytes)\n";
}

}  // namespace tolvren_cli
