/* SPDX-License-Identifier: MIT */
// Tiles of `tolvren index` that overlap: pairs of footprints whose common
// part is more than a share of the smaller, found with a sweep over the
// footprints' bounds rather than by trying every pair.
#ifndef TOLVREN_CLI_OVERLAPS_H
#define TOLVREN_CLI_OVERLAPS_H

#include "footprints.h"

#include <array>
#include <cstddef>
#include <vector>

namespace tolvren_cli {

// A placed tile: its footprint's corners in the output CRS, counter-clockwise.
struct TileCorners {
    std::size_t id = 0;  // the tile's feature
    std::array<Position, 4> corners{};
};

struct Overlap {
    std::size_t a = 0, b = 0;      // ids, a < b
    double fraction = 0.0;         // common area over the smaller tile's
    Ring common;                   // the common part, a closed ring
};

struct Overlaps {
    std::size_t count = 0;         // pairs found
    std::vector<Overlap> listed;   // the first `most` of them by (a, b)
};

// The pairs of tiles whose common part is more than `share` of the smaller
// one. Each footprint is taken as the quadrilateral of its corners (its
// edges bend by far less than a tile's width), and the common part is
// clipped in the output CRS' own coordinates: a share of areas is the same
// whatever scale either axis has, so longitudes and latitudes need no
// correction. Tiles are swept in order of their least X, each against
// those still open across it, so the time grows with the tiles and the
// pairs whose bounds meet, not with the square of the tiles.
Overlaps find_overlaps(const std::vector<TileCorners> &tiles, double share, std::size_t most);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_OVERLAPS_H
