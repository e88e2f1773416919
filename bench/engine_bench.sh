#!/bin/bash
# Measures the UDP engine against the machine's limit (a bare recvmmsg/sendmmsg responder) under
# the same load generator, dnsperf, on 127.0.0.1. Each responder runs pinned to core 1 and dnsperf
# to core 0. For each run it prints the rate, the lost queries and the responder's CPU time
# (user + system from /proc/PID/stat over the measured interval) per answered datagram; then the
# engine's ratios to the limit, a paced run of the engine below the limit's rate, and the resident
# memory of an idle started engine pair. Builds nothing.
#
# Usage: bench/engine_bench.sh [build-dir] [seconds-per-run]
set -euo pipefail

BUILD=${1:-build}
SECS=${2:-10}
LIMIT_BIN=$BUILD/bench/udp_limit_bench
ENGINE_BIN=$BUILD/bench/udp_engine_bench
for b in "$LIMIT_BIN" "$ENGINE_BIN"; do
  [ -x "$b" ] || { echo "missing $b (build the bench targets first)" >&2; exit 2; }
done
command -v dnsperf >/dev/null || { echo "dnsperf not installed" >&2; exit 2; }

TICK=$(getconf CLK_TCK)
WORK=$(mktemp -d)
SERVER_PID=
cleanup() {
  if [ -n "$SERVER_PID" ]; then kill -TERM "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

for i in $(seq 1 1000); do echo "host$i.example.com A"; done > "$WORK/queries"

cpu_ticks() {  # utime + stime of the whole process, in clock ticks
  awk '{print $14 + $15}' "/proc/$1/stat"
}

# run_load <name> <dnsperf extra args...>: loads the server in SERVER_PID / PORT and sets
# RATE, LOST, COMPLETED, CPU_US (per answered datagram).
run_load() {
  local name=$1; shift
  local out=$WORK/$name.out
  local c0 c1
  c0=$(cpu_ticks "$SERVER_PID")
  taskset -c 0 dnsperf -s 127.0.0.1 -p "$PORT" -d "$WORK/queries" -l "$SECS" -q 100 "$@" > "$out" 2>&1
  c1=$(cpu_ticks "$SERVER_PID")
  COMPLETED=$(awk '/Queries completed:/ {print $3}' "$out")
  LOST=$(awk '/Queries lost:/ {print $3}' "$out")
  RATE=$(awk '/Queries per second:/ {print $4}' "$out")
  CPU_US=$(awk -v c="$((c1 - c0))" -v t="$TICK" -v n="$COMPLETED" 'BEGIN { if (n > 0) printf "%.3f", c * 1e6 / t / n; else print "nan" }')
  printf '%-22s rate %10.0f q/s  completed %9s  lost %6s  server CPU %6.2f s  %s us/datagram\n' \
    "$name" "$RATE" "$COMPLETED" "$LOST" "$(awk -v c="$((c1 - c0))" -v t="$TICK" 'BEGIN { printf "%.2f", c / t }')" "$CPU_US"
}

start_server() {  # start_server <command...>: pinned to core 1, waits for its "ready" line
  PORT=$(free_port)
  taskset -c 1 "$@" "$PORT" > "$WORK/server.out" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 1 100); do
    grep -q ready "$WORK/server.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "server did not start: $(cat "$WORK/server.out")" >&2
  exit 1
}

stop_server() {
  kill -TERM "$SERVER_PID"
  wait "$SERVER_PID" || true
  SERVER_PID=
}

echo "dnsperf on core 0, responders on core 1, $SECS s per run, 127.0.0.1"

start_server "$LIMIT_BIN"
run_load limit
LIMIT_RATE=$RATE LIMIT_CPU=$CPU_US LIMIT_LOST=$LOST
stop_server

start_server "$ENGINE_BIN" serve
run_load engine
ENGINE_RATE=$RATE ENGINE_CPU=$CPU_US ENGINE_LOST=$LOST
PACED=$(awk -v r="$LIMIT_RATE" 'BEGIN { printf "%d", r * 0.9 }')
run_load "engine paced 90%" -Q "$PACED"
PACED_LOST=$LOST
stop_server

awk -v er="$ENGINE_RATE" -v lr="$LIMIT_RATE" -v ec="$ENGINE_CPU" -v lc="$LIMIT_CPU" 'BEGIN {
  printf "engine / limit: rate %.3f, CPU per datagram %.3f (target <= 1.25, rate within 0.95..1.05)\n", er / lr, ec / lc
}'
echo "lost: limit $LIMIT_LOST, engine $ENGINE_LOST, engine paced at $PACED q/s $PACED_LOST"

"$ENGINE_BIN" idle "$(free_port)"
