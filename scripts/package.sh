#!/usr/bin/env bash
# Builds the Debian package: a Release build in build-package/ whose home is /opt/tolvane
# (Debian keeps packages out of /usr/local), packed by CPack. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_PACKAGE_BUILD:-$ROOT/build-package}

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
install_packages

cmake -S "$ROOT" -B "$BUILD" \
      -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX=/usr \
      -DTOLVANE_HOME=/opt/tolvane \
      -DTOLVANE_PID_FILE=/run/tolvane/tolvane.pid
cmake --build "$BUILD" -j2
(cd "$BUILD" && cpack -G DEB)
ls "$BUILD"/tolvane_*.deb
