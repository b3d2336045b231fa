/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): reading the
// points of a LAZ file. It finds the LASzip VLR and the chunk table, lists
// the chunks (from the table, or by walking them one after the other when
// there is none) and decodes them on as many threads as it is given, each
// thread with its own chunk decoder and its own consumer. Chunks are
// independent, so the result does not depend on the number of threads; the
// consumers see every chunk's records in order within the chunk, chunks in
// any order.
#ifndef TOLVREN_LAZ_LAZ_READER_H
#define TOLVREN_LAZ_LAZ_READER_H

#include "laz/chunk.h"
#include "laz/container.h"
#include "laz/layered_items.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tolvren::laz {

// What a file's container says, before any point is decoded.
struct Container {
    VlrSearch vlr;
    TableLocation table;
    // Whether the points can be decoded at all: a valid VLR whose items make
    // the header's records, and chunks that can be found (a table, or
    // fixed-size chunks that can be walked).
    bool decodable = false;
    ContainerFinding why_not;  // when not decodable
};
Container open_container(const Input &input, const LasLayout &layout);

// Receives one thread's chunks.
class ChunkConsumer {
public:
    virtual ~ChunkConsumer() = default;
    // Where the records of the chunk about to be decoded go.
    virtual RecordSink &begin_chunk(const ChunkSpec &spec) = 0;
    // How it ended; the records handed on are to be trusted only when the
    // outcome is ok or count_differs.
    virtual void end_chunk(const ChunkSpec &spec, const ChunkResult &result) = 0;
};

struct ChunkProblem {
    ChunkSpec spec;
    ChunkResult result;
};

struct DecodeReport {
    std::uint64_t chunks = 0;          // chunks listed by the table or walked
    std::uint64_t good_chunks = 0;     // decoded to their points
    std::uint64_t points = 0;          // records in the good chunks
    std::uint64_t bad_chunks = 0;      // truncated or corrupt
    ChunkProblem first_bad;            // the lowest-numbered of them
    std::uint64_t count_mismatches = 0;  // layered chunks whose own count
                                         // differs from the container's
    ChunkProblem first_mismatch;
    // A table whose entries stop making sense part of the way through: the
    // chunks after that point are not decoded.
    bool table_broken = false;
    std::string table_problem;
    // Why decoding stopped before the last chunk, if it did: the numbers
    // above are then incomplete. sys_errno goes with read_error.
    enum class Stop { none, canceled, read_error, changed, no_memory };
    Stop stop = Stop::none;
    int sys_errno = 0;
    std::uint64_t bytes_total = 0;     // compressed bytes the chunks span
};

// Called on the calling thread only, now and then: bytes of chunks done of
// bytes_total; false stops the decoding.
struct DecodeProgress {
    bool (*report)(std::uint64_t done, std::uint64_t total, void *user) = nullptr;
    void *user = nullptr;
};

// Decodes every chunk of a decodable container. `consumers` holds one
// consumer per thread (at least one); consumers[0] runs on the calling
// thread. Walking chunks without a table runs on one thread.
DecodeReport decode_chunks(const Input &input, const LasLayout &layout, const Container &container,
                           LayerChoice choice, const std::vector<ChunkConsumer *> &consumers,
                           const DecodeProgress &progress);

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_LAZ_READER_H
