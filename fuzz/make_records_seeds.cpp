// SPDX-License-Identifier: MIT
// Writes the seed inputs of the records target: WKT 1 and 2 texts (mode 0),
// GeoTIFF keys with their doubles and text (mode 1), an Extra Bytes VLR
// (mode 2), and whole LAS 1.4 files (mode 3) with CRS records, extra bytes
// and a COPC info VLR with its hierarchy.
//
//   make_records_seeds OUTPUT_DIR

#include "seed_support.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using tolvren_seeds::Bytes;
using tolvren_seeds::put;

Bytes with_mode(std::uint8_t mode, const Bytes &rest) {
    Bytes b(1 + rest.size(), mode);
    std::copy(rest.begin(), rest.end(), b.begin() + 1);
    return b;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes &part : parts) b.insert(b.end(), part.begin(), part.end());
    return b;
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes shorts(std::initializer_list<std::uint16_t> values) {
    Bytes b;
    for (const std::uint16_t v : values) {
        b.push_back(static_cast<unsigned char>(v & 0xFF));
        b.push_back(static_cast<unsigned char>(v >> 8));
    }
    return b;
}

Bytes record(bool extended, const char *user_id, std::uint16_t id, const Bytes &data) {
    const std::size_t head = extended ? 60 : 54;
    Bytes r(head + data.size(), 0);
    std::memcpy(&r[2], user_id, std::strlen(user_id));
    put<std::uint16_t>(r, 18, id);
    if (extended) {
        put<std::uint64_t>(r, 20, data.size());
    } else {
        put<std::uint16_t>(r, 20, static_cast<std::uint16_t>(data.size()));
    }
    std::memcpy(r.data() + head, data.data(), data.size());
    return r;
}

// A LAS 1.4 file of format 6 with `vlrs`, two points and `evlrs`.
Bytes file(const std::vector<Bytes> &vlrs, const std::vector<Bytes> &evlrs, std::uint16_t extra = 0) {
    Bytes b = tolvren_seeds::las_header(4, 6, static_cast<std::uint16_t>(30 + extra), 375, 0.01);
    b[6] = 0x10;  // WKT
    for (const Bytes &v : vlrs) b.insert(b.end(), v.begin(), v.end());
    put<std::uint32_t>(b, 96, static_cast<std::uint32_t>(b.size()));
    put<std::uint32_t>(b, 100, static_cast<std::uint32_t>(vlrs.size()));
    put<std::uint64_t>(b, 247, 2);
    put<std::uint64_t>(b, 255, 2);
    for (const std::int32_t x : {1, 2}) tolvren_seeds::append_record(b, 30u + extra, 0, {x, x, x}, 1);
    if (!evlrs.empty()) {
        put<std::uint64_t>(b, 235, b.size());
        put<std::uint32_t>(b, 243, static_cast<std::uint32_t>(evlrs.size()));
        for (const Bytes &e : evlrs) b.insert(b.end(), e.begin(), e.end());
    }
    return b;
}

const char kWkt1[] =
    "COMPD_CS[\"NAD83 / UTM zone 10N + NAVD88 height\",PROJCS[\"NAD83 / UTM zone 10N\",GEOGCS[\"NAD83\","
    "DATUM[\"North_American_Datum_1983\",SPHEROID[\"GRS 1980\",6378137,298.257222101]],UNIT[\"degree\","
    "0.0174532925199433]],PROJECTION[\"Transverse_Mercator\"],UNIT[\"metre\",1,AUTHORITY[\"EPSG\",\"9001\"]],"
    "AXIS[\"Easting\",EAST],AUTHORITY[\"EPSG\",\"26910\"]],VERT_CS[\"NAVD88 height\",VERT_DATUM[\"NAVD88\",2005],"
    "UNIT[\"metre\",1],AUTHORITY[\"EPSG\",\"5703\"]]]";
const char kWkt2[] =
    "BOUNDCRS[SOURCECRS[PROJCRS[\"x\",BASEGEOGCRS[\"NAD83\",ID[\"EPSG\",4269]],CONVERSION[\"UTM\","
    "PARAMETER[\"False easting\",500000,LENGTHUNIT[\"metre\",1]]],CS[Cartesian,2],AXIS[\"(E)\",east,"
    "LENGTHUNIT[\"US survey foot\",0.304800609601219]],ID[\"EPSG\",26910]]],TARGETCRS[GEOGCRS[\"WGS 84\","
    "CS[ellipsoidal,2],ID[\"EPSG\",4326]]],ABRIDGEDTRANSFORMATION[\"t\",METHOD[\"m\"]]]";

void write_seeds(tolvren_seeds::SeedDir &out) {
    out.write("wkt1", with_mode(0, text(kWkt1)));
    out.write("wkt2", with_mode(0, text(kWkt2)));
    // Mode 1: the directory's and the doubles' lengths in 8-byte units.
    const Bytes keys = shorts({1, 1, 0, 4, 1024, 0, 1, 1, 3072, 0, 1, 26910, 3073, 34737, 4, 0, 3078, 34736, 1, 0});
    Bytes doubles(8);
    put<double>(doubles, 0, 45.5);
    const Bytes lengths(2, 0);
    Bytes geotiff = joined({lengths, keys, doubles, text("UTM|")});
    geotiff[0] = static_cast<unsigned char>(keys.size() / 8);
    geotiff[1] = 1;
    out.write("geotiff", with_mode(1, geotiff));
    Bytes dimensions(2 * 192, 0);
    dimensions[2] = 3;            // uint16 with min, max and scale
    dimensions[3] = 0x0E;
    put<double>(dimensions, 112, 0.01);
    dimensions[192 + 2] = 0;      // two undocumented bytes
    dimensions[192 + 3] = 2;
    out.write("extra-bytes", with_mode(2, dimensions));

    const Bytes wkt = record(false, "LASF_Projection", 2112, text(kWkt1));
    const Bytes directory = record(false, "LASF_Projection", 34735, keys);
    const Bytes extra = record(false, "LASF_Spec", 4, dimensions);
    out.write("file-crs", with_mode(3, file({wkt, directory, extra}, {record(true, "x", 1, text("tail"))}, 4)));
    // COPC: the info VLR first, then a hierarchy of a root page with one
    // node and a pointer to a child page.
    Bytes info(160, 0);
    put<double>(info, 24, 50.0);
    Bytes copc = file({record(false, "copc", 1, info), record(false, "laszip encoded", 22204, Bytes(34, 0)), wkt}, {});
    copc[104] |= 0x80;
    const std::uint64_t pages_at = copc.size() + 60;
    Bytes pages(96, 0);
    put<std::int32_t>(pages, 28, 1);
    put<std::int32_t>(pages, 32, 1);
    put<std::uint64_t>(pages, 48, pages_at + 64);
    put<std::int32_t>(pages, 56, 32);
    put<std::int32_t>(pages, 60, -1);
    put<std::int32_t>(pages, 64, 1);
    put<std::int32_t>(pages, 92, 1);
    put<std::uint64_t>(copc, 375 + 54 + 40, pages_at);
    put<std::uint64_t>(copc, 375 + 54 + 48, 64);
    put<std::uint64_t>(copc, 235, copc.size());
    put<std::uint32_t>(copc, 243, 1);
    const Bytes hierarchy = record(true, "copc", 1000, pages);
    copc.insert(copc.end(), hierarchy.begin(), hierarchy.end());
    out.write("file-copc", with_mode(3, copc));
}

}  // namespace

int main(int argc, char **argv) {
    return tolvren_seeds::seed_main(argc, argv, "make_records_seeds", write_seeds);
}
