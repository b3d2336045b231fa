/* SPDX-License-Identifier: MIT */
// Footprints of LAS files for `tolvren index`: a file's XY box, reprojected
// through PROJ from the file's own CRS to the output CRS, every edge
// densified, and the box's area on the ground. PROJ is asked once per CRS
// of a run, not once per file.
#ifndef TOLVREN_CLI_FOOTPRINTS_H
#define TOLVREN_CLI_FOOTPRINTS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tolvren_cli {

// A position in a CRS: easting and northing, or longitude and latitude
// (always in that order, whatever order the CRS gives its axes).
struct Position {
    double x = 0.0, y = 0.0;
};
using Ring = std::vector<Position>;

// A file's XY box in its own CRS.
struct Box {
    double min_x = 0.0, min_y = 0.0, max_x = 0.0, max_y = 0.0;
};

// The file's horizontal CRS as its records state it: an EPSG code, or else
// WKT text (of which only the horizontal part is used).
struct CrsSource {
    std::uint32_t epsg = 0;
    std::string wkt;
};

// What PROJ makes of one source CRS; the same object for every file in it.
struct SourceCrs {
    std::size_t id = 0;        // its place among the CRSs of the run
    bool usable = false;       // false: no footprint in it (`problem` says why)
    std::string problem;
    std::uint32_t epsg = 0;    // its EPSG code, 0 when it has none
    std::string name;          // "NAD83 / UTM zone 10N"
    bool geographic = false;   // in angles of longitude and latitude
    double unit = 1.0;         // per unit of an axis: metres (projected) or radians (geographic)
    bool is_output = false;    // the output CRS itself: nothing to reproject
};

// How threads share a transformation. A PROJ object belongs to a context,
// and a context serves one thread at a time: PerThread gives each thread a
// context and its own transformation of each CRS; Locked makes one of each
// per CRS and lets one thread use it at a time.
enum class Sharing { PerThread, Locked };

// The transformations of a run from each CRS met to the output CRS, made
// the first time the CRS is met and kept to the end. Safe to share between
// threads.
class CrsTransforms {
public:
    CrsTransforms(std::uint32_t output_epsg, Sharing sharing);
    ~CrsTransforms();
    CrsTransforms(const CrsTransforms &) = delete;
    CrsTransforms &operator=(const CrsTransforms &) = delete;

    // "" when PROJ knows the output CRS as a geographic or projected one,
    // else why not.
    const std::string &output_problem() const;
    const std::string &output_name() const;
    bool output_geographic() const;
    // Metres per unit of a projected output CRS' axes; 1 for a geographic one.
    double output_unit_metres() const;

    // What PROJ makes of `crs`; valid as long as this object.
    const SourceCrs &source(const CrsSource &crs);

    // Reprojects `points` in place from `source` to the output CRS. False
    // when PROJ fails on any of them or, for a geographic output, one lies
    // beyond the ranges of longitude and latitude.
    bool transform(const SourceCrs &source, Ring &points);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A footprint's edge has a position at least every kEdgeSpacing metres
// from its corner on, and at most kMostEdgePoints: a straight edge bends
// in another CRS by far less over that length than over the tile (at the
// edge of a UTM zone, well under a millimetre over 100 m), so the ring
// follows the curve it becomes. An edge in the output CRS already has its
// corner alone.
constexpr double kEdgeSpacing = 100.0;
constexpr std::size_t kMostEdgePoints = 256;

struct Footprint {
    // The box as a closed ring in the output CRS, counter-clockwise, its
    // edges taken as above: empty when there is none, and then `problem`
    // says why.
    Ring ring;
    // Its corners, from the least X and Y on, counter-clockwise.
    std::array<Position, 4> corners{};
    std::string problem;
};

// Why `box` has no footprint: "" when it has one, else a sentence ("its box
// has no area: the least X is the greatest").
std::string box_problem(const Box &box);

// The footprint of `box` in `source` (which must be usable, and the box
// without a problem).
Footprint footprint_of(CrsTransforms &transforms, const SourceCrs &source, const Box &box);

// The area of `box` in square metres: in the plane of a projected CRS
// (its units squared, in metres), or on the WGS 84 ellipsoid for a box of
// longitudes and latitudes (NaN when its latitudes pass a pole).
double box_area_m2(const SourceCrs &source, const Box &box);

// The area of the band of the WGS 84 ellipsoid between the latitudes
// `south` and `north` over `width` of longitude (all in radians), in
// square metres.
double ellipsoid_band_area(double south, double north, double width);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_FOOTPRINTS_H
