#!/usr/bin/env bash
# Installs what the build and the tests need, checks the sources' layout and naming
# (scripts/lint.sh: clang-format and clang-tidy), builds with AddressSanitizer and
# UndefinedBehaviorSanitizer against a scratch home, and runs the whole suite. Then the tests
# that run threads, built again with ThreadSanitizer (build-tsan/), and about ten seconds of
# each fuzz target (scripts/fuzz.sh), and a soak run of 100,000 replies (scripts/soak.sh).
# Every part runs even when one before it failed.
# Usage: scripts/test.sh [--tsan]      --tsan: the ThreadSanitizer part alone
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_TEST_BUILD:-$ROOT/build-test}
TSAN_BUILD=${TOLVANE_TSAN_BUILD:-$ROOT/build-tsan}
FUZZ_SECONDS=10

# The tests that run threads: the worker pool, the service log's writers, line files written
# from two threads, the hand-off of a delivery to a worker, the broker classes, and the
# running daemon (not test_cli: it counts the daemon's threads, and the checker adds one),
# its metrics thread and its TLS connections, the span exporter's thread and the requests'
# context (not test_isolation: its plug-ins crash on
# purpose, which the checker reports). Those the suite does not have (yet) are skipped. The
# broker tests get a node of their own on 25682 (the faults node on 25684), away from the main
# suite's 25672 and 25674.
TSAN_TESTS=(test_threadpool test_service_log dravik_linefile test_job_guard test_mqservice
            test_daemon test_delivery test_replies test_operator test_tls test_otlp
            test_request_context)
TSAN_AMQP_PORT=25682

# The parts run where `set -e` does not reach (they are tested with ||): each step is checked.
main_suite() {
    cmake -S "$ROOT" -B "$BUILD" \
          -DCMAKE_BUILD_TYPE=Debug \
          -DTOLVANE_SANITIZE=ON \
          -DTOLVANE_BUILD_TESTS=ON \
          -DTOLVANE_HOME="$BUILD/home" \
          -DTOLVANE_PID_FILE="$BUILD/home/tolvane.pid" || return
    cmake --build "$BUILD" -j2 || return
    (cd "$BUILD" && ctest --output-on-failure -j2 --timeout 600)
}

# Reports go to files, one per process, so that those of the daemon (which has no terminal
# once started) are seen too; any report fails the part.
tsan_suite() {
    local reports=$TSAN_BUILD/tsan-reports status=0 known tests=() t
    cmake -S "$ROOT" -B "$TSAN_BUILD" \
          -DCMAKE_BUILD_TYPE=Debug \
          -DTOLVANE_TSAN=ON \
          -DTOLVANE_BUILD_TESTS=ON \
          -DTOLVANE_HOME="$TSAN_BUILD/home" \
          -DTOLVANE_PID_FILE="$TSAN_BUILD/home/tolvane.pid" \
          -DTOLVANE_TEST_AMQP_PORT=$TSAN_AMQP_PORT \
          -DTOLVANE_TEST_DIST_PORT=$((TSAN_AMQP_PORT + 1)) >/dev/null || return
    known=$(cd "$TSAN_BUILD" && ctest -N | sed -n 's/^ *Test *#[0-9]*: //p') || return
    for t in "${TSAN_TESTS[@]}"; do
        if grep -qx "$t" <<<"$known"; then tests+=("$t"); fi
    done
    echo "== ThreadSanitizer: ${tests[*]}"
    cmake --build "$TSAN_BUILD" -j2 --target "${tests[@]}" || return
    rm -rf "$reports" && mkdir -p "$reports" || return
    (cd "$TSAN_BUILD" &&
     TSAN_OPTIONS="suppressions=$ROOT/tests/tsan.supp log_path=$reports/tsan second_deadlock_stack=1" \
         ctest -R "^($(IFS='|'; echo "${tests[*]}"))\$" --output-on-failure -j2 --timeout 900) ||
        status=1
    if [ -n "$(ls -A "$reports")" ]; then
        echo "ThreadSanitizer reports ($reports):"
        cat "$reports"/*
        status=1
    fi
    return $status
}

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
install_packages

case "${1:-}" in
    --tsan)
        tsan_suite
        exit
        ;;
    "") ;;
    *) echo "usage: $0 [--tsan]" >&2; exit 2 ;;
esac

failed=()
run_part() {
    local name=$1 start=$SECONDS
    shift
    "$@" || failed+=("$name")
    echo "test.sh: $name took $((SECONDS - start))s"
}
run_part "lint" "$ROOT/scripts/lint.sh"
run_part "main suite" main_suite
run_part "ThreadSanitizer" tsan_suite
run_part "fuzzing" "$ROOT/scripts/fuzz.sh" "$FUZZ_SECONDS"
run_part "soak" "$ROOT/scripts/soak.sh" 100000
if [ ${#failed[@]} -gt 0 ]; then
    echo "test.sh: failed: ${failed[*]}"
    exit 1
fi
echo "test.sh: lint, main suite, ThreadSanitizer, fuzzing and soak all passed"
