// SPDX-License-Identifier: MIT
// Header API: the coordinate reference system of a LAS file, from its
// GeoTIFF keys ("LASF_Projection" 34735 with the doubles of 34736 and the
// text of 34737) and from its OGC WKT record ("LASF_Projection" 2112).
//
// Naming a CRS needs a database of them, which the library does without:
// it finds the EPSG codes the records state and the units, and leaves the
// names to the caller.

#include "tolvren_internal.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tolvren::las {

namespace {

// ---------------------------------------------------------------------------
// GeoTIFF keys
// ---------------------------------------------------------------------------
// The key directory is an array of unsigned shorts: a header of four
// (KeyDirectoryVersion 1, KeyRevision 1, MinorRevision, NumberOfKeys), then
// four a key (KeyID, TIFFTagLocation, Count, Value_Offset). A location of 0
// holds the value in Value_Offset; 34736 points at Count doubles of the
// double parameters, 34737 at Count characters of the text, where '|' ends
// each value.

constexpr std::uint16_t kDoubleLocation = 34736;
constexpr std::uint16_t kAsciiLocation = 34737;
constexpr std::size_t kGeoKeyShorts = 4;

constexpr std::uint16_t kModelTypeKey = 1024;
constexpr std::uint16_t kGeographicTypeKey = 2048;
constexpr std::uint16_t kProjectedCsTypeKey = 3072;
constexpr std::uint16_t kProjLinearUnitsKey = 3076;
constexpr std::uint16_t kProjLinearUnitSizeKey = 3077;
constexpr std::uint16_t kVerticalCsTypeKey = 4096;
constexpr std::uint16_t kVerticalUnitsKey = 4099;

constexpr unsigned kModelTypeGeographic = 2;
// A code of 32767 says the CRS is described by other keys ("user-defined").
constexpr unsigned kUserDefined = 32767;

struct GeoKeyName {
    std::uint16_t id;
    const char *name;
};

// The keys of GeoTIFF 1.0 (with the later TOWGS84 and rectified grid angle).
constexpr GeoKeyName kGeoKeyNames[] = {
    {1024, "GTModelTypeGeoKey"},
    {1025, "GTRasterTypeGeoKey"},
    {1026, "GTCitationGeoKey"},
    {2048, "GeographicTypeGeoKey"},
    {2049, "GeogCitationGeoKey"},
    {2050, "GeogGeodeticDatumGeoKey"},
    {2051, "GeogPrimeMeridianGeoKey"},
    {2052, "GeogLinearUnitsGeoKey"},
    {2053, "GeogLinearUnitSizeGeoKey"},
    {2054, "GeogAngularUnitsGeoKey"},
    {2055, "GeogAngularUnitSizeGeoKey"},
    {2056, "GeogEllipsoidGeoKey"},
    {2057, "GeogSemiMajorAxisGeoKey"},
    {2058, "GeogSemiMinorAxisGeoKey"},
    {2059, "GeogInvFlatteningGeoKey"},
    {2060, "GeogAzimuthUnitsGeoKey"},
    {2061, "GeogPrimeMeridianLongGeoKey"},
    {2062, "GeogTOWGS84GeoKey"},
    {3072, "ProjectedCSTypeGeoKey"},
    {3073, "PCSCitationGeoKey"},
    {3074, "ProjectionGeoKey"},
    {3075, "ProjCoordTransGeoKey"},
    {3076, "ProjLinearUnitsGeoKey"},
    {3077, "ProjLinearUnitSizeGeoKey"},
    {3078, "ProjStdParallel1GeoKey"},
    {3079, "ProjStdParallel2GeoKey"},
    {3080, "ProjNatOriginLongGeoKey"},
    {3081, "ProjNatOriginLatGeoKey"},
    {3082, "ProjFalseEastingGeoKey"},
    {3083, "ProjFalseNorthingGeoKey"},
    {3084, "ProjFalseOriginLongGeoKey"},
    {3085, "ProjFalseOriginLatGeoKey"},
    {3086, "ProjFalseOriginEastingGeoKey"},
    {3087, "ProjFalseOriginNorthingGeoKey"},
    {3088, "ProjCenterLongGeoKey"},
    {3089, "ProjCenterLatGeoKey"},
    {3090, "ProjCenterEastingGeoKey"},
    {3091, "ProjCenterNorthingGeoKey"},
    {3092, "ProjScaleAtNatOriginGeoKey"},
    {3093, "ProjScaleAtCenterGeoKey"},
    {3094, "ProjAzimuthAngleGeoKey"},
    {3095, "ProjStraightVertPoleLongGeoKey"},
    {3096, "ProjRectifiedGridAngleGeoKey"},
    {4096, "VerticalCSTypeGeoKey"},
    {4097, "VerticalCitationGeoKey"},
    {4098, "VerticalDatumGeoKey"},
    {4099, "VerticalUnitsGeoKey"},
};

struct LinearUnit {
    std::uint32_t epsg;
    double metres;
    const char *name;
};

// The linear units of the EPSG registry that LiDAR files are written in.
constexpr LinearUnit kLinearUnits[] = {
    {9001, 1.0, "metre"},
    {9002, 0.3048, "foot"},
    {9003, 1200.0 / 3937.0, "US survey foot"},
    {9005, 0.3047972654, "Clarke's foot"},
    {9036, 1000.0, "kilometre"},
    {9093, 1609.344, "statute mile"},
    {9096, 0.9144, "yard"},
};

const LinearUnit *linear_unit(std::uint32_t epsg) {
    for (const LinearUnit &unit : kLinearUnits) {
        if (unit.epsg == epsg) return &unit;
    }
    return nullptr;
}

// An EPSG code as a key gives it: 1-32766 name a CRS, 0 and 32767 do not.
std::uint32_t epsg_of(double value) {
    return value >= 1 && value < kUserDefined ? static_cast<std::uint32_t>(value) : 0;
}

template <std::size_t N>
void set_text(char (&to)[N], const char *from) {
    std::snprintf(to, N, "%s", from);
}

void set_unit(std::uint32_t epsg, double metres, std::uint32_t &unit_epsg, double &unit_metres, char (&name)[32]) {
    unit_epsg = epsg;
    unit_metres = metres;
    name[0] = '\0';
    if (const LinearUnit *unit = linear_unit(epsg)) {
        unit_metres = unit->metres;
        set_text(name, unit->name);
    }
}

// ---------------------------------------------------------------------------
// WKT
// ---------------------------------------------------------------------------
// OGC WKT (version 1, and version 2 of ISO 19162) is a tree of keywords, each
// followed by bracketed, comma-separated values: quoted text (a quote inside
// doubled), numbers and further keywords. The tree is small; its depth and
// size are bounded all the same, so hostile text cannot exhaust the stack.

struct WktNode {
    std::string keyword;                        // upper case
    std::vector<std::string> values;            // text and numbers, in order
    std::vector<std::unique_ptr<WktNode>> children;
};

constexpr std::size_t kMaxWktDepth = 64;
constexpr std::size_t kMaxWktNodes = 100000;

class WktParser {
public:
    explicit WktParser(const std::string &text) : text_(text) {}

    // The root node, or nullptr when the text is not WKT.
    std::unique_ptr<WktNode> parse() {
        std::unique_ptr<WktNode> root = node(0);
        skip_space();
        if (!root || at_ < text_.size()) return nullptr;
        return root;
    }

private:
    void skip_space() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }

    std::unique_ptr<WktNode> node(std::size_t depth) {
        if (depth > kMaxWktDepth || ++nodes_ > kMaxWktNodes) return nullptr;
        skip_space();
        auto result = std::make_unique<WktNode>();
        while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_')) {
            result->keyword += static_cast<char>(std::toupper(static_cast<unsigned char>(text_[at_++])));
        }
        skip_space();
        if (result->keyword.empty() || at_ >= text_.size() || (text_[at_] != '[' && text_[at_] != '(')) return nullptr;
        const char close = text_[at_++] == '[' ? ']' : ')';
        for (;;) {
            skip_space();
            if (at_ >= text_.size()) return nullptr;
            const char c = text_[at_];
            if (c == '"') {
                std::string value;
                if (!quoted(value)) return nullptr;
                result->values.push_back(std::move(value));
            } else if (std::isalpha(static_cast<unsigned char>(c))) {
                // A keyword with brackets is a child; one without (an axis
                // direction such as EAST) is a value.
                const std::size_t mark = at_;
                while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_')) ++at_;
                const std::size_t word_end = at_;
                skip_space();
                if (at_ < text_.size() && (text_[at_] == '[' || text_[at_] == '(')) {
                    at_ = mark;
                    std::unique_ptr<WktNode> child = node(depth + 1);
                    if (!child) return nullptr;
                    result->children.push_back(std::move(child));
                } else {
                    result->values.push_back(text_.substr(mark, word_end - mark));
                }
            } else {
                const std::size_t start = at_;
                while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != close &&
                       !std::isspace(static_cast<unsigned char>(text_[at_]))) {
                    ++at_;
                }
                if (at_ == start) return nullptr;
                result->values.push_back(text_.substr(start, at_ - start));
            }
            skip_space();
            if (at_ >= text_.size()) return nullptr;
            if (text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (text_[at_] != close) return nullptr;
            ++at_;
            return result;
        }
    }

    bool quoted(std::string &value) {
        ++at_;  // the opening quote
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c != '"') {
                value += c;
            } else if (at_ < text_.size() && text_[at_] == '"') {
                value += '"';
                ++at_;
            } else {
                return true;
            }
        }
        return false;
    }

    const std::string &text_;
    std::size_t at_ = 0;
    std::size_t nodes_ = 0;
};

bool is_one_of(const std::string &keyword, std::initializer_list<const char *> names) {
    return std::any_of(names.begin(), names.end(), [&](const char *name) { return keyword == name; });
}

const WktNode *child(const WktNode &node, std::initializer_list<const char *> names) {
    for (const auto &c : node.children) {
        if (is_one_of(c->keyword, names)) return c.get();
    }
    return nullptr;
}

// The EPSG code of a node's own AUTHORITY (WKT 1) or ID (WKT 2), 0 when it
// names none.
std::uint32_t wkt_epsg(const WktNode &node) {
    for (const auto &c : node.children) {
        if (!is_one_of(c->keyword, {"AUTHORITY", "ID"}) || c->values.size() < 2) continue;
        std::string authority = c->values[0];
        std::transform(authority.begin(), authority.end(), authority.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
        if (authority != "EPSG") continue;
        char *end = nullptr;
        const unsigned long code = std::strtoul(c->values[1].c_str(), &end, 10);
        if (end != c->values[1].c_str() && *end == '\0' && code > 0 && code < 0x7FFFFFFF) {
            return static_cast<std::uint32_t>(code);
        }
    }
    return 0;
}

const std::initializer_list<const char *> kProjectedKeywords = {"PROJCS", "PROJCRS", "PROJECTEDCRS"};
const std::initializer_list<const char *> kGeographicKeywords = {"GEOGCS", "GEOGCRS", "GEOGRAPHICCRS"};
const std::initializer_list<const char *> kGeodeticKeywords = {"GEOCCS", "GEODCRS", "GEODETICCRS"};
// VERTCS is the form some writers give WKT 1's VERT_CS.
const std::initializer_list<const char *> kVerticalKeywords = {"VERT_CS", "VERTCS", "VERTCRS", "VERTICALCRS"};

bool is_horizontal(const WktNode &node) {
    return is_one_of(node.keyword, kProjectedKeywords) || is_one_of(node.keyword, kGeographicKeywords) ||
           is_one_of(node.keyword, kGeodeticKeywords);
}

// The unit of a projected or vertical CRS: a UNIT or LENGTHUNIT of its own
// (WKT 1, and WKT 2 when all axes share one), else that of its first axis
// (the units inside its conversion's parameters are not its own).
const WktNode *wkt_unit(const WktNode &crs) {
    if (const WktNode *unit = child(crs, {"UNIT", "LENGTHUNIT"})) return unit;
    for (const auto &c : crs.children) {
        if (c->keyword != "AXIS") continue;
        if (const WktNode *unit = child(*c, {"UNIT", "LENGTHUNIT"})) return unit;
    }
    return nullptr;
}

void read_wkt_unit(const WktNode *unit, std::uint32_t &epsg, double &metres, char (&name)[32]) {
    if (!unit || unit->values.empty()) return;
    epsg = wkt_epsg(*unit);
    metres = unit->values.size() > 1 ? std::strtod(unit->values[1].c_str(), nullptr) : 0.0;
    if (!std::isfinite(metres) || metres <= 0) metres = 0;
    set_text(name, unit->values[0].c_str());
}

}  // namespace

void decode_geokeys(const std::vector<unsigned char> &directory, const std::vector<unsigned char> &doubles,
                    const std::vector<unsigned char> &ascii, Records &out) {
    const auto shorts = directory.size() / 2;
    const auto at = [&](std::size_t i) { return load<std::uint16_t>(directory.data(), 2 * i); };
    if (shorts < kGeoKeyShorts || at(0) != 1) {
        out.crs_problems.push_back(shorts < kGeoKeyShorts
                                       ? "the GeoTIFF key directory is " + std::to_string(directory.size()) +
                                             " bytes long, too short for its header"
                                       : "the GeoTIFF key directory has version " + std::to_string(at(0)) +
                                             " where 1 is the only one");
        return;
    }
    const std::size_t declared = at(3);
    const std::size_t present = (shorts - kGeoKeyShorts) / kGeoKeyShorts;
    if (declared > present) {
        out.crs_problems.push_back("the GeoTIFF key directory counts " + std::to_string(declared) +
                                   " keys but holds " + std::to_string(present));
    }
    const std::size_t double_count = doubles.size() / 8;
    bool outside = false;
    for (std::size_t k = 0; k < std::min(declared, present); ++k) {
        const std::size_t base = kGeoKeyShorts * (k + 1);
        tolvren_geokey key{};
        key.id = at(base);
        key.location = at(base + 1);
        key.count = at(base + 2);
        key.value_offset = at(base + 3);
        if (key.location == 0) {
            key.value_found = 1;
            key.value = key.value_offset;
        } else if (key.location == kDoubleLocation) {
            if (key.count >= 1 && std::size_t{key.value_offset} + key.count <= double_count) {
                key.value_found = 1;
                key.value = load<double>(doubles.data(), 8 * std::size_t{key.value_offset});
            }
        } else if (key.location == kAsciiLocation) {
            if (std::size_t{key.value_offset} + key.count <= ascii.size()) {
                key.value_found = 1;
                std::string text(reinterpret_cast<const char *>(ascii.data()) + key.value_offset, key.count);
                // '|' ends each value; some writers end the last with a zero.
                text = text.substr(0, text.find_first_of(std::string("|\0", 2)));
                set_text(key.text, text.c_str());
            }
        }
        outside = outside || key.value_found == 0;
        out.geokeys.push_back(key);
    }
    if (outside) out.crs_problems.push_back("a GeoTIFF key's value lies outside its parameter record");
}

void decode_wkt(const std::string &wkt, Records &out) {
    tolvren_crs &crs = out.crs;
    std::unique_ptr<WktNode> root = WktParser(wkt).parse();
    if (!root) {
        out.crs_problems.push_back(wkt.empty() ? "the WKT record holds no text" : "the WKT record's text is not WKT");
        return;
    }
    // A bound CRS wraps the one the coordinates are in as its source.
    const WktNode *top = root.get();
    if (top->keyword == "BOUNDCRS") {
        const WktNode *source = child(*top, {"SOURCECRS"});
        if (!source || source->children.empty()) return;
        top = source->children.front().get();
    }
    const WktNode *horizontal = nullptr;
    const WktNode *vertical = nullptr;
    if (is_one_of(top->keyword, {"COMPD_CS", "COMPOUNDCRS"})) {
        for (const auto &c : top->children) {
            if (!horizontal && is_horizontal(*c)) horizontal = c.get();
            if (!vertical && is_one_of(c->keyword, kVerticalKeywords)) vertical = c.get();
        }
    } else if (is_horizontal(*top)) {
        horizontal = top;
        // Some writers put the vertical CRS inside the horizontal one rather
        // than beside it in a compound CRS.
        vertical = child(*top, kVerticalKeywords);
    } else if (is_one_of(top->keyword, kVerticalKeywords)) {
        vertical = top;
    }
    if (horizontal) {
        crs.wkt_horizontal_epsg = wkt_epsg(*horizontal);
        // WKT 2 names geographic CRSs GEODCRS too, with an ellipsoidal
        // coordinate system.
        const WktNode *cs = child(*horizontal, {"CS"});
        out.wkt_geographic = is_one_of(horizontal->keyword, kGeographicKeywords) ||
                             (is_one_of(horizontal->keyword, kGeodeticKeywords) && cs && !cs->values.empty() &&
                              (cs->values[0] == "ellipsoidal" || cs->values[0] == "ELLIPSOIDAL"));
        if (is_one_of(horizontal->keyword, kProjectedKeywords)) {
            read_wkt_unit(wkt_unit(*horizontal), crs.linear_unit_epsg, crs.linear_unit_metres, crs.linear_unit_name);
        }
    }
    if (vertical) {
        crs.wkt_vertical_epsg = wkt_epsg(*vertical);
        read_wkt_unit(wkt_unit(*vertical), crs.vertical_unit_epsg, crs.vertical_unit_metres, crs.vertical_unit_name);
    }
}

void settle_crs(const tolvren_header &header, Records &out) {
    tolvren_crs &crs = out.crs;
    constexpr std::uint16_t kWktBit = 1u << 4;
    crs.wkt_records = static_cast<int>(count_records(out, "LASF_Projection", 2112));
    crs.geotiff_records = static_cast<int>(count_records(out, "LASF_Projection", 34735));
    crs.wkt_bit = header.version_minor >= 4 && (header.global_encoding & kWktBit) != 0;
    crs.wkt_bit_agrees = crs.wkt_bit == (header.version_minor >= 4 && crs.wkt_records > 0) ? 1 : 0;
    crs.problem = out.crs_problems.empty() ? 0 : 1;

    // What the GeoTIFF keys name.
    double model_type = 0, geographic = 0, projected = 0, vertical = 0, linear = 0, linear_size = 0,
           vertical_units = 0;
    for (const tolvren_geokey &key : out.geokeys) {
        if (!key.value_found || key.location == kAsciiLocation) continue;
        switch (key.id) {
            case kModelTypeKey: model_type = key.value; break;
            case kGeographicTypeKey: geographic = key.value; break;
            case kProjectedCsTypeKey: projected = key.value; break;
            case kVerticalCsTypeKey: vertical = key.value; break;
            case kProjLinearUnitsKey: linear = key.value; break;
            case kProjLinearUnitSizeKey: linear_size = key.value; break;
            case kVerticalUnitsKey: vertical_units = key.value; break;
            default: break;
        }
    }
    const bool geotiff_geographic =
        model_type == kModelTypeGeographic || (epsg_of(projected) == 0 && epsg_of(geographic) != 0 && model_type == 0);
    crs.geotiff_horizontal_epsg = geotiff_geographic ? epsg_of(geographic) : epsg_of(projected);
    crs.geotiff_vertical_epsg = epsg_of(vertical);

    // Readers take WKT when the bit says so (formats 6-10 have only WKT);
    // otherwise the GeoTIFF keys when there are any, else the WKT.
    const bool has_geotiff = crs.geotiff_records > 0;
    const bool has_wkt = crs.wkt_records > 0;
    const bool wkt_rules = crs.wkt_bit || header.point_format >= 6;
    if (has_wkt && (wkt_rules || !has_geotiff)) {
        crs.source = TOLVREN_CRS_WKT;
    } else if (has_geotiff && !wkt_rules) {
        crs.source = TOLVREN_CRS_GEOTIFF;
    } else {
        crs.source = TOLVREN_CRS_NONE;
    }
    if (crs.source == TOLVREN_CRS_WKT) {
        crs.horizontal_epsg = crs.wkt_horizontal_epsg;
        crs.vertical_epsg = crs.wkt_vertical_epsg;
        crs.geographic = out.wkt_geographic ? 1 : 0;
    } else if (crs.source == TOLVREN_CRS_GEOTIFF) {
        crs.horizontal_epsg = crs.geotiff_horizontal_epsg;
        crs.vertical_epsg = crs.geotiff_vertical_epsg;
        crs.geographic = geotiff_geographic ? 1 : 0;
        // The units are the keys' alone: WKT units decoded above are not
        // this CRS's.
        crs.linear_unit_epsg = 0;
        crs.linear_unit_metres = 0;
        crs.linear_unit_name[0] = '\0';
        crs.vertical_unit_epsg = 0;
        crs.vertical_unit_metres = 0;
        crs.vertical_unit_name[0] = '\0';
        if (!geotiff_geographic && linear >= 1) {
            const auto code = static_cast<std::uint32_t>(linear);
            set_unit(code, code == kUserDefined ? linear_size : 0.0, crs.linear_unit_epsg, crs.linear_unit_metres,
                     crs.linear_unit_name);
            if (code == kUserDefined) set_text(crs.linear_unit_name, "user-defined");
        }
        if (vertical_units >= 1) {
            set_unit(static_cast<std::uint32_t>(vertical_units), 0.0, crs.vertical_unit_epsg, crs.vertical_unit_metres,
                     crs.vertical_unit_name);
        }
    }
}

}  // namespace tolvren::las

extern "C" const char *tolvren_geokey_name(unsigned id) noexcept {
    for (const auto &[key, name] : tolvren::las::kGeoKeyNames) {
        if (key == id) return name;
    }
    return nullptr;
}
