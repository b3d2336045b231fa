// SPDX-License-Identifier: MIT
// Argument validators: the accepted and refused values of each, with their
// exact output and, for the two that end the process, their exit status.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace {

using tolvren_test::ProcessResult;
using tolvren_test::run_in_child;
using tolvren_test::StdoutCapture;
using tolvren_test::TempDir;

// A refused process exits with status -1, which the parent sees as 255.
constexpr int kRefusedStatus = 255;

// ---------------------------------------------------------------------------
// check_YN
// ---------------------------------------------------------------------------

const std::string kYNMessage = "\nASCII Header Flag should be either Y (y) or N (n)\n";

class CheckYNAccepts : public testing::TestWithParam<const char *> {};

TEST_P(CheckYNAccepts, ReturnsZeroSilently) {
    StdoutCapture capture;
    const std::int16_t result = check_YN(GetParam());
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(result, 0);
}

INSTANTIATE_TEST_SUITE_P(Flags, CheckYNAccepts, testing::Values("Y", "N", "y", "n"));

class CheckYNRefuses : public testing::TestWithParam<const char *> {};

// Refusal is by result only: the process goes on, and a second refusal
// prints the message again.
TEST_P(CheckYNRefuses, PrintsMessageAndReturnsMinusOne) {
    StdoutCapture capture;
    const std::int16_t first = check_YN(GetParam());
    const std::int16_t second = check_YN(GetParam());
    EXPECT_EQ(capture.finish(), kYNMessage + kYNMessage);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(second, -1);
}

INSTANTIATE_TEST_SUITE_P(Values, CheckYNRefuses,
                         testing::Values("yes", "Yes", "no", "", "Y ", " Y", "n\n", "YN", "1", "0", "\xD1"));

// ---------------------------------------------------------------------------
// check_numeric_argument
// ---------------------------------------------------------------------------

std::string invalid_message(const std::string &value) { return "\nInvalid argument value (" + value + ")\n"; }

class NumericAccepts : public testing::TestWithParam<std::string> {};

TEST_P(NumericAccepts, ReturnsSilently) {
    StdoutCapture capture;
    check_numeric_argument(GetParam().c_str());
    EXPECT_EQ(capture.finish(), "");
}

// Where the sign and the point stand is not checked, only how many there are.
INSTANTIATE_TEST_SUITE_P(Values, NumericAccepts,
                         testing::Values("", "0", "12", "007", "0.5", ".5", "5.", "-3", "-0", "-3.25", "5-", "1-2",
                                         "-.", ".-", "1.-"));

class NumericRefuses : public testing::TestWithParam<std::string> {};

TEST_P(NumericRefuses, PrintsWholeValueAndExits) {
    const std::string value = GetParam();
    EXPECT_EXIT(check_numeric_argument(value.c_str()), testing::ExitedWithCode(kRefusedStatus), "");

    const ProcessResult run = run_in_child([&value] { check_numeric_argument(value.c_str()); });
    EXPECT_EQ(run.exit_code, kRefusedStatus);
    EXPECT_EQ(run.out, invalid_message(value));
}

INSTANTIATE_TEST_SUITE_P(Values, NumericRefuses,
                         testing::Values(".", "-", "1.2.3", "..", "--5", "-5-", "+5", "1e3", "3,5", "1 2", " 5",
                                         "5 ", "0x1F", "\xB2", "\xD9\xA3", "12%s"));

// Positions are not 16-bit: values past 65,535 characters are scanned to
// their end, whatever stands there.
TEST(Numeric, LongDigitStringIsAcceptedSilently) {
    std::string value(70000, '7');
    value[66000] = '.';
    value[69999] = '-';
    StdoutCapture capture;
    check_numeric_argument(value.c_str());
    EXPECT_EQ(capture.finish(), "");
}

TEST(Numeric, LongStringIsRefusedForWhatStandsPast65535) {
    std::string bad_char(70000, '7');
    bad_char[69999] = 'x';
    std::string second_dot(70000, '7');
    second_dot[5] = '.';
    second_dot[65536] = '.';
    std::string char_at_wrap(65537, '1');
    char_at_wrap[65536] = ' ';
    for (const std::string *value : {&bad_char, &second_dot, &char_at_wrap}) {
        const ProcessResult run = run_in_child([value] { check_numeric_argument(value->c_str()); });
        EXPECT_EQ(run.exit_code, kRefusedStatus) << "length " << value->size();
        EXPECT_TRUE(run.out == invalid_message(*value)) << "length " << value->size();
    }
}

// ---------------------------------------------------------------------------
// check_DEM
// ---------------------------------------------------------------------------

const std::string kDemExtensionMessage =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n";
const std::string kDemHeaderMessage =
    "\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n";

std::string mismatch(const std::string &name, const char *extension) {
    return "\nFile extension of " + name + " is not ." + extension + "\n";
}
std::string too_short(const std::string &name) { return "\nFile name (" + name + ") is too short\n"; }
std::string no_dot(const std::string &name) {
    return "\nExtension of file " + name + " should be preceeded by a dot (.)\n";
}
std::string unable_to_open(const std::string &name) { return "Unable to open file " + name + " in file_access()\n"; }

struct DemCase {
    std::string label;
    std::string name;                // as passed, relative to the case's directory
    std::vector<std::string> files;  // created empty before the call
    int exit_code;
    std::string out;
};

// What a user sees for each kind of name.
DemCase served_flt(std::string label, const std::string &name, const std::string &header,
                   std::vector<std::string> files = {}) {
    files.push_back(header);
    return {std::move(label), name, std::move(files), 0, mismatch(name, "asc")};
}
DemCase flt_without_header(std::string label, const std::string &name, const std::string &header,
                           std::vector<std::string> files = {}) {
    return {std::move(label), name, std::move(files), kRefusedStatus,
            mismatch(name, "asc") + unable_to_open(header) + kDemHeaderMessage};
}
DemCase other_extension(std::string label, const std::string &name, std::vector<std::string> files = {}) {
    return {std::move(label), name, std::move(files), kRefusedStatus,
            mismatch(name, "asc") + mismatch(name, "flt") + kDemExtensionMessage};
}

std::vector<DemCase> dem_cases() {
    // A 300-character relative name: two 100-character directories and a
    // 94-character base name (no single path component may pass 255).
    const std::string dirs = std::string(100, 'd') + "/" + std::string(100, 'e') + "/";
    const std::string long_base = dirs + std::string(94, 'g');
    const std::string base79(75, 'h');

    return {
        served_flt("FltWithHeader", "elev.flt", "elev.hdr", {"elev.flt"}),
        served_flt("FltNeedsOnlyItsHeaderFile", "elev.flt", "elev.hdr"),
        flt_without_header("FltWithoutHeader", "elev.flt", "elev.hdr", {"elev.flt"}),
        flt_without_header("HeaderNameReplacesTheExtension", "elev.flt", "elev.hdr", {"elev.flt", "elev.flt.hdr"}),
        served_flt("DirectoryName", "grids/elev.flt", "grids/elev.hdr"),
        flt_without_header("HeaderLookedForInTheGridsDirectory", "grids/elev.flt", "grids/elev.hdr",
                           {"elev.hdr", "grids/elev.flt"}),
        served_flt("DottedDirectoryAndName", "v1.2/elev.v2.flt", "v1.2/elev.v2.hdr"),
        served_flt("ShortestFlt", "a.flt", "a.hdr"),
        flt_without_header("ShortestFltWithoutHeader", "a.flt", "a.hdr"),
        served_flt("LetterCaseKept", "Elev.flt", "Elev.hdr"),
        flt_without_header("LetterCaseKeptWhenLookingForHeader", "Elev.flt", "Elev.hdr", {"elev.hdr"}),
        served_flt("Name79Characters", base79 + ".flt", base79 + ".hdr"),
        served_flt("Name300Characters", long_base + ".flt", long_base + ".hdr"),
        flt_without_header("Name300CharactersWithoutHeader", long_base + ".flt", long_base + ".hdr"),
        {"Asc", "elev.asc", {"elev.asc"}, 0, mismatch("elev.asc", "flt")},
        {"AscLooksForNoHeader", "elev.asc", {}, 0, mismatch("elev.asc", "flt")},
        other_extension("OtherExtension", "elev.txt", {"elev.txt", "elev.hdr"}),
        other_extension("HeaderFileItself", "elev.hdr", {"elev.hdr"}),
        other_extension("UpperCaseFlt", "elev.FLT", {"elev.FLT", "elev.hdr"}),
        other_extension("UpperCaseAsc", "elev.ASC", {"elev.ASC"}),
        {"DotAscAloneIsTooShort", ".asc", {}, kRefusedStatus,
         too_short(".asc") + too_short(".asc") + kDemExtensionMessage},
        {"FourCharactersTooShort", "a.fl", {}, kRefusedStatus,
         too_short("a.fl") + too_short("a.fl") + kDemExtensionMessage},
        {"EmptyNameTooShort", "", {}, kRefusedStatus, too_short("") + too_short("") + kDemExtensionMessage},
        {"NoDot", "elevflt", {}, kRefusedStatus, no_dot("elevflt") + no_dot("elevflt") + kDemExtensionMessage},
        {"DotInWrongPlace", "elev.fltx", {}, kRefusedStatus,
         no_dot("elev.fltx") + no_dot("elev.fltx") + kDemExtensionMessage},
    };
}

void PrintTo(const DemCase &c, std::ostream *os) { *os << '"' << c.name << '"'; }

class CheckDem : public testing::TestWithParam<DemCase> {
protected:
    void SetUp() override {
        for (const std::string &file : GetParam().files) {
            const std::filesystem::path path = std::filesystem::path(dir_.path()) / file;
            std::filesystem::create_directories(path.parent_path());
            tolvren_test::write_file(path.string(), {});
        }
    }
    TempDir dir_;
};

// The name is relative: the call runs in a child whose working directory is
// the case's own directory.
TEST_P(CheckDem, PrintsAndEndsAsAUserSees) {
    const DemCase &c = GetParam();
    const ProcessResult run = run_in_child([&c] { check_DEM(c.name.c_str()); }, dir_.path());
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.out, c.out);

    if (c.exit_code == kRefusedStatus) {
        const std::string &dir = dir_.path();
        EXPECT_EXIT(
            {
                if (chdir(dir.c_str()) == 0) check_DEM(c.name.c_str());
            },
            testing::ExitedWithCode(kRefusedStatus), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Names, CheckDem, testing::ValuesIn(dem_cases()),
                         [](const testing::TestParamInfo<DemCase> &info) { return info.param.label; });

// Served names return to the caller, who goes on.
TEST(CheckDemInProcess, ServedNamesReturn) {
    TempDir dir;
    const std::string flt = dir.file("elev.flt");
    const std::string asc = dir.file("elev.asc");
    tolvren_test::write_file(dir.file("elev.hdr"), {});

    StdoutCapture capture;
    check_DEM(flt.c_str());
    check_DEM(asc.c_str());
    EXPECT_EQ(capture.finish(), mismatch(flt, "asc") + mismatch(asc, "flt"));
}

}  // namespace
