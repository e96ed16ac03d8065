#!/usr/bin/env bash
# Benchmark report of the bootstrapper, in one run, as a table of measured values against their targets:
#
#   1. stub size: the image built with five 1-byte payloads, less those 5 bytes (target: at most 16 KiB);
#   2. "--verify-bundle" over 1 GiB of payloads against a bare SHA-256 of the same mapped bytes, both as
#      whole processes under the same Wine, fastest of [rounds] each (target: ratio at most 1.05);
#   3. growth of the private bytes of "--verify-bundle" from a 1 MiB to a 1 GiB bundle (target: < 1 MiB);
#   4. configure and build of the product with the largest bundle it takes, 5 x 256 MiB: wall time, the
#      peak of the largest build process and of the whole build, and the slowest tools.
#
#   tools/bench-report.sh [build dir] [rounds]
#
# Needs about 8 GiB of free disk below the build directory while it runs; the payloads, the large images
# and the Wine prefix are deleted at the end. Small build files stay for the next run, and the log, the
# time output and the process samples of the largest build stay in <build dir>/logs.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$source_dir/build-bench}"
rounds="${2:-3}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

max_size=268435456   # MAX_PAYLOAD_SIZE
stub_target=16384
ratio_target=1.05
growth_target=1048576

scratch="$build/scratch"       # payloads and reports; deleted at the end
logs="$build/logs"             # build log, time and process samples of the largest bundle; kept
report_build="$build/report"   # stub, 1 MiB and 1 GiB images, driver
max_build="$build/max"         # the product configured with the largest bundle; deleted at the end
export WINEPREFIX="$build/wine"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

avail=$(df -B1 --output=avail "$build" | tail -n 1)
if [ "$avail" -lt $((8 * 1024 * 1024 * 1024)) ]; then
  echo "bench-report: $(numfmt --to=iec "$avail") free below $build, 8 GiB needed" >&2
  exit 1
fi

sampler=""
cleanup() {
  if [ -n "$sampler" ]; then kill "$sampler" 2>/dev/null || true; fi
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  rm -rf "$scratch" "$max_build"
  rm -f "$report_build/report_large.exe" "$report_build/report_large.map"
  # The large image's resource object, and the archive the MinGW link rule packs all objects into first.
  find "$report_build" -type f -size +100M -delete 2>/dev/null || true
}
trap cleanup EXIT

phase() { echo "== $* ($(($(date +%s) - started)) s)"; }
winpath() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }
mib() { echo "scale=2; $1 / 1048576" | bc -l; }
# random_file <file> <bytes> [header]: random content after an optional fixed header (printf %b escapes)
random_file() {
  local file="$1" size="$2" header="${3:-}"
  : > "$file"
  if [ -n "$header" ]; then printf '%b' "$header" > "$file"; fi
  pad_file "$file" "$size"
}
pad_file() { head -c $(($2 - $(stat -c %s "$1"))) /dev/urandom >> "$1"; }

started=$(date +%s)
rm -rf "$scratch" "$max_build"
mkdir -p "$scratch/stub" "$scratch/small" "$scratch/max" "$logs"

phase "Payloads"
for id in 101 102 103 104 105; do
  printf '%x' $((id - 100)) > "$scratch/stub/payload-$id.bin"
done
for id in 101 102 103 104; do
  random_file "$scratch/small/payload-$id.bin" 262144
done
random_file "$scratch/small/payload-105.bin" 4096
# The largest bundle is built with the product's own checks, so the payloads are what they stand for: the
# sample runtime packages (which the build proves like real ones) padded with random bytes after their
# tables, and a complete x64 program for the installer, padded the same way (the padding is its overlay).
names=(dotnet-host.msi dotnet-hostfxr.msi dotnet-runtime.msi windowsdesktop-runtime.msi Quorlith-Install.exe)
for index in 0 1 2 3; do
  (cd "$source_dir/samples/runtime" && wixl -a x64 -D Release=10.0.15 -D ProductVersion=80.60.52019 \
     -D Content=marker.txt -o "$scratch/max/${names[$index]}" "${names[$index]%.msi}.wxs")
  pad_file "$scratch/max/${names[$index]}" "$max_size"
done
printf 'int main(void) { return 0; }\n' > "$scratch/installer.c"
x86_64-w64-mingw32-gcc -s -o "$scratch/max/${names[4]}" "$scratch/installer.c"
pad_file "$scratch/max/${names[4]}" "$max_size"

list() { local IFS=';'; echo "$*"; }
stub_files=$(list "$scratch"/stub/payload-10{1,2,3,4,5}.bin)
small_files=$(list "$scratch"/small/payload-10{1,2,3,4,5}.bin)
large_files=$(list "$scratch/max/${names[0]}" "$scratch/max/${names[1]}" "$scratch/max/${names[2]}" \
                   "$scratch/max/${names[3]}" "$scratch/small/payload-105.bin")

phase "Images and driver in $report_build"
cmake -S "$source_dir/bench/report" -B "$report_build" -DQUORLITH_STUB_FILES="$stub_files" \
  -DQUORLITH_SMALL_FILES="$small_files" -DQUORLITH_LARGE_FILES="$large_files" >/dev/null
cmake --build "$report_build" -j2 --target bench_report report_stub report_small report_large >/dev/null

# 1. Stub size.
stub_size=$(stat -c %s "$report_build/report_stub.exe")
stub_code=$((stub_size - 5))

phase "Wine prefix"
"$source_dir/tests/harness/make-prefix" "$WINEPREFIX" "$WINEPREFIX" >/dev/null
driver="$report_build/bench_report.exe"
report_json="$(winpath "$scratch/report.json")"

# 2. "--verify-bundle" against the bare hash.
phase "--verify-bundle over 4 x 256 MiB + 4 KiB against a bare SHA-256, best of $rounds"
compare=$(wine "$driver" compare "$rounds" "$(winpath "$report_build/report_large.exe")" "$report_json" | tr -d '\r')
echo "$compare"
verify_s=$(sed -n 's/^verify_seconds=//p' <<<"$compare")
hash_s=$(sed -n 's/^hash_seconds=//p' <<<"$compare")
grep -q '^{"passed":true,"bundleVerified":true,' "$scratch/report.json" || {
  echo "bench-report: --verify-bundle wrote no passing report" >&2; exit 1; }
ratio=$(echo "$verify_s / $hash_s" | bc -l)

# 3. Private bytes of "--verify-bundle", 1 MiB and 1 GiB bundles.
phase "Private bytes of --verify-bundle"
small_mem=$(wine "$driver" memory "$(winpath "$report_build/report_small.exe")" "$report_json" | tr -d '\r')
large_mem=$(wine "$driver" memory "$(winpath "$report_build/report_large.exe")" "$report_json" | tr -d '\r')
echo "1 MiB bundle: $(tr '\n' ' ' <<<"$small_mem")"
echo "1 GiB bundle: $(tr '\n' ' ' <<<"$large_mem")"
small_private=$(sed -n 's/^private_peak_bytes=//p' <<<"$small_mem")
large_private=$(sed -n 's/^private_peak_bytes=//p' <<<"$large_mem")
growth=$((large_private - small_private))
wineserver -k >/dev/null 2>&1 || true

# 4. Configure and build of the product with 5 x 256 MiB. /usr/bin/time gives the wall time and the peak
# of the largest single process; a sampler of the process tree adds the peak of the whole build (two jobs
# run at once) and how long each tool ran.
phase "Configure and build of the product with 5 x 256 MiB"
samples="$logs/max-samples.txt"
(
  exec /usr/bin/time -v -o "$logs/max-time.txt" bash -c '
    cmake -S "$1" -B "$2" -DQUORLITH_PAYLOAD_DIR="$3" -DBUILD_TESTING=OFF >/dev/null &&
    cmake --build "$2" -j2 --target QuorlithSetup' build "$source_dir" "$max_build" "$scratch/max"
) >"$logs/max-build.log" 2>&1 &
builder=$!
(
  while kill -0 "$builder" 2>/dev/null; do
    ps -e -o pid=,ppid=,rss=,args= | awk -v root="$builder" -v now="$(date +%s.%N)" '
      { pid[NR] = $1; ppid[NR] = $2; rss[NR] = $3
        n = split($4, path, "/"); tool = path[n]
        # cmake runs as the build driver, the configure step and the digest generator: tell them apart.
        if (tool == "cmake") {
          if ($0 ~ / --build /) tool = ""
          else if ($0 ~ / -P /) { m = split($NF, script, "/"); tool = "cmake -P " script[m] }
          else if ($0 ~ / -E /) { for (k = 5; k < NF; k++) if ($k == "-E") break; tool = "cmake -E " $(k + 1) }
          else tool = "cmake (configure)"
        } else if (tool ~ /^python/) { m = split($5, script, "/"); tool = tool " " script[m] }
        else if (tool ~ /^(bash|sh|time|make|gmake|sleep|ps|awk)$/) tool = ""
        label[NR] = tool }
      END {
        tree[root] = 1
        do { grown = 0
             for (i = 1; i <= NR; i++) if (!(pid[i] in tree) && (ppid[i] in tree)) { tree[pid[i]] = 1; grown = 1 }
        } while (grown)
        line = ""; total = 0
        for (i = 1; i <= NR; i++) if (pid[i] in tree) {
          total += rss[i]
          if (label[i] != "") { gsub(/ /, "_", label[i]); line = line " " label[i] ":" rss[i] }
        }
        print now, total line
      }'
    sleep 0.2
  done
) >"$samples" &
sampler=$!
build_status=0
wait "$builder" || build_status=$?
wait "$sampler" 2>/dev/null || true
sampler=""
build_wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$logs/max-time.txt")
build_rss_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$logs/max-time.txt")
build_wall=${build_wall:-?} build_rss_kb=${build_rss_kb:-0}
tree_peak_kb=$(awk '$2 > peak { peak = $2 } END { print peak + 0 }' "$samples")
# Per tool: seconds seen running (instances summed, so two compilers at once count twice) and its largest
# resident size.
tools=$(awk 'NR > 1 { dt = $1 - last } { last = $1 }
             NR > 1 { for (i = 3; i <= NF; i++) { split($i, f, ":"); seen[f[1]] += dt; if (f[2] > top[f[1]]) top[f[1]] = f[2] } }
             END { for (t in seen) printf "%s %.1f %.0f\n", t, seen[t], top[t] / 1024 }' "$samples" |
        sort -k2,2 -rn | head -n 8)
image="$max_build/QuorlithSetup.exe"
image_size=0
if [ "$build_status" -eq 0 ] && [ -f "$image" ]; then image_size=$(stat -c %s "$image"); fi
if [ "$build_status" -ne 0 ]; then
  echo "the build failed (status $build_status); its last lines:"
  tail -n 20 "$logs/max-build.log"
fi
echo "tools by time seen running (seconds, peak MiB):"
sed 's/^/  /' <<<"$tools"

verdict() { if [ "$1" -eq 1 ]; then echo pass; else echo FAIL; fi; }
stub_ok=$([ "$stub_code" -le "$stub_target" ] && echo 1 || echo 0)
ratio_ok=$(echo "$ratio <= $ratio_target" | bc -l)
growth_ok=$([ "$growth" -lt "$growth_target" ] && echo 1 || echo 0)
build_ok=$([ "$build_status" -eq 0 ] && [ "$image_size" -gt $((5 * max_size)) ] && echo 1 || echo 0)

slowest=$(head -n 1 <<<"$tools")
row() { printf '%-42s | %-58s | %-22s | %s\n' "$@"; }
echo
row "metric" "value" "target" "ratio / verdict"
printf '%.0s-' $(seq 1 150); echo
row "stub size (5 x 1-byte payloads)" "$stub_code B (file $stub_size B less 5 B of payload)" "<= $stub_target B" \
  "$(printf '%.3f' "$(echo "$stub_code / $stub_target" | bc -l)") $(verdict "$stub_ok")"
row "--verify-bundle, 4 x 256 MiB + 4 KiB" "$(printf '%.3f s; bare SHA-256 of the same bytes %.3f s' "$verify_s" "$hash_s")" \
  "ratio <= $ratio_target" "$(printf '%.3f' "$ratio") $(verdict "$ratio_ok")"
row "private bytes, 1 MiB -> 1 GiB bundle" \
  "peaks $(mib "$small_private") MiB -> $(mib "$large_private") MiB, growth $growth B" "growth < $growth_target B" \
  "$(printf '%.3f' "$(echo "$growth / $growth_target" | bc -l)") $(verdict "$growth_ok")"
row "configure + build, 5 x 256 MiB" \
  "$build_wall; peak $(mib $((build_rss_kb * 1024))) MiB one process, $(mib $((tree_peak_kb * 1024))) MiB all" \
  "completes (2 cores, 24 GiB)" "image $(mib "$image_size") MiB $(verdict "$build_ok")"
row "  slowest tool of that build" "$(awk '{ printf "%s: %s s, peak %s MiB", $1, $2, $3 }' <<<"$slowest")" "-" "info"
echo
echo "report took $(($(date +%s) - started)) s"
