// SPDX-License-Identifier: MIT
#include "footprints.h"

#include <proj.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>

namespace tolvren_cli {

namespace {

struct ContextCloser {
    void operator()(PJ_CONTEXT *context) const noexcept { proj_context_destroy(context); }
};
struct ObjectCloser {
    void operator()(PJ *object) const noexcept { proj_destroy(object); }
};
using Context = std::unique_ptr<PJ_CONTEXT, ContextCloser>;
using Object = std::unique_ptr<PJ, ObjectCloser>;

// The WGS 84 ellipsoid.
constexpr double kSemiMajor = 6378137.0;
constexpr double kFlattening = 1.0 / 298.257223563;
constexpr double kHalfPi = 1.57079632679489661923;

// A context of its own for one thread at a time; quiet, so that a CRS PROJ
// cannot use is a problem in the results, not a message of PROJ's.
Context quiet_context() {
    Context context(proj_context_create());
    if (context) proj_log_level(context.get(), PJ_LOG_NONE);
    return context;
}

std::string epsg_text(std::uint32_t code) { return "EPSG:" + std::to_string(code); }

bool is_geographic(PJ_TYPE type) { return type == PJ_TYPE_GEOGRAPHIC_2D_CRS || type == PJ_TYPE_GEOGRAPHIC_3D_CRS; }

// The horizontal part of a CRS: the first of a compound CRS (horizontal and
// vertical), also of one bound to a transformation to WGS 84 (what the
// TOWGS84 of WKT 1 makes); any other CRS itself.
Object horizontal_part(PJ_CONTEXT *ctx, Object crs) {
    const PJ_TYPE type = proj_get_type(crs.get());
    if (type == PJ_TYPE_COMPOUND_CRS) return Object(proj_crs_get_sub_crs(ctx, crs.get(), 0));
    if (type == PJ_TYPE_BOUND_CRS) {
        Object base(proj_get_source_crs(ctx, crs.get()));
        if (base && proj_get_type(base.get()) == PJ_TYPE_COMPOUND_CRS) return horizontal_part(ctx, std::move(base));
    }
    return crs;
}

// The CRS a file's records state, horizontal part only; null when PROJ
// does not know the code or cannot read the WKT.
Object create_source(PJ_CONTEXT *ctx, const CrsSource &source) {
    Object crs(source.epsg != 0 ? proj_create_from_database(ctx, "EPSG", std::to_string(source.epsg).c_str(),
                                                            PJ_CATEGORY_CRS, 0, nullptr)
                                : proj_create(ctx, source.wkt.c_str()));
    if (!crs || !proj_is_crs(crs.get())) return nullptr;
    return horizontal_part(ctx, std::move(crs));
}

// The transformation from `source` to EPSG:`output`, both with their axes
// as maps have them: easting or longitude first.
Object create_transform(PJ_CONTEXT *ctx, const PJ *source, std::uint32_t output) {
    const Object target(proj_create_from_database(ctx, "EPSG", std::to_string(output).c_str(), PJ_CATEGORY_CRS, 0,
                                                  nullptr));
    if (!target) return nullptr;
    const Object operation(proj_create_crs_to_crs_from_pj(ctx, source, target.get(), nullptr, nullptr));
    return operation ? Object(proj_normalize_for_visualization(ctx, operation.get())) : nullptr;
}

// Fills the kind, unit, name and code of `crs` (looking through a bound
// CRS to what it is bound from). False, with the reason, for a CRS that is
// neither geographic nor projected.
bool describe(PJ_CONTEXT *ctx, const PJ *crs, SourceCrs &out) {
    Object base;
    const PJ *judged = crs;
    if (proj_get_type(crs) == PJ_TYPE_BOUND_CRS && (base = Object(proj_get_source_crs(ctx, crs)))) judged = base.get();
    const char *name = proj_get_name(judged);
    out.name = name ? name : "";
    for (const PJ *object : {crs, judged}) {
        const char *authority = proj_get_id_auth_name(object, 0);
        const char *code = proj_get_id_code(object, 0);
        if (out.epsg == 0 && authority && code && std::string(authority) == "EPSG") {
            out.epsg = static_cast<std::uint32_t>(std::strtoul(code, nullptr, 10));
        }
    }
    const PJ_TYPE type = proj_get_type(judged);
    out.geographic = is_geographic(type);
    if (!out.geographic && type != PJ_TYPE_PROJECTED_CRS) {
        out.problem = "it is neither a geographic nor a projected CRS";
        return false;
    }
    // What one unit of the first axis is in metres or radians.
    const Object system(proj_crs_get_coordinate_system(ctx, judged));
    double factor = 0.0;
    if (!system || !proj_cs_get_axis_info(ctx, system.get(), 0, nullptr, nullptr, nullptr, &factor, nullptr, nullptr,
                                          nullptr) ||
        !(factor > 0.0)) {
        out.problem = "PROJ gives no unit for its axes";
        return false;
    }
    out.unit = factor;
    return true;
}

// True when every point is a number and, for geographic output, within
// the ranges of longitude and latitude. PROJ leaves a point it fails on
// at HUGE_VAL, which is infinite.
bool within_range(const Ring &points, bool geographic) {
    return std::all_of(points.begin(), points.end(), [geographic](const Position &p) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
        return !geographic || (std::fabs(p.x) <= 180.0 && std::fabs(p.y) <= 90.0);
    });
}

// Runs `operation` on `points` in place; false when a point fails.
bool run(PJ *operation, Ring &points, bool geographic) {
    if (points.empty()) return true;
    const std::size_t n = points.size();
    proj_trans_generic(operation, PJ_FWD, &points[0].x, sizeof(Position), n, &points[0].y, sizeof(Position), n,
                       nullptr, 0, 0, nullptr, 0, 0);
    return within_range(points, geographic);
}

// Twice the signed area of a closed ring: positive when counter-clockwise.
double twice_signed_area(const Ring &ring) {
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < ring.size(); ++i) sum += ring[i].x * ring[i + 1].y - ring[i + 1].x * ring[i].y;
    return sum;
}

// Runs of CrsTransforms objects, so that a thread's transformations of an
// earlier run are never taken for those of a later one.
std::atomic<std::uint64_t> g_runs{0};

// One CRS met in the run and its transformation to the output CRS. With
// Sharing::Locked the transformation has a context of its own and is used
// by one thread at a time, under `mutex`; with Sharing::PerThread it is
// made in the run's context for describing CRSs, and each thread uses a
// copy in its own context.
struct Entry {
    SourceCrs about;
    std::mutex mutex;
    Context context;
    Object transform;
};

// What a thread keeps of the run it works for: the entries it has met, by
// SourceCrs::id (so that it takes the lock for them once, not once a
// file), and with Sharing::PerThread its context and its copy of each
// transformation. The context comes first, to be destroyed after them.
struct ThreadTransforms {
    std::uint64_t run = 0;
    Context context;
    std::vector<Entry *> entries;
    std::vector<Object> transforms;
};

ThreadTransforms &this_thread(std::uint64_t run) {
    thread_local ThreadTransforms mine;
    if (mine.run != run) {
        mine.transforms.clear();
        mine.entries.clear();
        mine.run = run;
    }
    return mine;
}

}  // namespace

struct CrsTransforms::Impl {
    std::uint32_t output_epsg = 0;
    Sharing sharing = Sharing::PerThread;
    std::uint64_t run = 0;
    std::string output_problem, output_name;
    bool output_geographic = false;
    double output_unit_metres = 1.0;

    std::mutex mutex;  // guards what follows
    std::map<std::string, std::size_t> by_key;
    std::vector<std::unique_ptr<Entry>> entries;
    Context describing;  // Sharing::PerThread: where each CRS is first looked at

    // The entry of `source`, and with Sharing::PerThread this thread's copy
    // of its transformation: both taken under the lock the first time the
    // thread meets the CRS. A copy takes far less than making the
    // transformation again, which asks PROJ's database.
    PJ *transform_of(const SourceCrs &source, ThreadTransforms &mine, Entry *&entry) {
        const std::size_t id = source.id;
        if (id >= mine.entries.size()) {
            const std::lock_guard<std::mutex> lock(mutex);
            mine.entries.resize(entries.size());
            for (std::size_t i = 0; i < entries.size(); ++i) mine.entries[i] = entries[i].get();
            if (sharing == Sharing::PerThread) {
                if (!mine.context) mine.context = quiet_context();
                mine.transforms.resize(entries.size());
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    if (!mine.transforms[i] && entries[i]->transform && mine.context) {
                        mine.transforms[i] = Object(proj_clone(mine.context.get(), entries[i]->transform.get()));
                    }
                }
            }
        }
        entry = mine.entries[id];
        return sharing == Sharing::PerThread ? mine.transforms[id].get() : entry->transform.get();
    }
};

CrsTransforms::CrsTransforms(std::uint32_t output_epsg, Sharing sharing) : impl_(std::make_unique<Impl>()) {
    impl_->output_epsg = output_epsg;
    impl_->sharing = sharing;
    impl_->run = ++g_runs;
    Context context = quiet_context();
    const Object output(context ? proj_create_from_database(context.get(), "EPSG", std::to_string(output_epsg).c_str(),
                                                            PJ_CATEGORY_CRS, 0, nullptr)
                                : nullptr);
    SourceCrs about;
    if (!output) {
        impl_->output_problem = epsg_text(output_epsg) + " is no CRS that PROJ knows";
    } else if (!describe(context.get(), output.get(), about)) {
        impl_->output_problem = epsg_text(output_epsg) + " (" + about.name + ") is neither a geographic nor a "
                                "projected CRS";
    }
    impl_->output_name = about.name;
    impl_->output_geographic = about.geographic;
    impl_->output_unit_metres = about.geographic ? 1.0 : about.unit;
    if (sharing == Sharing::PerThread) impl_->describing = std::move(context);
}

CrsTransforms::~CrsTransforms() = default;

const std::string &CrsTransforms::output_problem() const { return impl_->output_problem; }
const std::string &CrsTransforms::output_name() const { return impl_->output_name; }
bool CrsTransforms::output_geographic() const { return impl_->output_geographic; }
double CrsTransforms::output_unit_metres() const { return impl_->output_unit_metres; }

const SourceCrs &CrsTransforms::source(const CrsSource &crs) {
    const std::string key = crs.epsg != 0 ? epsg_text(crs.epsg) : "WKT " + crs.wkt;
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto found = impl_->by_key.find(key);
    if (found != impl_->by_key.end()) return impl_->entries[found->second]->about;

    // Met for the first time: PROJ looks at it once for the whole run,
    // while the other threads wait for it or another CRS.
    auto entry = std::make_unique<Entry>();
    entry->about.id = impl_->entries.size();
    entry->about.epsg = crs.epsg;
    if (impl_->sharing == Sharing::Locked) entry->context = quiet_context();
    PJ_CONTEXT *ctx = impl_->sharing == Sharing::Locked ? entry->context.get() : impl_->describing.get();
    SourceCrs &about = entry->about;
    const Object source = ctx ? create_source(ctx, crs) : nullptr;
    if (!source) {
        about.problem = crs.epsg != 0 ? "PROJ does not know it" : "PROJ cannot read its WKT";
    } else if (describe(ctx, source.get(), about)) {
        Object transform = create_transform(ctx, source.get(), impl_->output_epsg);
        if (!transform) {
            about.problem = "PROJ finds no transformation from it to " + epsg_text(impl_->output_epsg);
        } else {
            about.usable = true;
            about.is_output = crs.epsg == impl_->output_epsg;
            entry->transform = std::move(transform);
        }
    }
    impl_->by_key.emplace(key, about.id);
    impl_->entries.push_back(std::move(entry));
    return about;
}

bool CrsTransforms::transform(const SourceCrs &source, Ring &points) {
    const bool geographic = impl_->output_geographic;
    if (!source.usable) return false;
    if (source.is_output) return within_range(points, geographic);
    Entry *entry = nullptr;
    PJ *operation = impl_->transform_of(source, this_thread(impl_->run), entry);
    if (!operation) return false;
    if (impl_->sharing == Sharing::PerThread) return run(operation, points, geographic);
    const std::lock_guard<std::mutex> lock(entry->mutex);
    return run(operation, points, geographic);
}

std::string box_problem(const Box &box) {
    for (const double value : {box.min_x, box.min_y, box.max_x, box.max_y}) {
        if (!std::isfinite(value)) return "its box is not finite";
    }
    if (box.min_x > box.max_x || box.min_y > box.max_y) return "its box has its least coordinate above its greatest";
    if (box.min_x == box.max_x || box.min_y == box.max_y) return "its box has no area";
    return {};
}

Footprint footprint_of(CrsTransforms &transforms, const SourceCrs &source, const Box &box) {
    const std::array<Position, 4> corners{
        {{box.min_x, box.min_y}, {box.max_x, box.min_y}, {box.max_x, box.max_y}, {box.min_x, box.max_y}}};
    // Metres of an edge: in a geographic CRS, as long as on the equator
    // (never shorter than on the ground).
    const double metres = source.unit * (source.geographic ? kSemiMajor : 1.0);
    Footprint f;
    std::array<std::size_t, 4> at{};  // where each corner is in the ring
    for (std::size_t edge = 0; edge < 4; ++edge) {
        const Position &from = corners[edge];
        const Position &to = corners[(edge + 1) % 4];
        const double length = std::hypot(to.x - from.x, to.y - from.y) * metres;
        const std::size_t points =
            source.is_output ? 1 : static_cast<std::size_t>(std::clamp(std::ceil(length / kEdgeSpacing), 1.0,
                                                                        static_cast<double>(kMostEdgePoints)));
        at[edge] = f.ring.size();
        for (std::size_t k = 0; k < points; ++k) {
            const double t = static_cast<double>(k) / static_cast<double>(points);
            f.ring.push_back({from.x + (to.x - from.x) * t, from.y + (to.y - from.y) * t});
        }
    }
    if (!transforms.transform(source, f.ring)) {
        f.ring.clear();
        f.problem = "its box does not reproject to " + transforms.output_name() +
                    (transforms.output_geographic() ? " within the ranges of longitude and latitude" : "");
        return f;
    }
    f.ring.push_back(f.ring.front());
    for (std::size_t c = 0; c < 4; ++c) f.corners[c] = f.ring[at[c]];
    // A CRS whose axes point west or south mirrors the ring.
    if (twice_signed_area(f.ring) < 0.0) {
        std::reverse(f.ring.begin(), f.ring.end());
        std::swap(f.corners[1], f.corners[3]);
    }
    return f;
}

double ellipsoid_band_area(double south, double north, double width) {
    // The area from the equator to latitude phi over a radian of
    // longitude is a^2 q(phi) / 2, with q the authalic function
    // (1 - e^2) (sin phi / (1 - e^2 sin^2 phi) + atanh(e sin phi) / e).
    const double e2 = kFlattening * (2.0 - kFlattening);
    const double e = std::sqrt(e2);
    const auto q = [&](double phi) {
        const double s = std::sin(std::clamp(phi, -kHalfPi, kHalfPi));
        return (1.0 - e2) * (s / (1.0 - e2 * s * s) + std::atanh(e * s) / e);
    };
    return kSemiMajor * kSemiMajor / 2.0 * width * (q(north) - q(south));
}

double box_area_m2(const SourceCrs &source, const Box &box) {
    const double width = (box.max_x - box.min_x) * source.unit;
    const double height = (box.max_y - box.min_y) * source.unit;
    if (!source.geographic) return width * height;
    // Latitudes beyond the poles, or more than the whole circle of
    // longitudes, are no place on the ellipsoid.
    const double south = box.min_y * source.unit, north = box.max_y * source.unit;
    if (south < -kHalfPi || north > kHalfPi || width > 4 * kHalfPi) return std::numeric_limits<double>::quiet_NaN();
    return ellipsoid_band_area(south, north, width);
}

}  // namespace tolvren_cli
