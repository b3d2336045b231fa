// SPDX-License-Identifier: MIT
#include "index_command.h"

#include "commands.h"
#include "footprints.h"
#include "index_map.h"
#include "inputs.h"
#include "overlaps.h"
#include "render.h"
#include "runner.h"
#include "tolvren_las.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace tolvren_cli {

namespace {

// How threads share PROJ's transformations: bench_footprints times both
// ways, and a copy of each transformation for every thread, in a context
// of its own, was the quicker on two threads by three times; behind a
// mutex the threads hand it back and forth for every tile (README,
// "Benchmark tolvren").
constexpr Sharing kSharing = Sharing::PerThread;

// Pairs of tiles worth naming overlap by more than this share of the
// smaller; the first kListedPairs of them (by feature) are listed in the
// summary and drawn, the first kPairsOnStderr named on standard error.
constexpr double kOverlapShare = 0.01;
constexpr std::size_t kListedPairs = 1000;
constexpr std::size_t kPairsOnStderr = 10;

// GeoTIFF keys that name a CRS of its own ("user-defined") in text: the
// projected CRS' citation, else the model's.
constexpr std::uint16_t kAsciiLocation = 34737;
constexpr std::uint16_t kCitationKeys[] = {3073, 1026};

constexpr const char *kFooter =
    "The footprint of a file is the XY box of its header (with --scan, of its points) in its CRS, "
    "reprojected to WGS 84 longitude and latitude (or --output-crs). Exit status: 0 when every file was "
    "read (and, with --check, had no error); 1 when a file could not be read, a check found errors or an "
    "output could not be written; 2 for a usage error or an output CRS PROJ cannot use.";

// Where a file stands on the map.
enum class Placement { Placed, Unreadable, NoCrs, CrsUnusable, NoFootprint };

// What is kept of a file once its Feature is written: what the summary,
// the overlaps and the map need.
struct IndexedFile {
    Placement placement = Placement::Unreadable;
    std::string path;
    Json crs;             // the "crs" property: null without a CRS record
    std::uint64_t points = 0;
    double area = std::numeric_limits<double>::quiet_NaN();  // m2; NaN unknown
    bool checked = false;
    int errors = 0, warnings = 0;
    Footprint footprint;  // its ring only for the map
};

// A number to `steps` a unit (1e3: to the thousandth), without -0.
std::string rounded(double value, double steps) { return format_double(std::round(value * steps) / steps + 0.0); }

// The creation date as YYYY-MM-DD, from the year and the day of the year
// the header holds; null when it holds none, or a day the year lacks.
Json creation_date(const tolvren_header &header) {
    const unsigned year = header.creation_year, day = header.creation_day;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year == 0 || day == 0 || day > (leap ? 366u : 365u)) return Json();
    constexpr unsigned kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned month = 0, left = day;
    for (; left > kMonthDays[month] + (month == 1 && leap ? 1u : 0u); ++month) {
        left -= kMonthDays[month] + (month == 1 && leap ? 1u : 0u);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", year, month + 1, left);
    return text;
}

// The text a CRS of its own is named by in the GeoTIFF keys, "" when none.
std::string citation_of(const tolvren_records &r) {
    for (const std::uint16_t id : kCitationKeys) {
        for (std::size_t i = 0; i < r.geokey_count && i < TOLVREN_MAX_GEOKEYS; ++i) {
            const tolvren_geokey &key = r.geokeys[i];
            if (key.id == id && key.location == kAsciiLocation && key.value_found && key.text[0] != '\0') {
                return std::string(key.text, strnlen(key.text, sizeof key.text));
            }
        }
    }
    return {};
}

Json crs_json(std::uint32_t epsg, const std::string &name) {
    Json crs;
    crs["epsg"] = epsg != 0 ? Json(epsg) : Json();
    crs["name"] = name.empty() ? Json() : Json(name);
    return crs;
}

// "EPSG:26910 NAD83 / UTM zone 10N", from a "crs" property.
std::string crs_text(const Json &crs) {
    std::string text = crs["epsg"].is_null() ? "" : "EPSG:" + std::to_string(crs["epsg"].get<std::uint32_t>());
    if (!crs["name"].is_null()) text += (text.empty() ? "" : " ") + crs["name"].get<std::string>();
    return text.empty() ? "an unnamed CRS" : text;
}

// The polygon of a footprint as GeoJSON: degrees to the hundred-millionth
// (about a millimetre), other units to the thousandth.
std::string geometry_text(const Ring &ring, bool geographic) {
    if (ring.empty()) return "null";
    const double steps = geographic ? 1e8 : 1e3;
    std::string text = "{\"type\":\"Polygon\",\"coordinates\":[[";
    for (std::size_t i = 0; i < ring.size(); ++i) {
        text += i > 0 ? ",[" : "[";
        text += rounded(ring[i].x, steps);
        text += ',';
        text += rounded(ring[i].y, steps);
        text += ']';
    }
    return text + "]]}";
}

// A Feature as one line of the collection's list, after a comma when a
// Feature comes before it.
std::string feature_text(std::size_t id, const std::string &geometry, const Json &properties) {
    std::string properties_text = json_line(properties);
    properties_text.pop_back();  // its newline
    return std::string(id > 0 ? ",\n" : "\n") + "{\"type\":\"Feature\",\"id\":" + std::to_string(id) +
           ",\"geometry\":" + geometry + ",\"properties\":" + properties_text + "}";
}

// The Feature of a file the library could not read, with its error.
std::string unreadable_feature(std::size_t id, const std::string &path, const Json &error) {
    Json properties;
    set_path(properties, path);
    properties["error"] = error;
    return feature_text(id, "null", properties);
}

// The CRS a file is placed by, from its records: the horizontal EPSG code,
// else the WKT. False when they state neither: no CRS record, or GeoTIFF
// keys of a CRS of their own.
bool crs_source_of(const tolvren_records &r, CrsSource &out) {
    if (r.crs.source == TOLVREN_CRS_NONE) return false;
    if (r.crs.horizontal_epsg != 0) {
        out.epsg = r.crs.horizontal_epsg;
        return true;
    }
    if (r.crs.source != TOLVREN_CRS_WKT || r.wkt[0] == '\0') return false;
    out.wkt.assign(r.wkt, strnlen(r.wkt, sizeof r.wkt));
    return true;
}

// One file: its header, CRS and footprint, and with --check its findings,
// as its Feature on `outcome`'s output; what cannot be placed is said on its
// standard error.
IndexedFile index_file(const IndexOptions &options, CrsTransforms &transforms, std::size_t id, const Input &input,
                       unsigned threads, ProgressSlot &slot, Outcome &outcome) {
    IndexedFile file;
    file.path = input.path;
    const std::string &path = input.path;
    // A file the library could not read: its error in the properties.
    const auto unreadable = [&](int code, const std::string &message) {
        outcome.out = unreadable_feature(id, path, error_json(code, message));
        outcome.err += "tolvren: " + escape_text(message) + "\n";
        outcome.failed = true;
        return std::move(file);
    };
    if (!input.walk_error.empty()) return unreadable(TOLVREN_EOPEN, input.walk_error);
    // About 80 KB: on the heap, not the thread's stack, and one for each
    // thread rather than one for each file.
    thread_local const auto records = std::make_unique<tolvren_records>();
    tolvren_detail detail{};
    int code = tolvren_read_records(path.c_str(), records.get(), &detail);
    if (code < 0) return unreadable(code, message_of(detail, path, code));
    const tolvren_header &header = records->header;
    file.points = header.point_count;

    Box box{header.min[0], header.min[1], header.max[0], header.max[1]};
    std::string box_problem_text;
    if (options.scan) {
        tolvren_scan scan{};
        code = tolvren_scan_points_mt(path.c_str(), &header, threads, &ProgressSlot::callback, &slot, &scan, &detail);
        if (code < 0) return unreadable(code, message_of(detail, path, code));
        box = {scan.real_min[0], scan.real_min[1], scan.real_max[0], scan.real_max[1]};
        if (scan.records == 0) box_problem_text = "it has no points to take a box from";
    }
    if (box_problem_text.empty()) box_problem_text = box_problem(box);
    tolvren_report report{};
    if (options.check) {
        code = tolvren_check_file_mt(path.c_str(), options.scan ? TOLVREN_CHECK_SCAN : 0u, threads,
                                     &ProgressSlot::callback, &slot, &report, &detail);
        if (code < 0) return unreadable(code, message_of(detail, path, code));
        file.checked = true;
        file.errors = report.errors;
        file.warnings = report.warnings;
        outcome.failed = report.errors > 0;
    }

    std::string why_unplaced;
    CrsSource source;
    if (!crs_source_of(*records, source)) {
        const bool none = records->crs.source == TOLVREN_CRS_NONE;
        file.placement = Placement::NoCrs;
        file.crs = none ? Json() : crs_json(0, citation_of(*records));
        why_unplaced = none ? "it has no CRS record" : "its GeoTIFF keys name no EPSG code";
    } else {
        const SourceCrs &crs = transforms.source(source);
        file.crs = crs_json(crs.epsg != 0 ? crs.epsg : source.epsg, crs.name);
        if (!crs.usable) {
            file.placement = Placement::CrsUnusable;
            why_unplaced = "PROJ cannot use its CRS (" + crs_text(file.crs) + "): " + crs.problem;
        } else if (!box_problem_text.empty()) {
            file.placement = Placement::NoFootprint;
            why_unplaced = box_problem_text;
            if (box_problem(box).empty()) file.area = box_area_m2(crs, box);
        } else {
            file.area = box_area_m2(crs, box);
            file.footprint = footprint_of(transforms, crs, box);
            file.placement = file.footprint.ring.empty() ? Placement::NoFootprint : Placement::Placed;
            why_unplaced = file.footprint.problem;
        }
    }
    if (file.placement != Placement::Placed) {
        outcome.err += "tolvren: warning: " + escape_text(path) + ": " + escape_text(why_unplaced) +
                       "; no footprint (geometry null)\n";
    }

    Json properties;
    set_path(properties, path);
    properties["version"] = std::to_string(header.version_major) + "." + std::to_string(header.version_minor);
    properties["point_format"] = header.point_format;
    properties["compressed"] = header.compressed != 0;
    properties["point_count"] = header.point_count;
    properties["crs"] = file.crs;
    const bool has_area = !std::isnan(file.area);
    properties["area_m2"] = has_area ? Json(std::round(file.area * 1e3) / 1e3) : Json();
    properties["density_per_m2"] = has_area && file.area > 0.0 ? Json(static_cast<double>(file.points) / file.area)
                                                               : Json();
    properties["creation_date"] = creation_date(header);
    if (file.checked) {
        properties["errors"] = report.errors;
        properties["warnings"] = report.warnings;
        Json codes = Json::array();
        for (std::size_t i = 0; i < report.count && i < TOLVREN_MAX_FINDINGS; ++i) {
            codes.push_back(tolvren_finding_name(report.findings[i].code));
        }
        properties["codes"] = std::move(codes);
    }
    outcome.out = feature_text(id, geometry_text(file.footprint.ring, transforms.output_geographic()), properties);
    if (options.svg.empty()) Ring().swap(file.footprint.ring);
    return file;
}

// What the files add up to, as the summary member and as text.
struct Totals {
    std::size_t files = 0, placed = 0, unreadable = 0, without_crs = 0;
    std::uint64_t points = 0;
    double area = 0.0;                      // of the files with an area
    std::uint64_t points_with_area = 0;     // their points
    std::vector<std::pair<Json, std::size_t>> crss;  // each CRS and its files, in order met
    std::size_t with_errors = 0, with_warnings = 0;
};

Totals add_up(const std::vector<IndexedFile> &files) {
    Totals t;
    t.files = files.size();
    for (const IndexedFile &file : files) {
        if (file.placement == Placement::Unreadable) {
            ++t.unreadable;
            continue;
        }
        t.placed += file.placement == Placement::Placed;
        t.without_crs += file.placement == Placement::NoCrs;
        t.points += file.points;
        if (!std::isnan(file.area)) t.area += file.area, t.points_with_area += file.points;
        t.with_errors += file.errors > 0;
        t.with_warnings += file.errors == 0 && file.warnings > 0;
        if (file.crs.is_null()) continue;
        const auto same =
            std::find_if(t.crss.begin(), t.crss.end(), [&](const auto &c) { return c.first == file.crs; });
        if (same == t.crss.end()) {
            t.crss.emplace_back(file.crs, 1);
        } else {
            ++same->second;
        }
    }
    return t;
}

double mean_density(const Totals &t) {
    return t.area > 0.0 ? static_cast<double>(t.points_with_area) / t.area : std::numeric_limits<double>::quiet_NaN();
}

Json summary_json(const Totals &t, const Overlaps &overlaps, const std::vector<IndexedFile> &files, bool checked) {
    Json s;
    s["files"] = t.files;
    s["placed"] = t.placed;
    s["without_crs"] = t.without_crs;
    s["not_placed"] = t.files - t.placed - t.unreadable;
    s["unreadable"] = t.unreadable;
    s["points"] = t.points;
    s["area_m2"] = std::round(t.area * 1e3) / 1e3;
    s["density_per_m2"] = mean_density(t);  // null when not finite
    Json crss = Json::array();
    for (const auto &[crs, count] : t.crss) {
        Json entry = crs;
        entry["files"] = count;
        crss.push_back(std::move(entry));
    }
    s["crs"] = std::move(crss);
    Json pairs = Json::array();
    for (const Overlap &overlap : overlaps.listed) {
        Json pair;
        pair["ids"] = {overlap.a, overlap.b};
        pair["paths"] = {files[overlap.a].path, files[overlap.b].path};
        pair["fraction_of_smaller"] = std::round(overlap.fraction * 1e4) / 1e4;
        pairs.push_back(std::move(pair));
    }
    s["overlaps"] = {{"count", overlaps.count}, {"pairs", std::move(pairs)}};
    if (checked) {
        s["files_with_errors"] = t.with_errors;
        s["files_with_warnings"] = t.with_warnings;
    }
    return s;
}

std::string plural(std::size_t count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string significant(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

std::string summary_text(const Totals &t, const Overlaps &overlaps, const std::vector<IndexedFile> &files,
                         bool checked) {
    const std::string lead = "tolvren: index: ";
    std::string text = lead + plural(t.files, "file") + ": " + std::to_string(t.placed) + " placed";
    if (t.without_crs) text += ", " + std::to_string(t.without_crs) + " without a CRS";
    if (const std::size_t other = t.files - t.placed - t.unreadable - t.without_crs; other > 0) {
        text += ", " + std::to_string(other) + " without a footprint";
    }
    if (t.unreadable) text += ", " + std::to_string(t.unreadable) + " unreadable";
    text += "\n" + lead + plural(static_cast<std::size_t>(t.points), "point") + " on " +
            (t.area >= 1e6 ? significant(t.area / 1e6) + " km2" : format_double(std::round(t.area)) + " m2");
    const double density = mean_density(t);
    text += std::isnan(density) ? "\n" : ", " + significant(density) + " points/m2\n";
    if (t.crss.size() > 1) {
        text += "tolvren: warning: the files are in " + std::to_string(t.crss.size()) + " CRSs:\n";
        for (const auto &[crs, count] : t.crss) {
            text += "  " + escape_text(crs_text(crs)) + ": " + plural(count, "file") + "\n";
        }
    } else if (t.crss.size() == 1) {
        text += lead + "CRS " + escape_text(crs_text(t.crss[0].first)) + "\n";
    }
    if (overlaps.count == 0) {
        text += lead + "no tiles overlap by more than 1 % of the smaller\n";
    } else {
        text += lead + (overlaps.count == 1 ? std::string("1 pair of tiles overlaps")
                                            : std::to_string(overlaps.count) + " pairs of tiles overlap") +
                " by more than 1 % of the smaller:\n";
        for (std::size_t i = 0; i < overlaps.listed.size() && i < kPairsOnStderr; ++i) {
            const Overlap &o = overlaps.listed[i];
            text += "  " + escape_text(files[o.a].path) + " and " + escape_text(files[o.b].path) + ": " +
                    significant(o.fraction * 100.0) + " %\n";
        }
        if (overlaps.count > kPairsOnStderr) {
            text += "  and " + std::to_string(overlaps.count - kPairsOnStderr) + " more\n";
        }
    }
    if (checked) {
        text += lead + "checked: " + plural(t.with_errors, "file") + " with errors, " +
                std::to_string(t.with_warnings) + " with warnings only\n";
    }
    return text;
}

// The GeoJSON collection is written as it is made: its first members, one
// Feature a line as each file's turn comes, then the summary, which needs
// them all. Coordinates in another CRS than WGS 84 are named as GeoJSON
// named them before RFC 7946, which allows WGS 84 alone.
std::string collection_head(std::uint32_t output_epsg) {
    std::string head = "{\"type\":\"FeatureCollection\",\n";
    if (output_epsg != 4326) {
        head += "\"crs\":{\"type\":\"name\",\"properties\":{\"name\":\"urn:ogc:def:crs:EPSG::" +
                std::to_string(output_epsg) + "\"}},\n";
    }
    return head + "\"features\":[";
}

std::string collection_tail(const Json &summary) {
    std::string summary_line = json_line(summary);
    summary_line.pop_back();
    return "\n],\n\"summary\":" + summary_line + "}\n";
}

MapContent map_content(const std::vector<IndexedFile> &files, const Overlaps &overlaps, const IndexOptions &options,
                       const CrsTransforms &transforms) {
    MapContent map;
    map.files = files.size();
    map.checked = options.check;
    map.geographic = transforms.output_geographic();
    map.unit_metres = transforms.output_unit_metres();
    map.crs_name = transforms.output_name();
    map.overlap_count = overlaps.count;
    for (const Overlap &overlap : overlaps.listed) map.overlaps.push_back(&overlap.common);
    map.unplaced = {{"no CRS", {}}, {"CRS PROJ cannot use", {}}, {"no footprint", {}}, {"unreadable", {}}};
    for (const IndexedFile &file : files) {
        switch (file.placement) {
            case Placement::Placed: break;
            case Placement::NoCrs: map.unplaced[0].paths.push_back(file.path); continue;
            case Placement::CrsUnusable: map.unplaced[1].paths.push_back(file.path); continue;
            case Placement::NoFootprint: map.unplaced[2].paths.push_back(file.path); continue;
            case Placement::Unreadable: map.unplaced[3].paths.push_back(file.path); continue;
        }
        MapTile tile{file.path, &file.footprint.ring, TileStatus::Unchecked};
        if (file.checked) {
            tile.status = file.errors > 0     ? TileStatus::Errors
                          : file.warnings > 0 ? TileStatus::Warnings
                                              : TileStatus::Clean;
            tile.title += file.errors > 0 || file.warnings > 0
                              ? ": " + plural(static_cast<std::size_t>(file.errors), "error") + ", " +
                                    plural(static_cast<std::size_t>(file.warnings), "warning")
                              : ": no finding";
        }
        map.tiles.push_back(std::move(tile));
    }
    map.unplaced.erase(std::remove_if(map.unplaced.begin(), map.unplaced.end(),
                                      [](const Unplaced &group) { return group.paths.empty(); }),
                       map.unplaced.end());
    return map;
}

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for writing; null, with a message, when it cannot.
File open_output(const std::string &path) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) std::fprintf(stderr, "tolvren: cannot write %s: %s\n", escape_text(path).c_str(), std::strerror(errno));
    return file;
}

// Closes what open_output opened, once all is written; false, with a
// message, when a write or the close failed.
bool close_output(File file, const std::string &path) {
    const bool written = std::fflush(file.get()) == 0 && !std::ferror(file.get());
    int error = errno;
    const bool closed = std::fclose(file.release()) == 0;
    if (written && !closed) error = errno;
    if (written && closed) return true;
    std::fprintf(stderr, "tolvren: cannot write %s: %s\n", escape_text(path).c_str(), std::strerror(error));
    return false;
}

}  // namespace

CLI::App *add_index_command(CLI::App &app, IndexOptions &options, const CLI::Validator &jobs) {
    CLI::App *index = app.add_subcommand(
        "index", "Write the footprints of the files as a GeoJSON FeatureCollection with a summary, and as an SVG map");
    index->add_option("files", options.files, "LAS or LAZ files (with -r, directories of them)")
        ->required()
        ->type_name("FILE");
    index->add_flag("-r,--recursive", options.recursive,
                    "Take directories: every file below them ending in .las or .laz (any case), sorted");
    index
        ->add_option("-j,--jobs", options.jobs,
                     "Files worked on at once (default: the number of cores); features keep the order of the files")
        ->check(jobs)
        ->type_name("N");
    index->add_flag("--scan", options.scan,
                    "Take each footprint from the box of the point records (decoding compressed ones), not the "
                    "header's");
    index->add_flag("--check", options.check,
                    "Check each file as check does (with --scan, against its points) and give the numbers of errors "
                    "and warnings and the finding codes");
    index->add_option("-o,--output", options.output, "Write the GeoJSON to OUT, not to standard output")
        ->type_name("OUT");
    index->add_option("--svg", options.svg, "Also draw the footprints as a standalone SVG map in MAP")
        ->type_name("MAP");
    index
        ->add_option_function<std::string>(
            "--output-crs",
            [&options](const std::string &text) {
                const std::string prefix = "EPSG:";
                std::uint32_t code = 0;
                const char *digits = text.data() + std::min(prefix.size(), text.size());
                const std::from_chars_result read = std::from_chars(digits, text.data() + text.size(), code);
                const bool prefixed = text.size() > prefix.size() &&
                                      std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
                                          return a == std::toupper(static_cast<unsigned char>(b));
                                      });
                if (!prefixed || read.ec != std::errc() || read.ptr != text.data() + text.size() || code == 0) {
                    throw CLI::ValidationError("--output-crs", text + " is not an EPSG code written EPSG:N");
                }
                options.output_epsg = code;
            },
            "Write the coordinates in this CRS (its easting, or longitude, first) instead of WGS 84 longitude and "
            "latitude, named in a crs member")
        ->type_name("EPSG:N");
    index->footer(kFooter);
    return index;
}

int run_index(const IndexOptions &options) {
    CrsTransforms transforms(options.output_epsg, kSharing);
    if (!transforms.output_problem().empty()) {
        std::fprintf(stderr, "tolvren: --output-crs: %s\n", escape_text(transforms.output_problem()).c_str());
        return kExitUsage;
    }
    File output_file;
    if (!options.output.empty() && !(output_file = open_output(options.output))) return kExitFileProblem;
    std::FILE *out = output_file ? output_file.get() : stdout;

    const std::vector<Input> inputs = collect_inputs(options.files, options.recursive);
    if (inputs.empty()) std::fputs("tolvren: no .las or .laz files in the directories given\n", stderr);
    // Fewer files than jobs: the cores left over read each file's points.
    const std::size_t at_once = std::max<std::size_t>(1, std::min<std::size_t>(options.jobs, inputs.size()));
    const unsigned threads = std::max(1u, options.jobs / static_cast<unsigned>(at_once));

    // Each task writes its Feature through the runner, in order, and keeps
    // the rest in its own file's slot, read once every task is done.
    std::vector<IndexedFile> files(inputs.size());
    const Task task = [&](std::size_t i, ProgressSlot &slot) {
        Outcome outcome;
        try {
            files[i] = index_file(options, transforms, i, inputs[i], threads, slot, outcome);
        } catch (const std::exception &error) {
            // Its place in the list is kept whatever went wrong.
            files[i] = IndexedFile{};
            files[i].path = inputs[i].path;
            const std::string message = inputs[i].path + ": " + error.what();
            outcome = Outcome{unreadable_feature(i, inputs[i].path, {{"code", "unknown"}, {"message", message}}),
                              "tolvren: " + escape_text(message) + "\n", true};
        }
        return outcome;
    };
    std::fputs(collection_head(options.output_epsg).c_str(), out);
    std::size_t failures = run_in_order(inputs, options.jobs, options.scan ? ProgressUnit::Bytes : ProgressUnit::Files,
                                        Writes::Buffered, SameFile::Together, task, out);

    std::vector<TileCorners> corners;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].placement == Placement::Placed) corners.push_back({i, files[i].footprint.corners});
    }
    const Overlaps overlaps = find_overlaps(corners, kOverlapShare, kListedPairs);
    const Totals totals = add_up(files);
    std::fputs(collection_tail(summary_json(totals, overlaps, files, options.check)).c_str(), out);
    // A failed standard output is main's to report.
    if (output_file && !close_output(std::move(output_file), options.output)) ++failures;
    if (!options.svg.empty()) {
        const std::string map = svg_map(map_content(files, overlaps, options, transforms));
        File svg = open_output(options.svg);
        // A write that fails leaves the stream's error set for the close to report.
        if (svg) std::fwrite(map.data(), 1, map.size(), svg.get());
        if (!svg || !close_output(std::move(svg), options.svg)) ++failures;
    }
    std::fflush(stdout);
    std::fputs(summary_text(totals, overlaps, files, options.check).c_str(), stderr);
    return failures > 0 ? kExitFileProblem : kExitOk;
}

}  // namespace tolvren_cli
