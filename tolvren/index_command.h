/* SPDX-License-Identifier: MIT */
// `tolvren index`: the footprints of a folder of tiles from their headers,
// as a GeoJSON FeatureCollection with a summary, and as an SVG map.
#ifndef TOLVREN_CLI_INDEX_COMMAND_H
#define TOLVREN_CLI_INDEX_COMMAND_H

#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace tolvren_cli {

struct IndexOptions {
    std::vector<std::string> files;
    bool recursive = false;
    bool scan = false;         // the box of the points, not the header's
    bool check = false;        // each file checked, the findings counted
    unsigned jobs = 1;
    std::string output;        // the GeoJSON file; "" for standard output
    std::string svg;           // the map; "" for none
    std::uint32_t output_epsg = 4326;
};

// Adds the `index` command and its options to `app`; `jobs` checks -j as
// the other commands do.
CLI::App *add_index_command(CLI::App &app, IndexOptions &options, const CLI::Validator &jobs);

// Runs `tolvren index`: the collection to standard output or options.output,
// the map to options.svg, a warning for each file that cannot be placed and
// the summary to standard error. Returns kExitOk, kExitFileProblem (a file
// could not be read, a check found errors, an output could not be written)
// or kExitUsage (an output CRS that PROJ cannot use).
int run_index(const IndexOptions &options);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_INDEX_COMMAND_H
