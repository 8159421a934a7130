#!/usr/bin/env bash
# A long fuzz campaign: each target runs for SECONDS (default 1800) on its
# kept corpus, then the corpus is minimised (libFuzzer's merge) and written
# back to fuzz/corpus/<target>. Prints executions, coverage and findings per
# target; crash inputs stay under build/fuzz-campaign/<target>/.
#   bash scripts/fuzz-campaign.sh [SECONDS] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-1800}
shift || true

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null || exit 1

mapfile -t all < <(find build/fuzz/fuzz -type f -executable -name '*fuzz*' | sort)
targets=()
for bin in "${all[@]}"; do
  name=$(basename "$bin")
  if [ $# -eq 0 ] || printf '%s\n' "$@" | grep -qx "$name"; then targets+=("$bin"); fi
done

summary=$root/build/fuzz-campaign/summary.txt
mkdir -p "$(dirname "$summary")"
for bin in "${targets[@]}"; do
  name=$(basename "$bin")
  work=$root/build/fuzz-campaign/$name
  kept=$root/fuzz/corpus/$name
  rm -rf "$work/corpus" "$work/merged" "$work/artifacts"
  mkdir -p "$work/corpus" "$work/merged" "$work/artifacts" "$kept"
  echo "=== $name: $seconds s"
  ASAN_OPTIONS=detect_leaks=1 "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$kept" \
    >"$work/run.log" 2>&1
  status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/run.log" | grep -o '[0-9]*$')
  cov=$(grep -E '^#[0-9]+' "$work/run.log" | grep -o 'cov: [0-9]*' | tail -1 | grep -o '[0-9]*')
  ft=$(grep -E '^#[0-9]+' "$work/run.log" | grep -o 'ft: [0-9]*' | tail -1 | grep -o '[0-9]*')
  # The minimised corpus: the smallest set of inputs that keeps every feature.
  "$bin" -merge=1 -rss_limit_mb=2048 "$work/merged" "$kept" "$work/corpus" >"$work/merge.log" 2>&1
  if [ -n "$(ls -A "$work/merged")" ]; then
    find "$kept" -type f -delete
    cp "$work/merged"/* "$kept"/
  fi
  finds=$(find "$work/artifacts" -type f | wc -l)
  line="$name: exit $status, ${runs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, corpus $(ls "$kept" | wc -l) files ($(du -sk "$kept" | cut -f1) KiB), findings $finds"
  echo "$line"
  echo "$(date -u +%FT%TZ) $seconds s $line" >>"$summary"
done
