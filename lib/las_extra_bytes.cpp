// SPDX-License-Identifier: MIT
// Header API: the Extra Bytes VLR ("LASF_Spec" 4), which says what the bytes
// after a point record's standard fields hold.
//
// It is an array of 192-byte descriptors, one a dimension, laid end to end
// in the order of the bytes they describe:
//   0  reserved (2)        2  data_type        3  options
//   4  name (32)          36  unused (4)
//  40  no_data[3]         64  min[3]          88  max[3]   (8 bytes each,
//                                                           read as the type)
// 112  scale[3]          136  offset[3]       (doubles)
// 160  description (32)
// Data types 1-10 are single numbers, 11-30 tuples of two or three of them
// (an older form, still written); type 0 is opaque bytes whose count the
// options field gives.

#include "tolvren_internal.h"

#include <array>
#include <cstring>

namespace tolvren::las {

namespace {

constexpr std::size_t kDescriptorBytes = 192;
constexpr std::size_t kNameOffset = 4;
constexpr std::size_t kNoDataOffset = 40;
constexpr std::size_t kMinOffset = 64;
constexpr std::size_t kMaxOffset = 88;
constexpr std::size_t kScaleOffset = 112;
constexpr std::size_t kOffsetOffset = 136;
constexpr std::size_t kDescriptionOffset = 160;

constexpr unsigned kOptionScale = 1u << 3;
constexpr unsigned kOptionOffset = 1u << 4;

enum class Kind { unsigned_integer, signed_integer, floating };

struct BaseType {
    std::uint8_t size;
    Kind kind;
    const char *name;
};

// Data types 1 to 10.
constexpr std::array<BaseType, 10> kBaseTypes = {{
    {1, Kind::unsigned_integer, "uint8"},
    {1, Kind::signed_integer, "int8"},
    {2, Kind::unsigned_integer, "uint16"},
    {2, Kind::signed_integer, "int16"},
    {4, Kind::unsigned_integer, "uint32"},
    {4, Kind::signed_integer, "int32"},
    {8, Kind::unsigned_integer, "uint64"},
    {8, Kind::signed_integer, "int64"},
    {4, Kind::floating, "float"},
    {8, Kind::floating, "double"},
}};

// The names of data types 0 to 30.
constexpr std::array<const char *, 31> kTypeNames = {
    "undocumented", "uint8",     "int8",      "uint16",    "int16",     "uint32",    "int32",     "uint64",
    "int64",        "float",     "double",    "uint8[2]",  "int8[2]",   "uint16[2]", "int16[2]",  "uint32[2]",
    "int32[2]",     "uint64[2]", "int64[2]",  "float[2]",  "double[2]", "uint8[3]",  "int8[3]",   "uint16[3]",
    "int16[3]",     "uint32[3]", "int32[3]",  "uint64[3]", "int64[3]",  "float[3]",  "double[3]",
};

// An 8-byte no_data, min or max slot as its data type reads it.
double any_value(const unsigned char *slot, Kind kind) {
    switch (kind) {
        case Kind::unsigned_integer: return static_cast<double>(load<std::uint64_t>(slot, 0));
        case Kind::signed_integer: return static_cast<double>(load<std::int64_t>(slot, 0));
        case Kind::floating: break;
    }
    return load<double>(slot, 0);
}

template <std::size_t N>
void copy_field(char (&to)[N], const unsigned char *from) {
    std::memcpy(to, from, N - 1);
    to[N - 1] = '\0';
}

}  // namespace

void decode_extra_bytes(const std::vector<unsigned char> &data, Records &out) {
    out.extra_bytes_problem = data.size() % kDescriptorBytes != 0;
    std::uint32_t position = 0;
    for (std::size_t at = 0; at + kDescriptorBytes <= data.size(); at += kDescriptorBytes) {
        const unsigned char *d = data.data() + at;
        tolvren_extra_dimension dimension{};
        dimension.data_type = d[2];
        dimension.options = d[3];
        copy_field(dimension.name, d + kNameOffset);
        copy_field(dimension.description, d + kDescriptionOffset);
        dimension.record_offset = position;
        if (dimension.data_type == 0) {
            dimension.components = 1;
            dimension.size = dimension.options;
        } else if (dimension.data_type <= 30) {
            const BaseType &base = kBaseTypes[static_cast<std::size_t>(dimension.data_type - 1) % 10];
            dimension.components = static_cast<std::uint8_t>((dimension.data_type - 1) / 10 + 1);
            dimension.size = std::uint32_t{base.size} * dimension.components;
            for (std::size_t c = 0; c < dimension.components; ++c) {
                dimension.no_data[c] = any_value(d + kNoDataOffset + 8 * c, base.kind);
                dimension.min[c] = any_value(d + kMinOffset + 8 * c, base.kind);
                dimension.max[c] = any_value(d + kMaxOffset + 8 * c, base.kind);
            }
        }
        // A type beyond 30 is undefined: its size is unknown (0).
        for (std::size_t c = 0; c < 3; ++c) {
            dimension.scale[c] = (dimension.options & kOptionScale) && dimension.data_type != 0
                                     ? load<double>(d, kScaleOffset + 8 * c)
                                     : 1.0;
            dimension.offset[c] = (dimension.options & kOptionOffset) && dimension.data_type != 0
                                      ? load<double>(d, kOffsetOffset + 8 * c)
                                      : 0.0;
        }
        position += dimension.size;
        out.extra_dimensions.push_back(dimension);
    }
}

}  // namespace tolvren::las

extern "C" const char *tolvren_extra_type_name(unsigned data_type) noexcept {
    return data_type < tolvren::las::kTypeNames.size() ? tolvren::las::kTypeNames[data_type] : nullptr;
}
