/* SPDX-License-Identifier: MIT */
// Names of coordinate reference systems ("NAD83 / UTM zone 10N"), from the
// EPSG database that PROJ carries. The library finds the codes a file
// states; naming them needs the database, which only the program links.
#ifndef TOLVREN_CLI_CRS_NAMES_H
#define TOLVREN_CLI_CRS_NAMES_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tolvren_cli {

// Safe to share between threads: each thread asks PROJ through a context of
// its own, and names found are kept for every thread.
class CrsNames {
public:
    // The name of EPSG:`code`, "" when the database does not know it.
    std::string of_epsg(std::uint32_t code);
    // The name of the CRS that WKT text describes, "" when PROJ cannot read
    // it.
    std::string of_wkt(const std::string &wkt);

private:
    // WKT texts whose names are kept.
    static constexpr std::size_t kMostTexts = 256;

    std::mutex mutex_;
    std::map<std::uint32_t, std::string> by_code_;
    std::map<std::string, std::string> by_wkt_;
};

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_CRS_NAMES_H
