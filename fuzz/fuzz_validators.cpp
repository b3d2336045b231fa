// The argument validators on arbitrary strings. check_numeric_argument and
// check_DEM end the process when they refuse, so the target decides first
// whether a value will be accepted and calls them only then; a call that
// ends the process is a finding.
#include "Tolvren_LiDAR.h"
#include "fuzz_common.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool accepted_number(const std::string &text) {
    const bool allowed = std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
    const auto dots = std::count(text.begin(), text.end(), '.');
    const auto dashes = std::count(text.begin(), text.end(), '-');
    return allowed && dots <= 1 && dashes <= 1 && text != "." && text != "-";
}

bool ends_with(const std::string &text, const char *suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() > n && text.compare(text.size() - n, n, suffix) == 0;
}

// check_DEM returns for a ".asc" name, and for a ".flt" name whose ".hdr"
// beside it opens for reading.
bool accepted_dem(const std::string &name) {
    if (ends_with(name, ".asc")) return true;
    if (!ends_with(name, ".flt")) return false;
    const std::string header = name.substr(0, name.size() - 4) + ".hdr";
    std::FILE *fp = std::fopen(header.c_str(), "r");
    if (!fp) return false;
    std::fclose(fp);
    return true;
}

}  // namespace

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

    if (accepted_number(text)) check_numeric_argument(text.c_str());
    if (accepted_dem(text)) check_DEM(text.c_str());
    return 0;
}
