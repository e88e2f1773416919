#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test:
#   1. installs the packages (scripts/deps.sh),
#   2. builds and runs the whole suite (unit, fuzz-corpus replays, end-to-end) in a normal build,
#   3. builds and runs it again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   4. builds and runs it again under ThreadSanitizer (unit tests and the end-to-end suite, whose
#      server processes write their reports to files that are checked afterwards),
#   5. builds the fuzz targets with libFuzzer (clang) and runs each for FUZZ_SECONDS (default 20),
#   6. on CI (CI=true) or with PACKAGE_TEST=1: builds the Debian package, installs it, runs it as
#      its service unit says, queries it and removes it (scripts/package-test.sh; it installs into
#      this system and binds 127.0.0.1:53, so it is left out of a developer's run by default).
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

stage_start=$(date +%s)
stage_end() { echo "--- $1: $(( $(date +%s) - stage_start )) s"; stage_start=$(date +%s); }

echo "=== normal build ==="
bash scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
stage_end "normal build and tests"

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer build ==="
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DDNSSERVER_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
stage_end "sanitizer build and tests"

echo "=== ThreadSanitizer build ==="
bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDNSSERVER_TSAN=ON
tsan_logs=$(mktemp -d /tmp/dnsserver-tsan.XXXXXX)
# Every process (test runners and the servers the end-to-end tests start) writes its reports to
# tsan_logs; halt_on_error ends a process at its first race. Suppressions: third-party code only.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 log_path=$tsan_logs/report suppressions=$root/scripts/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" || status=1
if compgen -G "$tsan_logs/report*" >/dev/null; then
  echo "ThreadSanitizer reports:"; cat "$tsan_logs"/report*; status=1
fi
rm -rf "$tsan_logs"
stage_end "ThreadSanitizer build and tests"

echo "=== fuzz targets (libFuzzer) ==="
bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}" || status=1
stage_end "fuzzing"

if [ "${CI:-}" = true ] || [ "${PACKAGE_TEST:-}" = 1 ]; then
  echo "=== Debian package ==="
  bash scripts/package-test.sh build-package || status=1
  stage_end "package test"
fi

if [ $status = 0 ]; then echo "all stages passed"; else echo "some stage FAILED"; fi

exit $status
