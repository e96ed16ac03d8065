#!/usr/bin/env bash
# Benchmark of payload extraction under Wine.
#
#   tools/bench-extract.sh [build dir] [rounds]
#
# Builds a bootstrapper-like program whose payload 105 is MAX_PAYLOAD_SIZE (256 MiB) of random bytes, with
# 4096-byte file alignment so that Wine maps the image lazily as Windows does. Then, in one run, times
# ExtractPayload of that payload (hash, 64 KiB writes, flush) against a bare SHA-256 of the same bytes plus
# `cp` and `sync` of the extracted file, and prints the ratio of the two (target: at most 1.2).
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$source_dir/build-payload/bench}"
rounds="${2:-3}"
size=268435456

payloads="$build/payloads"
mkdir -p "$payloads"
for id in 101 102 103 104; do
  [ -f "$payloads/payload-$id.bin" ] || printf 'payload-%s|' "$id" > "$payloads/payload-$id.bin"
done
big="$payloads/payload-105.bin"
if [ ! -f "$big" ] || [ "$(stat -c %s "$big")" -ne "$size" ]; then
  echo "Writing a $size-byte payload"
  head -c "$size" /dev/urandom > "$big"
fi
files="$payloads/payload-101.bin;$payloads/payload-102.bin;$payloads/payload-103.bin;$payloads/payload-104.bin;$big"

cmake -S "$source_dir/bench/extract" -B "$build" -DQUORLITH_BENCH_FILES="$files" \
  -DCMAKE_EXE_LINKER_FLAGS=-Wl,--file-alignment=4096 >/dev/null
cmake --build "$build" -j2 --target bench_extract

# A prefix of the benchmark's own (created once, about 20 s).
export WINEPREFIX="$build/wine"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.quorlith-ready" ]; then
  "$source_dir/tests/harness/make-prefix" "$WINEPREFIX" "$WINEPREFIX" >/dev/null
fi
target_dir="$WINEPREFIX/drive_c/bench"
rm -rf "$target_dir"
mkdir -p "$target_dir"

out="$(wine "$build/bench_extract.exe" 'C:\bench\extracted.bin' "$rounds" | tr -d '\r')"
echo "$out"
hash=$(sed -n 's/^hash_seconds=//p' <<<"$out")
extract=$(sed -n 's/^extract_seconds=//p' <<<"$out")
cmp -s "$big" "$target_dir/extracted.bin" || { echo "the extracted file differs from the payload" >&2; exit 1; }

# The same bytes copied and made durable by the usual tools, fastest of the same number of rounds.
best_copy=""
for ((round = 1; round <= rounds; round++)); do
  rm -f "$target_dir/copy.bin"
  start=$(date +%s.%N)
  cp "$target_dir/extracted.bin" "$target_dir/copy.bin"
  sync "$target_dir/copy.bin"
  end=$(date +%s.%N)
  seconds=$(echo "$end - $start" | bc -l)
  echo "round $round: cp + sync $(printf '%.3f' "$seconds") s"
  if [ -z "$best_copy" ] || [ "$(echo "$seconds < $best_copy" | bc -l)" -eq 1 ]; then
    best_copy=$seconds
  fi
done
rm -rf "$target_dir"

ratio=$(echo "$extract / ($hash + $best_copy)" | bc -l)
printf 'extract %.3f s; hash %.3f s + cp and sync %.3f s = %.3f s; ratio %.2f (target <= 1.20)\n' \
  "$extract" "$hash" "$best_copy" "$(echo "$hash + $best_copy" | bc -l)" "$ratio"
