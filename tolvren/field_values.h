/* SPDX-License-Identifier: MIT */
// The values that `tolvren set` takes on its command line, as the header
// stores them: a calendar date as its year and the day of that year, a UUID
// as the 16 bytes of the GUID field.
#ifndef TOLVREN_CLI_FIELD_VALUES_H
#define TOLVREN_CLI_FIELD_VALUES_H

#include <cstdint>
#include <string>

namespace tolvren_cli {

struct DayOfYear {
    std::uint16_t year = 0;
    std::uint16_t day = 0;  // 1 January is day 1
};

// A Gregorian date written YYYY-MM-DD; false for any other text and for a
// day its month lacks (31 April, 29 February of a common year).
bool parse_date(const std::string &text, DayOfYear &out);

// Today's date in UTC, the clock LAS counts the creation day by.
DayOfYear today();

// A UUID written as 8-4-4-4-12 hex digits (either case), as the GUID bytes
// that `tolvren info` shows as that text: the first group is the
// little-endian 32-bit number in bytes 0-3, the next two the little-endian
// 16-bit numbers in bytes 4-5 and 6-7, the last two bytes 8-15 as written.
// False for any other text.
bool parse_guid(const std::string &text, std::uint8_t (&guid)[16]);

// A random UUID (version 4) as GUID bytes, from getrandom or else
// /dev/urandom; false, with errno set, when neither gives bytes.
bool random_guid(std::uint8_t (&guid)[16]);

}  // namespace tolvren_cli

#endif  // TOLVREN_CLI_FIELD_VALUES_H
