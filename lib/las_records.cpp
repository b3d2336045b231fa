// SPDX-License-Identifier: MIT
// Header API: the VLRs and EVLRs of a file, listed and decoded in one read.
//
// The records the LAS format defines are found by user id and record id;
// the first of each kind is the one decoded (the check says when there are
// more). Every length comes from the file, so each read is bounded by the
// bytes the file really holds and by kMaxDecodedRecordBytes.

#include "laz/container.h"
#include "tolvren_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tolvren::las {

namespace {

constexpr char kProjection[] = "LASF_Projection";
constexpr std::uint16_t kWktRecord = 2112;
constexpr std::uint16_t kGeoKeyDirectory = 34735;
constexpr std::uint16_t kGeoDoubleParams = 34736;
constexpr std::uint16_t kGeoAsciiParams = 34737;
constexpr char kSpec[] = "LASF_Spec";
constexpr std::uint16_t kExtraBytesRecord = 4;

// The data of the first record of a kind, read up to the decoding limit;
// empty when there is none. False on an I/O error.
bool first_record_data(int fd, const Records &records, const char *user_id, std::uint16_t record_id,
                       std::vector<unsigned char> &out) {
    out.clear();
    const tolvren_record *record = find_record(records, user_id, record_id);
    return !record || read_record_data(fd, *record, kMaxDecodedRecordBytes, out);
}

// The LASzip VLR, decoded and measured against the header as the decoder
// would measure it.
bool decode_laszip(int fd, const tolvren_header &header, Records &out) {
    const tolvren_record *record = find_record(out, laz::kLaszipUserId, laz::kLaszipRecordId);
    if (!record || record->extended) return true;
    std::vector<unsigned char> payload;
    if (!read_record_data(fd, *record, kMaxDecodedRecordBytes, payload)) return false;
    tolvren_laszip &laszip = out.laszip;
    laszip.found = 1;
    laszip.offset = record->offset;
    laz::LaszipVlr vlr;
    const laz::ContainerFinding finding = laz::parse_laszip_vlr(payload.data(), payload.size(), laz_layout(header), vlr);
    laszip.valid = finding.problem == laz::ContainerProblem::none ? 1 : 0;
    out.laszip_problem = finding.message;
    laszip.compressor = vlr.compressor;
    laszip.coder = vlr.coder;
    laszip.version_major = vlr.version_major;
    laszip.version_minor = vlr.version_minor;
    laszip.version_revision = vlr.version_revision;
    laszip.options = vlr.options;
    laszip.chunk_size = vlr.chunk_size;
    laszip.special_evlr_count = vlr.special_evlr_count;
    laszip.special_evlr_offset = vlr.special_evlr_offset;
    laszip.item_count = static_cast<std::uint16_t>(std::min<std::size_t>(vlr.items.size(), UINT16_MAX));
    const std::size_t held = std::min(vlr.items.size(), std::size(laszip.items));
    for (std::size_t i = 0; i < held; ++i) {
        laszip.items[i] = tolvren_laszip_item{vlr.items[i].type, vlr.items[i].size, vlr.items[i].version};
    }
    return true;
}

}  // namespace

const tolvren_record *find_record(const Records &records, const char *user_id, std::uint16_t record_id) noexcept {
    for (const tolvren_record &record : records.list) {
        if (record.record_id == record_id && std::strcmp(record.user_id, user_id) == 0) return &record;
    }
    return nullptr;
}

std::size_t count_records(const Records &records, const char *user_id, std::uint16_t record_id) noexcept {
    return static_cast<std::size_t>(std::count_if(records.list.begin(), records.list.end(), [&](const tolvren_record &r) {
        return r.record_id == record_id && std::strcmp(r.user_id, user_id) == 0;
    }));
}

bool read_record_data(int fd, const tolvren_record &record, std::size_t limit, std::vector<unsigned char> &out) {
    out.assign(static_cast<std::size_t>(std::min<std::uint64_t>(record.length, limit)), 0);
    const long long got = read_at(fd, out.data(), out.size(), record.data_offset);
    if (got < 0) return false;
    out.resize(static_cast<std::size_t>(got));
    return true;
}

int read_records(int fd, const char *path, tolvren_header &header, Records &out, tolvren_detail *detail) {
    out = Records{};
    const int code = walk_records(fd, path, header, out.list, detail);
    if (code != TOLVREN_OK) return code;
    out.vlr_count = static_cast<std::size_t>(
        std::count_if(out.list.begin(), out.list.end(), [](const tolvren_record &r) { return r.extended == 0; }));
    out.evlr_count = out.list.size() - out.vlr_count;

    std::vector<unsigned char> directory, doubles, ascii, wkt, extra;
    if (!first_record_data(fd, out, kProjection, kGeoKeyDirectory, directory) ||
        !first_record_data(fd, out, kProjection, kGeoDoubleParams, doubles) ||
        !first_record_data(fd, out, kProjection, kGeoAsciiParams, ascii) ||
        !first_record_data(fd, out, kProjection, kWktRecord, wkt) ||
        !first_record_data(fd, out, kSpec, kExtraBytesRecord, extra)) {
        return fail(detail, TOLVREN_EREAD, errno, path, "cannot read a VLR or EVLR");
    }
    if (find_record(out, kProjection, kGeoKeyDirectory)) decode_geokeys(directory, doubles, ascii, out);
    if (find_record(out, kProjection, kWktRecord)) {
        // The text ends at its first zero; writers pad with zeros.
        const auto end = std::find(wkt.begin(), wkt.end(), 0);
        out.wkt.assign(wkt.begin(), end);
        decode_wkt(out.wkt, out);
    }
    settle_crs(header, out);
    if (find_record(out, kSpec, kExtraBytesRecord)) {
        out.extra_bytes_found = true;
        decode_extra_bytes(extra, out);
    }
    if (!decode_laszip(fd, header, out) || !decode_copc(fd, header, out)) {
        return fail(detail, TOLVREN_EREAD, errno, path, "cannot read a VLR or EVLR");
    }
    return TOLVREN_OK;
}

}  // namespace tolvren::las

using namespace tolvren::las;

namespace {

// A C string into a fixed field, cut to fit, zero-terminated.
template <std::size_t N>
void copy_into(char (&to)[N], const std::string &from) {
    const std::size_t length = std::min(from.size(), N - 1);
    std::memcpy(to, from.data(), length);
    to[length] = '\0';
}

void fill(const Records &records, tolvren_records &out) {
    out.vlr_count = records.vlr_count;
    out.evlr_count = records.evlr_count;
    out.listed = std::min<std::size_t>(records.list.size(), TOLVREN_MAX_LISTED_RECORDS);
    std::copy_n(records.list.begin(), out.listed, out.records);
    out.crs = records.crs;
    out.geokey_count = records.geokeys.size();
    std::copy_n(records.geokeys.begin(), std::min<std::size_t>(records.geokeys.size(), TOLVREN_MAX_GEOKEYS),
                out.geokeys);
    out.wkt_length = records.wkt.size();
    copy_into(out.wkt, records.wkt);
    out.extra_dimension_count = records.extra_dimensions.size();
    std::copy_n(records.extra_dimensions.begin(),
                std::min<std::size_t>(records.extra_dimensions.size(), TOLVREN_MAX_EXTRA_DIMENSIONS),
                out.extra_dimensions);
    out.extra_bytes_problem = records.extra_bytes_problem ? 1 : 0;
    out.laszip = records.laszip;
    out.copc = records.copc;
    if (!records.copc_problems.empty()) copy_into(out.copc.problem, records.copc_problems.front());
}

}  // namespace

extern "C" int tolvren_read_records(const char *path, tolvren_records *out, tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !out) return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    try {
        std::memset(out, 0, sizeof *out);
        OpenedFile file;
        tolvren_header header;
        HeaderImage image;
        int code = open_and_read_header(path, file, header, image, detail);
        if (code != TOLVREN_OK) return code;
        Records records;
        code = read_records(file.fd.get(), path, header, records, detail);
        if (code != TOLVREN_OK) return code;
        out->header = header;
        fill(records, *out);
        return TOLVREN_OK;
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while reading the records");
    }
}

extern "C" int tolvren_read_record_data(const char *path, const tolvren_record *record, void *buffer,
                                        size_t capacity, size_t *size, tolvren_detail *detail) noexcept {
    clear(detail);
    if (!path || !record || !size || (!buffer && capacity > 0)) {
        return fail(detail, TOLVREN_EINVAL, 0, nullptr, "a NULL pointer was handed in");
    }
    *size = 0;
    OpenedFile file;
    const int code = open_file(path, false, file, detail);
    if (code != TOLVREN_OK) return code;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(record->length, capacity));
    const long long got = read_at(file.fd.get(), static_cast<unsigned char *>(buffer), wanted, record->data_offset);
    if (got < 0) return fail(detail, TOLVREN_EREAD, errno, path, "cannot read the record's data");
    *size = static_cast<std::size_t>(got);
    return TOLVREN_OK;
}
