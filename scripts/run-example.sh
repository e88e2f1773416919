#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds dnsserver and runs it in the foreground on the example
# configuration (examples/dnscfg.ini: 127.0.0.1 port 5353, zone files in examples/domains).
# Query it from another shell:  dig @127.0.0.1 -p 5353 www.example.com
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build
exec "$root/build/src/dnsserver" -cfgfile examples/dnscfg.ini
