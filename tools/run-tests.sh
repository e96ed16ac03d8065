#!/usr/bin/env bash
# Builds the bootstrapper with the sample payloads and runs the whole test suite under Wine, with an
# Xvfb display for the tests that show windows. Installs missing packages first (Debian 12, as root).
set -eu
cd "$(dirname "$0")/.."
build="${QUORLITH_BUILD_DIR:-build}"

bash tools/install-deps.sh
echo "== Configuring $build"
cmake -S . -B "$build" >/dev/null
echo "== Building (sample payloads, bootstrapper, test programs)"
cmake --build "$build" -j "$(nproc)"
echo "== Running the test suite under Wine"
cd "$build"
# Under load Wine now and then fails to start a process at all (ERROR_INTERNAL_ERROR from CreateProcessW):
# a test that fails is run once more, and both runs stay in the output.
xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j 2 --repeat until-pass:2
