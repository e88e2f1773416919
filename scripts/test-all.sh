#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test:
#   1. installs the packages (scripts/deps.sh),
#   2. builds and runs the whole suite (unit, fuzz-corpus replays, end-to-end) in a normal build,
#   3. builds and runs it again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   4. builds the fuzz targets with libFuzzer (clang) and runs each for FUZZ_SECONDS (default 20).
# A private MariaDB instance is started for the database tests and stopped at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh

dbdir=$(mktemp -d /tmp/dnsserver-mariadb.XXXXXX)
cleanup() { bash "$root/scripts/mariadb.sh" stop "$dbdir" || true; }
trap cleanup EXIT
bash scripts/mariadb.sh start "$dbdir"
# shellcheck disable=SC1091
source "$dbdir/env"

jobs=$(nproc)
status=0

echo "=== normal build ==="
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs" || status=1

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer build ==="
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DDNSSERVER_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1

echo "=== fuzz targets (libFuzzer) ==="
bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}" || status=1

exit $status
