/* SPDX-License-Identifier: MIT */
// The map of `tolvren index --svg`: every footprint drawn to scale in the
// output CRS, filled by what a check found, with a legend, a scale bar and
// north up, as one standalone SVG file that any browser opens.
#ifndef TOLVREN_CLI_INDEX_MAP_H
#define TOLVREN_CLI_INDEX_MAP_H

#include "footprints.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tolvren_cli {

enum class TileStatus { Unchecked, Clean, Warnings, Errors };

struct MapTile {
    std::string title;          // shown on hover: the path and what was found
    const Ring *ring = nullptr; // the footprint in the output CRS
    TileStatus status = TileStatus::Unchecked;
};

// Files that have no place on the map, by why.
struct Unplaced {
    const char *label;               // "no CRS"
    std::vector<std::string> paths;
};

struct MapContent {
    std::size_t files = 0;
    std::vector<MapTile> tiles;
    std::vector<const Ring *> overlaps;  // the common areas drawn
    std::size_t overlap_count = 0;       // all pairs, drawn or not
    std::vector<Unplaced> unplaced;
    bool checked = false;
    // Longitudes and latitudes are drawn equirectangular, X scaled by the
    // cosine of the middle latitude; a projected CRS as it is, in units of
    // `unit_metres` metres.
    bool geographic = true;
    double unit_metres = 1.0;
    std::string crs_name;
};

// The whole SVG file.
std::string svg_map(const MapContent &content);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_INDEX_MAP_H
