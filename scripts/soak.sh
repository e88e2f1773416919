#!/usr/bin/env bash
# Soak run on demand (not in CI): scripts/soak.sh [MINUTES]   (default 10)
# Builds the server (build/), then runs scripts/soak.py: dnsperf at half the measured peak rate on
# loopback for MINUTES, mixing local answers, response-ring hits, forwarded queries, denied names
# and malformed datagrams, with list reloads every 2 s; it reports memory at start and end, queries
# answered and lost, and checks that every forward slot is free again after the load.
set -euo pipefail
minutes=${1:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target dnsserver
DNSSERVER_BIN="$root/build/src/dnsserver" DNSSERVER_BUILD_DIR="$root/build" \
  exec /usr/bin/python3 "$root/scripts/soak.py" "$minutes"
