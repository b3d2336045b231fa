// SPDX-License-Identifier: MIT
#include "field_values.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>

namespace tolvren_cli {

namespace {

using Uuid = std::array<std::uint8_t, 16>;  // the bytes in the order written

bool leap_year(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days before the first of each month in a common year.
constexpr std::array<unsigned, 13> kDaysBeforeMonth = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

unsigned days_in_month(unsigned year, unsigned month) {
    return kDaysBeforeMonth[month] - kDaysBeforeMonth[month - 1] + (month == 2 && leap_year(year) ? 1 : 0);
}

// `count` decimal digits at `at` as a number; false when one is not a digit.
bool digits(const std::string &text, std::size_t at, std::size_t count, unsigned &value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The GUID field keeps the first three groups as little-endian numbers:
// their bytes reversed from the order written.
void store_uuid(const Uuid &written, std::uint8_t (&guid)[16]) {
    constexpr std::array<std::size_t, 16> kWrittenByte = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < kWrittenByte.size(); ++i) guid[i] = written[kWrittenByte[i]];
}

bool from_getrandom(Uuid &bytes) {
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

// For kernels without getrandom, or sandboxes that forbid it.
bool from_urandom(Uuid &bytes) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            if (n == 0) errno = EIO;
            break;
        }
    }
    const int error = errno;
    close(fd);
    errno = error;
    return got == bytes.size();
}

}  // namespace

bool parse_date(const std::string &text, DayOfYear &out) {
    unsigned year = 0, month = 0, day = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !digits(text, 0, 4, year) ||
        !digits(text, 5, 2, month) || !digits(text, 8, 2, day)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
    out.year = static_cast<std::uint16_t>(year);
    out.day = static_cast<std::uint16_t>(kDaysBeforeMonth[month - 1] + (month > 2 && leap_year(year) ? 1 : 0) + day);
    return true;
}

DayOfYear today() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    DayOfYear date;
    date.year = static_cast<std::uint16_t>(utc.tm_year + 1900);
    date.day = static_cast<std::uint16_t>(utc.tm_yday + 1);
    return date;
}

bool parse_guid(const std::string &text, std::uint8_t (&guid)[16]) {
    // Every group has an even number of digits, so the dashes fall between
    // whole bytes.
    constexpr std::array<std::size_t, 4> kDashes = {8, 13, 18, 23};
    if (text.size() != 36) return false;
    Uuid written{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == kDashes[0] || i == kDashes[1] || i == kDashes[2] || i == kDashes[3]) {
            if (text[i++] != '-') return false;
            continue;
        }
        const int high = hex_digit(text[i]);
        const int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        written[byte++] = static_cast<std::uint8_t>(high << 4 | low);
        i += 2;
    }
    store_uuid(written, guid);
    return true;
}

bool random_guid(std::uint8_t (&guid)[16]) {
    Uuid written{};
    if (!from_getrandom(written) && !from_urandom(written)) return false;
    // A random UUID: version 4 in the high half of byte 6, variant bits 10
    // at the top of byte 8, bytes counted as written.
    written[6] = static_cast<std::uint8_t>((written[6] & 0x0F) | 0x40);
    written[8] = static_cast<std::uint8_t>((written[8] & 0x3F) | 0x80);
    store_uuid(written, guid);
    return true;
}

}  // namespace tolvren_cli
