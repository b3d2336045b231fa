// SPDX-License-Identifier: MIT
#include "index_map.h"

#include "render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace tolvren_cli {

namespace {

// The drawing in SVG user units: the map's frame is kMapWidth wide inside
// margins of kMargin, the tiles fit it less kPadding all round and are at
// most kMapHeight high, the legend runs below it in rows of kRow, and text
// sizes are fixed in these units, so that the map reads the same at 10
// tiles and at 10,000.
constexpr double kCanvasWidth = 1000.0;
constexpr double kMargin = 20.0;
constexpr double kPadding = 12.0;
constexpr double kMapWidth = kCanvasWidth - 2 * kMargin;
constexpr double kMapHeight = 680.0;
constexpr double kRow = 26.0;
constexpr double kFontSize = 15.0;
// A point closer than this to the line through its neighbours is left out.
constexpr double kSimplify = 0.05;
// A tile drawn smaller than this across (scattered tiles on a map of a
// continent) is drawn as a dot of this radius at its middle, so that it
// stays seen and can be pointed at.
constexpr double kDot = 3.5;
// Names of unplaced files given in the legend's text; every one is in its
// hover text.
constexpr std::size_t kNamedUnplaced = 3;

constexpr double kDegree = 3.14159265358979323846 / 180.0;

// Text for XML, made printable first as on the terminal (bytes that are not
// UTF-8 and control characters, which XML cannot hold, as \xNN).
std::string xml(std::string_view text) {
    std::string out;
    for (const char c : escape_text(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// A coordinate to a hundredth of a unit, without -0.
std::string number(double value) { return format_double(std::round(value * 100.0) / 100.0 + 0.0); }

std::string plural(std::size_t count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Metres in one degree of latitude at `latitude` (radians) on WGS 84: the
// meridian's radius of curvature a (1 - e^2) / (1 - e^2 sin^2)^(3/2).
double metres_per_degree(double latitude) {
    const double f = 1.0 / 298.257223563, e2 = f * (2.0 - f), s = std::sin(latitude);
    return 6378137.0 * (1.0 - e2) / std::pow(1.0 - e2 * s * s, 1.5) * kDegree;
}

// The longest length of 1, 2 or 5 times a power of ten metres that is at
// most `metres`, and its text ("500 m", "2 km").
std::pair<double, std::string> round_length(double metres) {
    double step = std::pow(10.0, std::floor(std::log10(metres)));
    for (const double factor : {5.0, 2.0, 1.0}) {
        if (factor * step <= metres) {
            step *= factor;
            break;
        }
    }
    const bool km = step >= 1000.0;
    return {step, format_double(km ? step / 1000.0 : step) + (km ? " km" : " m")};
}

class Drawing {
public:
    explicit Drawing(const MapContent &content) : content_(content) {
        // The frame: X scaled by the cosine of the middle latitude for
        // longitudes and latitudes, so that a degree reads as long either
        // way there.
        bool first = true;
        double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
        for (const MapTile &tile : content.tiles) {
            for (const Position &p : *tile.ring) {
                min_x = first ? p.x : std::min(min_x, p.x), max_x = first ? p.x : std::max(max_x, p.x);
                min_y = first ? p.y : std::min(min_y, p.y), max_y = first ? p.y : std::max(max_y, p.y);
                first = false;
            }
        }
        middle_latitude_ = (min_y + max_y) / 2.0 * kDegree;
        x_factor_ = content.geographic ? std::cos(middle_latitude_) : 1.0;
        min_x_ = min_x * x_factor_, max_y_ = max_y;
        const double width = std::max((max_x - min_x) * x_factor_, 1e-12), height = std::max(max_y - min_y, 1e-12);
        scale_ = std::min((kMapWidth - 2 * kPadding) / width, kMapHeight / height);
        map_height_ = content.tiles.empty() ? 120.0 : height * scale_ + 2 * kPadding;
        left_ = kMargin + (kMapWidth - width * scale_) / 2.0;
    }

    std::string svg() {
        const double legend_top = kMargin + map_height_ + kMargin;
        const std::size_t rows =
            1 + content_.unplaced.size() + (content_.checked ? 3 : 1) + (content_.overlap_count > 0 ? 1 : 0);
        const double height = legend_top + static_cast<double>(rows) * kRow + kMargin;
        const double stroke = stroke_width();
        out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kCanvasWidth) + "\" height=\"" +
                number(height) + "\" viewBox=\"0 0 " + number(kCanvasWidth) + " " + number(height) + "\">\n";
        out_ += "<title>Footprints of " + plural(content_.files, "LAS file") + "</title>\n";
        out_ += "<style>\n"
                ".tile{stroke:#1f2937;stroke-width:" + number(stroke) +
                ";stroke-linejoin:round;fill-opacity:0.85}\n"
                ".unchecked{fill:#8db8dc}.clean{fill:#93d3a2}.warnings{fill:#f3c75f}.errors{fill:#e4717a}\n"
                ".overlap{fill:#a3319f;fill-opacity:0.8;stroke:#a3319f;stroke-width:" + number(2 * stroke) +
                "}\n"
                ".dot{stroke-width:1}\n"
                ".unplaced{fill:#ffffff;stroke:#6b7280;stroke-dasharray:3 2}\n"
                "text{font-family:sans-serif;font-size:" + number(kFontSize) + "px;fill:#1f2937}\n"
                "</style>\n";
        out_ += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
        out_ += "<rect x=\"" + number(kMargin) + "\" y=\"" + number(kMargin) + "\" width=\"" + number(kMapWidth) +
                "\" height=\"" + number(map_height_) + "\" fill=\"#f4f6f8\" stroke=\"#d1d5db\"/>\n";
        if (content_.tiles.empty()) {
            out_ += "<text x=\"" + number(kCanvasWidth / 2) + "\" y=\"" + number(kMargin + map_height_ / 2) +
                    "\" text-anchor=\"middle\">No file could be placed on the map</text>\n";
        }
        out_ += "<g id=\"tiles\">\n";
        for (const MapTile &tile : content_.tiles) {
            const std::string css = "tile " + std::string(class_of(tile.status));
            const std::string title = "<title>" + xml(tile.title) + "</title>";
            const Bounds b = bounds_of(*tile.ring);
            if (std::max(b.max_x - b.min_x, b.max_y - b.min_y) < kDot) {
                out_ += "<circle class=\"" + css + " dot\" cx=\"" + number((b.min_x + b.max_x) / 2) + "\" cy=\"" +
                        number((b.min_y + b.max_y) / 2) + "\" r=\"" + number(kDot) + "\">" + title + "</circle>\n";
            } else {
                out_ += "<path class=\"" + css + "\" d=\"" + path(*tile.ring) + "\">" + title + "</path>\n";
            }
        }
        out_ += "</g>\n<g id=\"overlaps\">\n";
        for (const Ring *common : content_.overlaps) {
            out_ += "<path class=\"overlap\" d=\"" + path(*common) + "\"/>\n";
        }
        out_ += "</g>\n";
        legend(legend_top);
        out_ += "</svg>\n";
        return std::move(out_);
    }

private:
    static const char *class_of(TileStatus status) {
        switch (status) {
            case TileStatus::Clean: return "clean";
            case TileStatus::Warnings: return "warnings";
            case TileStatus::Errors: return "errors";
            case TileStatus::Unchecked: break;
        }
        return "unchecked";
    }

    double x_of(const Position &p) const { return left_ + (p.x * x_factor_ - min_x_) * scale_; }
    double y_of(const Position &p) const { return kMargin + kPadding + (max_y_ - p.y) * scale_; }

    // A ring's bounds in the drawing.
    struct Bounds {
        double min_x, min_y, max_x, max_y;
    };
    Bounds bounds_of(const Ring &ring) const {
        Bounds b{x_of(ring.front()), y_of(ring.front()), x_of(ring.front()), y_of(ring.front())};
        for (const Position &p : ring) {
            b.min_x = std::min(b.min_x, x_of(p)), b.max_x = std::max(b.max_x, x_of(p));
            b.min_y = std::min(b.min_y, y_of(p)), b.max_y = std::max(b.max_y, y_of(p));
        }
        return b;
    }

    // Lines between tiles a fiftieth of a typical tile wide (the median
    // of the square roots of their bounds' areas), within limits that keep
    // them seen and the tiles' fill. Overlaps are outlined twice as wide,
    // so that one of a few metres shows on a map of kilometres.
    double stroke_width() const {
        std::vector<double> sizes;
        for (const MapTile &tile : content_.tiles) {
            const Bounds b = bounds_of(*tile.ring);
            sizes.push_back(std::sqrt((b.max_x - b.min_x) * (b.max_y - b.min_y)));
        }
        if (sizes.empty()) return 1.0;
        std::nth_element(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(sizes.size() / 2), sizes.end());
        return std::clamp(sizes[sizes.size() / 2] / 50.0, 0.05, 1.5);
    }

    // A closed ring as path data, leaving out the points that lie within
    // kSimplify of the line from the last point kept to the next one.
    std::string path(const Ring &ring) const {
        std::string d;
        const std::size_t n = ring.size();
        double last_x = 0, last_y = 0;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const double x = x_of(ring[i]), y = y_of(ring[i]);
            if (i > 0) {
                const double next_x = x_of(ring[i + 1]), next_y = y_of(ring[i + 1]);
                const double length = std::hypot(next_x - last_x, next_y - last_y);
                const double off = std::fabs((next_x - last_x) * (y - last_y) - (next_y - last_y) * (x - last_x));
                if (length > 0 && off / length < kSimplify) continue;
            }
            d += (i == 0 ? "M" : "L") + number(x) + " " + number(y);
            last_x = x, last_y = y;
        }
        return d + "Z";
    }

    void swatch(double y, const std::string &css, const std::string &text, const std::string &hover = {}) {
        out_ += "<g>";
        if (!hover.empty()) out_ += "<title>" + xml(hover) + "</title>";
        out_ += "<rect class=\"" + css + "\" x=\"" + number(kMargin) + "\" y=\"" + number(y - 13) +
                "\" width=\"18\" height=\"18\"/><text x=\"" + number(kMargin + 28) + "\" y=\"" + number(y + 1) +
                "\">" + xml(text) + "</text></g>\n";
    }

    void legend(double top) {
        double y = top + 16;
        const std::size_t placed = content_.tiles.size();
        out_ += "<text x=\"" + number(kMargin) + "\" y=\"" + number(y) + "\" font-weight=\"bold\">" +
                xml(plural(content_.files, "file") + ", " + std::to_string(placed) + " placed" +
                    (content_.crs_name.empty() ? "" : "; map in " + content_.crs_name)) +
                "</text>\n";
        const auto count = [&](TileStatus status) {
            return static_cast<std::size_t>(std::count_if(content_.tiles.begin(), content_.tiles.end(),
                                                          [&](const MapTile &t) { return t.status == status; }));
        };
        if (content_.checked) {
            swatch(y += kRow, "tile clean", "no finding: " + std::to_string(count(TileStatus::Clean)));
            swatch(y += kRow, "tile warnings", "warnings: " + std::to_string(count(TileStatus::Warnings)));
            swatch(y += kRow, "tile errors", "errors: " + std::to_string(count(TileStatus::Errors)));
        } else {
            swatch(y += kRow, "tile unchecked", "tile (not checked): " + std::to_string(placed));
        }
        if (content_.overlap_count > 0) {
            std::string text = "overlap of more than 1 % of the smaller tile: " +
                               plural(content_.overlap_count, "pair");
            if (content_.overlaps.size() < content_.overlap_count) {
                text += " (" + std::to_string(content_.overlaps.size()) + " drawn)";
            }
            swatch(y += kRow, "overlap", text);
        }
        for (const Unplaced &group : content_.unplaced) {
            std::string text = std::string(group.label) + ", not placed: " + std::to_string(group.paths.size());
            std::string hover;
            for (std::size_t i = 0; i < group.paths.size(); ++i) {
                if (i < kNamedUnplaced) {
                    text += (i == 0 ? " (" : ", ") + std::filesystem::path(group.paths[i]).filename().string();
                }
                hover += (i == 0 ? "" : "\n") + group.paths[i];
            }
            if (group.paths.size() > kNamedUnplaced) {
                text += " and " + std::to_string(group.paths.size() - kNamedUnplaced) + " more";
            }
            swatch(y += kRow, "unplaced", text + (group.paths.empty() ? "" : ")"), hover);
        }
        if (!content_.tiles.empty()) scale_bar(top);
    }

    // A bar of a round length, about a fifth of the map wide, and an arrow
    // to the north, at the legend's right.
    void scale_bar(double top) {
        const double metres_per_unit =
            (content_.geographic ? metres_per_degree(middle_latitude_) : content_.unit_metres) / scale_;
        const auto [metres, text] = round_length(kMapWidth / 5.0 * metres_per_unit);
        const double length = metres / metres_per_unit;
        const double right = kCanvasWidth - kMargin - 40.0, y = top + 30.0, left = right - length;
        out_ += "<g id=\"scale\" stroke=\"#1f2937\" stroke-width=\"2\"><path fill=\"none\" d=\"M" + number(left) + " " +
                number(y - 6) + "V" + number(y) + "H" + number(right) + "V" + number(y - 6) + "\"/></g>\n";
        out_ += "<text x=\"" + number((left + right) / 2) + "\" y=\"" + number(y + 20) + "\" text-anchor=\"middle\">" +
                xml(text) + "</text>\n";
        const double north_x = kCanvasWidth - kMargin - 12.0;
        out_ += "<g id=\"north\"><path d=\"M" + number(north_x) + " " + number(top) + "L" + number(north_x + 8) + " " +
                number(top + 22) + "L" + number(north_x) + " " + number(top + 16) + "L" + number(north_x - 8) + " " +
                number(top + 22) + "Z\" fill=\"#1f2937\"/><text x=\"" + number(north_x) + "\" y=\"" +
                number(top + 40) + "\" text-anchor=\"middle\">N</text></g>\n";
    }

    const MapContent &content_;
    std::string out_;
    double middle_latitude_ = 0, x_factor_ = 1, min_x_ = 0, max_y_ = 0, scale_ = 1;
    double map_height_ = 0, left_ = 0;
};

}  // namespace

std::string svg_map(const MapContent &content) { return Drawing(content).svg(); }

}  // namespace tolvren_cli
