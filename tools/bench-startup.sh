#!/usr/bin/env bash
# Start-up benchmark under Wine: time from process creation until the setup window is visible, against a
# minimal Win32 program that shows a window of the same size, with a 1 MiB and a 512 MiB bundle, in one run.
# Target: a ratio of at most 1.1 for both bundles, i.e. start-up independent of the payload size.
#
#   tools/bench-startup.sh [build dir] [rounds]
#
# The images are linked with 4096-byte file alignment so that Wine maps them lazily, as Windows does with
# any image (with the default alignment Wine would read all 512 MiB before the entry point runs). Windows
# show under Xvfb; the script starts one when DISPLAY is not set. Needs about 1.2 GiB of free disk.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$source_dir/build-bench-startup}"
rounds="${2:-31}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

# Payloads: the small bundle is five files of about 205 KiB (1 MiB in all); the large one is four of
# 128 MiB and one of 64 KiB (512 MiB in all). Random bytes, so that nothing on the way compresses them.
payloads="$build/payloads"
mkdir -p "$payloads/small" "$payloads/large"
make_payload() {   # <file> <size>
  if [ ! -f "$1" ] || [ "$(stat -c %s "$1")" -ne "$2" ]; then
    head -c "$2" /dev/urandom >"$1"
  fi
}
small_files=""
large_files=""
for id in 101 102 103 104 105; do
  make_payload "$payloads/small/payload-$id.bin" 209715
  small_files="$small_files;$payloads/small/payload-$id.bin"
  if [ "$id" = 105 ]; then size=65536; else size=134201344; fi
  make_payload "$payloads/large/payload-$id.bin" "$size"
  large_files="$large_files;$payloads/large/payload-$id.bin"
done

echo "== Building the minimal window program and the two setup images (lazy-image link flag)"
cmake -S "$source_dir/bench/startup" -B "$build" \
  -DQUORLITH_BENCH_SMALL_FILES="${small_files#;}" -DQUORLITH_BENCH_LARGE_FILES="${large_files#;}" \
  -DCMAKE_EXE_LINKER_FLAGS=-Wl,--file-alignment=4096 >/dev/null
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { tail -n 30 "$build/build.log"; exit 1; }
for image in setup_small setup_large; do
  printf '   %-16s %12d bytes\n' "$image.exe" "$(stat -c %s "$build/$image.exe")"
done

export WINEPREFIX="$build/wine"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.quorlith-ready" ]; then
  echo "== Creating the benchmark's Wine prefix (once, about 20 s)"
  "$source_dir/tests/harness/make-prefix" "$WINEPREFIX" "$WINEPREFIX" >/dev/null
fi

echo "== Time to a visible window, median of $rounds rounds after one warm-up round"
# minimal_window_imports is the yardstick with the bootstrapper's DLLs loaded: it shows how much of any gap
# is the loader's.
run=(wine "$build/bench_startup.exe" "$rounds" "$build/minimal_window.exe" "$build/minimal_window_imports.exe"
     "$build/setup_small.exe" "$build/setup_large.exe")
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1920x1080x24" "${run[@]}" | tr -d '\r'
else
  "${run[@]}" | tr -d '\r'
fi
wineserver -w
