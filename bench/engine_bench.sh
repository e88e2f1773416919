#!/bin/bash
# Measures the UDP engine against the machine's limit (a bare recvmmsg/sendmmsg responder) under
# the same load generator, dnsperf, on 127.0.0.1. Each responder runs pinned to core 1 and dnsperf
# to core 0. For each run it prints the rate, the lost queries and the responder's CPU time
# (user + system from /proc/PID/stat over the measured interval) per answered datagram; then the
# engine's ratios to the limit, a paced run of the engine below the limit's rate, and the resident
# memory of an idle started engine pair. The two responders take turns for a number of rounds so
# that other load on the machine falls on both alike; the figures compared are over all rounds.
# Builds nothing.
#
# Usage: bench/engine_bench.sh [build-dir] [seconds-per-run] [rounds]
set -euo pipefail

BUILD=${1:-build}
SECS=${2:-5}
ROUNDS=${3:-4}
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
# RATE, LOST, COMPLETED, TICKS (server CPU) and CPU_US (per answered datagram).
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
  TICKS=$((c1 - c0))
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

echo "dnsperf on core 0, responders on core 1, $SECS s per run, $ROUNDS rounds, 127.0.0.1"

# Totals per responder: completed queries, server ticks, sum of rates, lost queries.
declare -A DONE TICKSUM RATESUM LOSTSUM
for who in limit engine; do DONE[$who]=0; TICKSUM[$who]=0; RATESUM[$who]=0; LOSTSUM[$who]=0; done
add_totals() {
  DONE[$1]=$((DONE[$1] + COMPLETED)); TICKSUM[$1]=$((TICKSUM[$1] + TICKS)); LOSTSUM[$1]=$((LOSTSUM[$1] + LOST))
  RATESUM[$1]=$(awk -v a="${RATESUM[$1]}" -v b="$RATE" 'BEGIN { printf "%.1f", a + b }')
}

for round in $(seq 1 "$ROUNDS"); do
  start_server "$LIMIT_BIN"
  run_load "limit ($round)"
  add_totals limit
  stop_server

  start_server "$ENGINE_BIN" serve
  run_load "engine ($round)"
  add_totals engine
  stop_server
done

summary() {  # summary <who>: average rate, CPU per datagram over all rounds
  awk -v r="${RATESUM[$1]}" -v n="$ROUNDS" -v t="${TICKSUM[$1]}" -v d="${DONE[$1]}" -v hz="$TICK" \
    'BEGIN { printf "%.0f %.3f", r / n, t * 1e6 / hz / d }'
}
read -r LIMIT_RATE LIMIT_CPU <<< "$(summary limit)"
read -r ENGINE_RATE ENGINE_CPU <<< "$(summary engine)"
printf 'all rounds: limit  rate %10.0f q/s  %s us/datagram  lost %s\n' "$LIMIT_RATE" "$LIMIT_CPU" "${LOSTSUM[limit]}"
printf 'all rounds: engine rate %10.0f q/s  %s us/datagram  lost %s\n' "$ENGINE_RATE" "$ENGINE_CPU" "${LOSTSUM[engine]}"
awk -v er="$ENGINE_RATE" -v lr="$LIMIT_RATE" -v ec="$ENGINE_CPU" -v lc="$LIMIT_CPU" 'BEGIN {
  printf "engine / limit: rate %.3f, CPU per datagram %.3f (targets: rate 0.95..1.05, CPU <= 1.25)\n", er / lr, ec / lc
}'

# Below the limit's rate nothing may be lost.
start_server "$ENGINE_BIN" serve
PACED=$(awk -v r="$LIMIT_RATE" 'BEGIN { printf "%d", r * 0.9 }')
run_load "engine paced 90%" -Q "$PACED"
stop_server
echo "lost by the engine paced at $PACED q/s: $LOST"

"$ENGINE_BIN" idle "$(free_port)"
