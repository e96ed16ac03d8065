#!/usr/bin/env bash
# The setup's main job, end to end, on a machine without the runtime: builds the bootstrapper with the sample
# payloads, creates a fresh Wine prefix, and runs window mode in a Wine virtual desktop under Xvfb, followed
# by the setup driver. Prints a transcript (each status text, the packages installed, the installer's
# receipt, the exit code, leftovers) and saves a screenshot of the setup window.
#
#   bash tools/run-demo.sh                    (Debian 12 or 13, as root, from a checkout)
#   QUORLITH_DEMO_BUILD_DIR=<dir> bash tools/run-demo.sh   builds and runs in another build directory
#   QUORLITH_DEMO_KEEP_PREFIX=1 bash tools/run-demo.sh     keeps the Wine prefix (<build>/demo/prefix)
#   QUORLITH_DEMO_DPI=192 bash tools/run-demo.sh           display scaling of the prefix (192: 200 %); the
#                                                          desktop grows with it
set -eu

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QUORLITH_DEMO_BUILD_DIR:-$root/build}"
demo="$build/demo"
prefix="$demo/prefix"
started=$SECONDS

say() { printf '\n== %s\n' "$*"; }

say "Build and test tools"
bash "$root/tools/install-deps.sh" --without-validator

say "Configuring and building $build with the sample payloads"
mkdir -p "$demo"
log="$demo/build.log"
if ! { cmake -S "$root" -B "$build" -DQUORLITH_PAYLOAD_DIR= &&
       cmake --build "$build" --target QuorlithSetup quorlith_ui_driver -j2; } >"$log" 2>&1; then
  tail -n 30 "$log"
  echo "Build failed; the whole log is in $log" >&2
  exit 1
fi
setup="$build/QuorlithSetup.exe"
driver="$build/tests/ui/quorlith-ui-driver.exe"
echo "built $setup ($(stat -c %s "$setup") bytes)"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
say "Fresh Wine prefix $prefix"
wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix"
template="$build/wine/template"
if [ -f "$template/.quorlith-ready" ]; then
  # The test suite's template is made by wineboot and never used itself; a copy is a fresh prefix.
  cp -a "$template" "$prefix"
  echo "copied from the untouched template prefix $template"
else
  wineboot -i >/dev/null 2>&1
  wineserver -w
  echo "created with wineboot"
fi
if [ -e "$prefix/drive_c/Program Files/dotnet" ]; then
  echo "unexpected: the prefix already holds a .NET runtime" >&2
  exit 1
fi
echo "runtime: not installed"
# The caption buttons are glyphs of the Marlett font (fonts-wine). Wine 8 does not load the fonts of its
# own data folder, so without a copy in the prefix the close button shows the letter "r".
if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
fi
dpi="${QUORLITH_DEMO_DPI:-96}"
desktop="$((1024 * dpi / 96))x$((768 * dpi / 96))"
if [ "$dpi" != 96 ]; then
  "$root/tests/harness/set-prefix-dpi" "$prefix" "$dpi"
  echo "display scaling: $dpi DPI ($((dpi * 100 / 96)) %)"
fi

say "Window mode in a $desktop Wine virtual desktop (driver transcript: ms since start)"
transcript="$demo/transcript.txt"
png="$demo/setup-window.png"
rm -f "$transcript" "$png"
# The screenshot is taken while the runtime is installed: the window is up, with its caption, for the
# whole of that step (about a second). A new virtual desktop needs a second or so before it first paints,
# so the driver waits that long before it starts the bootstrapper; the shot itself runs in the background
# so that the transcript keeps flowing. The driver writes its lines to a file that is followed here: a
# program inside the virtual desktop does not have the shell's standard output on every Wine version.
# The run is over when the prefix's last Wine process has ended; tail polls often, for a timely screenshot.
# A first virtual desktop that opens and closes again starts Wine's services, so that the demo's desktop comes
# up in about a second; under Wine 10 the first desktop of a new prefix also never paints.
raw="$demo/driver.log"
rm -f "$raw"
xvfb-run -a -s "-screen 0 ${desktop}x24" bash -c '
  wine explorer /desktop=quorlith,"$5" cmd /c exit >/dev/null 2>&1
  wineserver -w
  { wine explorer /desktop=quorlith,"$5" "$0" --log "Z:${6//\//\\}" --wait 2000 "$1" >/dev/null 2>&1
    wineserver -w; } &
  tail -s 0.02 -n +1 -F --pid=$! "$6" 2>/dev/null | while IFS= read -r line; do
    line="${line%"$4"}"
    printf "   %s\n" "$line"
    printf "%s\n" "$line" >>"$2"
    case "$line" in
      *"label: Installing"*) { sleep 0.1; import -window root "$3" 2>/dev/null || true; } & ;;
    esac
  done
  wait' "$driver" "$setup" "$transcript" "$png" $'\r' "$desktop" "$raw"

say "Packages installed"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
  sed -n 's/^ *DisplayName *REG_SZ *//p' | sed 's/^/   /'
find "$prefix/drive_c/Program Files/dotnet" -type f 2>/dev/null | sort | sed "s|^$prefix/drive_c||; s|/|\\\\|g; s|^|   C:|"

say "Installer receipt"
receipt=$(ls "$prefix"/drive_c/users/*/AppData/Local/Quorlith-Sample/receipt.txt 2>/dev/null | head -n 1 || true)
if [ -n "$receipt" ]; then
  tr -d '\r' <"$receipt" | sed 's/^/   /'
else
  echo "   none: the installer did not run"
fi

say "Result"
exit_line=$(grep -m1 'exit code:' "$transcript" || true)
echo "   ${exit_line:-no exit code seen}"
leftovers=$(find "$prefix/drive_c/users" "$prefix/drive_c/windows/temp" -maxdepth 3 -name 'Quorlith-Setup-*' 2>/dev/null | wc -l)
echo "   staging directories left: $leftovers"
if [ -f "$png" ] && [ "$(convert "$png" -format '%[fx:mean>0.01]' info: 2>/dev/null)" = 1 ]; then
  echo "   screenshot: $png"
elif [ -f "$png" ]; then
  echo "   screenshot: $png is blank (the desktop had not painted yet)"
else
  echo "   screenshot: none (the runtime step was not seen)"
fi
echo "   took $((SECONDS - started)) s"
wineserver -k >/dev/null 2>&1 || true
# The prefix is about 700 MB; QUORLITH_DEMO_KEEP_PREFIX=1 keeps it for a look around.
if [ -z "${QUORLITH_DEMO_KEEP_PREFIX:-}" ]; then
  rm -rf "$prefix"
fi

case "$exit_line" in
  *"exit code: 0") [ -n "$receipt" ] && [ "$leftovers" -eq 0 ] ;;
  *) false ;;
esac
