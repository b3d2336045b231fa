// SPDX-License-Identifier: MIT
// Quarlin over LAS files written by other software, checked against the
// values that an independent reader found in them (expected.tsv beside the
// files). Skipped when the folder of sample files is absent.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tolvren_test::banner;
using tolvren_test::ProcessResult;
using tolvren_test::run_quarlin;
using tolvren_test::StdoutCapture;

using Row = std::map<std::string, std::string>;

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

std::vector<Row> read_expected(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> columns = split(line, '\t');
    std::vector<Row> rows;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const std::vector<std::string> cells = split(line, '\t');
        Row row;
        for (std::size_t i = 0; i < columns.size(); ++i) row[columns[i]] = i < cells.size() ? cells[i] : "";
        rows.push_back(row);
    }
    return rows;
}

std::string format(const char *fmt, double value) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, fmt, value);
    return buffer;
}

std::string format(const char *fmt, long value) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, fmt, value);
    return buffer;
}

double number(const std::string &text) { return std::strtod(text.c_str(), nullptr); }

// The report lines that follow from the header fields listed for the file.
std::vector<std::string> expected_lines(const Row &row) {
    const std::vector<std::string> scale = split(row.at("scale_xyz"), ',');
    const std::vector<std::string> offset = split(row.at("offset_xyz"), ',');
    const std::vector<std::string> by_return = split(row.at("stored_by_return"), ',');
    const char *ordinals[5] = {"1st", "2nd", "3rd", "4th", "5th"};
    std::vector<std::string> lines = {
        "Version                      " + row.at("version") + "\n",
        "Size of Header               " + row.at("header_size") + "\n",
        "Offset to Data               " + row.at("offset_to_data") + "\n",
        "# of Variable Length Records " + row.at("n_vlr") + "\n",
        "ID of Point Data Format      " + row.at("point_format") + "\n",
        "Length of each Data Record   " + row.at("record_length") + "\n\n",
        format("Total Returns      %10ld\n", std::strtol(row.at("stored_point_count").c_str(), nullptr, 10)),
        "Scale Factors\n" + format("\tX\t%.5f\n", number(scale.at(0))) + format("\tY\t%.5f\n", number(scale.at(1))) +
            format("\tZ\t%.5f\n\n", number(scale.at(2))),
        "Offsets\n" + format("\tX\t%.5f\n", number(offset.at(0))) + format("\tY\t%.5f\n", number(offset.at(1))) +
            format("\tZ\t%.5f\n\n", number(offset.at(2))),
        "Range of Point Coordinates\n" + format("\tX\t%12.2f  to  ", number(row.at("stored_min_x"))) +
            format("%12.2f\n", number(row.at("stored_max_x"))) +
            format("\tY\t%12.2f  to  ", number(row.at("stored_min_y"))) +
            format("%12.2f\n", number(row.at("stored_max_y"))) +
            format("\tZ\t%12.2f  to  ", number(row.at("stored_min_z"))) +
            format("%12.2f\n\n", number(row.at("stored_max_z"))),
    };
    for (std::size_t i = 0; i < 5; ++i) {
        lines.push_back(std::string(ordinals[i]) + " Returns        " +
                        format("%10ld\n", std::strtol(by_return.at(i).c_str(), nullptr, 10)));
    }
    return lines;
}

std::string expected_refusal(const Row &row) {
    const std::string &name = row.at("file");
    const std::string &expect = row.at("expect");
    if (expect == "refuse:extension") return "\nFile extension of " + name + " is not .las\n";
    if (expect == "refuse:version") return "\nCannot handle las files of version " + row.at("version") + "\n";
    if (expect == "refuse:format") {
        return "\nPointDataFormatID in " + name + " is " + row.at("point_format") +
               ". Only 0, 1, 2, or 3 is accepted\n";
    }
    if (expect == "refuse:record-length") {
        return "\nData format of " + name + " (" + row.at("point_format") +
               ") is incompatible with Length of Data Record (" + row.at("record_length") + ")\n";
    }
    ADD_FAILURE() << "unknown expectation " << expect;
    return {};
}

TEST(SharedFiles, ViewerReportsWhatAnIndependentReaderFound) {
    const std::string folder = TOLVREN_SHARED_LAS_DIR;
    const std::string table = folder + "/expected.tsv";
    if (!std::filesystem::exists(table)) GTEST_SKIP() << "no sample LAS files at " << folder;

    const std::vector<Row> rows = read_expected(table);
    ASSERT_FALSE(rows.empty());
    for (const Row &row : rows) {
        const std::string &name = row.at("file");
        const std::string &expect = row.at("expect");
        SCOPED_TRACE(name);
        const ProcessResult got = run_quarlin({name}, folder);

        if (expect.rfind("refuse:", 0) == 0) {
            EXPECT_EQ(got.exit_code, 255);
            EXPECT_EQ(got.out, expected_refusal(row));
            continue;
        }
        ASSERT_EQ(expect.rfind("lastype:", 0), 0u);
        const int las_type = std::atoi(expect.c_str() + 8);
        StdoutCapture quiet;
        EXPECT_EQ(check_las((folder + "/" + name).c_str()), las_type);
        EXPECT_EQ(quiet.finish(), "");

        EXPECT_EQ(got.exit_code, 0);
        const std::string head = banner() + "\nFile                         " + name + "\n\n";
        ASSERT_EQ(got.out.substr(0, head.size()), head);
        if (las_type == 0) {
            EXPECT_EQ(got.out, head);
            continue;
        }
        for (const std::string &line : expected_lines(row)) {
            EXPECT_NE(got.out.find(line), std::string::npos) << "missing: " << line;
        }
    }
}

}  // namespace
