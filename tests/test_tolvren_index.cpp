// SPDX-License-Identifier: MIT
// tolvren index run as a process: footprints of the shared files against
// the transverse Mercator worked out here, files without a CRS or unreadable,
// overlaps of crafted tiles, areas on the ellipsoid, the GeoJSON as RFC 7946
// has it and the SVG map read by a real XML parser. Built into the tolvren
// program's test binary.
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using json = nlohmann::ordered_json;
using tolvren_test::TempDir;
using tolvren_test::write_file;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

struct IndexRun {
    int status = -1;
    std::string out, err;
};

IndexRun tolvren(std::vector<std::string> args) {
    args.insert(args.begin(), TOLVREN_TOOL_PATH);
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto result = tolvren_test::run_in_child(
        [&argv] {
            execv(argv[0], argv.data());
            _exit(127);
        },
        "", true);
    return IndexRun{result.exit_code, std::move(result.out), std::move(result.err)};
}

// A LAS 1.4 tile whose box is [x0, x1] x [y0, y1] metres from (500000,
// 5000000) in the CRS of `wkt` (the library takes its EPSG code).
tolvren_test::Bytes tile(double x0, double y0, double x1, double y1,
                         const std::string &wkt = R"(PROJCS["WGS 84 / UTM zone 32N",AUTHORITY["EPSG","32632"]])") {
    tolvren_test::LasFile f;
    f.wkt = wkt;
    f.offset = {500000.0, 5000000.0, 0.0};
    const auto raw = [](double metres) { return static_cast<std::int32_t>(std::lround(metres * 4)); };
    f.points = {{raw(x0), raw(y0), 0, 1}, {raw(x1), raw(y1), 0, 1}};
    return f.build();
}

// Longitude and latitude in degrees of a UTM position in a northern zone,
// on the GRS 80 ellipsoid: the inverse transverse Mercator series in the
// third flattening n, to n^3 (its error is below a millimetre in a zone).
std::pair<double, double> utm_to_geographic(double easting, double northing, int zone) {
    const double a = 6378137.0, f = 1 / 298.257222101, n = f / (2 - f), k0 = 0.9996;
    const double rectifying = a / (1 + n) * (1 + n * n / 4 + n * n * n * n / 64);
    const double beta[] = {n / 2 - 2 * n * n / 3 + 37 * n * n * n / 96, n * n / 48 + n * n * n / 15,
                           17 * n * n * n / 480};
    const double delta[] = {2 * n - 2 * n * n / 3 - 2 * n * n * n, 7 * n * n / 3 - 8 * n * n * n / 5,
                            56 * n * n * n / 15};
    const double xi = northing / (k0 * rectifying), eta = (easting - 500000.0) / (k0 * rectifying);
    double xi1 = xi, eta1 = eta;
    for (int j = 1; j <= 3; ++j) {
        xi1 -= beta[j - 1] * std::sin(2 * j * xi) * std::cosh(2 * j * eta);
        eta1 -= beta[j - 1] * std::cos(2 * j * xi) * std::sinh(2 * j * eta);
    }
    const double chi = std::asin(std::sin(xi1) / std::cosh(eta1));
    double phi = chi;
    for (int j = 1; j <= 3; ++j) phi += delta[j - 1] * std::sin(2 * j * chi);
    const double lambda = (6.0 * zone - 183.0) * kDegree + std::atan(std::sinh(eta1) / std::cos(xi1));
    return {lambda / kDegree, phi / kDegree};
}

// Every member RFC 7946 asks for, each polygon one closed, counter-clockwise
// ring of four positions or more, and with `lon_lat` every position a
// longitude and a latitude.
void expect_valid_geojson(const json &collection, bool lon_lat = true) {
    EXPECT_EQ(collection["type"], "FeatureCollection");
    ASSERT_TRUE(collection["features"].is_array());
    for (const json &feature : collection["features"]) {
        SCOPED_TRACE(feature.dump().substr(0, 200));
        EXPECT_EQ(feature["type"], "Feature");
        ASSERT_TRUE(feature.contains("geometry"));
        ASSERT_TRUE(feature["properties"].is_object());
        const json &geometry = feature["geometry"];
        if (geometry.is_null()) continue;
        EXPECT_EQ(geometry["type"], "Polygon");
        ASSERT_EQ(geometry["coordinates"].size(), 1u);
        const json &ring = geometry["coordinates"][0];
        ASSERT_GE(ring.size(), 4u);
        EXPECT_EQ(ring.front(), ring.back());
        double twice_area = 0.0;
        for (std::size_t i = 0; i < ring.size(); ++i) {
            ASSERT_EQ(ring[i].size(), 2u);
            const double x = ring[i][0], y = ring[i][1];
            if (lon_lat) {
                EXPECT_TRUE(x >= -180 && x <= 180 && y >= -90 && y <= 90) << x << " " << y;
            }
            if (i + 1 < ring.size()) twice_area += x * ring[i + 1][1].get<double>() - ring[i + 1][0].get<double>() * y;
        }
        EXPECT_GT(twice_area, 0.0);
    }
}

TEST(TolvrenIndex, SharedFootprintsAreWhereTheTransverseMercatorPutsThem) {
    const std::filesystem::path shared = TOLVREN_SHARED_LAS_DIR;
    if (!std::filesystem::exists(shared / "lazperf__point-color.las")) {
        GTEST_SKIP() << "no sample LAS files at " << shared;
    }
    const IndexRun run = tolvren({"index", "-j", "2", "-r", shared.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    const json collection = json::parse(run.out);
    expect_valid_geojson(collection);
    std::map<std::string, json> by_name;
    for (const json &feature : collection["features"]) {
        by_name[std::filesystem::path(feature["properties"]["path"].get<std::string>()).filename().string()] = feature;
    }
    // NAD83 / UTM zone 10N: each corner of the header's box, as WGS 84
    // takes NAD83 in North America (to within a few metres), to 5 mm.
    const json &utm = by_name.at("lazperf__point-color.las");
    EXPECT_EQ(utm["properties"]["crs"], json::parse(R"({"epsg":26910,"name":"NAD83 / UTM zone 10N"})"));
    // A position every 100 m or less: 10 an edge of 998.81 m, 14 an edge
    // of 1387.4 m, the corners first.
    const json &ring = utm["geometry"]["coordinates"][0];
    ASSERT_EQ(ring.size(), 49u);
    const double min_x = 493994.87, min_y = 4877429.62, max_x = 494993.68, max_y = 4878817.02;
    const std::pair<double, double> corners[] = {{min_x, min_y}, {max_x, min_y}, {max_x, max_y}, {min_x, max_y}};
    const std::size_t corner_at[] = {0, 10, 24, 34};
    for (std::size_t c = 0; c < 4; ++c) {
        const auto [lon, lat] = utm_to_geographic(corners[c].first, corners[c].second, 10);
        EXPECT_NEAR(ring[corner_at[c]][0].get<double>(), lon, 5e-8) << c;
        EXPECT_NEAR(ring[corner_at[c]][1].get<double>(), lat, 5e-8) << c;
    }
    // The middle of the southern edge, where its curve is farthest from
    // the line between the corners.
    const auto [lon, lat] = utm_to_geographic((min_x + max_x) / 2, min_y, 10);
    EXPECT_NEAR(ring[5][0].get<double>(), lon, 5e-8);
    EXPECT_NEAR(ring[5][1].get<double>(), lat, 5e-8);
    EXPECT_DOUBLE_EQ(utm["properties"]["area_m2"].get<double>(), 998.81 * 1387.4);
    // New Mexico Central in US survey feet: the area in square metres.
    const json &feet = by_name.at("laspy__1_4_w_evlr.las")["properties"];
    EXPECT_EQ(feet["crs"]["epsg"], 2903);
    const double foot = 1200.0 / 3937.0;
    EXPECT_NEAR(feet["area_m2"].get<double>(),
                (1694539.677014474 - 1694038.4456374517) * (1816497.9762624602 - 1816492.7062700584) * foot * foot,
                1e-3);
    EXPECT_NE(run.err.find("tolvren: warning: the files are in "), std::string::npos);
    // A box of one point has no area, a user-defined CRS no code, a
    // latitude of 100 no place: each a warning and no geometry.
    for (const char *name : {"liblas__1.2_0.las", "lasr__extra_byte.las", "laspy__simple1_4.las"}) {
        EXPECT_TRUE(by_name.at(name)["geometry"].is_null()) << name;
        EXPECT_NE(run.err.find("tolvren: warning: " + (shared / name).string() + ": "), std::string::npos) << name;
    }
}

TEST(TolvrenIndex, FilesWithoutACrsOrUnreadableKeepTheirPlaceAndTheCollectionIsWritten) {
    TempDir dir;
    write_file(dir.file("a.las"), tile(0, 0, 100, 100));
    tolvren_test::LasFile no_crs;
    no_crs.minor = 2;
    no_crs.format = 1;
    write_file(dir.file("b.las"), no_crs.build());
    write_file(dir.file("c.las"), tolvren_test::Bytes(400, 'x'));
    tolvren_test::Bytes short_count = tile(0, 100, 100, 200);
    tolvren_test::put<std::uint64_t>(short_count, 247, 3);  // two records, three said
    write_file(dir.file("d.las"), short_count);

    const IndexRun one = tolvren({"index", "--check", "-j", "1", "-r", dir.path()});
    const IndexRun three = tolvren({"index", "--check", "-j", "3", "-r", dir.path(), "-o", dir.file("out.geojson")});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(three.status, 1);
    EXPECT_EQ(three.out, "");
    EXPECT_EQ(tolvren_test::read_text(dir.file("out.geojson")), one.out);
    EXPECT_EQ(three.err, one.err);
    const json collection = json::parse(one.out);
    expect_valid_geojson(collection);
    const json &features = collection["features"];
    ASSERT_EQ(features.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(features[i]["id"], i);
        EXPECT_EQ(features[i]["properties"]["path"], dir.file(std::string(1, static_cast<char>('a' + i)) + ".las"));
    }
    const json &a = features[0]["properties"];
    EXPECT_EQ(a["area_m2"], 10000.0);
    EXPECT_EQ(a["density_per_m2"], 0.0002);
    EXPECT_EQ(a["creation_date"], "2024-02-29");
    EXPECT_EQ(a["errors"], 0);
    EXPECT_TRUE(features[1]["geometry"].is_null());
    EXPECT_TRUE(features[1]["properties"]["crs"].is_null());
    EXPECT_NE(one.err.find("tolvren: warning: " + dir.file("b.las") + ": it has no CRS record"), std::string::npos);
    EXPECT_TRUE(features[2]["geometry"].is_null());
    EXPECT_EQ(features[2]["properties"]["error"]["code"], "not_las");
    EXPECT_EQ(features[3]["properties"]["errors"], 1);
    EXPECT_EQ(features[3]["properties"]["codes"],
              json::parse(R"(["fewer_records_than_count","by_return_sum_below_count"])"));
    const json &summary = collection["summary"];
    const json expected = json::parse(R"({"files":4,"placed":2,"without_crs":1,"not_placed":1,"unreadable":1,
        "points":9,"area_m2":20000.0,"files_with_errors":1,"files_with_warnings":0})");
    for (const auto &[key, value] : expected.items()) EXPECT_EQ(summary.at(key), value) << key;
    EXPECT_EQ(summary["crs"], json::parse(R"([{"epsg":32632,"name":"WGS 84 / UTM zone 32N","files":2}])"));
}

// NAD83 / UTM zone 10N with NAVD88 heights, with no EPSG code anywhere.
constexpr char kCompoundWkt[] =
    R"(COMPD_CS["NAD83 / UTM zone 10N + NAVD88 height",PROJCS["NAD83 / UTM zone 10N",GEOGCS["NAD83",)"
    R"(DATUM["North_American_Datum_1983",SPHEROID["GRS 1980",6378137,298.257222101]],PRIMEM["Greenwich",0],)"
    R"(UNIT["degree",0.0174532925199433]],PROJECTION["Transverse_Mercator"],PARAMETER["latitude_of_origin",0],)"
    R"(PARAMETER["central_meridian",-123],PARAMETER["scale_factor",0.9996],PARAMETER["false_easting",500000],)"
    R"(PARAMETER["false_northing",0],UNIT["metre",1],AXIS["Easting",EAST],AXIS["Northing",NORTH]],)"
    R"(VERT_CS["NAVD88 height",VERT_DATUM["North American Vertical Datum 1988",2005],UNIT["metre",1],)"
    R"(AXIS["Gravity-related height",UP]]])";

// With --scan the box is the points', else the header's; a compound CRS
// given as WKT alone is placed by its horizontal part.
TEST(TolvrenIndex, ScannedBoxesAndCompoundCrssOfWktAlone) {
    TempDir dir;
    tolvren_test::Bytes stale = tile(0, 0, 100, 100, kCompoundWkt);
    tolvren_test::put(stale, 187, 499000.0);  // the header's min X, 1 km west of the points
    write_file(dir.file("stale.las"), stale);
    const IndexRun header = tolvren({"index", dir.file("stale.las")});
    const IndexRun scanned = tolvren({"index", "--scan", dir.file("stale.las")});
    ASSERT_EQ(scanned.status, 0) << scanned.err;
    EXPECT_EQ(json::parse(header.out)["features"][0]["properties"]["area_m2"], 110000.0);
    const json feature = json::parse(scanned.out)["features"][0];
    EXPECT_EQ(feature["properties"]["area_m2"], 10000.0);
    EXPECT_EQ(feature["properties"]["crs"], json::parse(R"({"epsg":null,"name":"NAD83 / UTM zone 10N"})"));
    const auto [lon, lat] = utm_to_geographic(500000, 5000000, 10);
    EXPECT_NEAR(feature["geometry"]["coordinates"][0][0][0].get<double>(), lon, 5e-8);
    EXPECT_NEAR(feature["geometry"]["coordinates"][0][0][1].get<double>(), lat, 5e-8);
}

// Tiles in UTM zone 32N: 0 and 1 share 2 % of a tile, 1 and 2 only 0.5 %,
// 0 and 3 an edge; 4 lies inside 1.
const std::vector<std::array<double, 4>> kOverlapTiles{
    {0, 0, 100, 100}, {98, 0, 200, 100}, {199.5, 0, 300, 100}, {0, 100, 100, 200}, {150, 50, 160, 60}};

TEST(TolvrenIndex, OverlapsAreFoundInEveryOutputCrs) {
    TempDir dir;
    for (std::size_t i = 0; i < kOverlapTiles.size(); ++i) {
        const auto &b = kOverlapTiles[i];
        write_file(dir.file("t" + std::to_string(i) + ".las"), tile(b[0], b[1], b[2], b[3]));
    }
    for (const char *crs : {"EPSG:4326", "EPSG:32632"}) {
        const IndexRun run = tolvren({"index", "--output-crs", crs, "-r", dir.path()});
        EXPECT_EQ(run.status, 0) << run.err;
        const json collection = json::parse(run.out);
        const bool native = std::string(crs) == "EPSG:32632";
        expect_valid_geojson(collection, !native);
        const json &overlaps = collection["summary"]["overlaps"];
        EXPECT_EQ(overlaps["count"], 2) << crs;
        ASSERT_EQ(overlaps["pairs"].size(), 2u);
        EXPECT_EQ(overlaps["pairs"][0]["ids"], json::parse("[0,1]"));
        EXPECT_NEAR(overlaps["pairs"][0]["fraction_of_smaller"].get<double>(), 0.02, 1e-4);
        EXPECT_EQ(overlaps["pairs"][1]["ids"], json::parse("[1,4]"));
        EXPECT_NEAR(overlaps["pairs"][1]["fraction_of_smaller"].get<double>(), 1.0, 1e-4);
        EXPECT_NE(run.err.find("2 pairs of tiles overlap"), std::string::npos) << run.err;
        // The native CRS: the box itself, a corner a position, and named.
        EXPECT_EQ(collection.contains("crs"), native);
        if (native) {
            EXPECT_EQ(collection["crs"]["properties"]["name"], "urn:ogc:def:crs:EPSG::32632");
            EXPECT_EQ(collection["features"][1]["geometry"]["coordinates"][0],
                      json::parse("[[500098,5000000],[500200,5000000],[500200,5000100],[500098,5000100],"
                                  "[500098,5000000]]"));
        }
    }
    for (const char *bad : {"EPSG:0", "4326", "EPSG:1", "EPSG:5703"}) {  // 5703: heights only
        const IndexRun run = tolvren({"index", "--output-crs", bad, dir.path()});
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
}

// A box of longitudes and latitudes: its area on the WGS 84 ellipsoid, the
// integral of M N cos(phi) over it (M and N the radii of curvature along
// the meridian and across it), taken here by Simpson's rule.
TEST(TolvrenIndex, GeographicBoxesHaveTheirAreaOnTheEllipsoid) {
    TempDir dir;
    tolvren_test::LasFile f;
    f.wkt = R"(GEOGCS["WGS 84",AUTHORITY["EPSG","4326"]])";
    f.offset = {10.0, 45.0, 0.0};
    f.points = {{0, 0, 0, 1}, {4, 4, 0, 1}};  // a degree square: scale 0.25
    write_file(dir.file("g.las"), f.build());
    const IndexRun run = tolvren({"index", dir.file("g.las")});
    EXPECT_EQ(run.status, 0) << run.err;
    const json feature = json::parse(run.out)["features"][0];
    const double a = 6378137.0, fl = 1 / 298.257223563, e2 = fl * (2 - fl);
    const auto integrand = [&](double phi) {
        const double w = 1 - e2 * std::sin(phi) * std::sin(phi);
        return a * (1 - e2) / std::pow(w, 1.5) * a / std::sqrt(w) * std::cos(phi);
    };
    const int steps = 100;
    const double south = 45 * kDegree, h = kDegree / steps;
    double sum = integrand(south) + integrand(south + kDegree);
    for (int i = 1; i < steps; ++i) sum += (i % 2 ? 4 : 2) * integrand(south + i * h);
    EXPECT_NEAR(feature["properties"]["area_m2"].get<double>() / (sum * h / 3 * kDegree), 1.0, 1e-9);
    EXPECT_EQ(feature["geometry"]["coordinates"][0].size(), 5u);  // in the output CRS already
}

// The map as a browser reads it: well-formed XML (Python's parser), one
// shape per placed tile (a path, or a dot for one too small to see) with
// its file's name escaped in its title, and the file without a CRS named
// in the legend.
TEST(TolvrenIndex, TheMapIsWellFormedSvgWithAShapePerPlacedTile) {
    if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3 to parse the SVG";
    TempDir dir;
    for (std::size_t i = 0; i < kOverlapTiles.size(); ++i) {
        const auto &b = kOverlapTiles[i];
        write_file(dir.file("t" + std::to_string(i) + (i == 2 ? "<&\">.las" : ".las")), tile(b[0], b[1], b[2], b[3]));
    }
    tolvren_test::LasFile no_crs;
    no_crs.format = 1;
    write_file(dir.file("z.las"), no_crs.build());
    const IndexRun run = tolvren({"index", "--check", "--svg", dir.file("map.svg"), "-r", dir.path()});
    EXPECT_EQ(run.status, 0) << run.err;
    const char *script = R"(
import sys, xml.etree.ElementTree as ET
svg = '{http://www.w3.org/2000/svg}'
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == svg + 'svg'
for shape in root.iter():
    kind = shape.get('class', '').split()
    if 'tile' in kind and shape.tag in (svg + 'path', svg + 'circle'):
        print(kind[1], shape.find(svg + 'title').text)
    elif 'overlap' in kind:
        print('overlap')
print(' '.join(t.text or '' for t in root.iter(svg + 'text')))
)";
    const tolvren_test::ProcessResult parsed =
        tolvren_test::run_process({"/usr/bin/python3", "-c", script, dir.file("map.svg")});
    ASSERT_EQ(parsed.exit_code, 0) << parsed.out;
    std::string expected;
    for (std::size_t i = 0; i < kOverlapTiles.size(); ++i) {
        expected += "clean " + dir.file("t" + std::to_string(i) + (i == 2 ? "<&\">.las" : ".las")) + ": no finding\n";
    }
    expected += "overlap\noverlap\n";
    EXPECT_EQ(parsed.out.substr(0, expected.size()), expected);
    EXPECT_NE(parsed.out.find("no CRS, not placed: 1 (z.las)"), std::string::npos) << parsed.out;
}

}  // namespace
