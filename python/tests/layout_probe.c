/* Prints the size of every structure of tolvren_las.h and the offset and
 * size of every field, one name a line, as the C compiler lays them out;
 * the Python tests hold the ctypes mirrors against these numbers. */
#include "tolvren_las.h"

#include <stddef.h>
#include <stdio.h>

#define SIZE(type) printf(#type " %zu\n", sizeof(type))
#define FIELD(type, field) \
    printf(#type "." #field " %zu %zu\n", offsetof(type, field), sizeof(((type *)0)->field))

int main(void) {
    SIZE(tolvren_detail);
    FIELD(tolvren_detail, code);
    FIELD(tolvren_detail, sys_errno);
    FIELD(tolvren_detail, message);

    SIZE(tolvren_header);
    FIELD(tolvren_header, version_major);
    FIELD(tolvren_header, version_minor);
    FIELD(tolvren_header, file_source_id);
    FIELD(tolvren_header, global_encoding);
    FIELD(tolvren_header, guid);
    FIELD(tolvren_header, system_identifier);
    FIELD(tolvren_header, generating_software);
    FIELD(tolvren_header, creation_day);
    FIELD(tolvren_header, creation_year);
    FIELD(tolvren_header, header_size);
    FIELD(tolvren_header, offset_to_point_data);
    FIELD(tolvren_header, number_of_vlrs);
    FIELD(tolvren_header, point_format_byte);
    FIELD(tolvren_header, point_format);
    FIELD(tolvren_header, compressed);
    FIELD(tolvren_header, point_record_length);
    FIELD(tolvren_header, standard_record_length);
    FIELD(tolvren_header, extra_bytes);
    FIELD(tolvren_header, legacy_point_count);
    FIELD(tolvren_header, legacy_points_by_return);
    FIELD(tolvren_header, scale);
    FIELD(tolvren_header, offset);
    FIELD(tolvren_header, max);
    FIELD(tolvren_header, min);
    FIELD(tolvren_header, start_of_waveform_data);
    FIELD(tolvren_header, start_of_first_evlr);
    FIELD(tolvren_header, number_of_evlrs);
    FIELD(tolvren_header, point_count_64);
    FIELD(tolvren_header, points_by_return_64);
    FIELD(tolvren_header, point_count);
    FIELD(tolvren_header, points_by_return);
    FIELD(tolvren_header, file_size);
    FIELD(tolvren_header, vlr_end);
    FIELD(tolvren_header, vlr_problem);
    FIELD(tolvren_header, point_region_end);
    FIELD(tolvren_header, evlr_end);
    FIELD(tolvren_header, evlr_problem);

    SIZE(tolvren_scan);
    FIELD(tolvren_scan, region_start);
    FIELD(tolvren_scan, region_end);
    FIELD(tolvren_scan, records);
    FIELD(tolvren_scan, remainder_bytes);
    FIELD(tolvren_scan, return_histogram);
    FIELD(tolvren_scan, points_by_return);
    FIELD(tolvren_scan, raw_min);
    FIELD(tolvren_scan, raw_max);
    FIELD(tolvren_scan, real_min);
    FIELD(tolvren_scan, real_max);

    SIZE(tolvren_finding);
    FIELD(tolvren_finding, severity);
    FIELD(tolvren_finding, code);
    FIELD(tolvren_finding, message);

    SIZE(tolvren_report);
    FIELD(tolvren_report, errors);
    FIELD(tolvren_report, warnings);
    FIELD(tolvren_report, count);
    FIELD(tolvren_report, findings);

    SIZE(tolvren_change);
    FIELD(tolvren_change, field);
    FIELD(tolvren_change, index);
    FIELD(tolvren_change, is_real);
    FIELD(tolvren_change, old_count);
    FIELD(tolvren_change, new_count);
    FIELD(tolvren_change, old_real);
    FIELD(tolvren_change, new_real);

    SIZE(tolvren_repair_result);
    FIELD(tolvren_repair_result, count);
    FIELD(tolvren_repair_result, changes);
    FIELD(tolvren_repair_result, written);
    FIELD(tolvren_repair_result, scan);
    return 0;
}
