#!/usr/bin/env bash
# Builds the bootstrapper with the sample payloads and runs the whole test suite under Wine, with an
# Xvfb display for the tests that show windows. Installs missing packages first (Debian 12 or 13, as root).
set -eu
cd "$(dirname "$0")/.."
build="${QUORLITH_BUILD_DIR:-build}"

bash tools/install-deps.sh
echo "== Configuring $build"
cmake -S . -B "$build" >/dev/null
echo "== Building (sample payloads, bootstrapper, test programs)"
cmake --build "$build" -j "$(nproc)"
echo "== Writing the Windows test kit ($build/QuorlithTestKit, $build/QuorlithTestKit.zip)"
cmake --build "$build" --target windows-test-kit -j "$(nproc)" >/dev/null
echo "== Running the test suite under Wine"
cd "$build"
# Wine's tests one at a time: with several test programs starting at once in one prefix, Wine now and then
# starts nothing, or fails a process start (ERROR_INTERNAL_ERROR); they share the resource lock "wine". The
# host's build checks and the kit's run under Wine (prefixes and a display of its own) go on beside them.
# A test that fails all the same is run once more, and both runs stay in the output.
xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure --repeat until-pass:2 -j "$(nproc)"
