#!/usr/bin/env bash
# Runs a three-node RabbitMQ cluster on loopback for the tests, the benchmark and use by hand;
# each node is a private node of scripts/broker.sh, nodes 1 and 2 joined to node 0.
# Usage: cluster.sh start|stop|status|ports|start-node I|stop-node I   (I = 0, 1 or 2)
#   TOLVANE_CLUSTER_PORT  base port (default 25700): node I takes AMQP base+2*I and
#                         distribution base+2*I+1; its name is tolvane-c<I>-<base>@localhost
#   TOLVANE_CLUSTER_DIR   data folder (default /tmp/tolvane-cluster-<base>), one sub-folder a node
# The nodes can talk because they run as one user and so share its Erlang cookie (as root:
# the rabbitmq user's, /var/lib/rabbitmq/.erlang.cookie). start wipes every node's data;
# start-node keeps it, so a node brought back while the others run rejoins on its own (with
# all three down, only the node that stopped last can boot alone; the others wait for it).
set -uo pipefail

BASE=${TOLVANE_CLUSTER_PORT:-25700}
DIR=${TOLVANE_CLUSTER_DIR:-/tmp/tolvane-cluster-$BASE}
HERE=$(cd "$(dirname "$0")" && pwd)

log() { echo "cluster.sh: $*" >&2; }

# Same choice as broker.sh: Debian's wrappers as root, the real scripts otherwise.
if [ "$(id -u)" = 0 ]; then
    BIN=/usr/sbin
else
    BIN=/usr/lib/rabbitmq/bin
fi

node_name() { echo "tolvane-c$1-$BASE@localhost"; }
node_port() { echo $((BASE + 2 * $1)); }
ctl() { local i=$1; shift; timeout 90 "$BIN/rabbitmqctl" -q -n "$(node_name "$i")" "$@"; }

# broker I VERB [KEEP_DATA]: broker.sh on node I.
broker() {
    TOLVANE_BROKER_NODE=$(node_name "$1") TOLVANE_BROKER_PORT=$(node_port "$1") \
    TOLVANE_BROKER_DIST_PORT=$(($(node_port "$1") + 1)) TOLVANE_BROKER_DIR=$DIR/c$1 \
    TOLVANE_BROKER_KEEP_DATA=${3:-0} "$HERE/broker.sh" "$2"
}

node_up() { broker "$1" status >/dev/null 2>&1; }

# join I TARGET: node I leaves its own one-node cluster for TARGET's.
join() {
    log "joining $(node_name "$1") to $(node_name "$2")"
    ctl "$1" stop_app >/dev/null && ctl "$1" join_cluster "$(node_name "$2")" >/dev/null &&
        ctl "$1" start_app >/dev/null
}

stop_cluster() {
    local i
    for i in 2 1 0; do broker "$i" stop; done
}

# The nodes boot in parallel (most of the time is each VM's start), then join one by one.
# broker.sh stops a running node itself before wiping it, so no separate stop pass.
start_cluster() {
    local i pids=() failed=0
    mkdir -p "$DIR" || return 1
    for i in 0 1 2; do
        broker "$i" start &
        pids+=($!)
    done
    for i in "${pids[@]}"; do wait "$i" || failed=1; done
    if [ $failed = 0 ]; then
        join 1 0 && join 2 0 || failed=1
    fi
    if [ $failed = 1 ]; then
        log "the cluster did not come up"
        stop_cluster
        return 1
    fi
    for i in 0 1 2; do echo "node $(node_name "$i") port $(node_port "$i")"; done
}

# running_peer I: a running node other than I, if any.
running_peer() {
    local p
    for p in 0 1 2; do
        [ "$p" != "$1" ] && node_up "$p" && { echo "$p"; return; }
    done
}

# A node without data of its own (never started, or its folder removed) joins a running peer,
# which must first forget the member it knew under that name or it refuses the newcomer.
start_one() {
    local i=$1 peer
    if [ -d "$DIR/c$i/mnesia/$(node_name "$i")" ]; then
        broker "$i" start 1
        return
    fi
    peer=$(running_peer "$i")
    [ -z "$peer" ] || ctl "$peer" forget_cluster_node "$(node_name "$i")" >/dev/null 2>&1
    broker "$i" start || return 1
    [ -z "$peer" ] || join "$i" "$peer"
}

# Every node's state, then the cluster as the first running node sees it.
status_cluster() {
    local i rc=0 seen='' running
    for i in 0 1 2; do
        if node_up "$i"; then
            echo "node $(node_name "$i") port $(node_port "$i") running"
            [ -n "$seen" ] || seen=$i
        else
            echo "node $(node_name "$i") port $(node_port "$i") down"
            rc=1
        fi
    done
    [ -n "$seen" ] || return 1
    running=$(ctl "$seen" eval 'lists:sort(rabbit_nodes:all_running()).' | tr -d "[]'\n" | tr -s ', ' ' ')
    echo "cluster, as $(node_name "$seen") sees it: $running"
    # A node that runs but left the cluster (its data lost) counts as down too.
    [ "$(wc -w <<<"$running")" = 3 ] || rc=1
    return $rc
}

node_index() {
    case "${1:-}" in
        0|1|2) ;;
        *) echo "usage: $0 start-node|stop-node 0|1|2" >&2; exit 2 ;;
    esac
}

case "${1:-}" in
    start) start_cluster ;;
    stop) stop_cluster ;;
    status) status_cluster ;;
    ports) echo "127.0.0.1:$(node_port 0),127.0.0.1:$(node_port 1),127.0.0.1:$(node_port 2)" ;;
    start-node) node_index "${2:-}"; start_one "$2" ;;
    stop-node) node_index "${2:-}"; broker "$2" stop ;;
    *) echo "usage: $0 start|stop|status|ports|start-node I|stop-node I" >&2; exit 2 ;;
esac
