// SPDX-License-Identifier: MIT
// What `tolvren info --stats` says about the point records: the range of
// every field the point format has, the classes by ASPRS name, the returns
// by number of returns, the flight lines and the extra dimensions, as the
// JSON member "stats" of the file's object and as text after its blocks.
#include "render.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace tolvren_cli {

namespace {

// Label column of the text, as in the header block.
constexpr std::size_t kColumn = 25;
// Columns of the returns table and the counts of the lists.
constexpr std::size_t kCountWidth = 10;

struct RangeField {
    const char *key;
    const char *label;
    tolvren_range tolvren_statistics::*member;
    bool whole;  // integral values, written as integers
};

// Every ranged field in the order shown; those the format lacks are left
// out.
constexpr RangeField kRangeFields[] = {
    {"return_number", "Return number", &tolvren_statistics::return_number, true},
    {"number_of_returns", "Number of returns", &tolvren_statistics::number_of_returns, true},
    {"classification", "Classification", &tolvren_statistics::classification, true},
    {"synthetic", "Synthetic", &tolvren_statistics::synthetic, true},
    {"key_point", "Key-point", &tolvren_statistics::key_point, true},
    {"withheld", "Withheld", &tolvren_statistics::withheld, true},
    {"overlap", "Overlap", &tolvren_statistics::overlap, true},
    {"scanner_channel", "Scanner channel", &tolvren_statistics::scanner_channel, true},
    {"scan_direction", "Scan direction", &tolvren_statistics::scan_direction, true},
    {"edge_of_flight_line", "Edge of flight line", &tolvren_statistics::edge_of_flight_line, true},
    {"scan_angle", "Scan angle", &tolvren_statistics::scan_angle, true},
    {"scan_angle_degrees", "Scan angle (degrees)", &tolvren_statistics::scan_angle_degrees, false},
    {"user_data", "User data", &tolvren_statistics::user_data, true},
    {"point_source_id", "Point source ID", &tolvren_statistics::point_source_id, true},
    {"gps_time", "GPS time", &tolvren_statistics::gps_time, false},
    {"intensity", "Intensity", &tolvren_statistics::intensity, true},
    {"red", "Red", &tolvren_statistics::red, true},
    {"green", "Green", &tolvren_statistics::green, true},
    {"blue", "Blue", &tolvren_statistics::blue, true},
    {"nir", "NIR", &tolvren_statistics::nir, true},
};

Json number(double value, bool whole) {
    return whole ? Json(static_cast<std::int64_t>(value)) : Json(value);
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string line(const std::string &label, const std::string &value) {
    return padded("  " + label, kColumn) + value + "\n";
}

// A double as the shortest text that reads back as the same value, without
// an exponent where digits alone stay short (GPS times, coordinates).
std::string plain_double(double value) {
    std::array<char, 64> text{};
    const auto format = std::fabs(value) < 1e15 ? std::chars_format::fixed : std::chars_format::general;
    const std::to_chars_result result = std::to_chars(text.data(), text.data() + text.size(), value, format);
    return result.ec == std::errc() ? std::string(text.data(), result.ptr) : format_double(value);
}

std::string value_text(const Json &value) {
    if (value.is_number_float()) return plain_double(value.get<double>());
    if (value.is_string()) return escape_text(value.get_ref<const std::string &>());
    return value.dump();
}

std::string range_text(const Json &range) {
    return value_text(range.at("min")) + " to " + value_text(range.at("max"));
}

std::string count_text(const Json &count) { return padded(count.dump(), kCountWidth); }

}  // namespace

void add_statistics_json(Json &info, const tolvren_statistics &s) {
    Json j;
    j["points"] = s.scan.records;
    Json ranges = Json::object();
    const bool any = s.scan.records > 0;
    for (const char *axis : {"x", "y", "z"}) {
        const std::size_t a = static_cast<std::size_t>(axis[0] - 'x');
        ranges[axis] = any ? Json{{"min", s.scan.real_min[a]}, {"max", s.scan.real_max[a]}} : Json();
    }
    for (const RangeField &field : kRangeFields) {
        const tolvren_range &r = s.*field.member;
        if (!r.present) continue;
        ranges[field.key] = any ? Json{{"min", number(r.min, field.whole)}, {"max", number(r.max, field.whole)}} : Json();
    }
    j["ranges"] = std::move(ranges);
    Json flags;
    flags["synthetic"] = s.synthetic_points;
    flags["key_point"] = s.key_point_points;
    flags["withheld"] = s.withheld_points;
    if (s.overlap.present) flags["overlap"] = s.overlap_points;
    j["flag_points"] = std::move(flags);
    Json classes = Json::array();
    for (unsigned c = 0; c < 256; ++c) {
        if (s.classes[c] == 0) continue;
        const char *name = tolvren_class_name(c, s.point_format);
        classes.push_back(Json{{"class", c}, {"name", name ? Json(name) : Json()}, {"points", s.classes[c]}});
    }
    j["classes"] = std::move(classes);
    Json returns = Json::array();
    for (unsigned n = 0; n < 16; ++n) {
        for (unsigned r = 0; r < 16; ++r) {
            if (s.returns[n][r] == 0) continue;
            returns.push_back(Json{{"number_of_returns", n}, {"return_number", r}, {"points", s.returns[n][r]}});
        }
    }
    j["returns"] = std::move(returns);
    Json sources = Json::array();
    for (std::size_t i = 0; i < s.source_count && i < TOLVREN_STATS_MAX_SOURCES; ++i) {
        sources.push_back(Json{{"id", s.sources[i].id}, {"points", s.sources[i].points}});
    }
    j["source_ids"] = s.source_ids;
    j["sources"] = std::move(sources);
    j["other_source_points"] = s.other_source_points;
    Json extra = Json::array();
    for (std::size_t i = 0; i < s.extra_count && i < TOLVREN_STATS_MAX_EXTRA; ++i) {
        const tolvren_extra_range &e = s.extra[i];
        Json d;
        d["name"] = std::string(e.name, strnlen(e.name, sizeof e.name));
        Json values = Json::array(), low = Json::array(), high = Json::array();
        for (std::size_t c = 0; c < e.components && c < 3; ++c) {
            values.push_back(e.values[c]);
            low.push_back(e.values[c] > 0 ? Json(e.min[c]) : Json());
            high.push_back(e.values[c] > 0 ? Json(e.max[c]) : Json());
        }
        d["values"] = std::move(values);
        d["min"] = std::move(low);
        d["max"] = std::move(high);
        extra.push_back(std::move(d));
    }
    j["extra_dimensions"] = std::move(extra);
    Json checks;
    checks["return_number_zero"] = s.return_number_zero;
    checks["return_above_count"] = s.return_above_count;
    checks["number_of_returns_zero"] = s.number_of_returns_zero;
    checks["outside_extents"] = s.outside_extents;
    checks["outside_distance"] = s.outside_distance;
    checks["reserved_class"] = s.reserved_class;
    checks["scan_angle_outside"] = s.scan_angle_outside;
    j["checks"] = std::move(checks);
    info["stats"] = std::move(j);
}

std::string statistics_text(const Json &info) {
    if (!info.contains("stats") || info["stats"].is_null()) return "";
    const Json &s = info["stats"];
    const std::uint64_t points = s["points"].get<std::uint64_t>();
    std::string text = padded("Point statistics", kColumn) + std::to_string(points) + (points == 1 ? " point\n" : " points\n");
    if (points == 0) return text;
    for (const auto &[key, range] : s["ranges"].items()) {
        // The flags are told by their points below; formats 0-5 store the
        // scan angle in degrees already.
        if (s["flag_points"].contains(key)) continue;
        if (key == "scan_angle_degrees" && info.value("point_format", 0) <= 5) continue;
        std::string label = key == "x" ? "X" : key == "y" ? "Y" : key == "z" ? "Z" : key;
        for (const RangeField &field : kRangeFields) {
            if (key == field.key) label = field.label;
        }
        text += line(label, range_text(range));
    }
    std::string flags;
    for (const auto &[key, count] : s["flag_points"].items()) {
        flags += (flags.empty() ? "" : ", ") + (key == "key_point" ? std::string("key-point") : key) + " " + count.dump();
    }
    text += line("Flagged points", flags);
    text += "  Classes\n";
    for (const Json &c : s["classes"]) {
        const std::string name = c["name"].is_null() ? "" : c["name"].get<std::string>();
        text += "    " + padded(c["class"].dump(), 5) + padded(name, kColumn + 18) + c["points"].dump() + "\n";
    }
    // Rows by number of returns, columns by return number, for the values
    // that occur.
    unsigned first_number = 15, last_number = 0;
    std::array<bool, 16> rows{};
    std::array<std::array<std::uint64_t, 16>, 16> cells{};
    for (const Json &cell : s["returns"]) {
        const unsigned n = cell["number_of_returns"].get<unsigned>();
        const unsigned r = cell["return_number"].get<unsigned>();
        rows[n] = true;
        cells[n][r] = cell["points"].get<std::uint64_t>();
        first_number = std::min(first_number, r);
        last_number = std::max(last_number, r);
    }
    const auto trimmed = [](std::string row) { return row.erase(row.find_last_not_of(' ') + 1) + "\n"; };
    std::string header = padded("  Returns", kColumn);
    for (unsigned r = first_number; r <= last_number; ++r) header += padded("return " + std::to_string(r), kCountWidth);
    text += trimmed(header);
    for (unsigned n = 0; n < 16; ++n) {
        if (!rows[n]) continue;
        std::string row = padded("    of " + std::to_string(n), kColumn);
        for (unsigned r = first_number; r <= last_number; ++r) row += count_text(Json(cells[n][r]));
        text += trimmed(row);
    }
    text += line("Flight lines", s["source_ids"].dump() + (s["source_ids"] == 1 ? " point source ID" : " point source IDs"));
    for (const Json &source : s["sources"]) text += line("  " + source["id"].dump(), source["points"].dump());
    if (s["other_source_points"] != 0) text += line("  others", s["other_source_points"].dump());
    if (!s["extra_dimensions"].empty()) text += "  Extra dimensions\n";
    for (const Json &d : s["extra_dimensions"]) {
        std::string value;
        for (std::size_t c = 0; c < d["values"].size(); ++c) {
            if (!value.empty()) value += "; ";
            value += d["min"][c].is_null() ? "no values"
                                           : value_text(d["min"][c]) + " to " + value_text(d["max"][c]) + " (" +
                                                 d["values"][c].dump() + " values)";
        }
        text += line("  " + escape_text(d["name"].get<std::string>()), value.empty() ? "not read" : value);
    }
    return text;
}

}  // namespace tolvren_cli
