// SPDX-License-Identifier: MIT
// Header API: the points of compressed (LAZ) files. The scan decodes their
// chunks (for formats 6-10 only the layers of returns and coordinates) and
// summarises the records as the scan of an uncompressed file does; what it
// learns about the LASzip VLR, the chunk table and the chunks becomes
// findings for the check.

#include "laz/laz_reader.h"
#include "tolvren_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>

namespace tolvren::las {

namespace {

unsigned long long ull(std::uint64_t value) { return static_cast<unsigned long long>(value); }

__attribute__((format(printf, 4, 5))) void add(FileFindings *findings, int severity, int code, const char *format,
                                                ...) {
    if (!findings) return;
    std::array<char, sizeof(tolvren_finding{}.message)> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    findings->push_back(FileFinding{severity, code, text.data()});
}

// The finding a container problem is reported as.
int finding_code(laz::ContainerProblem problem) {
    switch (problem) {
        case laz::ContainerProblem::vlr_missing: return TOLVREN_F_LASZIP_VLR_MISSING;
        case laz::ContainerProblem::vlr_malformed: return TOLVREN_F_LASZIP_VLR_MALFORMED;
        case laz::ContainerProblem::items_mismatch: return TOLVREN_F_LASZIP_ITEMS_MISMATCH;
        case laz::ContainerProblem::table_missing: return TOLVREN_F_CHUNK_TABLE_MISSING;
        case laz::ContainerProblem::table_outside: return TOLVREN_F_CHUNK_TABLE_OUTSIDE_FILE;
        case laz::ContainerProblem::table_unreadable: return TOLVREN_F_CHUNK_TABLE_INVALID;
        case laz::ContainerProblem::none:
        case laz::ContainerProblem::read_error: break;
    }
    return 0;
}

const char *outcome_phrase(const laz::ChunkResult &result) {
    switch (result.outcome) {
        case laz::ChunkOutcome::truncated: return "runs out of bytes before its last point (truncated or damaged)";
        case laz::ChunkOutcome::corrupt: return "is damaged";
        default: return "does not decode";
    }
}

// Each thread's records: a chunk's summary joins the thread's total only
// when the chunk decoded to its points.
class SummaryConsumer final : public laz::ChunkConsumer, public laz::RecordSink {
public:
    SummaryConsumer(std::size_t record_length, unsigned return_bits)
        : record_length_(record_length), return_bits_(return_bits) {}

    laz::RecordSink &begin_chunk(const laz::ChunkSpec &) override {
        chunk_ = PointSummary{};
        return *this;
    }
    bool records(const unsigned char *records, std::size_t count) override {
        internal::summarise_records(records, count, record_length_, return_bits_, chunk_);
        return true;
    }
    void end_chunk(const laz::ChunkSpec &, const laz::ChunkResult &result) override {
        if (result.outcome == laz::ChunkOutcome::ok || result.outcome == laz::ChunkOutcome::count_differs) {
            internal::merge_summary(total_, chunk_);
        }
    }
    const PointSummary &total() const noexcept { return total_; }

private:
    std::size_t record_length_;
    unsigned return_bits_;
    PointSummary chunk_;
    PointSummary total_;
};

struct ProgressRelay {
    tolvren_progress_fn progress;
    void *user;
    static bool report(std::uint64_t done, std::uint64_t total, void *relay) {
        const auto &self = *static_cast<const ProgressRelay *>(relay);
        return self.progress(done, total, self.user) == 0;
    }
};

// Findings about where the chunks were found, for a container that can be
// decoded.
void table_findings(const laz::Container &container, FileFindings *findings) {
    const laz::TableLocation &table = container.table;
    switch (table.kind) {
        case laz::TableLocation::Kind::stored_at_end:
            add(findings, TOLVREN_WARNING, TOLVREN_F_CHUNK_TABLE_AT_END,
                "the chunk table's position is -1; the file's last 8 bytes give it (%llu), where readers that do "
                "not look there cannot find it",
                ull(table.offset));
            break;
        case laz::TableLocation::Kind::missing:
            add(findings, TOLVREN_ERROR, finding_code(table.finding.problem),
                "%s; the chunks were found one after the other instead", table.finding.message.c_str());
            break;
        default:
            break;
    }
}

}  // namespace

laz::LasLayout laz_layout(const tolvren_header &header) {
    laz::LasLayout layout;
    layout.header_size = header.header_size;
    layout.offset_to_point_data = header.offset_to_point_data;
    layout.number_of_vlrs = std::min<std::uint64_t>(header.number_of_vlrs, TOLVREN_MAX_WALKED_RECORDS);
    layout.point_format = header.point_format;
    layout.record_length = header.point_record_length;
    layout.point_count = header.point_count;
    layout.region_end = header.point_region_end;
    return layout;
}

int decode_compressed(int fd, const tolvren_header &header, laz::LayerChoice choice,
                      const std::vector<laz::ChunkConsumer *> &consumers, tolvren_progress_fn progress, void *user,
                      const char *path, std::uint64_t &region_end, tolvren_detail *detail,
                      FileFindings *findings) noexcept {
    try {
        const laz::FileInput input(fd, header.file_size);
        const laz::LasLayout layout = laz_layout(header);
        const laz::Container container = laz::open_container(input, layout);
        if (!container.decodable) {
            if (container.why_not.problem == laz::ContainerProblem::read_error) {
                return fail(detail, TOLVREN_EREAD, 0, path, "%s", container.why_not.message.c_str());
            }
            add(findings, TOLVREN_ERROR, finding_code(container.why_not.problem), "%s",
                container.why_not.message.c_str());
            return fail(detail, TOLVREN_ECOMPRESSED, 0, path, "the compressed points cannot be decoded: %s",
                        container.why_not.message.c_str());
        }
        table_findings(container, findings);

        ProgressRelay relay{progress, user};
        laz::DecodeProgress hook;
        if (progress) hook = laz::DecodeProgress{&ProgressRelay::report, &relay};
        const laz::DecodeReport report = laz::decode_chunks(input, layout, container, choice, consumers, hook);
        switch (report.stop) {
            case laz::DecodeReport::Stop::none: break;
            case laz::DecodeReport::Stop::canceled:
                return fail(detail, TOLVREN_ECANCELED, 0, path, "the scan was stopped by its progress callback");
            case laz::DecodeReport::Stop::read_error:
                return fail(detail, TOLVREN_EREAD, report.sys_errno, path, "cannot read the compressed points");
            case laz::DecodeReport::Stop::changed:
                return fail(detail, TOLVREN_ECHANGED, 0, path, "the file became shorter during the scan");
            case laz::DecodeReport::Stop::no_memory:
                return fail(detail, TOLVREN_ENOMEM, 0, path, "no memory for decoding the compressed points");
        }
        region_end = container.table.data_end;

        if (!report.table_problem.empty()) {
            add(findings, TOLVREN_ERROR, TOLVREN_F_CHUNK_TABLE_INVALID, "%s%s", report.table_problem.c_str(),
                report.table_broken ? "; the chunks after it were not decoded" : "");
        }
        if (report.bad_chunks > 0) {
            const laz::ChunkProblem &bad = report.first_bad;
            const char *why = bad.result.why[0] != '\0' ? bad.result.why : nullptr;
            const std::uint64_t others = report.bad_chunks - 1;
            std::array<char, 64> more{};
            if (others > 0) {
                std::snprintf(more.data(), more.size(), "; %llu other chunk%s do%s not decode", ull(others),
                              others == 1 ? "" : "s", others == 1 ? "es" : "");
            }
            add(findings, TOLVREN_ERROR, TOLVREN_F_CHUNK_UNDECODABLE, "chunk %llu (from point %llu, byte %llu) %s%s%s%s%s",
                ull(bad.spec.index), ull(bad.spec.first_point), ull(bad.spec.start), outcome_phrase(bad.result),
                why ? ": " : "", why ? why : "", more.data(), "");
        }
        if (report.count_mismatches > 0) {
            const laz::ChunkProblem &odd = report.first_mismatch;
            add(findings, TOLVREN_ERROR, TOLVREN_F_CHUNK_COUNT_MISMATCH,
                "chunk %llu (from point %llu) holds %llu points by its own count, %llu by the %s; %llu chunk%s "
                "in all",
                ull(odd.spec.index), ull(odd.spec.first_point), ull(odd.result.own_count), ull(odd.spec.points),
                container.table.kind == laz::TableLocation::Kind::missing || !container.vlr.vlr.variable_chunks()
                    ? "chunk size"
                    : "chunk table",
                ull(report.count_mismatches), report.count_mismatches == 1 ? "" : "s");
        }
        if (report.bad_chunks > 0) {
            const laz::ChunkProblem &bad = report.first_bad;
            return fail(detail, TOLVREN_ECORRUPT, 0, path, "chunk %llu (from point %llu) %s",
                        ull(bad.spec.index), ull(bad.spec.first_point), outcome_phrase(bad.result));
        }
        if (report.table_broken) {
            return fail(detail, TOLVREN_ECORRUPT, 0, path, "%s", report.table_problem.c_str());
        }
        return TOLVREN_OK;
    } catch (const std::bad_alloc &) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "no memory for decoding the compressed points");
    } catch (...) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "an unexpected failure while decoding the compressed points");
    }
}

int scan_compressed(int fd, const tolvren_header &header, unsigned threads, tolvren_progress_fn progress,
                    void *user, const char *path, tolvren_scan &out, tolvren_detail *detail,
                    FileFindings *findings) noexcept {
    try {
        const unsigned return_bits = header.point_format >= 6 ? 4u : 3u;
        std::vector<SummaryConsumer> consumers(thread_count(threads),
                                               SummaryConsumer(header.point_record_length, return_bits));
        std::vector<laz::ChunkConsumer *> pointers;
        for (SummaryConsumer &consumer : consumers) pointers.push_back(&consumer);
        std::uint64_t region_end = 0;
        const int code = decode_compressed(fd, header, laz::LayerChoice::coordinates, pointers, progress, user, path,
                                           region_end, detail, findings);
        if (code != TOLVREN_OK && code != TOLVREN_ECORRUPT) return code;
        // Damaged chunks: the points of the others are still told.
        PointSummary summary;
        for (const SummaryConsumer &consumer : consumers) internal::merge_summary(summary, consumer.total());
        out.region_start = header.offset_to_point_data;
        out.region_end = region_end;
        out.remainder_bytes = 0;
        summary_to_scan(header, summary, out);
        return code;
    } catch (const std::bad_alloc &) {
        return fail(detail, TOLVREN_ENOMEM, 0, path, "no memory for decoding the compressed points");
    }
}

void laszip_vlr_findings(int fd, const tolvren_header &header, FileFindings &findings) {
    const laz::FileInput input(fd, header.file_size);
    const laz::VlrSearch search = laz::find_laszip_vlr(input, laz_layout(header));
    if (header.compressed) {
        const int code = finding_code(search.finding.problem);
        if (code != 0) add(&findings, TOLVREN_ERROR, code, "%s", search.finding.message.c_str());
    } else if (search.found) {
        add(&findings, TOLVREN_WARNING, TOLVREN_F_LASZIP_VLR_UNMARKED,
            "a LASzip VLR at byte %llu, but the point format byte (%u) does not mark the points compressed",
            ull(search.offset), header.point_format_byte);
    }
}

}  // namespace tolvren::las
