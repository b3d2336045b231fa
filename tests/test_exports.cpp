// SPDX-License-Identifier: MIT
// The library's operations are public by name, from the shared library and
// from Quarlin alike, and the shared library exports nothing else of ours.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

constexpr std::array<const char *, 20> kOperations = {
    "file_access",          "check_file_extension",   "check_las",           "error_msg",
    "credits",              "update_header",          "initialize_header10", "initialize_header11",
    "initialize_header12",  "l_quicksort",            "l_qs",                "d_quicksort",
    "d_qs",                 "l_parallel_quicksort",   "l_parallel_qs",       "d_parallel_quicksort",
    "d_parallel_qs",        "check_YN",               "check_numeric_argument", "check_DEM",
};

// The header API of tolvren_las.h, exported by the shared library only.
constexpr std::array<const char *, 24> kHeaderApi = {
    "tolvren_strerror",      "tolvren_error_name",       "tolvren_read_header",       "tolvren_parse_header",
    "tolvren_scan_points",   "tolvren_check_header",     "tolvren_check_file",        "tolvren_repair",
    "tolvren_finding_name",  "tolvren_severity_name",    "tolvren_field_name",        "tolvren_scan_points_mt",
    "tolvren_check_file_mt", "tolvren_repair_mt",        "tolvren_set_fields",        "tolvren_set_field_name",
    "tolvren_read_records",  "tolvren_read_record_data", "tolvren_geokey_name",       "tolvren_laszip_item_name",
    "tolvren_extra_type_name", "tolvren_compute_statistics", "tolvren_class_name",    "tolvren_decompress",
};

struct PipeCloser {
    void operator()(std::FILE *fp) const { pclose(fp); }
};

// The dynamic symbols that `binary` defines, by name, with nm's type letter.
std::map<std::string, char> defined_dynamic_symbols(const std::string &binary) {
    const std::string command = "nm -D --defined-only '" + binary + "' 2>/dev/null";
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
    if (!pipe) return {};
    std::string text;
    std::array<char, 4096> buffer;
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) text.append(buffer.data(), got);

    std::map<std::string, char> symbols;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address;
        std::string type;
        std::string name;
        if (fields >> address >> type >> name && type.size() == 1) symbols[name] = type[0];
    }
    return symbols;
}

bool is_operation(const std::string &name) {
    for (const char *operation : kOperations) {
        if (name == operation) return true;
    }
    for (const char *function : kHeaderApi) {
        if (name == function) return true;
    }
    return false;
}

class Exports : public testing::TestWithParam<const char *> {};

TEST_P(Exports, DefinesEveryOperationAsCode) {
    const std::map<std::string, char> symbols = defined_dynamic_symbols(GetParam());
    ASSERT_FALSE(symbols.empty()) << "nm found no dynamic symbols in " << GetParam();
    for (const char *operation : kOperations) {
        const auto found = symbols.find(operation);
        if (found == symbols.end()) {
            ADD_FAILURE() << operation << " is not exported";
        } else {
            EXPECT_EQ(found->second, 'T') << operation;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Binaries, Exports, testing::Values(TOLVREN_LIBRARY_PATH, TOLVREN_QUARLIN_PATH),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.index == 0 ? "Library" : "Quarlin");
                         });

TEST(LibraryExports, DefinesTheHeaderApiAsCode) {
    const std::map<std::string, char> symbols = defined_dynamic_symbols(TOLVREN_LIBRARY_PATH);
    for (const char *function : kHeaderApi) {
        const auto found = symbols.find(function);
        EXPECT_TRUE(found != symbols.end() && found->second == 'T') << function << " is not exported as code";
    }
}

// The version script keeps everything else inside, the standard library's
// template instantiations and the linker's markers too: a package's symbols
// file must list every export, and these would change with the compiler.
TEST(LibraryExports, NothingElse) {
    const std::map<std::string, char> symbols = defined_dynamic_symbols(TOLVREN_LIBRARY_PATH);
    ASSERT_EQ(symbols.size(), kOperations.size() + kHeaderApi.size());
    for (const auto &symbol : symbols) {
        EXPECT_TRUE(is_operation(symbol.first)) << symbol.first << " (" << symbol.second << ") is exported";
    }
}

}  // namespace
