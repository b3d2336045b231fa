// SPDX-License-Identifier: MIT
// The viewer's whole path on arbitrary bytes: the input checks, then (for an
// accepted file) the header report exactly as Quarlin prints it.
#include "Tolvren_LiDAR.h"
#include "fuzz_common.h"

#include <cstddef>
#include <cstdint>
#include <string>

int quarlin_main(int argc, char **argv);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The report reads 227 bytes; longer inputs add nothing but time.
    if (size > 4096) return 0;
    const std::string path = tolvren_fuzz::scratch_dir() + "/input.las";
    tolvren_fuzz::write_input(path, data, size);

    const std::int16_t las_type = check_las(path.c_str());
    if (las_type < 0) return 0;
    if (las_type > 8) tolvren_fuzz::fail("check_las returned an unknown LASType");

    std::string program = "Quarlin";
    std::string argument = path;
    char *argv[] = {program.data(), argument.data(), nullptr};
    if (quarlin_main(2, argv) != 0) tolvren_fuzz::fail("the viewer did not finish its report");
    return 0;
}
