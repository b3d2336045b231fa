// SPDX-License-Identifier: MIT
// Argument validators: yes/no flags, numeric arguments and DEM file names.
#include "tolvren_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace tolvren::internal {

namespace {

// Printed with puts, which adds the line end.
constexpr char kBadYN[] = "\nASCII Header Flag should be either Y (y) or N (n)";
constexpr char kInvalidArgument[] = "\nInvalid argument value (%s)\n";
constexpr char kBadDemExtension[] =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)";
constexpr char kDemNeedsHeader[] =
    "\nFloating point binary DEM files also require a ASCII header file ('.hdr')";
constexpr char kDemNameNoMemory[] = "\nCannot allocate memory for the header file name of %s\n";

constexpr int kArgumentRefusedStatus = -1;

constexpr std::array<const char *, 4> kYesNo = {"Y", "N", "y", "n"};

// Only the ASCII digits count: no locale is consulted, and no byte above
// 127 is a digit.
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool numeric_argument_accepted(const char *str) noexcept {
    const std::size_t length = std::strlen(str);
    // Positions are size_t, so a value of any length is scanned to its end.
    const bool allowed =
        std::all_of(str, str + length, [](char c) { return is_ascii_digit(c) || c == '.' || c == '-'; });
    if (!allowed) return false;
    // The sign and the point may stand anywhere, once each; alone they are
    // not a number.
    const auto ndots = std::count(str, str + length, '.');
    const auto ndashes = std::count(str, str + length, '-');
    if (ndots > 1 || ndashes > 1) return false;
    return !((ndots == 1 || ndashes == 1) && length == 1);
}

DemStatus check_dem_core(const char *str) {
    // Each failing extension test prints its own message, so an ".flt" name
    // passes here after the mismatch message for asc.
    if (check_file_extension_core(str, "asc") < 0 && check_file_extension_core(str, "flt") < 0) {
        return DemStatus::bad_extension;
    }
    // An ASCII grid carries its own header; this test prints the mismatch
    // message for flt.
    if (check_file_extension_core(str, "flt") < 0) return DemStatus::accepted;

    // The header file sits beside the grid: the same name, directory part
    // and letter case with ".hdr" for the final ".flt", sized to the name.
    const std::size_t length = std::strlen(str);
    std::string header_name;
    try {
        header_name.reserve(length);
        header_name.assign(str, length - 4);
        header_name += ".hdr";
    } catch (const std::bad_alloc &) {
        return DemStatus::no_memory;
    }
    // The grid's reader will need the header's bytes: a FIFO or device by
    // that name does not count.
    if (file_access_core(header_name.c_str(), true) < 0) return DemStatus::header_missing;
    return DemStatus::accepted;
}

}  // namespace tolvren::internal

extern "C" {

int16_t check_YN(const char *text) noexcept {
    using namespace tolvren::internal;
    for (const char *accepted : kYesNo) {
        if (std::strcmp(text, accepted) == 0) return 0;
    }
    std::puts(kBadYN);
    return -1;
}

// The one place where a numeric argument ends the process.
void check_numeric_argument(const char *str) noexcept {
    using namespace tolvren::internal;
    if (numeric_argument_accepted(str)) return;
    std::printf(kInvalidArgument, str);
    std::exit(kArgumentRefusedStatus);
}

// The one place where a DEM name ends the process, after the message of
// its refusal.
void check_DEM(const char *str) noexcept {
    using namespace tolvren::internal;
    switch (check_dem_core(str)) {
        case DemStatus::accepted:
            return;
        case DemStatus::bad_extension:
            std::puts(kBadDemExtension);
            break;
        case DemStatus::no_memory:
            std::printf(kDemNameNoMemory, str);
            break;
        case DemStatus::header_missing:
            std::puts(kDemNeedsHeader);
            break;
    }
    std::exit(kArgumentRefusedStatus);
}

}  // extern "C"
