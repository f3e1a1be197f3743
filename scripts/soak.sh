#!/usr/bin/env bash
# Soak run: the daemon on the packaged sample settings (packaging/mq.conf.sample; only the
# broker address, password, queue and lookup endpoint changed to reach a private node) answers
# REPLIES echo requests sent in batches; its resident memory (VmRSS) is printed after every
# tenth of them. Fails when that grows by more than 2 MiB over the first reading, or when any
# request is not answered exactly once (every guid counted). Release build of its own in
# build-soak/ (its home inside it), private RabbitMQ node on 127.0.0.1:25730.
# Usage: scripts/soak.sh [REPLIES (1000000)]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_SOAK_BUILD:-$ROOT/build-soak}
SANDBOX_PORT=25730
SANDBOX_NODE=tolvane-soak-$SANDBOX_PORT@localhost
# Nothing listens there: the lookup fails at once and the queue line stays as written.
LOOKUP_HOST=127.0.0.1:$((SANDBOX_PORT + 2))
QUEUE=tolvane.soak
REPLIES=${1:-1000000}
RSS_GROWTH_KB=2048

if ! [[ $REPLIES =~ ^[0-9]+$ ]] || [ "$REPLIES" -lt 10 ]; then
    sed -n 's/^# Usage: //p' "$0" >&2
    exit 2
fi

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
# shellcheck source=scripts/sandbox.sh
. "$ROOT/scripts/sandbox.sh"

# Only what the run needs: the daemon, the echo plug-in and the driver.
build() {
    mkdir -p "$BUILD"
    if ! { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release \
                 -DTOLVANE_HOME="$BUILD/home" -DTOLVANE_PID_FILE="$BUILD/home/tolvane.pid" &&
           cmake --build "$BUILD" -j2 --target tolvane plugin_echo tolvane-bench; } \
            >"$BUILD/build.log" 2>&1; then
        tail -n 30 "$BUILD/build.log" >&2
        echo "soak.sh: build failed; see $BUILD/build.log" >&2
        return 1
    fi
}

# set_key FILE KEY VALUE: the key's line replaced, or added when the file has none.
set_key() {
    if grep -q "^$2=" "$1"; then
        sed -i "s|^$2=.*|$2=$3|" "$1"
    else
        echo "$2=$3" >>"$1"
    fi
}

# The sample as the package installs it, pointed at the private node; fresh logs each run.
write_home() {
    local home=$BUILD/home conf=$BUILD/home/cfg/mq.conf
    rm -rf "$home"
    mkdir -p "$home/cfg" "$home/lib" "$home/log"
    cp "$ROOT/packaging/mq.conf.sample" "$conf"
    # A last line without its newline would swallow a key added after it.
    [ -z "$(tail -c 1 "$conf")" ] || echo >>"$conf"
    set_key "$conf" server 127.0.0.1
    set_key "$conf" port "$SANDBOX_PORT"
    set_key "$conf" pwd guest
    set_key "$conf" queue "$QUEUE"
    set_key "$conf" lookup_host "$LOOKUP_HOST"
    cp "$BUILD/plugins/libecho.so" "$home/lib/"
}

DRIVER_PID=
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    if [ -n "$DRIVER_PID" ]; then
        sandbox_stop_pid "$DRIVER_PID"
        wait "$DRIVER_PID" 2>/dev/null || true
    fi
    sandbox_cleanup
}

install_packages >/dev/null
build
write_home
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
sandbox_broker start 2>/dev/null
echo "soak.sh: settings (from packaging/mq.conf.sample):"
grep -v '^#' "$BUILD/home/cfg/mq.conf" | sed 's/^/  /'
# In the background so that a signal reaches the trap at once, not after the run.
"$BUILD/bench/tolvane-bench" --mode soak -n "$REPLIES" --rss-growth-kb "$RSS_GROWTH_KB" \
    --port "$SANDBOX_PORT" --password guest --queue "$QUEUE" \
    --daemon "$BUILD/client/tolvane" --home "$BUILD/home" --pid-file "$BUILD/home/tolvane.pid" &
DRIVER_PID=$!
status=0
wait "$DRIVER_PID" || status=$?
DRIVER_PID=
if [ "$status" != 0 ]; then
    echo "soak.sh: FAILED (service log: $BUILD/home/log/)" >&2
fi
exit "$status"
