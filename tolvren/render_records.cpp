// SPDX-License-Identifier: MIT
// What `tolvren info` says about the VLRs and EVLRs: the records, the CRS,
// the extra dimensions, the LASzip VLR and COPC, as JSON members of the
// file's object and as text after its header block.
#include "render.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tolvren_cli {

namespace {

// Bytes of a record's data shown with --vlrs.
constexpr std::size_t kShownDataBytes = 1024;
// Label column of the text, as in the header block.
constexpr std::size_t kColumn = 25;
// GeoTIFF keys: the longest name with its id ("ProjStraightVertPoleLongGeoKey
// (3095)").
constexpr std::size_t kKeyColumn = 37;

constexpr std::uint16_t kAsciiLocation = 34737;
constexpr std::uint16_t kGtCitationKey = 1026;
constexpr std::uint16_t kPcsCitationKey = 3073;

const char *kCompressorNames[] = {"none", "point-wise", "point-wise chunked", "layered chunked"};

std::string text_of(const char *field, std::size_t size) { return std::string(field, strnlen(field, size)); }

// An empty object with room for `members`, so that adding them moves none.
Json object_with_room(std::size_t members) {
    Json j = Json::object();
    j.get_ref<Json::object_t &>().reserve(members);
    return j;
}

Json epsg_or_null(std::uint32_t code) { return code != 0 ? Json(code) : Json(); }

Json name_or_null(const std::string &name) { return name.empty() ? Json() : Json(name); }

std::string hex_of(const unsigned char *bytes, std::size_t size) {
    std::string hex;
    hex.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        hex += "0123456789abcdef"[bytes[i] >> 4];
        hex += "0123456789abcdef"[bytes[i] & 0x0F];
    }
    return hex;
}

Json record_json(const tolvren_record &record, const std::string &path, bool with_data) {
    Json j = object_with_room(8);
    j["user_id"] = text_of(record.user_id, sizeof record.user_id);
    j["record_id"] = record.record_id;
    j["length"] = record.length;
    j["description"] = text_of(record.description, sizeof record.description);
    j["offset"] = record.offset;
    j["reserved"] = record.reserved;
    j["complete"] = record.complete != 0;
    if (with_data) {
        std::array<unsigned char, kShownDataBytes> data{};
        std::size_t size = 0;
        if (tolvren_read_record_data(path.c_str(), &record, data.data(), data.size(), &size, nullptr) == TOLVREN_OK) {
            j["data_hex"] = hex_of(data.data(), size);
        } else {
            j["data_hex"] = nullptr;
        }
    }
    return j;
}

Json unit_json(std::uint32_t epsg, double metres, const char *name, std::size_t size) {
    if (epsg == 0 && name[0] == '\0') return Json();
    Json j;
    j["epsg"] = epsg_or_null(epsg);
    j["name"] = name_or_null(text_of(name, size));
    j["metres"] = metres > 0 ? Json(metres) : Json();
    return j;
}

Json crs_json(const tolvren_records &r, CrsNames &names) {
    const tolvren_crs &crs = r.crs;
    if (crs.wkt_records == 0 && crs.geotiff_records == 0) return Json();
    Json j = object_with_room(20);
    j["source"] = crs.source == TOLVREN_CRS_WKT ? "wkt" : crs.source == TOLVREN_CRS_GEOTIFF ? "geotiff" : "none";
    std::string horizontal = crs.horizontal_epsg ? names.of_epsg(crs.horizontal_epsg) : "";
    // Keys that describe a CRS of their own ("user-defined") name it in a
    // citation: that of the projected CRS, else the model's.
    for (const std::uint16_t citation : {kPcsCitationKey, kGtCitationKey}) {
        for (std::size_t i = 0; horizontal.empty() && crs.source == TOLVREN_CRS_GEOTIFF && i < r.geokey_count &&
                                i < TOLVREN_MAX_GEOKEYS;
             ++i) {
            const tolvren_geokey &key = r.geokeys[i];
            if (key.id == citation && key.location == kAsciiLocation && key.value_found) {
                horizontal = text_of(key.text, sizeof key.text);
            }
        }
    }
    const std::string vertical = crs.vertical_epsg ? names.of_epsg(crs.vertical_epsg) : "";
    // The CRS as a whole: what PROJ calls the WKT's, else the keys' codes.
    std::string name;
    if (crs.source == TOLVREN_CRS_WKT) name = names.of_wkt(text_of(r.wkt, sizeof r.wkt));
    if (name.empty()) name = vertical.empty() ? horizontal : horizontal.empty() ? vertical : horizontal + " + " + vertical;
    j["name"] = name_or_null(name);
    j["horizontal_epsg"] = epsg_or_null(crs.horizontal_epsg);
    j["horizontal_name"] = name_or_null(horizontal);
    j["vertical_epsg"] = epsg_or_null(crs.vertical_epsg);
    j["vertical_name"] = name_or_null(vertical);
    j["geographic"] = crs.geographic != 0;
    j["linear_unit"] = unit_json(crs.linear_unit_epsg, crs.linear_unit_metres, crs.linear_unit_name,
                                 sizeof crs.linear_unit_name);
    j["vertical_unit"] = unit_json(crs.vertical_unit_epsg, crs.vertical_unit_metres, crs.vertical_unit_name,
                                   sizeof crs.vertical_unit_name);
    j["wkt_records"] = crs.wkt_records;
    j["geotiff_records"] = crs.geotiff_records;
    j["wkt_bit"] = crs.wkt_bit != 0;
    j["wkt_bit_agrees"] = crs.wkt_bit_agrees != 0;
    j["geotiff_epsg"] = {epsg_or_null(crs.geotiff_horizontal_epsg), epsg_or_null(crs.geotiff_vertical_epsg)};
    j["wkt_epsg"] = {epsg_or_null(crs.wkt_horizontal_epsg), epsg_or_null(crs.wkt_vertical_epsg)};
    Json keys = Json::array();
    for (std::size_t i = 0; i < r.geokey_count && i < TOLVREN_MAX_GEOKEYS; ++i) {
        const tolvren_geokey &key = r.geokeys[i];
        Json k = object_with_room(5);
        k["id"] = key.id;
        const char *key_name = tolvren_geokey_name(key.id);
        k["name"] = key_name ? Json(key_name) : Json();
        k["location"] = key.location;
        k["count"] = key.count;
        if (!key.value_found) {
            k["value"] = nullptr;
        } else if (key.location == kAsciiLocation) {
            k["value"] = text_of(key.text, sizeof key.text);
        } else if (key.location == 0) {
            k["value"] = static_cast<unsigned>(key.value);
        } else {
            k["value"] = key.value;
        }
        keys.push_back(std::move(k));
    }
    j["geotiff_keys"] = std::move(keys);
    j["wkt"] = crs.wkt_records > 0 ? Json(text_of(r.wkt, sizeof r.wkt)) : Json();
    return j;
}

// A number, or a list of `components` of them.
Json values_json(const double (&values)[3], unsigned components) {
    if (components <= 1) return values[0];
    Json list = Json::array();
    for (unsigned c = 0; c < components && c < 3; ++c) list.push_back(values[c]);
    return list;
}

Json extra_dimensions_json(const tolvren_records &r) {
    Json list = Json::array();
    for (std::size_t i = 0; i < r.extra_dimension_count && i < TOLVREN_MAX_EXTRA_DIMENSIONS; ++i) {
        const tolvren_extra_dimension &d = r.extra_dimensions[i];
        Json j;
        j["name"] = text_of(d.name, sizeof d.name);
        const char *type = tolvren_extra_type_name(d.data_type);
        j["data_type"] = type ? Json(type) : Json(d.data_type);
        j["size"] = d.size;
        j["byte_offset"] = d.record_offset;
        const bool typed = d.data_type != 0;
        const auto given = [&](unsigned bit) { return typed && (d.options & (1u << bit)) != 0; };
        j["no_data"] = given(0) ? values_json(d.no_data, d.components) : Json();
        j["min"] = given(1) ? values_json(d.min, d.components) : Json();
        j["max"] = given(2) ? values_json(d.max, d.components) : Json();
        j["scale"] = given(3) ? values_json(d.scale, d.components) : Json();
        j["offset"] = given(4) ? values_json(d.offset, d.components) : Json();
        j["description"] = text_of(d.description, sizeof d.description);
        list.push_back(std::move(j));
    }
    return list;
}

Json laszip_json(const tolvren_laszip &z) {
    if (!z.found) return Json();
    Json j;
    j["compressor"] = z.compressor;
    j["compressor_name"] = z.compressor < std::size(kCompressorNames) ? Json(kCompressorNames[z.compressor]) : Json();
    j["coder"] = z.coder;
    j["version"] = std::to_string(z.version_major) + "." + std::to_string(z.version_minor) + "." +
                   std::to_string(z.version_revision);
    j["chunk_size"] = z.chunk_size;
    j["variable_chunks"] = z.chunk_size == 0 || z.chunk_size == 0xFFFFFFFFu;
    j["options"] = z.options;
    Json items = Json::array();
    for (std::size_t i = 0; i < z.item_count && i < std::size(z.items); ++i) {
        Json item;
        const char *name = tolvren_laszip_item_name(z.items[i].type);
        item["type"] = z.items[i].type;
        item["name"] = name ? Json(name) : Json();
        item["size"] = z.items[i].size;
        item["version"] = z.items[i].version;
        items.push_back(std::move(item));
    }
    j["items"] = std::move(items);
    j["valid"] = z.valid != 0;
    return j;
}

Json copc_json(const tolvren_copc &c) {
    if (!c.found) return Json();
    Json j;
    j["valid"] = c.valid != 0;
    j["center"] = {c.center[0], c.center[1], c.center[2]};
    j["halfsize"] = c.halfsize;
    j["spacing"] = c.spacing;
    j["root_hier_offset"] = c.root_hier_offset;
    j["root_hier_size"] = c.root_hier_size;
    j["gpstime_min"] = c.gpstime_min;
    j["gpstime_max"] = c.gpstime_max;
    Json levels = Json::array();
    for (std::uint32_t l = 0; l < c.levels && l < TOLVREN_COPC_MAX_LEVELS; ++l) {
        levels.push_back(Json{{"level", l}, {"nodes", c.nodes[l]}, {"points", c.points[l]}});
    }
    j["hierarchy"] = c.hierarchy_read ? Json{{"pages", c.pages}, {"points", c.hierarchy_points}, {"levels", levels}}
                                      : Json();
    j["problem"] = c.problem[0] ? Json(text_of(c.problem, sizeof c.problem)) : Json();
    return j;
}

std::string line(const std::string &label, const std::string &value) {
    std::string text = "  " + label;
    if (text.size() < kColumn) text.append(kColumn - text.size(), ' ');
    return text + value + "\n";
}

std::string heading(const std::string &label, const std::string &value = "") {
    std::string text = label;
    if (!value.empty()) {
        if (text.size() < kColumn) text.append(kColumn - text.size(), ' ');
        text += value;
    }
    return text + "\n";
}

std::string number_text(const Json &value) {
    if (value.is_null()) return "";
    if (value.is_array()) {
        std::string joined;
        for (const Json &element : value) joined += (joined.empty() ? "" : " ") + number_text(element);
        return joined;
    }
    if (value.is_number_float()) return format_double(value.get<double>());
    return value.is_string() ? escape_text(value.get_ref<const std::string &>()) : value.dump();
}

std::string epsg_text(const Json &code, const Json &name) {
    if (code.is_null()) return name.is_null() ? "" : escape_text(name.get_ref<const std::string &>());
    std::string text = "EPSG:" + code.dump();
    if (!name.is_null()) text += " " + escape_text(name.get_ref<const std::string &>());
    return text;
}

std::string unit_text(const Json &unit) {
    if (unit.is_null()) return "";
    std::string text = unit["name"].is_null() ? "unknown" : escape_text(unit["name"].get_ref<const std::string &>());
    std::string detail;
    if (!unit["epsg"].is_null()) detail += "EPSG:" + unit["epsg"].dump();
    if (!unit["metres"].is_null()) detail += (detail.empty() ? "" : ", ") + number_text(unit["metres"]) + " m";
    return detail.empty() ? text : text + " (" + detail + ")";
}

std::string records_list_text(const Json &records, const char *kind) {
    std::string text;
    std::size_t index = 0;
    for (const Json &r : records) {
        std::string value = escape_text(r["user_id"].get_ref<const std::string &>()) + " " + r["record_id"].dump() +
                            ", " + r["length"].dump() + " bytes at " + r["offset"].dump();
        const std::string &description = r["description"].get_ref<const std::string &>();
        if (!description.empty()) value += ": " + escape_text(description);
        if (!r["complete"].get<bool>()) value += " (runs past its place)";
        text += line(std::string(kind) + " " + std::to_string(index++), value);
        if (r.contains("data_hex") && r["data_hex"].is_string()) {
            const std::string &hex = r["data_hex"].get_ref<const std::string &>();
            for (std::size_t at = 0; at < hex.size(); at += 32) {
                std::string row;
                for (std::size_t k = at; k < hex.size() && k < at + 32; k += 2) row += hex.substr(k, 2) + " ";
                char offset[24];
                std::snprintf(offset, sizeof offset, "%06zx", at / 2);
                text += "    " + std::string(offset) + "  " + row + "\n";
            }
        }
    }
    return text;
}

}  // namespace

void add_records_json(Json &info, const tolvren_records &r, CrsNames &names, const std::string &path,
                      bool with_data) {
    Json vlrs = Json::array(), evlrs = Json::array();
    for (std::size_t i = 0; i < r.listed && i < TOLVREN_MAX_LISTED_RECORDS; ++i) {
        (r.records[i].extended ? evlrs : vlrs).push_back(record_json(r.records[i], path, with_data));
    }
    info["vlrs"] = std::move(vlrs);
    info["evlrs"] = std::move(evlrs);
    info["crs"] = crs_json(r, names);
    info["extra_dimensions"] = extra_dimensions_json(r);
    info["laszip"] = laszip_json(r.laszip);
    info["copc"] = copc_json(r.copc);
}

std::string records_text(const Json &info) {
    std::string text;
    if (!info.contains("vlrs")) return text;
    const Json &crs = info["crs"];
    if (crs.is_null()) {
        text += heading("CRS", "none");
    } else {
        const std::string source = crs["source"] == "wkt"       ? "from the WKT record"
                                   : crs["source"] == "geotiff" ? "from the GeoTIFF keys"
                                                                : "none that readers use";
        std::string value = epsg_text(crs["horizontal_epsg"], crs["horizontal_name"]);
        if (value.empty() && !crs["name"].is_null()) value = escape_text(crs["name"].get_ref<const std::string &>());
        text += heading("CRS", value.empty() ? source : value + ", " + source);
        if (!crs["vertical_epsg"].is_null()) {
            text += line("vertical", epsg_text(crs["vertical_epsg"], crs["vertical_name"]));
        }
        if (!crs["linear_unit"].is_null()) text += line("linear unit", unit_text(crs["linear_unit"]));
        if (!crs["vertical_unit"].is_null()) text += line("vertical unit", unit_text(crs["vertical_unit"]));
        if (!crs["wkt_bit_agrees"].get<bool>()) {
            text += line("WKT bit", std::string(crs["wkt_bit"].get<bool>() ? "set" : "clear") +
                                        ", which does not fit the records");
        }
        if (!crs["geotiff_keys"].empty()) text += "  GeoTIFF keys\n";
        for (const Json &key : crs["geotiff_keys"]) {
            std::string name = (key["name"].is_null() ? "key" : key["name"].get<std::string>()) + " (" +
                               key["id"].dump() + ")";
            if (name.size() < kKeyColumn) name.append(kKeyColumn - name.size(), ' ');
            text += "    " + name + " " +
                    (key["value"].is_null() ? "(outside its record)" : number_text(key["value"])) + "\n";
        }
    }
    const Json &vlrs = info["vlrs"];
    const Json &evlrs = info["evlrs"];
    if (!vlrs.empty()) text += heading("VLRs") + records_list_text(vlrs, "VLR");
    if (!evlrs.empty()) text += heading("EVLRs") + records_list_text(evlrs, "EVLR");
    const Json &dimensions = info["extra_dimensions"];
    if (!dimensions.empty()) {
        text += heading("Extra dimensions");
        for (const Json &d : dimensions) {
            std::string value = (d["data_type"].is_string() ? d["data_type"].get<std::string>()
                                                            : "type " + d["data_type"].dump()) +
                                ", " + d["size"].dump() + " bytes at " + d["byte_offset"].dump();
            for (const char *key : {"no_data", "min", "max", "scale", "offset"}) {
                if (!d[key].is_null()) value += ", " + std::string(key) + " " + number_text(d[key]);
            }
            const std::string &description = d["description"].get_ref<const std::string &>();
            if (!description.empty()) value += ": " + escape_text(description);
            text += line(escape_text(d["name"].get_ref<const std::string &>()), value);
        }
    }
    const Json &laszip = info["laszip"];
    if (!laszip.is_null()) {
        std::string value = "compressor " + laszip["compressor"].dump();
        if (!laszip["compressor_name"].is_null()) value += " (" + laszip["compressor_name"].get<std::string>() + ")";
        value += ", version " + laszip["version"].get<std::string>() + ", chunks of " +
                 (laszip["variable_chunks"].get<bool>() ? std::string("varying size")
                                                        : laszip["chunk_size"].dump() + " points");
        if (!laszip["valid"].get<bool>()) value += "; does not fit the header";
        text += heading("LASzip", value);
        std::string items;
        for (const Json &item : laszip["items"]) {
            items += (items.empty() ? "" : ", ") +
                     (item["name"].is_null() ? "type " + item["type"].dump() : item["name"].get<std::string>()) +
                     " v" + item["version"].dump() + " (" + item["size"].dump() + " bytes)";
        }
        text += line("items", items);
    }
    const Json &copc = info["copc"];
    if (!copc.is_null()) {
        text += heading("COPC", copc["valid"].get<bool>() ? "valid" : "not valid");
        text += line("center", number_text(copc["center"]));
        text += line("halfsize, spacing", number_text(copc["halfsize"]) + ", " + number_text(copc["spacing"]));
        text += line("GPS time", number_text(copc["gpstime_min"]) + " to " + number_text(copc["gpstime_max"]));
        const Json &hierarchy = copc["hierarchy"];
        if (!hierarchy.is_null()) {
            text += line("hierarchy", hierarchy["pages"].dump() + " pages, " + hierarchy["points"].dump() +
                                          " points in " + std::to_string(hierarchy["levels"].size()) + " levels");
            for (const Json &level : hierarchy["levels"]) {
                text += line("level " + level["level"].dump(),
                             level["nodes"].dump() + " nodes, " + level["points"].dump() + " points");
            }
        }
        if (!copc["problem"].is_null()) text += line("problem", escape_text(copc["problem"].get<std::string>()));
    }
    return text;
}

}  // namespace tolvren_cli
