#!/usr/bin/env bash
# Runs a private RabbitMQ node on loopback for the tests and the demo, away from any system
# node: its own node name, ports and data folder. Usage: broker.sh start|stop|status
#   TOLVANE_BROKER_NODE       node name          (default tolvane-dev@localhost)
#   TOLVANE_BROKER_PORT       AMQP port          (default 25660)
#   TOLVANE_BROKER_DIST_PORT  distribution port  (default AMQP port + 1)
#   TOLVANE_BROKER_DIR        data folder        (default /tmp/tolvane-broker-<AMQP port>)
#   TOLVANE_BROKER_KEEP_DATA  1 keeps the node's database across start (default 0: wiped)
#   TOLVANE_BROKER_LISTEN     AMQP listen address (default 127.0.0.1; 0.0.0.0 lets other
#                             hosts in, who need a user of their own: guest is loopback-only)
#   TOLVANE_BROKER_TLS_PORT   a TLS listener's port too (default none); TOLVANE_BROKER_PORT=0
#                             then leaves the plain one out
#   TOLVANE_BROKER_TLS_CA, TOLVANE_BROKER_TLS_CERT, TOLVANE_BROKER_TLS_KEY
#                             its PEM files (copied into the data folder for the node's user)
#   TOLVANE_BROKER_TLS_VERIFY verify_none (default), verify_peer (a client certificate is
#                             checked when given) or require (one must be given)
# As root the node runs as the rabbitmq user (Debian's wrappers drop to it), so every parent
# of the data folder must be traversable by that user. Epmd is left running on purpose:
# other nodes on this machine may use it.
set -uo pipefail

NODE=${TOLVANE_BROKER_NODE:-tolvane-dev@localhost}
PORT=${TOLVANE_BROKER_PORT:-25660}
DIST_PORT=${TOLVANE_BROKER_DIST_PORT:-$((PORT + 1))}
DIR=${TOLVANE_BROKER_DIR:-/tmp/tolvane-broker-$PORT}
KEEP_DATA=${TOLVANE_BROKER_KEEP_DATA:-0}
LISTEN=${TOLVANE_BROKER_LISTEN:-127.0.0.1}
TLS_PORT=${TOLVANE_BROKER_TLS_PORT:-}
TLS_VERIFY=${TOLVANE_BROKER_TLS_VERIFY:-verify_none}
WAIT_SECONDS=60

log() { echo "broker.sh: $*" >&2; }

# Debian's /usr/sbin wrappers insist on root (and then drop to rabbitmq); anyone else runs
# the real scripts directly with their own cookie.
if [ "$(id -u)" = 0 ]; then
    BIN=/usr/sbin
else
    BIN=/usr/lib/rabbitmq/bin
fi

ctl() { "$BIN/rabbitmqctl" -q -n "$NODE" "$@"; }

# The wrappers cd to /var/lib/rabbitmq, so every path handed to the node must be absolute.
case "$DIR" in
    /*) ;;
    *) DIR=$PWD/$DIR ;;
esac

node_env() {
    export RABBITMQ_NODENAME=$NODE
    # These would override the listeners of rabbitmq.conf.
    if [ "$PORT" != 0 ]; then
        export RABBITMQ_NODE_IP_ADDRESS=$LISTEN
        export RABBITMQ_NODE_PORT=$PORT
    fi
    export RABBITMQ_DIST_PORT=$DIST_PORT
    export RABBITMQ_MNESIA_BASE=$DIR/mnesia
    export RABBITMQ_LOG_BASE=$DIR/log
    export RABBITMQ_ENABLED_PLUGINS_FILE=$DIR/enabled_plugins
    export RABBITMQ_PID_FILE=$DIR/pid
    export RABBITMQ_CONFIG_FILE=$DIR/rabbitmq.conf
    export RABBITMQ_ADVANCED_CONFIG_FILE=$DIR/advanced.config
    export RABBITMQ_CONF_ENV_FILE=$DIR/rabbitmq-env.conf
    # Distribution on loopback too; no busy-waiting schedulers on a shared machine.
    export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1} +sbwt none +sbwtdcpu none +sbwtdio none"
}

node_answers() { ctl ping >/dev/null 2>&1; }

# Kills the session the launcher started, if it is still ours.
kill_launcher() {
    local sid
    sid=$(cat "$DIR/launcher.pid" 2>/dev/null) || return 0
    [ -n "$sid" ] || return 0
    if ps -o sid= -p "$sid" 2>/dev/null | grep -qw "$sid" &&
       grep -qa "RABBITMQ_NODENAME=$NODE" "/proc/$sid/environ" 2>/dev/null; then
        log "killing the half-started node (session $sid)"
        kill -TERM -- "-$sid" 2>/dev/null
        sleep 2
        kill -KILL -- "-$sid" 2>/dev/null
    fi
    rm -f "$DIR/launcher.pid"
}

stop_node() {
    if node_answers; then
        log "stopping $NODE"
        if [ -f "$DIR/pid" ]; then
            timeout 90 "$BIN/rabbitmqctl" -q -n "$NODE" stop "$DIR/pid" >/dev/null 2>&1
        else
            timeout 90 "$BIN/rabbitmqctl" -q -n "$NODE" stop >/dev/null 2>&1
        fi
    fi
    kill_launcher
    rm -f "$DIR/pid"
    return 0
}

# The TLS listener: its files copied where the node's user can read them, and the check of
# client certificates asked for.
tls_config() {
    mkdir -p "$DIR/tls" &&
        cp "${TOLVANE_BROKER_TLS_CA:?}" "$DIR/tls/ca.pem" &&
        cp "${TOLVANE_BROKER_TLS_CERT:?}" "$DIR/tls/cert.pem" &&
        cp "${TOLVANE_BROKER_TLS_KEY:?}" "$DIR/tls/key.pem" || return 1
    local verify=$TLS_VERIFY fail=false
    if [ "$verify" = require ]; then verify=verify_peer fail=true; fi
    cat >> "$DIR/rabbitmq.conf" <<EOF
listeners.ssl.default = $LISTEN:$TLS_PORT
ssl_options.cacertfile = $DIR/tls/ca.pem
ssl_options.certfile = $DIR/tls/cert.pem
ssl_options.keyfile = $DIR/tls/key.pem
ssl_options.verify = $verify
ssl_options.fail_if_no_peer_cert = $fail
EOF
}

prepare_dir() {
    mkdir -p "$DIR" || return 1
    # A fresh database each start: the tests and the demo want no leftovers. A cluster member
    # brought back keeps its own, or it would no longer know its cluster.
    [ "$KEEP_DATA" = 1 ] || rm -rf "$DIR/mnesia"
    mkdir -p "$DIR/mnesia" "$DIR/log" || return 1
    echo '[].' > "$DIR/enabled_plugins"
    : > "$DIR/rabbitmq-env.conf"
    echo '[].' > "$DIR/advanced.config"
    # Low disk or memory alarms would block publishers and hang the tests.
    cat > "$DIR/rabbitmq.conf" <<EOF
loopback_users.guest = true
disk_free_limit.absolute = 10MB
vm_memory_high_watermark.relative = 0.8
EOF
    if [ "$PORT" = 0 ]; then
        echo "listeners.tcp = none" >> "$DIR/rabbitmq.conf"
    else
        echo "listeners.tcp.default = $LISTEN:$PORT" >> "$DIR/rabbitmq.conf"
    fi
    if [ -n "$TLS_PORT" ]; then tls_config || return 1; fi
    if [ "$(id -u)" = 0 ]; then
        chown -R rabbitmq:rabbitmq "$DIR" || return 1
        if ! su rabbitmq -s /bin/sh -c "test -w '$DIR/mnesia'"; then
            log "the rabbitmq user cannot reach $DIR (a parent folder is not traversable)"
            return 1
        fi
    fi
}

start_node() {
    stop_node
    prepare_dir || return 1
    node_env
    log "starting $NODE on $LISTEN:$PORT${TLS_PORT:+, TLS $TLS_PORT} (distribution $DIST_PORT) in $DIR"
    setsid "$BIN/rabbitmq-server" </dev/null >"$DIR/out.log" 2>&1 &
    echo $! > "$DIR/launcher.pid"
    if ! timeout $((WAIT_SECONDS + 10)) "$BIN/rabbitmqctl" -q -n "$NODE" wait "$DIR/pid" \
            --timeout "$WAIT_SECONDS" >/dev/null 2>&1 ||
       ! ctl await_startup >/dev/null 2>&1; then
        log "$NODE did not come up; tail of $DIR/out.log:"
        tail -n 30 "$DIR/out.log" >&2
        stop_node
        return 1
    fi
    log "$NODE is up"
}

case "${1:-}" in
    start) start_node ;;
    stop) stop_node ;;
    status) node_answers && echo "$NODE running" || { echo "$NODE not running"; exit 1; } ;;
    *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
