#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (coverage, AddressSanitizer, UndefinedBehavior-
# Sanitizer) in build-fuzz/ and runs each for SECONDS (default 60) on a copy of its seed corpus
# fuzz/corpus/<name>, which the run never grows. Prints the executions of each target and exits
# non-zero on any finding (crash, leak, undefined behaviour, time-out, memory limit); the input
# that caused it is kept under build-fuzz/findings/<name>/ and the report in build-fuzz/logs/.
# Usage: scripts/fuzz.sh [SECONDS]      (TOLVANE_FUZZ_BUILD moves the build folder)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
TIME_EACH=${1:-60}
BUILD=${TOLVANE_FUZZ_BUILD:-$ROOT/build-fuzz}

# libFuzzer reads a time of 0 as no limit at all.
case "$TIME_EACH" in
    ''|*[!0-9]*|0) echo "usage: $0 [SECONDS]   (SECONDS >= 1)" >&2; exit 2 ;;
esac

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
install_packages
install_fuzz_packages

cmake -S "$ROOT" -B "$BUILD" \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTOLVANE_FUZZ=ON \
      -DTOLVANE_HOME="$BUILD/home" \
      -DTOLVANE_PID_FILE="$BUILD/home/tolvane.pid" >/dev/null
cmake --build "$BUILD" -j2 --target tolvane_fuzzers

# Homes and files the targets rewrite on every input live in memory: on this disk each
# rewrite of a file waits for its old blocks, which slows a target tenfold.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    SCRATCH=$(mktemp -d /dev/shm/tolvane-fuzz.XXXXXX)
else
    SCRATCH=$(mktemp -d "$BUILD/scratch.XXXXXX")
fi
trap 'rm -rf "$SCRATCH"' EXIT
export TOLVANE_FUZZ_SCRATCH=$SCRATCH
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v llvm-symbolizer-14 || true)}

# Extra libFuzzer flags of a target: room for a few call records, words of the parameter text.
target_flags() {
    case "$1" in
        request) echo "-max_len=12300 -dict=$ROOT/fuzz/request.dict" ;;
        params) echo "-dict=$ROOT/fuzz/request.dict" ;;
        lookup) echo "-max_len=5000" ;;
    esac
}

# run_target NAME: one timed run; prints its line, returns libFuzzer's status.
run_target() {
    local name=$1 bin=$BUILD/fuzz/fuzz_$1 corpus=$BUILD/corpus/$1 log=$BUILD/logs/$1.log
    local findings=$BUILD/findings/$1 status=0 runs secs
    rm -rf "$corpus" "$findings"
    mkdir -p "$corpus" "$findings" "$BUILD/logs"
    cp "$ROOT/fuzz/corpus/$name"/* "$corpus/"
    # shellcheck disable=SC2046
    "$bin" -max_total_time="$TIME_EACH" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
           -artifact_prefix="$findings/" $(target_flags "$name") "$corpus" >"$log" 2>&1 ||
        status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
    runs=${runs:-0}
    secs=${secs:-$TIME_EACH}
    printf '  %-9s %9d execs in %3ds  %6d/s  corpus %d -> %d files\n' "$name" "$runs" \
           "$secs" $((runs / (secs > 0 ? secs : 1))) \
           "$(find "$ROOT/fuzz/corpus/$name" -type f | wc -l)" "$(find "$corpus" -type f | wc -l)"
    if [ "$status" != 0 ]; then
        echo "  FINDING in $name (status $status); input in $findings/, report in $log:"
        grep -E -m 20 'ERROR|WARNING|SUMMARY|runtime error|==[0-9]+==|Test unit written' "$log" |
            sed 's/^/    /'
    fi
    return "$status"
}

echo "== Fuzzing, ${TIME_EACH}s a target"
failed=()
for dir in "$ROOT"/fuzz/corpus/*/; do
    name=$(basename "$dir")
    [ -x "$BUILD/fuzz/fuzz_$name" ] || { echo "  no target fuzz_$name for $dir"; failed+=("$name"); continue; }
    run_target "$name" || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: findings in: ${failed[*]}"
    exit 1
fi
echo "fuzz.sh: no findings"
