#!/usr/bin/env bash
# Profiles the daemon under callgrind on the fastest safe settings: K queued echo requests
# (the benchmark's) answered by `valgrind --tool=callgrind tolvane --foreground`, counted from
# once the consumer runs (start-up is zeroed away), then the functions by inclusive cost.
# Same build folder, node and homes as bench/run.sh (TOLVANE_BENCH_BUILD, TOLVANE_BENCH_PORT).
# TOLVANE_PROFILE_SETTINGS replaces the settings lines added to cfg/mq.conf.
# The whole profile stays in $BUILD/callgrind.out for callgrind_annotate or kcachegrind, the
# daemon's and valgrind's messages in $BUILD/profile.log. Under --foreground (as under systemd)
# every log line is written to stderr as well; callgrind counts instructions in user space
# only, so system calls show as their libc wrappers, not as the kernel's time.
# --syscalls: the daemon under `strace -f -c` instead, for the system calls per reply that
# callgrind cannot see (start-up included).
# Usage: bench/profile.sh [--syscalls] [K (3000)] [TOP (40)]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_BENCH_BUILD:-$ROOT/build-bench}
SANDBOX_PORT=${TOLVANE_BENCH_PORT:-25796}
# shellcheck disable=SC2034 # scripts/sandbox.sh's
SANDBOX_NODE=tolvane-bench-$SANDBOX_PORT@localhost
QUEUE=tolvane.bench
SYSCALLS=no
if [ "${1:-}" = --syscalls ]; then SYSCALLS=yes; shift; fi
K=${1:-3000}
TOP=${2:-40}
SETTINGS=${TOLVANE_PROFILE_SETTINGS:-"reply_connection=pipelined plugin_cache=yes
ack_mode=after_reply settings_reload=on_change log_file=kept_open log_params=no"}
OUT=$BUILD/callgrind.out

case $K in ''|*[!0-9]*) sed -n 's/^# Usage: //p' "$0" >&2; exit 2 ;; esac
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
# shellcheck source=scripts/sandbox.sh
. "$ROOT/scripts/sandbox.sh"

ZEROER=
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    if [ -n "$ZEROER" ]; then kill "$ZEROER" 2>/dev/null || true; fi
    sandbox_cleanup
}

# Once the daemon's log says its consumer runs, zeroes the counts gathered until then.
zero_after_start() {
    local pid
    for _ in $(seq 1200); do
        if grep -qs "consumer started" "$BUILD"/home/log/main-*; then
            pid=$(tr -d '\0' <"$BUILD/home/tolvane.pid" 2>/dev/null) &&
                callgrind_control -z "$pid" >/dev/null 2>&1 && return 0
        fi
        sleep 0.1
    done
    echo "profile: start-up not zeroed; it is in the counts" >&2
}

install_packages >/dev/null
sandbox_build Release
trap cleanup EXIT
sandbox_broker start 2>/dev/null
sandbox_home "$QUEUE" "127.0.0.1:$((SANDBOX_PORT + 2))"
# shellcheck disable=SC2086 # one line per word
printf '%s\n' $SETTINGS >>"$BUILD/home/cfg/mq.conf"
rm -f "$OUT" "$OUT".* "$BUILD"/home/log/main-*

# shellcheck disable=SC2016 # the quoted lines are the child shell's
# load LABEL TOOL...: K requests answered by the daemon under TOOL, its stderr to profile.log.
load() {
    local label=$1
    shift
    "$BUILD/bench/tolvane-bench" --port "$SANDBOX_PORT" --password guest --queue "$QUEUE" \
        --broker-pid-file "$BUILD/broker/pid" --mode foreground -n "$K" --header yes \
        --label "$label" --command sh -c 'exec "$@" 2>"$0"' "$BUILD/profile.log" \
        "$@" "$BUILD/client/tolvane" --foreground
}

if [ "$SYSCALLS" = yes ]; then
    # strace ends its tracee without a summary on SIGTERM: the stop goes to the daemon.
    # shellcheck disable=SC2016 # the child shell's
    load "under strace" sh -c 'trap "kill \$(cat \"\$0\")" TERM; "$@" & wait; wait' \
        "$BUILD/home/tolvane.pid" strace -f -c -o "$BUILD/strace.txt"
    echo
    echo "settings: ${SETTINGS//$'\n'/ }"
    awk -v k="$K" 'NR <= 2 { print; next } /^[-]/ { print; next }
        { printf "%s   %.2f per reply\n", $0, $4 / k }' "$BUILD/strace.txt" | head -n "$TOP"
    exit 0
fi
zero_after_start & ZEROER=$!
load "under callgrind" valgrind --tool=callgrind --callgrind-out-file="$OUT"
wait "$ZEROER" || true
ZEROER=
echo
echo "settings: ${SETTINGS//$'\n'/ }"
callgrind_annotate --inclusive=yes "$OUT" 2>/dev/null | sed -n '1,/^Ir/d; /^--/d; p' |
    head -n "$TOP"
