#!/usr/bin/env bash
# make demo: a one-minute show of what the plugin does.
#
# Starts qgate-server with the plugin on a free loopback port, floods it with
# empty datagrams from 50 spoofed sources while pinging it, first with the
# filter on, then after `qgat_enable 0`, then switches the filter back on and
# ends with `qgat_status`.  Every step is bounded in time; the server is
# stopped on every way out (end, error, Ctrl-C).
#
# Usage: scripts/demo.sh [BIN_DIR]   (default build/default/bin)
# QG_DEMO_RATE, QG_DEMO_SECONDS override the flood's rate and length.
set -euo pipefail

BIN=${1:-build/default/bin}
RATE=${QG_DEMO_RATE:-2000}       # empty datagrams per second
PHASE_SECONDS=${QG_DEMO_SECONDS:-10}
SOURCES=50
PING_HZ=20
TICKRATE=66

for exe in qgate-server qgate-flood; do
  if [[ ! -x $BIN/$exe ]]; then
    echo "demo: $BIN/$exe is missing; run 'make build' first" >&2
    exit 1
  fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quellgate-demo.XXXXXX")
CONSOLE=$WORK/console   # the server's stdin
LOG=$WORK/server.log    # the server's stdout and stderr
SERVER_PID=
SHOWN=0                 # bytes of the log already shown
MARK=0

if [[ -t 1 ]]; then BOLD=$'\e[1m'; DIM=$'\e[2m'; OFF=$'\e[0m'
else BOLD=; DIM=; OFF=; fi

heading() { printf '\n%s==> %s%s\n' "$BOLD" "$*" "$OFF"; }
say() { printf '    %s\n' "$@"; }

# Stops the server: `quit` on its console, then SIGTERM, then SIGKILL, each
# after a bounded wait.
cleanup() {
  if [[ -n $SERVER_PID ]] && kill -0 "$SERVER_PID" 2>/dev/null; then
    { echo quit >&3; } 2>/dev/null || true
    exec 3>&- || true
    for _ in $(seq 20); do
      kill -0 "$SERVER_PID" 2>/dev/null || break
      sleep 0.1
    done
    if kill -TERM "$SERVER_PID" 2>/dev/null; then sleep 0.5; fi
    kill -KILL "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Prints the server's output from where it was last shown up to the line
# `$1` (exclusive; the line itself is consumed), waiting up to 10 s for it.
show_server_until() {
  local marker=$1 text
  for _ in $(seq 100); do
    grep -qxF -- "$marker" "$LOG" && break
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  text=$(tail -c +$((SHOWN + 1)) "$LOG")
  SHOWN=$(stat -c %s "$LOG")
  text=${text%%"$marker"*}
  text=${text%$'\n'}
  [[ -n $text ]] && printf '%s\n' "$text" | sed "s/^/    ${DIM}server|${OFF} /"
  return 0
}

# Runs one console line on the server and shows what it printed.
console() {
  printf '    %sconsole>%s %s\n' "$BOLD" "$OFF" "$1"
  MARK=$((MARK + 1))
  printf '%s\necho demo-mark-%d\n' "$1" "$MARK" >&3
  show_server_until "demo-mark-$MARK"
}

# One flood with pings; prints the tool's summary and keeps it in
# $WORK/flood-$1.out.
flood() {
  "$BIN/qgate-flood" --target "127.0.0.1:$PORT" --sources "$SOURCES" \
    --rate "$RATE" --seconds "$PHASE_SECONDS" --ping "$PING_HZ" \
    >"$WORK/flood-$1.out"
  sed 's/^/    /' "$WORK/flood-$1.out"
  # The tool ends cleanly on Ctrl-C, so the shell does not see the signal:
  # stop here too.
  if grep -q 'stopped by signal' "$WORK/flood-$1.out"; then exit 130; fi
}

# The ping line of a flood's summary.
ping_result() {
  grep -o 'ping .*' "$WORK/flood-$1.out" || echo "no ping result"
}

heading "Quellgate demo"
say "Floods of empty UDP datagrams lag a game server: its per-tick receive" \
    "loop stops at the first 0-byte read, so everything queued behind an" \
    "empty datagram waits for the next tick.  Quellgate counts each empty" \
    "datagram and reports it as a 25-byte read, so the loop keeps draining." \
    "" \
    "At ${TICKRATE} ticks a second one tick is $((1000 / TICKRATE)) ms:" \
    "a ping answered within a tick or two is a healthy server."

heading "Starting qgate-server on a free loopback port (plugin loaded)"
mkfifo "$CONSOLE"
exec 3<>"$CONSOLE"   # held open read-write: the server never sees end of input
"$BIN/qgate-server" --port 0 --tickrate "$TICKRATE" <"$CONSOLE" >"$LOG" 2>&1 &
SERVER_PID=$!
PORT=
for _ in $(seq 100); do
  PORT=$(sed -n 's/^listening on [0-9.]*:\([0-9][0-9]*\)$/\1/p' "$LOG")
  [[ -n $PORT ]] && break
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $PORT ]]; then
  echo "demo: the server did not start:" >&2
  cat "$LOG" >&2
  exit 1
fi
MARK=$((MARK + 1))
echo "echo demo-mark-$MARK" >&3
show_server_until "demo-mark-$MARK"
console "qgat_enable"

heading "Filter ON: ${RATE} empty datagrams/s from ${SOURCES} spoofed sources" \
        "for ${PHASE_SECONDS} s, pinging at ${PING_HZ} Hz"
flood on
console "net_stats"

heading "Switching the filter off"
console "qgat_enable 0"

heading "Filter OFF: the same flood again"
say "Each tick now drains only up to the first empty datagram; the queue" \
    "grows by about $((RATE - TICKRATE)) datagrams a second and the pings" \
    "wait behind it (or are dropped when the socket's queue is full)."
flood off
console "net_stats"

heading "Switching the filter back on"
say "The next tick drains the whole backlog."
console "qgat_enable 1"
sleep 0.2
console "net_stats"

heading "qgat_status: every sender of empty datagrams, in the order first seen"
console "qgat_status"

heading "In short"
say "filter on : $(ping_result on)" "filter off: $(ping_result off)" \
    "(a ping is lost when its answer has not come 1 s after the flood ends)"
