#!/usr/bin/env bash
# End-to-end benchmark on a Release build of its own (build-bench/, home inside it) against a
# private RabbitMQ node: throughput of N pre-filled requests, then latency of M sequential
# round trips. Prints figures only. Usage: bench/run.sh [N (default 2000)] [M (default 1000)]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_BENCH_BUILD:-$ROOT/build-bench}
SANDBOX_PORT=${TOLVANE_BENCH_PORT:-25796}
SANDBOX_NODE=tolvane-bench-$SANDBOX_PORT@localhost

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
# shellcheck source=scripts/sandbox.sh
. "$ROOT/scripts/sandbox.sh"

install_packages >/dev/null
sandbox_build Release
trap sandbox_cleanup EXIT
sandbox_broker start 2>/dev/null
# Nothing answers the lookup there: it fails at once and the queue line stays as written.
sandbox_home tolvane.bench "127.0.0.1:$((SANDBOX_PORT + 2))"

bench() {
    "$BUILD/bench/tolvane-bench" --daemon "$BUILD/client/tolvane" \
        --pid-file "$BUILD/home/tolvane.pid" --port "$SANDBOX_PORT" --password guest \
        --queue tolvane.bench "$@"
}
echo "== throughput"
bench --mode throughput -n "${1:-2000}"
echo "== latency"
bench --mode latency -n "${2:-1000}"
