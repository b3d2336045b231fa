/* SPDX-License-Identifier: MIT */
// What the header API fuzz targets ask of every repair: a report that holds
// what it counts; a dry run that writes nothing; a repair that keeps the
// length and every byte outside the count and extent fields, leaves nothing
// for a second repair, and leaves no count or extent error to a check of the
// header against the repair's scan or to a check with a scan.
#ifndef TOLVREN_FUZZ_REPAIR_CHECKS_H
#define TOLVREN_FUZZ_REPAIR_CHECKS_H

#include "fuzz_common.h"
#include "tolvren_las.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tolvren_fuzz {


using Bytes = std::vector<std::uint8_t>;

inline Bytes read_back(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The fields a repair may write: the legacy counts, the extents, and in 1.4
// the 64-bit counts. Before 1.4, bytes 247-374 are VLRs or point records.
inline bool repairable(std::size_t offset, std::uint8_t version_minor) {
    return (offset >= 107 && offset < 131) || (offset >= 179 && offset < 227) ||
           (version_minor == 4 && offset >= 247 && offset < 375);
}

inline void check_report(const tolvren_report &report) {
    if (report.count > TOLVREN_MAX_FINDINGS) fail("a report holds more findings than it has room for");
    int errors = 0;
    int warnings = 0;
    for (std::size_t i = 0; i < report.count; ++i) {
        const tolvren_finding &finding = report.findings[i];
        (finding.severity == TOLVREN_ERROR ? errors : warnings) += 1;
        if (std::strcmp(tolvren_severity_name(finding.severity), "unknown") == 0) {
            fail("a finding without a severity");
        }
        if (std::strcmp(tolvren_finding_name(finding.code), "unknown") == 0) fail("a finding without a name");
        if (std::memchr(finding.message, '\0', sizeof finding.message) == nullptr) fail("an unterminated message");
    }
    // A full report may count findings it had no room for; any other holds
    // exactly what it counts.
    if (errors > report.errors || warnings > report.warnings) fail("a report counts fewer findings than it holds");
    if (report.count < TOLVREN_MAX_FINDINGS && (errors != report.errors || warnings != report.warnings)) {
        fail("a report counts findings it does not hold");
    }
}

// A repaired header has none of the errors that a repair mends.
inline void check_no_repairable_error(const tolvren_report &report) {
    check_report(report);
    for (std::size_t i = 0; i < report.count; ++i) {
        const int finding = report.findings[i].code;
        if (finding == TOLVREN_F_POINT_COUNT_MISMATCH || finding == TOLVREN_F_BY_RETURN_MISMATCH ||
            finding == TOLVREN_F_EXTENT_MISMATCH || finding == TOLVREN_F_LEGACY_MISMATCH ||
            finding == TOLVREN_F_MORE_RECORDS_THAN_COUNT || finding == TOLVREN_F_FEWER_RECORDS_THAN_COUNT ||
            (finding == TOLVREN_F_MIN_ABOVE_MAX && report.findings[i].severity == TOLVREN_ERROR)) {
            fail("a repaired file still has a wrong count or extent");
        }
    }
}

inline void repair_and_recheck(const std::string &path, const std::uint8_t *data, std::size_t size,
                        std::uint8_t version_minor) {
    tolvren_repair_result result;
    if (tolvren_repair(path.c_str(), TOLVREN_REPAIR_DRY_RUN, nullptr, nullptr, &result, nullptr) == TOLVREN_OK &&
        result.written != 0) {
        fail("a dry run says it wrote");
    }
    if (read_back(path) != Bytes(data, data + size)) fail("a dry run changed the file");
    const int code = tolvren_repair(path.c_str(), 0, nullptr, nullptr, &result, nullptr);
    const Bytes after = read_back(path);
    if (after.size() != size) fail("a repair changed the length of the file");
    for (std::size_t i = 0; i < size; ++i) {
        if (after[i] != data[i] && (code != TOLVREN_OK || !repairable(i, version_minor))) {
            fail("a repair changed a byte it must not");
        }
    }
    if (code != TOLVREN_OK) return;
    if ((result.written != 0) != (after != Bytes(data, data + size))) fail("written says otherwise");
    tolvren_repair_result again;
    if (tolvren_repair(path.c_str(), 0, nullptr, nullptr, &again, nullptr) != TOLVREN_OK || again.count != 0) {
        fail("a second repair found more to change");
    }
    tolvren_header repaired;
    if (tolvren_read_header(path.c_str(), &repaired, nullptr) != TOLVREN_OK) fail("a repaired file cannot be read");
    tolvren_report report;
    if (tolvren_check_header(&repaired, &result.scan, &report) != TOLVREN_OK) {
        fail("a repaired header cannot be checked");
    }
    check_no_repairable_error(report);
    if (tolvren_check_file(path.c_str(), TOLVREN_CHECK_SCAN, nullptr, nullptr, &report, nullptr) != TOLVREN_OK) {
        fail("a repaired file cannot be checked");
    }
    check_no_repairable_error(report);
}


}  // namespace tolvren_fuzz

#endif  // TOLVREN_FUZZ_REPAIR_CHECKS_H
