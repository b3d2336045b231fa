// SPDX-License-Identifier: MIT
// The LAZ decoder on arbitrary bytes taken as a compressed LAS file. Beyond
// never reading outside a buffer and always ending, decoding must agree with
// itself: one thread or two give the same chunks and records, and decoding
// only the layers of the returns and coordinates gives the same X, Y, Z and
// returns as decoding every layer. The header API's check and repair must
// then take the file as well.
#include "laz/laz_reader.h"
#include "repair_checks.h"
#include "tolvren_internal.h"
#include "tolvren_las.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace tolvren::laz;

// FNV-1a over each chunk's records: all their bytes, and only those a
// coordinate decoding gets right (X, Y, Z, the returns). Memory stays the
// same however many points a hostile header claims.
class Digests final : public ChunkConsumer, public RecordSink {
public:
    explicit Digests(std::size_t length) : length_(length) {}
    RecordSink &begin_chunk(const ChunkSpec &) override {
        whole_ = coordinates_ = 0xcbf29ce484222325ull;
        return *this;
    }
    bool records(const unsigned char *records, std::size_t count) override {
        for (std::size_t r = 0; r < count; ++r) {
            const unsigned char *record = records + r * length_;
            for (std::size_t i = 0; i < length_; ++i) mix(whole_, record[i]);
            for (std::size_t i = 0; i < 15; ++i) {
                if (i != 12 && i != 13) mix(coordinates_, record[i]);
            }
        }
        return true;
    }
    void end_chunk(const ChunkSpec &spec, const ChunkResult &result) override {
        const bool good = result.outcome == ChunkOutcome::ok || result.outcome == ChunkOutcome::count_differs;
        chunks[spec.index] = {good, good ? whole_ : 0, good ? coordinates_ : 0, good ? result.points : 0};
    }
    struct Chunk {
        bool good;
        std::uint64_t whole, coordinates, points;
    };
    std::map<std::uint64_t, Chunk> chunks;

private:
    static void mix(std::uint64_t &hash, unsigned char byte) { hash = (hash ^ byte) * 0x100000001b3ull; }
    std::size_t length_;
    std::uint64_t whole_ = 0, coordinates_ = 0;
};

std::map<std::uint64_t, Digests::Chunk> decode(const Input &input, const LasLayout &layout, const Container &container,
                                              LayerChoice choice, std::size_t threads, DecodeReport &report) {
    std::vector<Digests> sinks(threads, Digests(layout.record_length));
    std::vector<ChunkConsumer *> consumers;
    for (Digests &sink : sinks) consumers.push_back(&sink);
    report = decode_chunks(input, layout, container, choice, consumers, {});
    std::map<std::uint64_t, Digests::Chunk> all;
    for (const Digests &sink : sinks) all.insert(sink.chunks.begin(), sink.chunks.end());
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > (1u << 16)) return 0;
    tolvren_header header;
    if (tolvren_parse_header(data, size, size, &header, nullptr) != TOLVREN_OK || !header.compressed) return 0;

    const LasLayout layout = tolvren::las::laz_layout(header);
    const MemoryInput input(data, size);
    const Container container = open_container(input, layout);
    if (container.decodable) {
        DecodeReport one, two, some;
        const auto by_one = decode(input, layout, container, LayerChoice::all, 1, one);
        const auto by_two = decode(input, layout, container, LayerChoice::all, 2, two);
        if (one.chunks != two.chunks || one.good_chunks != two.good_chunks || one.points != two.points ||
            one.bad_chunks != two.bad_chunks || one.table_problem != two.table_problem) {
            tolvren_fuzz::fail("two threads report otherwise than one");
        }
        for (const auto &[index, chunk] : by_one) {
            const auto other = by_two.find(index);
            if (other == by_two.end() || other->second.good != chunk.good || other->second.whole != chunk.whole) {
                tolvren_fuzz::fail("two threads decode a chunk otherwise than one");
            }
        }
        const auto coordinates = decode(input, layout, container, LayerChoice::coordinates, 1, some);
        if (one.bad_chunks == 0 && some.bad_chunks == 0 && one.table_problem.empty()) {
            for (const auto &[index, chunk] : by_one) {
                const auto other = coordinates.find(index);
                if (other == coordinates.end() || other->second.coordinates != chunk.coordinates ||
                    other->second.points != chunk.points) {
                    tolvren_fuzz::fail("decoding the coordinates alone gives other coordinates");
                }
            }
        }
    }

    // The header API over the same bytes as a file: a check on two threads,
    // then what every repair must keep to.
    const std::string path = tolvren_fuzz::scratch_dir() + "/input.laz";
    tolvren_fuzz::write_input(path, data, size);
    tolvren_report report;
    if (tolvren_check_file_mt(path.c_str(), TOLVREN_CHECK_SCAN, 2, nullptr, nullptr, &report, nullptr) != TOLVREN_OK) {
        tolvren_fuzz::fail("a readable header's file cannot be checked");
    }
    tolvren_fuzz::check_report(report);
    tolvren_repair_result result;
    if (tolvren_repair(path.c_str(), TOLVREN_REPAIR_DRY_RUN, nullptr, nullptr, &result, nullptr) == TOLVREN_OK &&
        !container.decodable) {
        tolvren_fuzz::fail("a repair of points no one can decode");
    }
    tolvren_fuzz::repair_and_recheck(path, data, size, header.version_minor);
    return 0;
}
