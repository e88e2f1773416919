#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (ASan + UBSan) and runs each for a bounded time
# on a copy of its seed corpus: scripts/fuzz.sh SECONDS_PER_TARGET
# New crashing inputs are left as fuzz/crash-* files for the corpus; the run fails on any finding.
set -euo pipefail
secs=${1:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
CC=clang CXX=clang++ bash "$root/scripts/build.sh" build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDNSSERVER_FUZZ=ON
status=0
for src in "$root"/fuzz/*_fuzz.cc; do
  [ -e "$src" ] || continue
  name=$(basename "$src" .cc); short=${name%_fuzz}
  work=$(mktemp -d); mkdir -p "$work/corpus"
  [ -d "$root/fuzz/corpus/$short" ] && cp -r "$root/fuzz/corpus/$short/." "$work/corpus/" 2>/dev/null || true
  echo "--- $name for ${secs}s"
  if ! (cd "$work" && "$root/build-fuzz/fuzz/$name" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$root/fuzz/crash-$short-" corpus 2>&1 | tail -n 3); then
    echo "FINDING in $name"; status=1
  fi
  rm -rf "$work"
done
exit $status
