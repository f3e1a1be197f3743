#!/usr/bin/env bash
# One command to see tolvane at work, on a fresh Debian 12 machine as root: installs what is
# missing, builds into build-demo/ (its home is build-demo/home), starts a private RabbitMQ
# node and the queue-name endpoint, starts the daemon, sends a few calls with tolvane-call,
# prints each reply and what the daemon logged, and stops everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${TOLVANE_DEMO_BUILD:-$ROOT/build-demo}
SANDBOX_PORT=${TOLVANE_DEMO_PORT:-25790}
SANDBOX_NODE=tolvane-demo-$SANDBOX_PORT@localhost
LOOKUP_PORT=$((SANDBOX_PORT + 2))
QUEUE=tolvane.demo

# shellcheck source=scripts/packages.sh
. "$ROOT/scripts/packages.sh"
# shellcheck source=scripts/sandbox.sh
. "$ROOT/scripts/sandbox.sh"

step() { printf '\n== %s\n' "$*"; }

# Status 4 is a reply that tells a failed call, which the demo shows too.
call() {
    local status=0
    printf '$ tolvane-call %s\n' "$*"
    "$BUILD/tools/tolvane-call" --port "$SANDBOX_PORT" --password guest --queue "$QUEUE" \
        --platform tolvane.demo.replies --timeout 30 "$@" | sed 's/^/  reply: /' || status=$?
    [ "$status" -eq 0 ] || [ "$status" -eq 4 ]
}

step "Installing missing packages"
install_packages >/dev/null
step "Building into $BUILD (log: $BUILD/build.log)"
sandbox_build Release

trap sandbox_cleanup EXIT
step "Starting a private RabbitMQ node on 127.0.0.1:$SANDBOX_PORT"
sandbox_broker start 2>/dev/null
"$BUILD/tools/tolvane-call" --port "$SANDBOX_PORT" --password guest --queue "$QUEUE" --declare-queue
step "Starting the queue-name endpoint on 127.0.0.1:$LOOKUP_PORT; it answers \"$QUEUE\""
sandbox_endpoint "$QUEUE" "$LOOKUP_PORT"
sandbox_home "not.looked.up.yet" "127.0.0.1:$LOOKUP_PORT"
sed 's/^/  /' "$BUILD/home/cfg/mq.conf"

LOG="$BUILD/home/log/main-$(date +%F).log"
SEEN=0
[ -f "$LOG" ] && SEEN=$(wc -l <"$LOG")
step "Starting the daemon"
sandbox_start_daemon
echo "  pid $(sandbox_daemon_pid)"

step "A plain call"
call comtype=echo nfunc=echo greeting=hello
echo "  (the lookup had stored $(grep '^queue=' "$BUILD/home/cfg/mq.conf") in the settings)"
step "A chain of two call records (the second runs because the first answered \"10000:...\")"
call comtype=echo nfunc=echo step=1 -- comtype=echo nfunc=echo step=2
step "A failing call (the plug-in throws)"
call comtype=echo nfunc=boom
step "A call to a plug-in that does not exist"
call comtype=nosuch nfunc=anything

sleep 0.5
step "What the daemon logged ($LOG)"
tail -n +"$((SEEN + 1))" "$LOG" | tr -d '\r' | sed 's/^/  /'

step "Stopping the daemon, the endpoint and the broker node"
sandbox_cleanup
trap - EXIT
echo "  done"
