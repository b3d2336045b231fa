/* SPDX-License-Identifier: MIT */
// Internal to the Tolvren LiDAR library (never installed): one chunk to
// decode, how its decoding ended, and where its records go. Both chunk
// decoders (point-wise and layered) speak this.
#ifndef TOLVREN_LAZ_CHUNK_H
#define TOLVREN_LAZ_CHUNK_H

#include <cstddef>
#include <cstdint>

namespace tolvren::laz {

struct ChunkSpec {
    std::uint64_t index = 0;        // 0 for the first chunk
    std::uint64_t first_point = 0;  // the number of points in the chunks before
    std::uint64_t start = 0;        // the chunk's first byte
    // The chunk's size in bytes from the chunk table; 0 when there is no
    // table and the chunk's end is found by decoding it.
    std::uint64_t bytes = 0;
    std::uint64_t limit = 0;        // no byte of the chunk lies at or past this
    std::uint64_t points = 0;       // the points the container says it holds
    // The last chunk of fixed-size chunks: its count comes from the
    // header, which may be wrong. Its true count is then the one whose
    // decoding ends exactly at the chunk's last byte, up to `most_points`.
    bool count_from_header = false;
    std::uint64_t most_points = 0;
};

enum class ChunkOutcome {
    ok,
    truncated,     // decoding needed bytes past the chunk's end
    corrupt,       // an impossible value, bytes left over, a bad layer layout
    count_differs, // layered: its own count disagrees with the container's;
                   // the records decoded are those of its own count
    read_error,    // the file could not be read (errno tells)
    changed,       // the file became shorter while it was read
    no_memory,
    stopped,       // the record sink asked to stop
};

struct ChunkResult {
    ChunkOutcome outcome = ChunkOutcome::ok;
    std::uint64_t points = 0;     // records delivered (only trusted when ok
                                  // or count_differs)
    std::uint64_t own_count = 0;  // layered: the chunk's own count field
    std::uint64_t consumed = 0;   // the chunk's bytes that decoding used
    int sys_errno = 0;
    const char *why = "";         // a phrase for corrupt: what was wrong
};

// Receives the decoded records of a chunk in batches, in order. Returns
// false to stop decoding.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    virtual bool records(const unsigned char *records, std::size_t count) = 0;
};

class Input;

// Decodes the chunks of one file, one at a time; each thread has its own.
class ChunkDecoder {
public:
    virtual ~ChunkDecoder() = default;
    // Decodes the chunk `spec` of `input`, handing its records to `sink`.
    virtual ChunkResult decode(const Input &input, const ChunkSpec &spec, RecordSink &sink) = 0;
};

}  // namespace tolvren::laz

#endif  // TOLVREN_LAZ_CHUNK_H
