// SPDX-License-Identifier: MIT
// The argument validators on arbitrary strings. check_numeric_argument and
// check_DEM end the process when they refuse, so the target runs their
// cores, which return the verdict, on every input, and calls the exported
// operations only with what the cores accepted: a call that then ends the
// process is a finding.
#include "Tolvren_LiDAR.h"
#include "fuzz_common.h"
#include "tolvren_internal.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 4096) return 0;
    // Names resolve inside the scratch directory, which holds one header
    // file, so that the ".flt" path with an existing ".hdr" is reachable.
    // The target changes the working directory: give the engine absolute
    // paths for its corpus and artifacts.
    static const bool prepared = [] {
        const std::string &dir = tolvren_fuzz::scratch_dir();
        tolvren_fuzz::write_input(dir + "/grid.hdr", nullptr, 0);
        return chdir(dir.c_str()) == 0;
    }();
    if (!prepared) tolvren_fuzz::fail("cannot enter the scratch directory");

    // The text up to the first zero byte, as a C caller would pass it.
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));

    const std::int16_t yn = check_YN(text.c_str());
    const bool flag = text == "Y" || text == "N" || text == "y" || text == "n";
    if ((yn == 0) != flag || (yn != 0 && yn != -1)) tolvren_fuzz::fail("check_YN disagrees");

    // A number holds digits, one point and one minus sign at most.
    if (tolvren::internal::numeric_argument_accepted(text.c_str())) {
        if (text.find_first_not_of("0123456789.-") != std::string::npos) tolvren_fuzz::fail("a non-numeric byte passed");
        check_numeric_argument(text.c_str());
    }
    // A DEM name ends in ".asc", or in ".flt" with its ".hdr" beside it.
    using tolvren::internal::DemStatus;
    if (tolvren::internal::check_dem_core(text.c_str()) == DemStatus::accepted) {
        const std::string tail = text.size() > 4 ? text.substr(text.size() - 4) : std::string();
        if (tail != ".asc" && tail != ".flt") tolvren_fuzz::fail("a DEM name without its extension passed");
        check_DEM(text.c_str());
    }
    return 0;
}
