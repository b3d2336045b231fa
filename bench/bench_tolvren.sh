#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times the tolvren program with hyperfine on files in the page cache; run by
# hand, never by ctest:
#   1. `tolvren info --json -r` over 10,000 small LAS files (copies of
#      examples/sample.las, 11 KB each), with the default jobs and -j 1;
#      then over 10,000 hard links of one such file with -j 1 and -j 2,
#      which must read as fast as the copies (names of one file take turns
#      only in a repair). Target: at least 20,000 files per second.
#   2. `tolvren repair` of eight 125 MB LAS 1.2 files with -j 1 and -j 2,
#      against reading them with cat. Before each run the point count of
#      every file is spoiled, so each run scans, rewrites and syncs for real.
#      Target: repair with -j 1 within 2 times the cat.
#   3. `tolvren index -r` over 10,000 tiles of 50 m in NAD83 / UTM zone 10N
#      (4.5 KB each, made by make_sample --tiles on a grid of 100 x 100),
#      with -j 1 and -j 2, and with -j 2 drawing the map too: every tile
#      reprojected to WGS 84, the overlaps swept, the GeoJSON written to
#      /dev/null. Target: at least 10,000 files per second with -j 2.
#
#   bench/bench_tolvren.sh BUILD_DIR [SCRATCH_DIR]
#
# Needs hyperfine, jq, the tolvren and make_sample targets built, and about
# 1.4 GB free in SCRATCH_DIR (default /tmp); the files are removed at the
# end.
set -euo pipefail

if (($# < 1)); then
  echo "usage: $0 BUILD_DIR [SCRATCH_DIR]" >&2
  exit 2
fi
tolvren=$(realpath "$1/tolvren/tolvren")
make_sample=$(realpath "$1/examples/make_sample")
sample=$(realpath "$(dirname "$0")/../examples/sample.las")
for tool in hyperfine jq; do
  command -v "$tool" > /dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[[ -x $tolvren ]] || { echo "no program at $tolvren: build the tolvren target first" >&2; exit 1; }
[[ -x $make_sample ]] || { echo "no program at $make_sample: build the make_sample target first" >&2; exit 1; }

work=$(mktemp -d "${2:-/tmp}/tolvren-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
((free_kb > 1400000)) || { echo "need 1.4 GB free in $work" >&2; exit 1; }
# The commands hyperfine runs go through a shell: paths quoted for it.
q_tolvren=$(printf %q "$tolvren")
q_work=$(printf %q "$work")

small_files=10000
big_files=8
header_bytes=227  # sample.las: LAS 1.2, point format 3, 34-byte records, no VLRs
record_bytes=34
big_records=3676470  # 227 + 3676470 * 34 bytes = 125 MB

echo "== Writing $small_files small files and $big_files files of 125 MB into $work"
mkdir "$work/small" "$work/links" "$work/big"
(cd "$work/small" && seq -f "tile_%05g.las" 0 $((small_files - 1)) |
  xargs -n 1000 sh -c 'tee "$@" < "$0" > /dev/null' "$sample")
(cd "$work/links" && seq -f "tile_%05g.las" 0 $((small_files - 1)) |
  xargs -n 1 ln "$work/small/tile_00000.las")

# Big files: the sample's header, then its 320 records over and over. The
# header still says 320 points; the warm-up repair sets the real counts.
tail -c +$((header_bytes + 1)) "$sample" > "$work/records"
while (($(stat -c %s "$work/records") < big_records * record_bytes)); do
  cat "$work/records" "$work/records" > "$work/records.2"
  mv "$work/records.2" "$work/records"
done
{ head -c $header_bytes "$sample"; head -c $((big_records * record_bytes)) "$work/records"; } > "$work/big/flight_1.las"
rm "$work/records"
for i in $(seq 2 $big_files); do cp "$work/big/flight_1.las" "$work/big/flight_$i.las"; done
"$tolvren" repair "$work"/big/*.las
"$tolvren" check --scan "$work"/big/*.las

echo "== info --json over $small_files small files, then over as many hard links of one"
hyperfine --warmup 3 --runs 20 --export-json "$work/info.json" \
  "$q_tolvren info --json -r $q_work/small" \
  "$q_tolvren info --json -j 1 -r $q_work/small" \
  "$q_tolvren info --json -j 1 -r $q_work/links" \
  "$q_tolvren info --json -j 2 -r $q_work/links"
jq -r --argjson n $small_files \
  '.results[] | "\(.command | sub(".*/tolvren "; "tolvren ")): \($n / .mean | floor) files/s (mean \(.mean * 1000 | floor) ms)"' \
  "$work/info.json"

echo "== repair of $big_files files of 125 MB against cat"
# The prepare step puts back the stale count of 320 points (bytes 107-110).
spoil="for f in $q_work/big/*.las; do printf '\\x40\\x01\\x00\\x00' | dd of=\"\$f\" bs=1 seek=107 conv=notrunc status=none; done"
hyperfine --warmup 2 --runs 10 --export-json "$work/repair.json" --prepare "$spoil" \
  "cat $q_work/big/*.las" \
  "$q_tolvren repair -j 1 -r $q_work/big" \
  "$q_tolvren repair -j 2 -r $q_work/big"
jq -r '.results[0].mean as $cat | .results[] |
  "\(.command | sub(".*/tolvren "; "tolvren ") | sub("^cat .*"; "cat")): mean \(.mean * 1000 | floor) ms, \(.mean / $cat * 100 | floor / 100) x cat"' \
  "$work/repair.json"

echo "== index -r over $small_files tiles of one CRS"
mkdir "$work/tiles"
"$make_sample" --tiles "$work/tiles" 100 $((small_files / 100)) > /dev/null
hyperfine --warmup 3 --runs 20 --export-json "$work/index.json" \
  "$q_tolvren index -j 1 -r $q_work/tiles -o /dev/null" \
  "$q_tolvren index -j 2 -r $q_work/tiles -o /dev/null" \
  "$q_tolvren index -j 2 -r $q_work/tiles -o /dev/null --svg $q_work/tiles.svg"
jq -r --argjson n $small_files --arg work "$work/" \
  '.results[] | "\(.command | sub(".*/tolvren "; "tolvren ") | gsub($work; "")): \($n / .mean | floor) files/s (mean \(.mean * 1000 | floor) ms, min \(.min * 1000 | floor) ms)"' \
  "$work/index.json"
