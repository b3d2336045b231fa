// SPDX-License-Identifier: MIT
// Header API: the statistics of the point records. One pass reads every
// field of every record, uncompressed ones in blocks on several threads as
// the scan does, compressed ones chunk by chunk through the LAZ decoder with
// every layer; each thread tallies into accumulators of a fixed size of its
// own, merged at the end, so the result is the same for any number of
// threads and memory does not grow with the file. The checks of
// TOLVREN_CHECK_POINTS judge what the pass counted.
//
// The hot loop is one template per point format: every field's offset is a
// constant, minima and maxima are conditional moves, and the fields of a
// byte or two (returns, flags, class, user data, point source ID and, in
// formats 0-5, the scan angle) are tallied in histograms rather than
// compared, so that a record takes no branch; their ranges and the counts
// the checks need come from the histograms once, at the end.

#include "laz/laz_reader.h"
#include "tolvren_internal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <limits>
#include <new>

namespace tolvren::las {

namespace {

using internal::kRawHighest;
using internal::kRawLowest;

// A record of formats 6-10 up to its GPS time, for the offsets. The record
// is never read through; formats 0-5 are pinned by Tolvren_LiDAR.h's.
#pragma pack(push, 1)
struct Point14Layout {
    std::int32_t x, y, z;
    std::uint16_t intensity;
    std::uint8_t returns;           // return number (bits 0-3), number of returns (4-7)
    std::uint8_t flags;             // classification flags (0-3), scanner channel (4-5),
                                    // scan direction (6), edge of flight line (7)
    std::uint8_t classification;
    std::uint8_t user_data;
    std::int16_t scan_angle;        // units of 0.006 degrees
    std::uint16_t point_source_id;
    double gps_time;
};
#pragma pack(pop)
static_assert(sizeof(Point14Layout) == 30 && offsetof(Point14Layout, flags) == 15 &&
                  offsetof(Point14Layout, classification) == 16 && offsetof(Point14Layout, scan_angle) == 18 &&
                  offsetof(Point14Layout, point_source_id) == 20 && offsetof(Point14Layout, gps_time) == 22,
              "the record of formats 6-10");
static_assert(offsetof(LAS12fm0, bitfield) == 14 && offsetof(LAS12fm0, Classification) == 15 &&
                  offsetof(LAS12fm0, ScanAngleRank) == 16 && offsetof(LAS12fm0, UserData) == 17 &&
                  offsetof(LAS12fm0, PointSourceID) == 18 && offsetof(LAS12fm1, GPSTime) == 20 &&
                  offsetof(LAS12fm2, Red) == 20 && offsetof(LAS12fm3, Red) == 28,
              "the record of formats 0-5");

constexpr std::size_t kIntensity = offsetof(LAS12fm0, Intensity);
constexpr std::size_t kReturnsByte = offsetof(LAS12fm0, bitfield);
constexpr std::size_t kFlagsByte = offsetof(LAS12fm0, Classification);  // formats 6-10: Point14Layout::flags
constexpr std::size_t kLegacyAngle = offsetof(LAS12fm0, ScanAngleRank);
constexpr std::size_t kUserData = offsetof(LAS12fm0, UserData);
constexpr std::size_t kLegacySource = offsetof(LAS12fm0, PointSourceID);

// Where a format keeps the fields that not every format has; 0 for none.
// Formats 4, 5, 9 and 10 add wave packets after these, which hold no field
// of the statistics.
struct FormatLayout {
    bool legacy;       // formats 0-5: 3-bit returns, 5-bit class, angle in a byte
    std::size_t gps;
    std::size_t rgb;   // red, green, blue: three 16-bit values
    std::size_t nir;
};
constexpr std::array<FormatLayout, 11> kLayouts = {{
    {true, 0, 0, 0},
    {true, 20, 0, 0},
    {true, 0, 20, 0},
    {true, 20, 28, 0},
    {true, 20, 0, 0},
    {true, 20, 28, 0},
    {false, 22, 0, 0},
    {false, 22, 30, 0},
    {false, 22, 30, 36},
    {false, 22, 0, 0},
    {false, 22, 30, 36},
}};

constexpr bool layouts_fit_records() {
    for (std::size_t f = 0; f < kLayouts.size(); ++f) {
        const FormatLayout &l = kLayouts[f];
        const std::size_t end = std::max({l.gps + 8, l.rgb + 6, l.nir + 2});
        if (end > kStandardRecordLengths[f]) return false;
    }
    return true;
}
static_assert(layouts_fit_records(), "every field lies inside its format's record");

// Scan angles of formats 6-10 count 0.006 degrees: -90 to 90 degrees is
// -15000 to 15000.
constexpr double kAngleUnit = 0.006;
constexpr std::int32_t kAngleLimit = 15000;
constexpr int kLegacyAngleLimit = 90;

constexpr std::size_t kSourceIds = 65536;

// One Extra Bytes dimension to measure: where its values are in a record
// and how to read them.
struct ExtraPlan {
    std::size_t offset = 0;     // from the record's first byte
    unsigned base_type = 0;     // 1-10
    unsigned components = 0;
    bool no_data_given = false;
    std::array<double, 3> no_data{};
    std::array<double, 3> scale{};
    std::array<double, 3> offset_value{};
};

// What every thread reads records by.
struct Plan {
    unsigned format = 0;
    std::size_t stride = 0;
    // Per axis, the raw values whose real coordinate lies within half a
    // scale step of the header's extents: lo > hi (INT32_MAX, INT32_MIN)
    // when there is none, the whole range for an axis that is not judged.
    std::array<std::int32_t, 3> inside_lo{{kRawLowest, kRawLowest, kRawLowest}};
    std::array<std::int32_t, 3> inside_hi{{kRawHighest, kRawHighest, kRawHighest}};
    std::vector<ExtraPlan> extra;
};

struct ExtraTally {
    std::array<double, 3> min{};
    std::array<double, 3> max{};
    std::array<std::uint64_t, 3> values{};
    ExtraTally() {
        min.fill(std::numeric_limits<double>::infinity());
        max.fill(-std::numeric_limits<double>::infinity());
    }
};

// One thread's accumulators.
struct Tally {
    std::uint64_t records = 0;
    std::array<std::uint64_t, 256> returns_byte{};   // byte 14
    std::array<std::uint64_t, 256> flags_byte{};     // byte 15
    std::array<std::uint64_t, 256> classes{};        // formats 6-10: byte 16
    std::array<std::uint64_t, 256> angle_byte{};     // formats 0-5: byte 16
    std::array<std::uint64_t, 256> user_data{};
    // By point source ID; allocated when the thread first gets records (a
    // LAZ file may have fewer chunks than threads).
    std::vector<std::uint64_t> sources;
    std::array<std::int32_t, 3> xyz_min{{kRawHighest, kRawHighest, kRawHighest}};
    std::array<std::int32_t, 3> xyz_max{{kRawLowest, kRawLowest, kRawLowest}};
    std::int32_t intensity_min = kRawHighest, intensity_max = kRawLowest;
    std::int32_t angle_min = kRawHighest, angle_max = kRawLowest;  // formats 6-10
    std::array<std::int32_t, 4> colour_min{{kRawHighest, kRawHighest, kRawHighest, kRawHighest}};  // R, G, B, NIR
    std::array<std::int32_t, 4> colour_max{{kRawLowest, kRawLowest, kRawLowest, kRawLowest}};
    double gps_min = std::numeric_limits<double>::infinity();
    double gps_max = -std::numeric_limits<double>::infinity();
    std::uint64_t outside = 0;
    std::uint64_t angle_outside = 0;  // formats 6-10
    std::vector<ExtraTally> extra;
};

// The points of a batch outside the header's extents, or with a scan
// angle beyond -90 to 90 degrees (formats 6-10): counted in a second loop,
// only for a batch whose extremes show that it has such points, so that
// the main loop never compares.
std::uint64_t count_outside(const Plan &plan, const unsigned char *record, std::size_t count,
                            std::size_t step) noexcept {
    std::uint64_t outside = 0;
    for (const unsigned char *const end = record + count * step; record != end; record += step) {
        unsigned out = 0;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const auto value = load<std::int32_t>(record, 4 * axis);
            out |= static_cast<unsigned>(value < plan.inside_lo[axis]) |
                   static_cast<unsigned>(value > plan.inside_hi[axis]);
        }
        outside += out;
    }
    return outside;
}

std::uint64_t count_wide_angles(const unsigned char *record, std::size_t count, std::size_t step) noexcept {
    std::uint64_t outside = 0;
    for (const unsigned char *const end = record + count * step; record != end; record += step) {
        const std::int32_t angle = load<std::int16_t>(record, offsetof(Point14Layout, scan_angle));
        outside += static_cast<unsigned>(angle < -kAngleLimit) | static_cast<unsigned>(angle > kAngleLimit);
    }
    return outside;
}

// The loop over `count` whole records of format Format, Stride bytes apart
// (0: plan.stride, for records with extra bytes). Locals keep the batch's
// extremes in registers.
template <unsigned Format, std::size_t Stride>
void tally_format(const Plan &plan, const unsigned char *const first, std::size_t count, Tally &t) noexcept {
    constexpr FormatLayout kLayout = kLayouts[Format];
    const std::size_t step = Stride != 0 ? Stride : plan.stride;
    std::array<std::int32_t, 3> low{{kRawHighest, kRawHighest, kRawHighest}};
    std::array<std::int32_t, 3> high{{kRawLowest, kRawLowest, kRawLowest}};
    std::int32_t intensity_min = t.intensity_min, intensity_max = t.intensity_max;
    std::int32_t angle_min = kRawHighest, angle_max = kRawLowest;
    std::array<std::int32_t, 4> colour_min = t.colour_min, colour_max = t.colour_max;
    double gps_min = t.gps_min, gps_max = t.gps_max;
    std::uint64_t *const sources = t.sources.data();
    t.records += count;
    for (const unsigned char *record = first, *const end = first + count * step; record != end; record += step) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const auto value = load<std::int32_t>(record, 4 * axis);
            low[axis] = std::min(low[axis], value);
            high[axis] = std::max(high[axis], value);
        }
        const std::int32_t intensity = load<std::uint16_t>(record, kIntensity);
        intensity_min = std::min(intensity_min, intensity);
        intensity_max = std::max(intensity_max, intensity);
        ++t.returns_byte[record[kReturnsByte]];
        ++t.flags_byte[record[kFlagsByte]];
        ++t.user_data[record[kUserData]];
        if constexpr (kLayout.legacy) {
            ++t.angle_byte[record[kLegacyAngle]];
            ++sources[load<std::uint16_t>(record, kLegacySource)];
        } else {
            ++t.classes[record[offsetof(Point14Layout, classification)]];
            const std::int32_t angle = load<std::int16_t>(record, offsetof(Point14Layout, scan_angle));
            angle_min = std::min(angle_min, angle);
            angle_max = std::max(angle_max, angle);
            ++sources[load<std::uint16_t>(record, offsetof(Point14Layout, point_source_id))];
        }
        if constexpr (kLayout.gps != 0) {
            // Written so that a NaN time is passed over.
            const double time = load<double>(record, kLayout.gps);
            gps_min = time < gps_min ? time : gps_min;
            gps_max = time > gps_max ? time : gps_max;
        }
        if constexpr (kLayout.rgb != 0) {
            for (std::size_t c = 0; c < 3; ++c) {
                const std::int32_t value = load<std::uint16_t>(record, kLayout.rgb + 2 * c);
                colour_min[c] = std::min(colour_min[c], value);
                colour_max[c] = std::max(colour_max[c], value);
            }
        }
        if constexpr (kLayout.nir != 0) {
            const std::int32_t value = load<std::uint16_t>(record, kLayout.nir);
            colour_min[3] = std::min(colour_min[3], value);
            colour_max[3] = std::max(colour_max[3], value);
        }
    }
    bool beyond = false;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        beyond = beyond || low[axis] < plan.inside_lo[axis] || high[axis] > plan.inside_hi[axis];
        t.xyz_min[axis] = std::min(t.xyz_min[axis], low[axis]);
        t.xyz_max[axis] = std::max(t.xyz_max[axis], high[axis]);
    }
    if (beyond) t.outside += count_outside(plan, first, count, step);
    if (angle_min < -kAngleLimit || angle_max > kAngleLimit) t.angle_outside += count_wide_angles(first, count, step);
    t.intensity_min = intensity_min;
    t.intensity_max = intensity_max;
    t.angle_min = std::min(t.angle_min, angle_min);
    t.angle_max = std::max(t.angle_max, angle_max);
    t.colour_min = colour_min;
    t.colour_max = colour_max;
    t.gps_min = gps_min;
    t.gps_max = gps_max;
}

// One component of an Extra Bytes dimension over the batch. Values equal to
// the no_data value are left out; a NaN is counted but never an extreme.
template <typename T>
void tally_extra(const ExtraPlan &d, const unsigned char *records, std::size_t count, std::size_t stride,
                 ExtraTally &t) noexcept {
    for (std::size_t c = 0; c < d.components; ++c) {
        double low = t.min[c], high = t.max[c];
        std::uint64_t values = 0;
        const std::size_t at = d.offset + c * sizeof(T);
        for (std::size_t i = 0; i < count; ++i) {
            const auto value = static_cast<double>(load<T>(records + i * stride, at));
            if (d.no_data_given && value == d.no_data[c]) continue;
            ++values;
            low = value < low ? value : low;
            high = value > high ? value : high;
        }
        t.min[c] = low;
        t.max[c] = high;
        t.values[c] += values;
    }
}

using Kernel = void (*)(const Plan &, const unsigned char *, std::size_t, Tally &) noexcept;

template <unsigned Format>
Kernel kernel_of(std::size_t stride) noexcept {
    if (stride == kStandardRecordLengths[Format]) return tally_format<Format, kStandardRecordLengths[Format]>;
    return tally_format<Format, 0>;
}

Kernel pick_kernel(unsigned format, std::size_t stride) noexcept {
    switch (format) {
        case 0: return kernel_of<0>(stride);
        case 1: return kernel_of<1>(stride);
        case 2: return kernel_of<2>(stride);
        case 3: return kernel_of<3>(stride);
        case 4: return kernel_of<4>(stride);
        case 5: return kernel_of<5>(stride);
        case 6: return kernel_of<6>(stride);
        case 7: return kernel_of<7>(stride);
        case 8: return kernel_of<8>(stride);
        case 9: return kernel_of<9>(stride);
        default: return kernel_of<10>(stride);
    }
}

// Every field of a batch of records into one thread's tally.
class Tallier {
public:
    explicit Tallier(const Plan &plan) : plan_(plan), kernel_(pick_kernel(plan.format, plan.stride)) {}

    void add(const unsigned char *records, std::size_t count, Tally &t) const noexcept {
        kernel_(plan_, records, count, t);
        for (std::size_t i = 0; i < plan_.extra.size(); ++i) {
            const ExtraPlan &d = plan_.extra[i];
            ExtraTally &e = t.extra[i];
            switch (d.base_type) {
                case 1: tally_extra<std::uint8_t>(d, records, count, plan_.stride, e); break;
                case 2: tally_extra<std::int8_t>(d, records, count, plan_.stride, e); break;
                case 3: tally_extra<std::uint16_t>(d, records, count, plan_.stride, e); break;
                case 4: tally_extra<std::int16_t>(d, records, count, plan_.stride, e); break;
                case 5: tally_extra<std::uint32_t>(d, records, count, plan_.stride, e); break;
                case 6: tally_extra<std::int32_t>(d, records, count, plan_.stride, e); break;
                case 7: tally_extra<std::uint64_t>(d, records, count, plan_.stride, e); break;
                case 8: tally_extra<std::int64_t>(d, records, count, plan_.stride, e); break;
                case 9: tally_extra<float>(d, records, count, plan_.stride, e); break;
                default: tally_extra<double>(d, records, count, plan_.stride, e); break;
            }
        }
    }

private:
    const Plan &plan_;
    Kernel kernel_;
};

void merge(Tally &into, const Tally &more) {
    into.records += more.records;
    const auto add = [](auto &a, const auto &b) {
        for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    };
    add(into.returns_byte, more.returns_byte);
    add(into.flags_byte, more.flags_byte);
    add(into.classes, more.classes);
    add(into.angle_byte, more.angle_byte);
    add(into.user_data, more.user_data);
    if (into.sources.empty()) {
        into.sources = more.sources;
    } else if (!more.sources.empty()) {
        add(into.sources, more.sources);
    }
    for (std::size_t a = 0; a < 3; ++a) {
        into.xyz_min[a] = std::min(into.xyz_min[a], more.xyz_min[a]);
        into.xyz_max[a] = std::max(into.xyz_max[a], more.xyz_max[a]);
    }
    into.intensity_min = std::min(into.intensity_min, more.intensity_min);
    into.intensity_max = std::max(into.intensity_max, more.intensity_max);
    into.angle_min = std::min(into.angle_min, more.angle_min);
    into.angle_max = std::max(into.angle_max, more.angle_max);
    for (std::size_t c = 0; c < 4; ++c) {
        into.colour_min[c] = std::min(into.colour_min[c], more.colour_min[c]);
        into.colour_max[c] = std::max(into.colour_max[c], more.colour_max[c]);
    }
    into.gps_min = std::min(into.gps_min, more.gps_min);
    into.gps_max = std::max(into.gps_max, more.gps_max);
    into.outside += more.outside;
    into.angle_outside += more.angle_outside;
    for (std::size_t i = 0; i < into.extra.size(); ++i) {
        for (std::size_t c = 0; c < 3; ++c) {
            into.extra[i].min[c] = std::min(into.extra[i].min[c], more.extra[i].min[c]);
            into.extra[i].max[c] = std::max(into.extra[i].max[c], more.extra[i].max[c]);
            into.extra[i].values[c] += more.extra[i].values[c];
        }
    }
}

// ---------------------------------------------------------------------------
// The plan
// ---------------------------------------------------------------------------

// The first raw value in INT32_MIN..INT32_MAX for which `holds` is true, of a
// `holds` that is false up to some value and true from there on;
// INT32_MAX + 1 when it never holds.
template <typename Holds>
std::int64_t first_raw_where(Holds holds) {
    std::int64_t low = kRawLowest;
    std::int64_t high = std::int64_t{kRawHighest} + 1;
    while (low < high) {
        const std::int64_t mid = low + (high - low) / 2;
        if (holds(static_cast<std::int32_t>(mid))) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return low;
}

// The raw values of an axis whose real coordinates lie within half a scale
// step of the header's extents, measured as the extent check measures them.
// Real coordinates grow with the raw value under a positive scale and
// shrink under a negative one, so those values form one interval: found by
// bisection, exact at its ends whatever the rounding.
void inside_interval(const tolvren_header &h, std::size_t axis, Plan &plan) {
    const double scale = h.scale[axis];
    const double offset = h.offset[axis];
    const double min = h.min[axis];
    const double max = h.max[axis];
    if (!axis_usable(h, axis) || !std::isfinite(min) || !std::isfinite(max) || min > max) return;
    const long double half = 0.5L * std::fabs(static_cast<long double>(scale));
    const auto real = [&](std::int32_t raw) {
        return static_cast<long double>(internal::real_coordinate(raw, scale, offset));
    };
    const auto below = [&](std::int32_t raw) { return static_cast<long double>(min) - real(raw) > half; };
    const auto above = [&](std::int32_t raw) { return real(raw) - static_cast<long double>(max) > half; };
    std::int64_t lo = 0, hi = 0;
    if (scale > 0) {
        lo = first_raw_where([&](std::int32_t raw) { return !below(raw); });
        hi = first_raw_where(above) - 1;
    } else {
        lo = first_raw_where([&](std::int32_t raw) { return !above(raw); });
        hi = first_raw_where(below) - 1;
    }
    if (lo > hi) {
        plan.inside_lo[axis] = kRawHighest;
        plan.inside_hi[axis] = kRawLowest;
    } else {
        plan.inside_lo[axis] = static_cast<std::int32_t>(lo);
        plan.inside_hi[axis] = static_cast<std::int32_t>(hi);
    }
}

Plan make_plan(const tolvren_header &header, const Records &records) {
    Plan plan;
    plan.format = header.point_format;
    plan.stride = header.point_record_length;
    for (std::size_t axis = 0; axis < 3; ++axis) inside_interval(header, axis, plan);
    const std::size_t listed = std::min<std::size_t>(records.extra_dimensions.size(), TOLVREN_STATS_MAX_EXTRA);
    for (std::size_t i = 0; i < listed; ++i) {
        const tolvren_extra_dimension &d = records.extra_dimensions[i];
        ExtraPlan p;
        // Only typed values that lie whole inside the extra bytes are read.
        const bool typed = d.data_type >= 1 && d.data_type <= 30;
        if (typed && std::uint64_t{d.record_offset} + d.size <= header.extra_bytes) {
            p.offset = std::size_t{header.standard_record_length} + d.record_offset;
            p.base_type = (d.data_type - 1u) % 10u + 1u;
            p.components = d.components;
            p.no_data_given = (d.options & 1u) != 0;
            for (std::size_t c = 0; c < 3; ++c) {
                p.no_data[c] = d.no_data[c];
                p.scale[c] = d.scale[c];
                p.offset_value[c] = d.offset[c];
            }
        }
        plan.extra.push_back(p);
    }
    return plan;
}

// ---------------------------------------------------------------------------
// From the tallies to the statistics
// ---------------------------------------------------------------------------

tolvren_range range(bool present, double min, double max) {
    return present ? tolvren_range{1, min, max} : tolvren_range{0, 0.0, 0.0};
}

// The least and greatest value(i) over the slots of `histogram` with points.
template <std::size_t N, typename Value>
tolvren_range histogram_range(const std::array<std::uint64_t, N> &histogram, Value value) {
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    bool any = false;
    for (std::size_t i = 0; i < N; ++i) {
        if (histogram[i] == 0) continue;
        any = true;
        low = std::min(low, static_cast<double>(value(i)));
        high = std::max(high, static_cast<double>(value(i)));
    }
    return any ? tolvren_range{1, low, high} : tolvren_range{1, 0.0, 0.0};
}

// A flag's range from the points that have it set, of `records`.
tolvren_range flag_range(bool present, std::uint64_t set, std::uint64_t records) {
    if (!present || records == 0) return range(present, 0, 0);
    return range(true, set == records ? 1 : 0, set > 0 ? 1 : 0);
}

// Points whose byte holds `mask`.
std::uint64_t with_bits(const std::array<std::uint64_t, 256> &histogram, unsigned mask) {
    std::uint64_t points = 0;
    for (std::size_t b = 0; b < 256; ++b) {
        if ((b & mask) == mask) points += histogram[b];
    }
    return points;
}

template <typename T>
tolvren_range extremes(bool present, bool any, T min, T max) {
    return any ? range(present, static_cast<double>(min), static_cast<double>(max)) : range(present, 0, 0);
}

void fill_sources(const Tally &t, tolvren_statistics &out) {
    std::vector<tolvren_source_count> seen;
    for (std::size_t id = 0; id < kSourceIds; ++id) {
        if (t.sources[id] > 0) seen.push_back(tolvren_source_count{static_cast<std::uint16_t>(id), t.sources[id]});
    }
    out.source_ids = seen.size();
    const std::size_t kept = std::min<std::size_t>(seen.size(), TOLVREN_STATS_MAX_SOURCES);
    // Most points first, the lower ID first among equals: an order that no
    // thread count or block order can change.
    std::partial_sort(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(kept), seen.end(),
                      [](const tolvren_source_count &a, const tolvren_source_count &b) {
                          return a.points != b.points ? a.points > b.points : a.id < b.id;
                      });
    out.source_count = kept;
    std::copy_n(seen.begin(), kept, out.sources);
    for (std::size_t i = kept; i < seen.size(); ++i) out.other_source_points += seen[i].points;
}

void fill_extra(const Plan &plan, const Records &records, const Tally &t, tolvren_statistics &out) {
    out.extra_count = records.extra_dimensions.size();
    for (std::size_t i = 0; i < plan.extra.size(); ++i) {
        const tolvren_extra_dimension &d = records.extra_dimensions[i];
        const ExtraPlan &p = plan.extra[i];
        tolvren_extra_range &e = out.extra[i];
        std::memcpy(e.name, d.name, sizeof e.name);
        e.data_type = d.data_type;
        e.components = static_cast<std::uint8_t>(p.components);
        for (std::size_t c = 0; c < p.components; ++c) {
            e.values[c] = t.extra[i].values[c];
            if (e.values[c] == 0 || !std::isfinite(t.extra[i].min[c])) continue;
            double low = t.extra[i].min[c] * p.scale[c] + p.offset_value[c];
            double high = t.extra[i].max[c] * p.scale[c] + p.offset_value[c];
            if (low > high) std::swap(low, high);  // a negative scale
            e.min[c] = low;
            e.max[c] = high;
        }
    }
}

// The largest distance of the points' real extents beyond the header's, of
// the axes judged.
double outside_distance(const tolvren_header &h, const tolvren_scan &scan) {
    long double worst = 0;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        if (!axis_usable(h, axis) || !std::isfinite(h.min[axis]) || !std::isfinite(h.max[axis]) ||
            h.min[axis] > h.max[axis]) {
            continue;
        }
        const long double half = 0.5L * std::fabs(static_cast<long double>(h.scale[axis]));
        const long double low = static_cast<long double>(h.min[axis]) - scan.real_min[axis];
        const long double high = static_cast<long double>(scan.real_max[axis]) - h.max[axis];
        if (low > half) worst = std::max(worst, low);
        if (high > half) worst = std::max(worst, high);
    }
    return static_cast<double>(worst);
}

void finish(const tolvren_header &header, const Plan &plan, const Records &records, const Tally &t,
            tolvren_statistics &out) {
    const unsigned format = header.point_format;
    const FormatLayout &layout = kLayouts[format];
    const bool legacy = layout.legacy;
    const std::uint64_t n = t.records;
    const bool any = n > 0;
    out.point_format = static_cast<std::uint8_t>(format);

    // Returns: byte 14 holds both fields, 3 bits each in formats 0-5 (then
    // the scan direction and edge flags), 4 bits each in 6-10.
    const unsigned bits = legacy ? 3 : 4;
    const unsigned mask = (1u << bits) - 1;
    internal::PointSummary summary;
    summary.records = n;
    summary.min = t.xyz_min;
    summary.max = t.xyz_max;
    for (std::size_t b = 0; b < 256; ++b) {
        const std::size_t number = b & mask;
        const std::size_t of = (b >> bits) & mask;
        out.returns[of][number] += t.returns_byte[b];
        summary.by_return[number] += t.returns_byte[b];
    }
    out.scan.region_start = header.offset_to_point_data;
    summary_to_scan(header, summary, out.scan);

    std::array<std::uint64_t, 16> numbers{}, counts{};
    for (std::size_t of = 0; of < 16; ++of) {
        for (std::size_t number = 0; number < 16; ++number) {
            numbers[number] += out.returns[of][number];
            counts[of] += out.returns[of][number];
            if (number > of) out.return_above_count += out.returns[of][number];
        }
    }
    out.return_number_zero = numbers[0];
    out.number_of_returns_zero = counts[0];
    const auto identity = [](std::size_t i) { return i; };
    out.return_number = histogram_range(numbers, identity);
    out.number_of_returns = histogram_range(counts, identity);

    // Classification and flags: byte 15 in formats 0-5 (class in bits 0-4,
    // then synthetic, key-point, withheld); formats 6-10 give the class a
    // byte of its own (16) and keep the flags in byte 15 with the scanner
    // channel and the scan flags.
    const std::array<std::uint64_t, 256> &flags = t.flags_byte;
    std::array<std::uint64_t, 256> classes{};
    if (legacy) {
        for (std::size_t b = 0; b < 256; ++b) classes[b & 31u] += flags[b];
        out.synthetic_points = with_bits(flags, 1u << 5);
        out.key_point_points = with_bits(flags, 1u << 6);
        out.withheld_points = with_bits(flags, 1u << 7);
        out.scan_direction = flag_range(true, with_bits(t.returns_byte, 1u << 6), n);
        out.edge_of_flight_line = flag_range(true, with_bits(t.returns_byte, 1u << 7), n);
    } else {
        classes = t.classes;
        out.synthetic_points = with_bits(flags, 1u << 0);
        out.key_point_points = with_bits(flags, 1u << 1);
        out.withheld_points = with_bits(flags, 1u << 2);
        out.overlap_points = with_bits(flags, 1u << 3);
        std::array<std::uint64_t, 4> channels{};
        for (std::size_t b = 0; b < 256; ++b) channels[(b >> 4) & 3u] += flags[b];
        out.scanner_channel = histogram_range(channels, identity);
        out.scan_direction = flag_range(true, with_bits(flags, 1u << 6), n);
        out.edge_of_flight_line = flag_range(true, with_bits(flags, 1u << 7), n);
    }
    std::copy(classes.begin(), classes.end(), out.classes);
    out.classification = histogram_range(classes, identity);
    for (unsigned c = 0; c < 256; ++c) {
        if (class_reserved(c, format)) out.reserved_class += classes[c];
    }
    out.synthetic = flag_range(true, out.synthetic_points, n);
    out.key_point = flag_range(true, out.key_point_points, n);
    out.withheld = flag_range(true, out.withheld_points, n);
    out.overlap = flag_range(!legacy, out.overlap_points, n);

    // Scan angle: whole degrees in a signed byte (0-5); 0.006 degrees in a
    // signed 16-bit value (6-10).
    if (legacy) {
        const auto degrees = [](std::size_t b) { return static_cast<std::int8_t>(static_cast<std::uint8_t>(b)); };
        out.scan_angle = histogram_range(t.angle_byte, degrees);
        out.scan_angle_degrees = out.scan_angle;
        for (std::size_t b = 0; b < 256; ++b) {
            if (std::abs(degrees(b)) > kLegacyAngleLimit) out.scan_angle_outside += t.angle_byte[b];
        }
    } else {
        out.scan_angle = extremes(true, any, t.angle_min, t.angle_max);
        out.scan_angle_degrees = range(true, out.scan_angle.min * kAngleUnit, out.scan_angle.max * kAngleUnit);
        out.scan_angle_outside = t.angle_outside;
    }
    out.user_data = histogram_range(t.user_data, identity);
    const auto used = [](std::uint64_t points) { return points > 0; };
    const auto first_id = std::find_if(t.sources.begin(), t.sources.end(), used);
    const auto last_id = std::find_if(t.sources.rbegin(), t.sources.rend(), used);
    out.point_source_id = extremes(true, any, first_id - t.sources.begin(), t.sources.rend() - last_id - 1);
    fill_sources(t, out);

    const bool timed = std::isfinite(t.gps_min) || std::isfinite(t.gps_max);
    out.gps_time = extremes(layout.gps != 0, timed, t.gps_min, t.gps_max);
    out.intensity = extremes(true, any, t.intensity_min, t.intensity_max);
    out.red = extremes(layout.rgb != 0, any, t.colour_min[0], t.colour_max[0]);
    out.green = extremes(layout.rgb != 0, any, t.colour_min[1], t.colour_max[1]);
    out.blue = extremes(layout.rgb != 0, any, t.colour_min[2], t.colour_max[2]);
    out.nir = extremes(layout.nir != 0, any, t.colour_min[3], t.colour_max[3]);
    if (!any) {
        // No points: every present field reads 0 to 0.
        for (tolvren_range *r : {&out.return_number, &out.number_of_returns, &out.classification, &out.scanner_channel,
                                 &out.scan_angle, &out.scan_angle_degrees, &out.user_data, &out.point_source_id}) {
            r->min = r->max = 0;
        }
    }
    out.scanner_channel.present = legacy ? 0 : 1;

    fill_extra(plan, records, t, out);
    out.outside_extents = t.outside;
    out.outside_distance = t.outside > 0 ? outside_distance(header, out.scan) : 0.0;
}

// ---------------------------------------------------------------------------
// Reading the records
// ---------------------------------------------------------------------------

// Each thread's records into its tally; uncompressed blocks and decoded
// chunks alike. The first `ready` threads' tallies are allocated at once,
// the others' by prepare() on their own thread.
class Tallies final : public internal::RecordBlockSink {
public:
    Tallies(const Plan &plan, std::size_t threads, std::size_t ready) : tallier_(plan), tallies_(threads) {
        for (Tally &t : tallies_) t.extra.resize(plan.extra.size());
        for (std::size_t i = 0; i < ready && i < threads; ++i) prepare(static_cast<unsigned>(i));
    }
    // May throw std::bad_alloc.
    void prepare(unsigned thread) {
        if (tallies_[thread].sources.empty()) tallies_[thread].sources.assign(kSourceIds, 0);
    }
    // Assumes prepare(thread) has been called.
    void records(unsigned thread, const unsigned char *records, std::size_t count) noexcept override {
        tallier_.add(records, count, tallies_[thread]);
    }
    Tally total() const {
        Tally sum = tallies_.front();
        for (std::size_t i = 1; i < tallies_.size(); ++i) merge(sum, tallies_[i]);
        if (sum.sources.empty()) sum.sources.assign(kSourceIds, 0);
        return sum;
    }

private:
    Tallier tallier_;
    std::vector<Tally> tallies_;
};

// A thread of the LAZ decoder. Its chunks go straight into the thread's
// tally: a chunk that does not decode fails the whole pass, so no chunk's
// records need keeping apart.
class ChunkTally final : public laz::ChunkConsumer, public laz::RecordSink {
public:
    ChunkTally(Tallies &tallies, unsigned thread) : tallies_(tallies), thread_(thread) {}
    laz::RecordSink &begin_chunk(const laz::ChunkSpec &) override {
        tallies_.prepare(thread_);  // a failure ends the pass as no memory
        return *this;
    }
    bool records(const unsigned char *records, std::size_t count) override {
        tallies_.records(thread_, records, count);
        return true;
    }
    void end_chunk(const laz::ChunkSpec &, const laz::ChunkResult &) override {}

private:
    Tallies &tallies_;
    unsigned thread_;
};

struct ProgressRelay {
    tolvren_progress_fn progress;
    void *user;
    std::uint64_t total;
    static bool report(std::uint64_t done, void *relay) {
        const auto &self = *static_cast<const ProgressRelay *>(relay);
        return self.progress(done, self.total, self.user) == 0;
    }
};

unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }

int read_uncompressed(int fd, const tolvren_header &header, unsigned threads, tolvren_progress_fn progress,
                      void *user, const char *path, Tallies &tallies, tolvren_detail *detail) {
    const std::uint64_t start = header.offset_to_point_data;
    const std::uint64_t end = header.point_region_end;
    const std::uint64_t record_size = header.point_record_length;
    const std::uint64_t whole = (end - start) / record_size;
    if (whole == 0 && progress && progress(0, 0, user) != 0) {
        return fail(detail, TOLVREN_ECANCELED, 0, path, "the scan was stopped by its progress callback");
    }
    ProgressRelay relay{progress, user, whole * record_size};
    ScanProgress hook;
    if (progress) hook = ScanProgress{&ProgressRelay::report, &relay};
    bool complete = false;
    switch (internal::read_record_blocks(fd, start, whole * record_size, record_size, threads, tallies, hook,
                                         complete)) {
        case ScanStatus::ok: break;
        case ScanStatus::read_error: return fail(detail, TOLVREN_EREAD, errno, path, "cannot read the point records");
        case ScanStatus::no_memory: return fail(detail, TOLVREN_ENOMEM, 0, path, "no memory for the scan buffer");
        case ScanStatus::canceled:
            return fail(detail, TOLVREN_ECANCELED, 0, path, "the scan was stopped by its progress callback");
    }
    if (!complete) return fail(detail, TOLVREN_ECHANGED, 0, path, "the file became shorter during the scan");
    return TOLVREN_OK;
}

__attribute__((format(printf, 4, 5))) void add(FileFindings &findings, int severity, int code, const char *format,
                                                ...) {
    std::array<char, sizeof(tolvren_finding{}.message)> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    findings.push_back(FileFinding{severity, code, text.data()});
}

// Times within one GPS week, in seconds from its start.
constexpr double kWeekSeconds = 604800.0;

}  // namespace

int statistics_fd(int fd, const tolvren_header &header, const Records &records, unsigned threads,
                  tolvren_progress_fn progress, void *user, const char *path, tolvren_statistics &out,
                  tolvren_detail *detail, FileFindings *findings) noexcept {
    try {
        std::memset(&out, 0, sizeof out);
        if (!header_well_formed(header)) {
            return fail(detail, TOLVREN_EINVAL, 0, path, "the header handed in is not one the reader returns");
        }
        const std::uint64_t start = header.offset_to_point_data;
        const std::uint64_t end = header.point_region_end;
        if (header.compressed && start > header.file_size) {
            return fail(detail, TOLVREN_ELAYOUT, 0, path,
                        "the compressed points would start at byte %llu of a file of %llu bytes", ull(start),
                        ull(header.file_size));
        }
        if (!header.compressed && (start > end || end > header.file_size)) {
            return fail(detail, TOLVREN_ELAYOUT, 0, path,
                        "the point records would run from byte %llu to %llu of a file of %llu bytes", ull(start),
                        ull(end), ull(header.file_size));
        }
        const Plan plan = make_plan(header, records);
        unsigned count = thread_count(threads);
        if (!header.compressed) {
            // No more threads than blocks to read.
            const std::uint64_t bytes = end - start;
            const std::uint64_t block = std::max<std::uint64_t>(internal::kParallelBlockBytes / header.point_record_length, 1) *
                                        header.point_record_length;
            count = static_cast<unsigned>(std::clamp<std::uint64_t>((bytes + block - 1) / block, 1, count));
        }
        Tallies tallies(plan, count, header.compressed ? 1 : count);
        int code = TOLVREN_OK;
        if (header.compressed) {
            std::vector<ChunkTally> consumers;
            consumers.reserve(count);
            std::vector<laz::ChunkConsumer *> pointers;
            for (unsigned t = 0; t < count; ++t) pointers.push_back(&consumers.emplace_back(tallies, t));
            std::uint64_t region_end = 0;
            code = decode_compressed(fd, header, laz::LayerChoice::all, pointers, progress, user, path, region_end,
                                     detail, findings);
            out.scan.region_end = region_end;
        } else {
            code = read_uncompressed(fd, header, count, progress, user, path, tallies, detail);
            out.scan.region_end = end;
            out.scan.remainder_bytes = (end - start) % header.point_record_length;
        }
        if (code != TOLVREN_OK) return code;
        finish(header, plan, records, tallies.total(), out);
        return TOLVREN_OK;
    } catch (const std::bad_alloc &) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "no memory for the statistics");
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while reading the points");
    }
}

bool class_reserved(unsigned classification, unsigned format) noexcept {
    if (format <= 5) return classification == 10 || classification == 11 || (classification >= 13 && classification <= 31);
    return classification >= 23 && classification <= 63;
}

// "has" for one point, "have" for more.
const char *has(std::uint64_t count) { return count == 1 ? "has" : "have"; }

void point_findings(const tolvren_header &header, const tolvren_statistics &s, FileFindings &findings) {
    const std::uint64_t n = s.scan.records;
    if (s.return_number_zero > 0) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_RETURN_NUMBER_ZERO, "%llu of %llu points %s return number 0",
            ull(s.return_number_zero), ull(n), has(s.return_number_zero));
    }
    if (s.return_above_count > 0) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_RETURN_ABOVE_COUNT,
            "%llu of %llu points %s a return number above their number of returns", ull(s.return_above_count),
            ull(n), has(s.return_above_count));
    }
    if (s.number_of_returns_zero > 0) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_NUMBER_OF_RETURNS_ZERO, "%llu of %llu points %s number of returns 0",
            ull(s.number_of_returns_zero), ull(n), has(s.number_of_returns_zero));
    }
    if (s.outside_extents > 0) {
        add(findings, TOLVREN_ERROR, TOLVREN_F_POINTS_OUTSIDE_EXTENTS,
            "%llu of %llu points %s more than half a scale step outside the header's extents, the farthest by %s",
            ull(s.outside_extents), ull(n), s.outside_extents == 1 ? "lies" : "lie",
            double_text(s.outside_distance).c_str());
    }
    if (s.reserved_class > 0) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_CLASS_RESERVED,
            "%llu of %llu points %s a class that point format %u reserves (%s)", ull(s.reserved_class), ull(n),
            has(s.reserved_class), header.point_format, header.point_format <= 5 ? "10, 11 and 13-31" : "23-63");
    }
    // GPS week time counts the seconds from the start of a week; adjusted
    // standard GPS time the seconds since the start of GPS time less one
    // billion, which is about 1e8 to 1e9 for data of 2014 on and negative
    // before September 2011. Times that all fit one week are taken for week
    // time, any other for standard time.
    if (s.gps_time.present && n > 0 && std::isfinite(s.gps_time.min)) {
        const bool week_like = s.gps_time.min >= 0 && s.gps_time.max <= kWeekSeconds;
        const bool standard_bit = (header.global_encoding & 1u) != 0;
        if (standard_bit && week_like) {
            add(findings, TOLVREN_WARNING, TOLVREN_F_GPS_TIME_TYPE_MISMATCH,
                "the GPS times of all %llu points lie within one week's seconds (%s to %s), but "
                "global-encoding bit 0 says adjusted standard GPS time",
                ull(n), double_text(s.gps_time.min).c_str(), double_text(s.gps_time.max).c_str());
        } else if (!standard_bit && !week_like) {
            add(findings, TOLVREN_WARNING, TOLVREN_F_GPS_TIME_TYPE_MISMATCH,
                "the GPS times run from %s to %s, outside one week's seconds (0 to 604800), but %s",
                double_text(s.gps_time.min).c_str(), double_text(s.gps_time.max).c_str(),
                header.version_minor >= 2 ? "global-encoding bit 0 is clear, which says GPS week time"
                                          : "before LAS 1.2 GPS times are week time");
        }
    }
    if (s.red.present && n > 0 && s.red.max <= 255 && s.green.max <= 255 && s.blue.max <= 255 &&
        s.red.max + s.green.max + s.blue.max > 0) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_RGB_LOW_BITS_ONLY,
            "every red, green and blue value of the %llu points is at most 255 (maxima %.0f, %.0f, %.0f): the "
            "colours use only the low 8 of their 16 bits",
            ull(n), s.red.max, s.green.max, s.blue.max);
    }
    if (s.scan_angle_outside > 0) {
        add(findings, TOLVREN_WARNING, TOLVREN_F_SCAN_ANGLE_OUT_OF_RANGE,
            "%llu of %llu points %s a scan angle outside -90 to 90 degrees (%s to %s)",
            ull(s.scan_angle_outside), ull(n), has(s.scan_angle_outside),
            double_text(s.scan_angle_degrees.min).c_str(), double_text(s.scan_angle_degrees.max).c_str());
    }
}

}  // namespace tolvren::las

using namespace tolvren::las;

namespace {

// The names of classes 0-22 in formats 6-10; formats 0-5 differ at 8, 10,
// 11 and 12 and stop at 31.
constexpr std::array<const char *, 23> kClassNames = {
    "Never classified",
    "Unclassified",
    "Ground",
    "Low Vegetation",
    "Medium Vegetation",
    "High Vegetation",
    "Building",
    "Low Point (noise)",
    "Reserved",
    "Water",
    "Rail",
    "Road Surface",
    "Reserved",
    "Wire - Guard (Shield)",
    "Wire - Conductor (Phase)",
    "Transmission Tower",
    "Wire-structure Connector (e.g. Insulator)",
    "Bridge Deck",
    "High Noise",
    "Overhead Structure",
    "Ignored Ground",
    "Snow",
    "Temporal Exclusion",
};

}  // namespace

extern "C" const char *tolvren_class_name(unsigned classification, unsigned point_format) noexcept {
    if (point_format > 10) return nullptr;
    if (point_format <= 5) {
        if (classification > 31) return nullptr;
        switch (classification) {
            case 8: return "Model Key-point";
            case 12: return "Overlap Points";
            default: break;
        }
        return class_reserved(classification, point_format) ? "Reserved" : kClassNames[classification];
    }
    if (classification > 255) return nullptr;
    if (classification >= 64) return "User definable";
    return classification < kClassNames.size() ? kClassNames[classification] : "Reserved";
}

extern "C" int tolvren_compute_statistics(const char *path, unsigned threads, tolvren_progress_fn progress, void *user,
                                          tolvren_statistics *out, tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    try {
        OpenedFile file;
        tolvren_header header;
        HeaderImage image;
        int code = open_and_read_header(path, file, header, image, detail);
        if (code != TOLVREN_OK) return code;
        Records records;
        code = read_records(file.fd.get(), path, header, records, detail);
        if (code != TOLVREN_OK) return code;
        return statistics_fd(file.fd.get(), header, records, threads, progress, user, path, *out, detail);
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while reading the points");
    }
}
