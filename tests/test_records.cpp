// SPDX-License-Identifier: MIT
// What the VLRs and EVLRs say (tolvren_read_records) and the rules on them
// (tolvren_check_file): the records of the sample files of other software
// against headers.json, and crafted records for each CRS form, extra bytes,
// COPC and each new finding.
#include "tolvren_las.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using tolvren_test::Bytes;
using tolvren_test::get;
using tolvren_test::LasFile;
using tolvren_test::put;
using tolvren_test::TempDir;
using tolvren_test::write_file;

std::unique_ptr<tolvren_records> read_records(const std::string &path) {
    auto records = std::make_unique<tolvren_records>();
    tolvren_detail detail;
    EXPECT_EQ(tolvren_read_records(path.c_str(), records.get(), &detail), TOLVREN_OK) << detail.message;
    return records;
}

// A record's bytes: a VLR (54-byte header) or an EVLR (60 bytes).
Bytes record(bool extended, const std::string &user_id, std::uint16_t id, const Bytes &data) {
    const std::size_t head = extended ? 60 : 54;
    Bytes r(head + data.size(), 0);
    std::copy(data.begin(), data.end(), r.begin() + static_cast<std::ptrdiff_t>(head));
    std::copy(user_id.begin(), user_id.end(), r.begin() + 2);
    put<std::uint16_t>(r, 18, id);
    if (extended) {
        put<std::uint64_t>(r, 20, data.size());
    } else {
        put<std::uint16_t>(r, 20, static_cast<std::uint16_t>(data.size()));
    }
    return r;
}

Bytes text_bytes(const std::string &text) { return Bytes(text.begin(), text.end() + 1); }

// Shorts or doubles as the little-endian bytes of a record.
template <typename T>
Bytes array_bytes(const std::vector<T> &values) {
    Bytes b(values.size() * sizeof(T));
    for (std::size_t i = 0; i < values.size(); ++i) put<T>(b, i * sizeof(T), values[i]);
    return b;
}

// A LAS 1.4 file of `format` (4 points, no EVLRs of its own) with these
// VLRs after the header and these EVLRs after the points.
Bytes with_records(LasFile f, const std::vector<Bytes> &vlrs, const std::vector<Bytes> &evlrs = {}) {
    f.evlrs.clear();
    Bytes b = f.build();
    const std::size_t header = get<std::uint16_t>(b, 94);
    std::size_t added = 0;
    for (const Bytes &v : vlrs) {
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(header + added), v.begin(), v.end());
        added += v.size();
    }
    put<std::uint32_t>(b, 96, static_cast<std::uint32_t>(get<std::uint32_t>(b, 96) + added));
    put<std::uint32_t>(b, 100, static_cast<std::uint32_t>(get<std::uint32_t>(b, 100) + vlrs.size()));
    if (!evlrs.empty()) {
        put<std::uint64_t>(b, 235, b.size());
        put<std::uint32_t>(b, 243, static_cast<std::uint32_t>(evlrs.size()));
        for (const Bytes &e : evlrs) b.insert(b.end(), e.begin(), e.end());
    }
    return b;
}

// The finding codes of `path`'s check without a scan.
std::vector<std::string> codes(const std::string &path) {
    tolvren_report report;
    EXPECT_EQ(tolvren_check_file(path.c_str(), 0, nullptr, nullptr, &report, nullptr), TOLVREN_OK);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < report.count; ++i) {
        out.push_back(std::string(tolvren_finding_name(report.findings[i].code)) + ":" +
                      tolvren_severity_name(report.findings[i].severity));
    }
    return out;
}

bool has(const std::vector<std::string> &found, const std::string &code) {
    return std::find(found.begin(), found.end(), code) != found.end();
}

// GeoTIFF keys: a projected CRS, its unit and a vertical CRS; and with a
// citation, in the text of a 34737 record.
const std::vector<std::uint16_t> kKeys = {1, 1, 0, 4, 1024, 0, 1, 1, 3072, 0, 1, 26910, 3076, 0, 1, 9002,
                                          4096, 0, 1, 5703};
const std::vector<std::uint16_t> kKeysWithCitation = {1,    1, 0, 5,    1024, 0, 1, 1,    3072, 0,     1, 26910,
                                                      3073, 34737, 21, 0, 3076, 0, 1, 9002, 4096, 0, 1, 5703};

TEST(Records, SharedFilesListWhatTheIndependentReaderFound) {
    const std::filesystem::path dir = TOLVREN_SHARED_LAS_DIR;
    if (!std::filesystem::exists(dir / "headers.json")) GTEST_SKIP() << "no sample files in " << dir;
    std::ifstream in(dir / "headers.json");
    const nlohmann::json files = nlohmann::json::parse(in).at("files");
    for (const auto &[name, entry] : files.items()) {
        SCOPED_TRACE(name);
        const auto r = read_records((dir / name).string());
        std::size_t at = 0;
        for (const char *kind : {"vlrs", "evlrs"}) {
            const nlohmann::json &list = entry[kind];
            for (std::size_t i = 0; i < (list.is_null() ? 0 : list.size()); ++i, ++at) {
                ASSERT_LT(at, r->listed);
                EXPECT_EQ(r->records[at].extended, std::string(kind) == "evlrs");
                EXPECT_EQ(r->records[at].user_id, list[i]["user_id"].get<std::string>());
                EXPECT_EQ(r->records[at].record_id, list[i]["record_id"]);
                EXPECT_EQ(r->records[at].length, list[i]["length"]);
                EXPECT_EQ(r->records[at].description, list[i]["description"].get<std::string>());
            }
        }
        EXPECT_EQ(r->listed, at);
    }
    // What the records hold, read off their bytes by hand.
    auto r = read_records((dir / "lasr__extra_byte.las").string());
    ASSERT_EQ(r->extra_dimension_count, 2u);
    EXPECT_STREQ(r->extra_dimensions[1].name, "Pulse width");
    EXPECT_EQ(r->extra_dimensions[1].record_offset, 2u);
    EXPECT_DOUBLE_EQ(r->extra_dimensions[1].scale[0], 0.1);
    EXPECT_EQ(r->crs.source, TOLVREN_CRS_GEOTIFF);
    EXPECT_EQ(r->crs.linear_unit_epsg, 9001u);
    r = read_records((dir / "laspy__1_4_w_evlr.las").string());
    EXPECT_EQ(r->crs.source, TOLVREN_CRS_WKT);
    EXPECT_EQ(r->crs.horizontal_epsg, 2903u);  // NAD83(HARN) / New Mexico Central (ftUS)
    EXPECT_EQ(r->crs.vertical_epsg, 5703u);    // inside the PROJCS, as this writer puts it
    EXPECT_EQ(r->crs.linear_unit_epsg, 9003u);
    EXPECT_TRUE(r->crs.wkt_bit && r->crs.wkt_bit_agrees);
    r = read_records((dir / "laspy__simple1_4.las").string());
    EXPECT_EQ(r->crs.geotiff_horizontal_epsg, 4326u);
    EXPECT_TRUE(r->crs.geographic);
    EXPECT_FALSE(r->crs.wkt_bit_agrees);  // a WKT EVLR, and the bit clear
    r = read_records((dir.parent_path() / "laz" / "loadersgl__pdrf7-v4-1.4.laz").string());
    EXPECT_TRUE(r->laszip.found && r->laszip.valid);
    EXPECT_EQ(r->laszip.compressor, 3);
    ASSERT_EQ(r->laszip.item_count, 3);
    EXPECT_STREQ(tolvren_laszip_item_name(r->laszip.items[0].type), "POINT14");
}

TEST(Records, GeoTiffKeysAndWktGiveTheirCodesAndUnits) {
    TempDir dir;
    LasFile f;
    f.format = 3;
    const Bytes geotiff = record(false, "LASF_Projection", 34735, array_bytes(kKeys));
    const Bytes cited = record(false, "LASF_Projection", 34735, array_bytes(kKeysWithCitation));
    const Bytes ascii = record(false, "LASF_Projection", 34737, text_bytes("NAD83 / UTM zone 10N|"));
    write_file(dir.file("keys.las"), with_records(f, {cited, ascii}));
    auto r = read_records(dir.file("keys.las"));
    EXPECT_EQ(r->crs.source, TOLVREN_CRS_GEOTIFF);
    EXPECT_EQ(r->crs.horizontal_epsg, 26910u);
    EXPECT_EQ(r->crs.vertical_epsg, 5703u);
    EXPECT_EQ(r->crs.linear_unit_epsg, 9002u);
    EXPECT_DOUBLE_EQ(r->crs.linear_unit_metres, 0.3048);
    ASSERT_EQ(r->geokey_count, 5u);
    EXPECT_STREQ(r->geokeys[2].text, "NAD83 / UTM zone 10N");
    EXPECT_STREQ(tolvren_geokey_name(r->geokeys[2].id), "PCSCitationGeoKey");
    EXPECT_TRUE(codes(dir.file("keys.las")).empty());

    // WKT 1 compound and WKT 2 compound, whose conversion's parameters carry
    // units that are not the CRS's own.
    const std::string wkt1 =
        R"(COMPD_CS["x",PROJCS["NAD83 / UTM zone 10N",GEOGCS["NAD83",AUTHORITY["EPSG","4269"]],)"
        R"(UNIT["US survey foot",0.3048006096012192,AUTHORITY["EPSG","9003"]],AUTHORITY["EPSG","26910"]],)"
        R"(VERT_CS["NAVD88 height",UNIT["metre",1],AUTHORITY["EPSG","5703"]]])";
    const std::string wkt2 =
        R"(COMPOUNDCRS["x",PROJCRS["NAD83 / UTM zone 10N",BASEGEOGCRS["NAD83",ID["EPSG",4269]],)"
        R"(CONVERSION["UTM zone 10N",PARAMETER["False easting",500000,LENGTHUNIT["metre",1]]],)"
        R"wkt(CS[Cartesian,2],AXIS["easting (E)",east,LENGTHUNIT["foot",0.3048,ID["EPSG",9002]]],)wkt"
        R"(ID["EPSG",26910]],VERTCRS["NAVD88 height",ID["EPSG",5703]]])";
    for (const auto &[wkt, unit] : {std::pair{wkt1, 9003u}, std::pair{wkt2, 9002u}}) {
        SCOPED_TRACE(wkt);
        write_file(dir.file("wkt.las"), with_records(f, {record(false, "LASF_Projection", 2112, text_bytes(wkt))}));
        r = read_records(dir.file("wkt.las"));
        EXPECT_EQ(r->crs.source, TOLVREN_CRS_WKT);
        EXPECT_EQ(r->crs.horizontal_epsg, 26910u);
        EXPECT_EQ(r->crs.vertical_epsg, 5703u);
        EXPECT_EQ(r->crs.linear_unit_epsg, unit);
        EXPECT_EQ(r->wkt_length, wkt.size());
        EXPECT_FALSE(r->crs.geographic);
    }

    // Both kinds: the bit decides, and codes that differ are an error.
    const Bytes other = record(false, "LASF_Projection", 2112, text_bytes(R"(PROJCS["y",AUTHORITY["EPSG","32610"]])"));
    Bytes both = with_records(f, {geotiff, other});
    write_file(dir.file("both.las"), both);
    r = read_records(dir.file("both.las"));
    EXPECT_EQ(r->crs.source, TOLVREN_CRS_GEOTIFF);
    EXPECT_EQ(codes(dir.file("both.las")), std::vector<std::string>{"crs_conflict:error"});
    both[6] |= 1u << 4;
    write_file(dir.file("both.las"), both);
    r = read_records(dir.file("both.las"));
    EXPECT_EQ(r->crs.source, TOLVREN_CRS_WKT);
    EXPECT_EQ(r->crs.horizontal_epsg, 32610u);
}

TEST(Records, EachRuleOnTheRecordsOnACraftedFile) {
    TempDir dir;
    const std::string path = dir.file("f.las");
    LasFile f;
    f.format = 3;
    const Bytes geotiff = record(false, "LASF_Projection", 34735, array_bytes(kKeys));
    Bytes extra_bytes(192, 0);
    extra_bytes[2] = 3;  // uint16
    std::memcpy(&extra_bytes[4], "height above ground", 19);
    struct Case {
        const char *name;
        std::function<Bytes()> make;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"wkt-bit-without-wkt",
         [&] {
             Bytes b = with_records(f, {geotiff});
             b[6] |= 1u << 4;
             return b;
         },
         {"wkt_bit_without_wkt:warning"}},
        {"format-6-without-wkt",
         [&] {
             LasFile six;
             return with_records(six, {geotiff});
         },
         {"crs_missing:warning", "wkt_bit_clear:warning"}},
        {"repeated", [&] { return with_records(f, {geotiff, geotiff}); }, {"crs_record_repeated:warning"}},
        {"directory-version-2",
         [&] {
             Bytes keys = array_bytes(kKeys);
             put<std::uint16_t>(keys, 0, 2);
             return with_records(f, {record(false, "LASF_Projection", 34735, keys)});
         },
         {"crs_unreadable:warning"}},
        {"double-outside",
         [&] {
             return with_records(f, {record(false, "LASF_Projection", 34735,
                                            array_bytes<std::uint16_t>({1, 1, 0, 1, 3078, 34736, 1, 4})),
                                     record(false, "LASF_Projection", 34736, array_bytes<double>({45.0}))});
         },
         {"crs_unreadable:warning"}},
        {"reserved-bits",
         [&] {
             Bytes b = with_records(f, {});
             b[6] = 0x40;
             return b;
         },
         {"reserved_encoding_bits:warning"}},
        {"day-367",
         [&] {
             Bytes b = with_records(f, {});
             put<std::uint16_t>(b, 90, 367);
             return b;
         },
         {"creation_date_invalid:warning"}},
        {"next-year",
         [&] {
             Bytes b = with_records(f, {});
             const std::time_t now = std::time(nullptr);
             put<std::uint16_t>(b, 92, static_cast<std::uint16_t>(std::gmtime(&now)->tm_year + 1901));
             return b;
         },
         {"creation_date_invalid:warning"}},
        {"reserved-field",
         [&] {
             Bytes v = record(false, "x", 1, {});
             put<std::uint16_t>(v, 0, 0xAABB);
             return with_records(f, {v});
         },
         {"vlr_reserved_nonzero:warning"}},
        {"extra-described", [&] { LasFile e = f; e.extra = 2;
             return with_records(e, {record(false, "LASF_Spec", 4, extra_bytes)}); }, {}},
        {"extra-fewer", [&] { LasFile e = f; e.extra = 3;
             return with_records(e, {record(false, "LASF_Spec", 4, extra_bytes)}); },
         {"extra_bytes_mismatch:warning"}},
        {"extra-more", [&] { LasFile e = f; e.extra = 1;
             return with_records(e, {record(false, "LASF_Spec", 4, extra_bytes)}); },
         {"extra_bytes_mismatch:error"}},
        {"extra-unknown-type", [&] { LasFile e = f; e.extra = 2; Bytes d = extra_bytes; d[2] = 31;
             return with_records(e, {record(false, "LASF_Spec", 4, d)}); },
         {"extra_bytes_mismatch:error"}},
        {"extra-undescribed", [&] { LasFile e = f; e.extra = 2; return with_records(e, {}); },
         {"extra_bytes_undescribed:warning"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path, c.make());
        EXPECT_EQ(codes(path), c.expected);
    }
    // LAS 1.0 called the reserved field the record signature, 0xAABB.
    LasFile ten = f;
    ten.minor = 0;
    ten.format = 1;
    Bytes signed_vlr = record(false, "x", 1, {});
    put<std::uint16_t>(signed_vlr, 0, 0xAABB);
    write_file(path, with_records(ten, {signed_vlr}));
    EXPECT_TRUE(codes(path).empty());
}

// A COPC file's info VLR and a hierarchy of a root page and one child page.
struct Copc {
    std::int32_t root_points = 3, child_points = 1;
    bool info_first = true;
    std::uint64_t child_offset_shift = 0;  // moves the child page's pointer

    Bytes build() const {
        LasFile f;
        f.wkt = tolvren_test::kTestWkt;
        Bytes info(160, 0);
        put<double>(info, 24, 100.0);  // halfsize
        put<double>(info, 32, 2.5);    // spacing
        const Bytes laszip = record(false, "laszip encoded", 22204, Bytes(34, 0));
        const Bytes info_vlr = record(false, "copc", 1, info);
        Bytes b = info_first ? with_records(f, {info_vlr, laszip}) : with_records(f, {laszip, info_vlr});
        b[104] |= 0x80;  // compressed; the points are not read here
        // The hierarchy EVLR: the root page (two entries), then the child.
        const std::uint64_t data = b.size() + 60;
        Bytes pages(96, 0);
        put<std::uint64_t>(pages, 16, 1000), put<std::int32_t>(pages, 24, 50), put<std::int32_t>(pages, 28, root_points);
        put<std::int32_t>(pages, 32, 1);  // level 1, a page of one entry
        put<std::uint64_t>(pages, 48, data + 64 + child_offset_shift), put<std::int32_t>(pages, 56, 32);
        put<std::int32_t>(pages, 60, -1);
        put<std::int32_t>(pages, 64, 1), put<std::uint64_t>(pages, 80, 2000), put<std::int32_t>(pages, 88, 20);
        put<std::int32_t>(pages, 92, child_points);
        put<std::uint64_t>(b, 235, b.size());
        put<std::uint32_t>(b, 243, 1);
        const Bytes evlr = record(true, "copc", 1000, pages);
        b.insert(b.end(), evlr.begin(), evlr.end());
        // The root page's place, in the info VLR.
        const std::size_t info_data = 375 + (info_first ? 0 : laszip.size()) + 54;
        put<std::uint64_t>(b, info_data + 40, data);
        put<std::uint64_t>(b, info_data + 48, 64);
        return b;
    }
};

TEST(Records, CopcHierarchyIsCountedByLevelAndItsRulesChecked) {
    TempDir dir;
    const std::string path = dir.file("f.copc.laz");
    write_file(path, Copc{}.build());
    auto r = read_records(path);
    ASSERT_TRUE(r->copc.found);
    EXPECT_TRUE(r->copc.valid) << r->copc.problem;
    EXPECT_DOUBLE_EQ(r->copc.spacing, 2.5);
    EXPECT_EQ(r->copc.pages, 2u);
    EXPECT_EQ(r->copc.levels, 2u);
    EXPECT_EQ(r->copc.nodes[0], 1u);
    EXPECT_EQ(r->copc.points[1], 1u);
    EXPECT_FALSE(has(codes(path), "copc_invalid:error"));

    Copc moved;
    moved.info_first = false;
    Copc miscounted;
    miscounted.child_points = 2;
    Copc outside;
    outside.child_offset_shift = 1000;
    Copc looped;  // the child page points back at the root page
    looped.child_offset_shift = static_cast<std::uint64_t>(-64);
    for (const Copc *c : {&moved, &miscounted, &outside, &looped}) {
        write_file(path, c->build());
        r = read_records(path);
        EXPECT_FALSE(r->copc.valid);
        EXPECT_NE(r->copc.problem[0], '\0');
        EXPECT_TRUE(has(codes(path), "copc_invalid:error"));
    }
}

}  // namespace
