# Sourced by scripts/demo.sh and bench/run.sh: a build folder of their own whose TOLVANE_HOME
# lies inside it, a private broker node, the queue-name endpoint, and stopping all of it by
# pid. The caller sets ROOT (source tree), BUILD (build folder), SANDBOX_PORT (AMQP port; the
# node's distribution port is the next one) and SANDBOX_NODE (node name).

SANDBOX_ENDPOINT_PID=

# sandbox_build BUILD_TYPE: configures and builds everything; the output goes to $BUILD/build.log.
sandbox_build() {
    mkdir -p "$BUILD"
    if ! { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE="$1" \
                 -DTOLVANE_HOME="$BUILD/home" -DTOLVANE_PID_FILE="$BUILD/home/tolvane.pid" &&
           cmake --build "$BUILD" -j2; } >"$BUILD/build.log" 2>&1; then
        tail -n 30 "$BUILD/build.log" >&2
        echo "build failed; see $BUILD/build.log" >&2
        return 1
    fi
}

# sandbox_broker start|stop
sandbox_broker() {
    TOLVANE_BROKER_NODE=$SANDBOX_NODE TOLVANE_BROKER_PORT=$SANDBOX_PORT \
    TOLVANE_BROKER_DIST_PORT=$((SANDBOX_PORT + 1)) TOLVANE_BROKER_DIR=$BUILD/broker \
        "$ROOT/scripts/broker.sh" "$1"
}

# sandbox_endpoint BODY PORT: the queue-name endpoint, answering BODY; returns once it listens.
sandbox_endpoint() {
    rm -f "$BUILD/endpoint.port"
    python3 "$ROOT/scripts/lookup_server.py" --body "$1" --port "$2" \
        --port-file "$BUILD/endpoint.port" &
    SANDBOX_ENDPOINT_PID=$!
    local i
    for i in $(seq 100); do
        [ -s "$BUILD/endpoint.port" ] && return 0
        sleep 0.1
    done
    echo "the queue-name endpoint did not start" >&2
    return 1
}

# sandbox_home QUEUE LOOKUP_HOST [HOME]: the settings file and the sample plug-ins in HOME
# (default $BUILD/home, the built-in one).
sandbox_home() {
    local home=${3:-$BUILD/home}
    mkdir -p "$home/cfg" "$home/lib" "$home/log"
    cat >"$home/cfg/mq.conf" <<EOF
server=127.0.0.1
port=$SANDBOX_PORT
userName=guest
pwd=guest
vhost=/
queue=$1
lookup_host=$2
EOF
    cp "$BUILD"/plugins/lib*.so "$home/lib/"
}

# The daemon's pid, when the pid file (default the built-in one) names a live process of our
# build's program.
# shellcheck disable=SC2120 # bench/run.sh names the pid files of its further daemons
sandbox_daemon_pid() {
    local pid
    pid=$(tr -d '\0' 2>/dev/null <"${1:-$BUILD/home/tolvane.pid}") || return 1
    [ -n "$pid" ] && [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$BUILD/client/tolvane")" ] &&
        echo "$pid"
}

# sandbox_start_daemon: starts it and waits until the pid file names it.
sandbox_start_daemon() {
    rm -f "$BUILD/home/tolvane.pid"
    "$BUILD/client/tolvane"
    local i
    for i in $(seq 100); do
        sandbox_daemon_pid >/dev/null && return 0
        sleep 0.1
    done
    echo "the daemon did not start" >&2
    return 1
}

sandbox_stop_pid() {
    kill "$1" 2>/dev/null || return 0
    local i
    for i in $(seq 50); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
}

sandbox_cleanup() {
    local pid
    if pid=$(sandbox_daemon_pid); then sandbox_stop_pid "$pid"; fi
    if [ -n "$SANDBOX_ENDPOINT_PID" ]; then
        sandbox_stop_pid "$SANDBOX_ENDPOINT_PID"
        wait "$SANDBOX_ENDPOINT_PID" 2>/dev/null || true
    fi
    sandbox_broker stop >/dev/null 2>&1 || true
}
