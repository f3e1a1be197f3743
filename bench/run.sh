#!/usr/bin/env bash
# End-to-end benchmark on a Release build of its own (build-bench/, homes inside it) against a
# private RabbitMQ node. One table: first the broker-bound ceilings (the benchmark's own ten
# threads answering on warm channels: A with publish + commit, consuming without
# acknowledgements; A with acknowledgements; confirms instead of commits; and P, one thread
# with the daemon's guarantees: acknowledgements under basic.qos, each reply confirmed
# without waiting and its request acknowledged once it is), then the daemon under each
# settings combination: replies per second over N pre-filled requests, p50/p99 of M
# sequential round trips, their ratios to A (and replies/s to P), CPU per reply of the
# responder (worker processes included) and of the broker, and peak memory.
#   --daemons K       each combination also with K daemons on the one queue
#   --backlog [COUNT] a second table: COUNT (100000) queued requests per combination, every
#                     guid counted; takes minutes
# TOLVANE_BENCH_ROWS=REGEX keeps only the combinations whose label matches it.
# TOLVANE_BENCH_BASELINE=PROGRAM adds rows for another build of the daemon (configured with
# -DTOLVANE_HOME=<build-bench>/home and the pid file in it), for before/after figures.
# Usage: bench/run.sh [--daemons K] [--backlog [COUNT]] [N (5000)] [M (1000)]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_BENCH_BUILD:-$ROOT/build-bench}
SANDBOX_PORT=${TOLVANE_BENCH_PORT:-25796}
SANDBOX_NODE=tolvane-bench-$SANDBOX_PORT@localhost
QUEUE=tolvane.bench
# The node's TLS listener, for the daemon's TLS row (its certificates in $BUILD/tls).
TLS_PORT=$((SANDBOX_PORT + 3))
METRICS_PORT=$((SANDBOX_PORT + 4))
# A collector that takes every OTLP post and keeps nothing, for the row with otlp_endpoint.
OTLP_PORT=$((SANDBOX_PORT + 5))

LEAN="settings_reload=on_change log_file=kept_open log_params=no"
# label|settings lines added to cfg/mq.conf
COMBOS=(
    "defaults|"
    "per_worker|reply_connection=per_worker"
    "per_worker+plugin_cache|reply_connection=per_worker plugin_cache=yes"
    "  the same, intake_limit=0|reply_connection=per_worker plugin_cache=yes intake_limit=0"
    "  the same, confirm|reply_connection=per_worker plugin_cache=yes reply_commit=confirm"
    "  confirm, after_reply|reply_connection=per_worker plugin_cache=yes reply_commit=confirm ack_mode=after_reply"
    "  the same, isolation=process|reply_connection=per_worker plugin_cache=yes isolation=process"
    "  the same, lean settings|reply_connection=per_worker plugin_cache=yes $LEAN"
    "  lean, confirm, after_reply|reply_connection=per_worker plugin_cache=yes reply_commit=confirm
        ack_mode=after_reply $LEAN"
    "  the same, over TLS|reply_connection=per_worker plugin_cache=yes tls=yes
        server=localhost port=$TLS_PORT tls_ca_file=$BUILD/tls/ca.pem"
    "  the same, metrics_listen|reply_connection=per_worker plugin_cache=yes
        metrics_listen=127.0.0.1:$METRICS_PORT"
    "pipelined+plugin_cache|reply_connection=pipelined plugin_cache=yes"
    "  the same, after_reply|reply_connection=pipelined plugin_cache=yes ack_mode=after_reply"
    "  after_reply, lean settings|reply_connection=pipelined plugin_cache=yes
        ack_mode=after_reply $LEAN"
    "  the same, isolation=process|reply_connection=pipelined plugin_cache=yes
        ack_mode=after_reply $LEAN isolation=process"
    "  after_reply, lean, otlp_endpoint|reply_connection=pipelined plugin_cache=yes
        ack_mode=after_reply $LEAN otlp_endpoint=http://127.0.0.1:$OTLP_PORT"
)

usage() { sed -n 's/^# Usage: //p' "$0"; }

DAEMONS=1
BACKLOG=0
COUNTS=()
while [ $# -gt 0 ]; do
    case $1 in
        --daemons) DAEMONS=${2:?--daemons needs a count}; shift 2 ;;
        --backlog)
            if [[ ${2:-} =~ ^[0-9]+$ ]]; then BACKLOG=$2; shift 2; else BACKLOG=100000; shift; fi ;;
        -h|--help) usage; exit 0 ;;
        [0-9]*) COUNTS+=("$1"); shift ;;
        *) usage >&2; exit 2 ;;
    esac
done
N=${COUNTS[0]:-5000}
M=${COUNTS[1]:-1000}

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
# shellcheck source=scripts/sandbox.sh
. "$ROOT/scripts/sandbox.sh"

home_of() { if [ "$1" = 1 ]; then echo "$BUILD/home"; else echo "$BUILD/home-$1"; fi; }

# shellcheck disable=SC2317 # run by the trap
cleanup() {
    local k pid
    for k in $(seq 2 "$DAEMONS"); do
        if pid=$(sandbox_daemon_pid "$(home_of "$k")/tolvane.pid"); then sandbox_stop_pid "$pid"; fi
    done
    sandbox_cleanup
}

# write_homes SETTINGS: every daemon's home, the combination's settings after the common ones.
# Nothing answers the lookup there: it fails at once and the queue line stays as written.
write_homes() {
    local k home
    for k in $(seq 1 "$DAEMONS"); do
        home=$(home_of "$k")
        sandbox_home "$QUEUE" "127.0.0.1:$((SANDBOX_PORT + 2))" "$home"
        # shellcheck disable=SC2086 # one line per word
        [ -z "$1" ] || printf '%s\n' $1 >>"$home/cfg/mq.conf"
    done
}

# Reads the first daemon's /metrics ten times a second until killed, far more often than a
# Prometheus would, so that a row with metrics_listen shows what serving them costs the replies.
scrape_metrics() {
    while sleep 0.1; do
        { exec 3<>"/dev/tcp/127.0.0.1/$METRICS_PORT" && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 &&
            cat <&3 >/dev/null; } 2>/dev/null
        exec 3<&-
    done
}

# The tests' OTLP receiver, keeping nothing: every post answered 200 until killed.
discard_collector() {
    exec python3 "$ROOT/tests/client/otlp_collector.py" --port "$OTLP_PORT"
}

FAILED=0
DAEMON=$BUILD/client/tolvane
bench() {
    if ! "$BUILD/bench/tolvane-bench" --port "$SANDBOX_PORT" --password guest --queue "$QUEUE" \
            --daemon "$DAEMON" --home "$BUILD/home" \
            --pid-file "$BUILD/home/tolvane.pid" --ceiling-file "$BUILD/ceiling.txt" \
            --broker-pid-file "$BUILD/broker/pid" "$@"; then
        FAILED=1
        # What a failed row left queued would make every later row refuse to start.
        /usr/sbin/rabbitmqctl -q -n "$SANDBOX_NODE" purge_queue "$QUEUE" >/dev/null 2>&1 || true
    fi
}

# rows MODE COUNT HEADER: a row per combination, one more with K daemons when asked; HEADER
# (yes|no) goes to the first.
rows() {
    local combo label header=$3
    for combo in "${COMBOS[@]}"; do
        label=${combo%%|*}
        [[ $label =~ ${TOLVANE_BENCH_ROWS:-.} ]] || continue
        write_homes "${combo#*|}"
        local companion=
        if [[ $combo == *metrics_listen* ]]; then scrape_metrics & companion=$!; fi
        if [[ $combo == *otlp_endpoint* ]]; then discard_collector & companion=$!; fi
        bench --mode "$1" -n "$2" -m "$M" --label "$label" --header "$header"
        header=no
        [ "$DAEMONS" = 1 ] ||
            bench --mode "$1" -n "$2" -m "$M" --label "$label x$DAEMONS" --daemons "$DAEMONS"
        if [ -n "$companion" ]; then kill "$companion"; wait "$companion" 2>/dev/null || true; fi
    done
}

install_packages >/dev/null
sandbox_build Release
trap cleanup EXIT
"$ROOT/scripts/tls-certs.sh" "$BUILD/tls"
TOLVANE_BROKER_TLS_PORT=$TLS_PORT TOLVANE_BROKER_TLS_CA=$BUILD/tls/ca.pem \
TOLVANE_BROKER_TLS_CERT=$BUILD/tls/broker.pem TOLVANE_BROKER_TLS_KEY=$BUILD/tls/broker.key \
    sandbox_broker start 2>/dev/null

echo "N=$N pre-filled one-record echo requests (4172 bytes, 1074-byte replies): replies/s from"
echo "first to last reply; M=$M sequential round trips; CPU of the responder over the N requests."
echo
rm -f "$BUILD/ceiling.txt"
# A node just started is still settling; an unprinted round keeps that out of the first row.
bench --mode ceiling -n 1000 -m 100 --ceiling-file /dev/null >/dev/null
bench --mode ceiling --label "A: 10 tx threads, no acks" -n "$N" -m "$M" --header yes \
    --reference A
bench --mode ceiling --label "P: 1 thread, acks, pipelined" -n "$N" -m "$M" --pipelined yes \
    --reference P
bench --mode ceiling --label "A with acks" -n "$N" -m "$M" --acks yes
bench --mode ceiling --label "10 confirm threads, no acks" -n "$N" -m "$M" --commit confirm
rows daemon "$N" no
# The requesters' libraries on the daemon's defaults: 100 in flight from one client, M sequential.
write_homes ""
bench --mode requesters -n "$N" -m "$M" --label "requester:"
if [ -n "${TOLVANE_BENCH_BASELINE:-}" ]; then
    DAEMON=$TOLVANE_BENCH_BASELINE
    for combo in "${COMBOS[@]:2:2}"; do
        write_homes "${combo#*|}"
        bench --mode daemon -n "$N" -m "$M" --label "baseline ${combo%%|*}"
    done
    DAEMON=$BUILD/client/tolvane
fi
if [ "$BACKLOG" -gt 0 ]; then
    echo
    rows backlog "$BACKLOG" yes
fi
exit "$FAILED"
