#!/usr/bin/env bash
# A longer fuzzing campaign, on demand: scripts/fuzz-campaign.sh MINUTES_PER_TARGET [TARGET...]
# (targets by short name, e.g. dns_request; default: every fuzz/*_fuzz.cc). Builds the libFuzzer
# targets (clang, ASan + UBSan), runs each in turn for the given minutes on its seed corpus plus
# what earlier campaigns found (kept in build-fuzz/campaign/<name>/, not in the repository), and
# prints one line per target: executions, executions per second, corpus size, findings.
# A crashing input is written as fuzz/crash-<name>-<hash>: reproduce it with
#   build-fuzz/fuzz/<name>_fuzz fuzz/crash-<name>-<hash>
# fix the bug, then move the file into fuzz/corpus/<name>/ so the replay test keeps it.
# Exits non-zero when any target found something.
set -euo pipefail
minutes=${1:?usage: $0 MINUTES_PER_TARGET [TARGET...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
CC=clang CXX=clang++ bash "$root/scripts/build.sh" build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDNSSERVER_FUZZ=ON

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$root"/fuzz/*_fuzz.cc; do
    [ -e "$src" ] || continue
    name=$(basename "$src" .cc); targets+=("${name%_fuzz}")
  done
fi

secs=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
summary=$(mktemp)
status=0
for short in "${targets[@]}"; do
  bin="$root/build-fuzz/fuzz/${short}_fuzz"
  [ -x "$bin" ] || { echo "no fuzz target $short" >&2; status=1; continue; }
  corpus="$root/build-fuzz/campaign/$short"
  mkdir -p "$corpus"
  [ -d "$root/fuzz/corpus/$short" ] && cp -r "$root/fuzz/corpus/$short/." "$corpus/" 2>/dev/null || true
  log="$root/build-fuzz/campaign/$short.log"
  echo "--- $short for ${secs}s (log: $log)"
  before=$(find "$root/fuzz" -maxdepth 1 -name "crash-$short-*" | wc -l)
  rc=0
  (cd "$corpus" && "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$root/fuzz/crash-$short-" "$corpus" >"$log" 2>&1) || rc=$?
  after=$(find "$root/fuzz" -maxdepth 1 -name "crash-$short-*" | wc -l)
  execs=$(awk '/stat::number_of_executed_units/ { v = $2 } END { print v }' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ { v = $2 } END { print v }' "$log")
  files=$(find "$corpus" -type f | wc -l)
  findings=$((after - before))
  if [ "$rc" -ne 0 ] || [ "$findings" -gt 0 ]; then
    status=1
    grep -m 3 -E "^==[0-9]+==ERROR|runtime error|SUMMARY" "$log" || tail -n 5 "$log" || true
  fi
  printf '%-18s executions %-12s per-second %-8s corpus %-6s findings %s\n' \
    "$short" "${execs:-?}" "${rate:-?}" "$files" "$findings" | tee -a "$summary"
done
echo "=== campaign of $minutes minute(s) per target ==="
cat "$summary"
rm -f "$summary"
exit $status
