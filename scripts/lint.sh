#!/usr/bin/env bash
# Checks every tracked C++ source against the house convention (CONTRIBUTING.md): the layout
# with clang-format (.clang-format), the naming and the bug-prone and slow patterns with
# clang-tidy (.clang-tidy). Exits non-zero on any finding; `clang-format -i FILE` fixes layout.
# clang-tidy reads the compile commands of build-lint/ (TOLVANE_LINT_BUILD moves it), a folder
# that is only configured, with clang and the tests and fuzz targets on so every file is in it.
# Usage: scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_LINT_BUILD:-$ROOT/build-lint}

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
install_packages
install_lint_packages

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
mapfile -t units < <(git ls-files '*.cpp')
status=0

echo "== clang-format: ${#sources[@]} files"
clang-format --dry-run -Werror "${sources[@]}" || status=1

# Configuring writes the generated paths.h the sources include; nothing is built.
cmake -S "$ROOT" -B "$BUILD" \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
      -DTOLVANE_BUILD_TESTS=ON \
      -DTOLVANE_FUZZ=ON \
      -DTOLVANE_HOME="$BUILD/home" \
      -DTOLVANE_PID_FILE="$BUILD/home/tolvane.pid" >/dev/null
# The test plug-ins keep gcc's -fno-gnu-unique, which clang does not know (nor needs).
sed -i 's/ -fno-gnu-unique//g' "$BUILD/compile_commands.json"

# Two at a time: clang-tidy on a test file takes a core for several seconds. Only the
# "N warnings generated" counts of the system headers are dropped from what it says.
echo "== clang-tidy: ${#units[@]} files"
if ! printf '%s\n' "${units[@]}" |
        xargs -P2 -n4 clang-tidy -p "$BUILD" --quiet 2>&1 |
        { grep -v '^[0-9]* warnings\? generated\.$' || true; }; then
    status=1
fi

if [ $status -ne 0 ]; then
    echo "lint.sh: findings above (CONTRIBUTING.md says how to fix or mark them)"
    exit 1
fi
echo "lint.sh: clang-format and clang-tidy found nothing"
