// SPDX-License-Identifier: MIT
// The header update on arbitrary bytes, through the core that returns
// instead of ending the process, so that every refusal runs too. A refused
// file must keep every byte. An updated one must keep its length, change
// only the eight summary fields, and hold the counts and extents of its
// whole point records, as computed here record by record.
#include "Tolvren_LiDAR.h"
#include "fuzz_common.h"
#include "tolvren_internal.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kHeaderBytes = 227;

bool in_summary_fields(std::size_t offset) {
    return (offset >= 107 && offset < 131) || (offset >= 179 && offset < 227);
}

std::size_t record_size(std::int16_t las_type) {
    switch (las_type) {
        case 1: case 3: case 5: return 20;
        case 2: case 4: case 6: return 28;
        case 7: return 26;
        default: return 34;
    }
}

template <typename T>
T load(const std::uint8_t *bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

double extent(std::int32_t raw, double scale, double offset) {
    return static_cast<double>(static_cast<long double>(raw) * scale + offset);
}

// What the summary fields must hold after the update, computed record by
// record from the input.
std::array<std::uint8_t, kHeaderBytes> expected_header(const std::uint8_t *data, std::size_t size,
                                                      std::int16_t las_type) {
    std::array<std::uint8_t, kHeaderBytes> header{};
    std::memcpy(header.data(), data, kHeaderBytes);
    const std::size_t offset = load<std::uint32_t>(data + 96);
    const std::size_t stride = record_size(las_type);
    const std::size_t records = (size - offset) / stride;

    std::array<std::uint32_t, 5> by_return{};
    std::array<std::int32_t, 3> low{}, high{};
    for (std::size_t r = 0; r < records; ++r) {
        const std::uint8_t *record = data + offset + r * stride;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const auto value = load<std::int32_t>(record + 4 * axis);
            low[axis] = r == 0 ? value : std::min(low[axis], value);
            high[axis] = r == 0 ? value : std::max(high[axis], value);
        }
        const int return_number = record[14] & 7;
        if (return_number >= 1 && return_number <= 5) ++by_return[static_cast<std::size_t>(return_number - 1)];
    }
    const auto count = static_cast<std::uint32_t>(records);
    std::memcpy(&header[107], &count, 4);
    std::memcpy(&header[111], by_return.data(), 20);
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const double scale = load<double>(data + 131 + 8 * axis);
        const double shift = load<double>(data + 155 + 8 * axis);
        const double max = records ? extent(high[axis], scale, shift) : 0.0;
        const double min = records ? extent(low[axis], scale, shift) : 0.0;
        std::memcpy(&header[179 + 16 * axis], &max, 8);
        std::memcpy(&header[187 + 16 * axis], &min, 8);
    }
    return header;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > (1u << 16)) return 0;
    const std::string path = tolvren_fuzz::scratch_dir() + "/input.las";
    tolvren_fuzz::write_input(path, data, size);

    using tolvren::internal::UpdateStatus;
    const UpdateStatus status = tolvren::internal::update_header_core(path.c_str()).status;

    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (after.size() != size) tolvren_fuzz::fail("the file changed its length");
    if (status != UpdateStatus::updated) {
        if (size > 0 && std::memcmp(after.data(), data, size) != 0) tolvren_fuzz::fail("a refused file changed");
        if ((status == UpdateStatus::refused_by_check) != (tolvren::internal::update_message(status) == nullptr)) {
            tolvren_fuzz::fail("a refusal without its message");
        }
        return 0;
    }
    // An update needs a whole header with its point data inside the file.
    if (size < kHeaderBytes || load<std::uint32_t>(data + 96) > size) tolvren_fuzz::fail("an impossible update");
    const std::int16_t las_type = check_las(path.c_str());
    if (las_type <= 0) tolvren_fuzz::fail("updated a file the checks refuse");
    for (std::size_t i = 0; i < size; ++i) {
        if (!in_summary_fields(i) && after[i] != data[i]) tolvren_fuzz::fail("a byte outside the summary fields changed");
    }
    const auto header = expected_header(data, size, las_type);
    if (std::memcmp(after.data(), header.data(), kHeaderBytes) != 0) {
        tolvren_fuzz::fail("the summary fields differ from the point records");
    }
    return 0;
}
