// SPDX-License-Identifier: MIT
// The header API on arbitrary bytes. Parsing the bytes and reading them from
// a file must agree; a report must hold what it counts; and on any file,
// compressed or not, a dry run must write nothing, a repair must keep the
// length and every byte outside the count and extent fields, leave nothing
// for a second repair, and leave no count or extent error (min above max
// included) to the API's own check: against the scan the repair went by,
// and with a scan of its own (repair_checks.h).
#include "repair_checks.h"
#include "tolvren_las.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > (1u << 16)) return 0;
    tolvren_header parsed;
    tolvren_detail detail;
    const int parse_code = tolvren_parse_header(data, size, size, &parsed, &detail);
    if (std::memchr(detail.message, '\0', sizeof detail.message) == nullptr) tolvren_fuzz::fail("an unterminated detail");

    const std::string path = tolvren_fuzz::scratch_dir() + "/input.las";
    tolvren_fuzz::write_input(path, data, size);
    tolvren_header read;
    if (tolvren_read_header(path.c_str(), &read, nullptr) != parse_code) tolvren_fuzz::fail("parse and read disagree");
    if (parse_code != TOLVREN_OK) return 0;
    if (std::memcmp(&parsed, &read, sizeof read) != 0) tolvren_fuzz::fail("parse and read decode differently");

    tolvren_report report;
    if (tolvren_check_header(&parsed, nullptr, &report) != TOLVREN_OK) tolvren_fuzz::fail("a read header cannot be checked");
    tolvren_fuzz::check_report(report);
    // Compressed files too: a LAZ file's repair changes its header alone.
    tolvren_fuzz::repair_and_recheck(path, data, size, parsed.version_minor);
    return 0;
}
