#!/usr/bin/env bash
# Builds the Debian package: a hardened Release build in build-package/ whose home is
# /opt/tolvane (Debian keeps packages out of /usr/local), packed by CPack. Prints the
# package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_PACKAGE_BUILD:-$ROOT/build-package}

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
install_packages

# Debian's hardening: FORTIFY, stack protector, format checks, relro, BIND_NOW (PIE is the
# compiler's default). CMake takes no CPPFLAGS, so they go with the compiler flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$ROOT" -B "$BUILD" \
      -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX=/usr \
      -DTOLVANE_HOME=/opt/tolvane \
      -DTOLVANE_PID_FILE=/run/tolvane/tolvane.pid \
      -DTOLVANE_CREATE_SETTINGS=OFF \
      -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
      -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
      -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
      -DCMAKE_MODULE_LINKER_FLAGS="$ldflags"
cmake --build "$BUILD" -j2
(cd "$BUILD" && cpack -G DEB)
ls "$BUILD"/tolvane_*.deb
