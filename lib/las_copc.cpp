// SPDX-License-Identifier: MIT
// Header API: COPC, the cloud-optimised layout of a LAZ 1.4 file, whose
// point data are the chunks of an octree's nodes.
//
// Its info VLR ("copc" 1, 160 bytes) must be the first VLR, right after a
// 375-byte header:
//   0 center_x   8 center_y  16 center_z  24 halfsize  32 spacing (doubles)
//  40 root_hier_offset  48 root_hier_size (uint64: the root hierarchy page)
//  56 gpstime_minimum   64 gpstime_maximum (doubles)   72 reserved (88)
// The hierarchy EVLR ("copc" 1000) holds pages of 32-byte entries:
//   0 level  4 x  8 y  12 z (int32: the node's key)
//  16 offset (uint64)  24 byte_size (int32)  28 point_count (int32)
// An entry with point_count -1 points at a child page; any other at the
// node's compressed points. Offsets are counted from the start of the file.

#include "tolvren_internal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <utility>

namespace tolvren::las {

namespace {

constexpr char kCopcUserId[] = "copc";
constexpr std::uint16_t kInfoRecordId = 1;
constexpr std::uint16_t kHierarchyRecordId = 1000;
constexpr std::size_t kInfoBytes = 160;
constexpr std::size_t kEntryBytes = 32;
// Entries read at once from a page.
constexpr std::size_t kEntriesPerRead = 2048;

unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }

__attribute__((format(printf, 2, 3))) void broken(Records &out, const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    out.copc_problems.emplace_back(text);
}

// Where the info VLR must be, and what the file must be, for COPC readers.
void check_placement(const tolvren_header &header, const tolvren_record &info, Records &out) {
    if (out.list.empty() || &out.list.front() != &info || info.offset != TOLVREN_HEADER_SIZE_1_4) {
        broken(out, "the COPC info VLR is at byte %llu; COPC files have it first, at byte 375", ull(info.offset));
    }
    if (header.version_minor != 4) broken(out, "COPC files are LAS 1.4; this one is 1.%u", header.version_minor);
    if (header.point_format < 6 || header.point_format > 8) {
        broken(out, "COPC files have point format 6, 7 or 8; this one has %u", header.point_format);
    }
    if (!header.compressed) broken(out, "COPC files are compressed (LAZ); this one is not");
    if (info.length != kInfoBytes) {
        broken(out, "the COPC info VLR holds %llu bytes where COPC has 160", ull(info.length));
    }
}

// Reads the hierarchy from its root page, each page once, and counts its
// nodes and points by level. Returns false on an I/O error.
bool read_hierarchy(int fd, const tolvren_header &header, const tolvren_record &evlr, Records &out) {
    tolvren_copc &copc = out.copc;
    const std::uint64_t begin = evlr.data_offset;
    const std::uint64_t end = begin + evlr.length;  // within the file: the walk said complete
    const auto inside = [&](std::uint64_t offset, std::uint64_t size) {
        return offset >= begin && offset <= end && size <= end - offset;
    };
    if (!inside(copc.root_hier_offset, copc.root_hier_size) || copc.root_hier_size % kEntryBytes != 0) {
        broken(out, "the root hierarchy page (%llu bytes at %llu) is not a whole page inside the hierarchy EVLR",
               ull(copc.root_hier_size), ull(copc.root_hier_offset));
        return true;
    }
    // Every page lies inside the EVLR, and no byte of it is read twice: the
    // work is bounded by the EVLR's length whatever the pages say.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> pages{{copc.root_hier_offset, copc.root_hier_size}};
    std::set<std::uint64_t> seen{copc.root_hier_offset};
    std::uint64_t bytes_read = 0;
    std::vector<unsigned char> block(kEntriesPerRead * kEntryBytes);
    while (!pages.empty()) {
        const auto [offset, size] = pages.front();
        pages.pop_front();
        bytes_read += size;
        if (bytes_read > evlr.length) {
            broken(out, "the hierarchy pages overlap: they hold more bytes than the hierarchy EVLR");
            return true;
        }
        ++copc.pages;
        for (std::uint64_t done = 0; done < size;) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
            const long long got = read_at(fd, block.data(), want, offset + done);
            if (got < 0) return false;
            if (static_cast<std::size_t>(got) < want) {
                broken(out, "the file ends inside a hierarchy page at %llu", ull(offset));
                return true;
            }
            for (std::size_t at = 0; at < want; at += kEntryBytes) {
                const unsigned char *e = block.data() + at;
                const auto level = load<std::int32_t>(e, 0);
                const auto target = load<std::uint64_t>(e, 16);
                const auto byte_size = load<std::int32_t>(e, 24);
                const auto point_count = load<std::int32_t>(e, 28);
                if (level < 0 || level >= static_cast<std::int32_t>(TOLVREN_COPC_MAX_LEVELS)) {
                    broken(out, "a hierarchy entry has level %d, outside 0 to %u", level, TOLVREN_COPC_MAX_LEVELS - 1);
                    return true;
                }
                if (point_count == -1) {
                    const auto child_size = static_cast<std::uint64_t>(byte_size);
                    if (byte_size < 0 || !inside(target, child_size) || child_size % kEntryBytes != 0) {
                        broken(out, "a hierarchy page (%d bytes at %llu) is not a whole page inside the hierarchy EVLR",
                               byte_size, ull(target));
                        return true;
                    }
                    if (seen.insert(target).second) pages.emplace_back(target, child_size);
                } else if (point_count < -1 || byte_size < 0) {
                    broken(out, "a hierarchy entry has %d points in %d bytes", point_count, byte_size);
                    return true;
                } else if (point_count > 0) {
                    const auto l = static_cast<std::size_t>(level);
                    copc.nodes[l] += 1;
                    copc.points[l] += static_cast<std::uint64_t>(point_count);
                    copc.hierarchy_points += static_cast<std::uint64_t>(point_count);
                    copc.levels = std::max<std::uint32_t>(copc.levels, static_cast<std::uint32_t>(level) + 1);
                }
            }
            done += want;
        }
    }
    copc.hierarchy_read = 1;
    if (copc.hierarchy_points != header.point_count) {
        broken(out, "the hierarchy's nodes hold %llu points, the header counts %llu", ull(copc.hierarchy_points),
               ull(header.point_count));
    }
    return true;
}

}  // namespace

bool decode_copc(int fd, const tolvren_header &header, Records &out) {
    const tolvren_record *info = find_record(out, kCopcUserId, kInfoRecordId);
    if (!info || info->extended) return true;
    tolvren_copc &copc = out.copc;
    copc.found = 1;
    check_placement(header, *info, out);
    std::vector<unsigned char> payload;
    if (!read_record_data(fd, *info, kInfoBytes, payload)) return false;
    if (payload.size() < kInfoBytes) return true;  // told above
    const unsigned char *p = payload.data();
    for (std::size_t axis = 0; axis < 3; ++axis) copc.center[axis] = load<double>(p, 8 * axis);
    copc.halfsize = load<double>(p, 24);
    copc.spacing = load<double>(p, 32);
    copc.root_hier_offset = load<std::uint64_t>(p, 40);
    copc.root_hier_size = load<std::uint64_t>(p, 48);
    copc.gpstime_min = load<double>(p, 56);
    copc.gpstime_max = load<double>(p, 64);
    const tolvren_record *hierarchy = nullptr;
    for (const tolvren_record &record : out.list) {
        if (record.extended && record.record_id == kHierarchyRecordId && std::strcmp(record.user_id, kCopcUserId) == 0) {
            hierarchy = &record;
            break;
        }
    }
    if (!hierarchy || !hierarchy->complete) {
        broken(out, hierarchy ? "the COPC hierarchy EVLR runs past the end of the file"
                              : "the file has no COPC hierarchy EVLR (\"copc\" 1000)");
    } else if (!read_hierarchy(fd, header, *hierarchy, out)) {
        return false;
    }
    copc.valid = out.copc_problems.empty() ? 1 : 0;
    return true;
}

}  // namespace tolvren::las
