#!/usr/bin/env bash
# Installs what the build and the tests need, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer against a scratch home, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_TEST_BUILD:-$ROOT/build-test}

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
install_packages

cmake -S "$ROOT" -B "$BUILD" \
      -DCMAKE_BUILD_TYPE=Debug \
      -DTOLVANE_SANITIZE=ON \
      -DTOLVANE_BUILD_TESTS=ON \
      -DTOLVANE_HOME="$BUILD/home" \
      -DTOLVANE_PID_FILE="$BUILD/home/tolvane.pid"
cmake --build "$BUILD" -j2
cd "$BUILD"
ctest --output-on-failure -j2 --timeout 600
