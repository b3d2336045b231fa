// SPDX-License-Identifier: MIT
#include "overlaps.h"

#include <algorithm>
#include <queue>
#include <tuple>

namespace tolvren_cli {

namespace {

struct Bounds {
    double min_x, min_y, max_x, max_y;
};

Bounds bounds_of(const std::array<Position, 4> &corners) {
    Bounds b{corners[0].x, corners[0].y, corners[0].x, corners[0].y};
    for (const Position &p : corners) {
        b.min_x = std::min(b.min_x, p.x), b.max_x = std::max(b.max_x, p.x);
        b.min_y = std::min(b.min_y, p.y), b.max_y = std::max(b.max_y, p.y);
    }
    return b;
}

// (b - a) x (c - a): positive when c lies left of the line from a to b.
double cross(const Position &a, const Position &b, const Position &c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

// The area of a polygon given by its corners (not closed), counter-clockwise.
double area_of(const std::vector<Position> &polygon) {
    double sum = 0.0;
    for (std::size_t i = 0, n = polygon.size(); i < n; ++i) {
        const Position &p = polygon[i], &q = polygon[(i + 1) % n];
        sum += p.x * q.y - q.x * p.y;
    }
    return sum / 2.0;
}

// The part of `subject` inside the convex, counter-clockwise `clip`: the
// subject is cut by each edge's line in turn, keeping its left side.
std::vector<Position> clipped(std::vector<Position> subject, const std::array<Position, 4> &clip) {
    for (std::size_t e = 0; e < clip.size() && !subject.empty(); ++e) {
        const Position &from = clip[e], &to = clip[(e + 1) % clip.size()];
        const std::vector<Position> input = std::move(subject);
        subject.clear();
        for (std::size_t i = 0; i < input.size(); ++i) {
            const Position &previous = input[(i + input.size() - 1) % input.size()], &current = input[i];
            const double side_previous = cross(from, to, previous), side_current = cross(from, to, current);
            // Where the subject's edge crosses the line.
            if ((side_current >= 0.0) != (side_previous >= 0.0)) {
                const double t = side_previous / (side_previous - side_current);
                subject.push_back(
                    {previous.x + (current.x - previous.x) * t, previous.y + (current.y - previous.y) * t});
            }
            if (side_current >= 0.0) subject.push_back(current);
        }
    }
    return subject;
}

// Pairs kept in a heap whose top is the last by (a, b), to drop first.
struct LaterPair {
    bool operator()(const Overlap &x, const Overlap &y) const { return std::tie(x.a, x.b) < std::tie(y.a, y.b); }
};

}  // namespace

Overlaps find_overlaps(const std::vector<TileCorners> &tiles, double share, std::size_t most) {
    const std::size_t n = tiles.size();
    std::vector<Bounds> bounds(n);
    std::vector<double> areas(n);
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) {
        bounds[i] = bounds_of(tiles[i].corners);
        areas[i] = area_of(std::vector<Position>(tiles[i].corners.begin(), tiles[i].corners.end()));
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return std::tie(bounds[x].min_x, tiles[x].id) < std::tie(bounds[y].min_x, tiles[y].id);
    });

    Overlaps found;
    std::priority_queue<Overlap, std::vector<Overlap>, LaterPair> kept;
    // The tiles whose bounds reach past the sweep's X.
    std::vector<std::size_t> open;
    for (const std::size_t t : order) {
        const Bounds &tb = bounds[t];
        open.erase(std::remove_if(open.begin(), open.end(), [&](std::size_t o) { return bounds[o].max_x <= tb.min_x; }),
                   open.end());
        for (const std::size_t o : open) {
            const Bounds &ob = bounds[o];
            if (ob.min_y >= tb.max_y || tb.min_y >= ob.max_y) continue;
            std::vector<Position> common =
                clipped(std::vector<Position>(tiles[t].corners.begin(), tiles[t].corners.end()), tiles[o].corners);
            const double smaller = std::min(areas[t], areas[o]);
            if (common.size() < 3 || !(smaller > 0.0)) continue;
            const double fraction = area_of(common) / smaller;
            if (!(fraction > share)) continue;
            ++found.count;
            common.push_back(common.front());
            Overlap overlap{std::min(tiles[t].id, tiles[o].id), std::max(tiles[t].id, tiles[o].id), fraction,
                            std::move(common)};
            kept.push(std::move(overlap));
            if (kept.size() > most) kept.pop();
        }
        open.push_back(t);
    }
    found.listed.reserve(kept.size());
    for (; !kept.empty(); kept.pop()) found.listed.push_back(kept.top());
    std::reverse(found.listed.begin(), found.listed.end());
    return found;
}

}  // namespace tolvren_cli
