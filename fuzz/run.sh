#!/usr/bin/env bash
# Runs every fuzz target built in BIN_DIR for SECONDS each, JOBS at a time, on its
# seed corpus (fuzz/corpus/<target>/) plus what earlier runs found (BIN_DIR/../runs/),
# with its dictionary (fuzz/dict/<target>.dict) when it has one.
# Prints executions per second and coverage for each; exits 1 when any target found
# a crash, a sanitizer report or a broken property, with the end of its log and the
# input that did it kept under BIN_DIR/../runs/<target>/.
#
#   fuzz/run.sh BIN_DIR SECONDS [JOBS]
set -euo pipefail

bin=$(cd "$1" && pwd)
seconds=$2
jobs=${3:-1}
seeds=$(cd "$(dirname "$0")" && pwd)/corpus
runs=$(dirname "$bin")/runs

run_one() {
  local target=$1 dir="$runs/$1"
  rm -rf "$dir/log" "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*
  mkdir -p "$dir/corpus"
  local dict=()
  [ -f "$seeds/../dict/$target.dict" ] && dict=(-dict="$seeds/../dict/$target.dict")
  if ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1" \
     UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
     "$bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -max_len=4096 -print_final_stats=1 -artifact_prefix="$dir/" "${dict[@]}" \
       "$dir/corpus" "$seeds/$target" >"$dir/log" 2>&1; then
    echo ok >"$dir/result"
  else
    echo failed >"$dir/result"
  fi
}
export -f run_one
export bin seconds seeds runs

mapfile -t targets <"$bin/fuzzers.txt"
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}

failed=0
printf '%-16s %10s %8s %8s %8s  %s\n' target exec/s cov ft corpus result
for target in "${targets[@]}"; do
  dir="$runs/$target"
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$dir/log" | tail -1 || true)
  field() { sed -nE "s|.* $1: ([0-9]+).*|\\1|p" <<<"$done_line"; }
  result=$(cat "$dir/result")
  printf '%-16s %10s %8s %8s %8s  %s\n' "$target" "$(field exec/s)" "$(field cov)" \
    "$(field ft)" "$(sed -nE 's/.* corp: ([0-9]+)\/.*/\1/p' <<<"$done_line")" "$result"
  if [ "$result" != ok ]; then
    failed=$((failed + 1))
    echo "--- $target: end of $dir/log"
    tail -n 40 "$dir/log"
  fi
done
echo "fuzz targets: ${#targets[@]} run, $failed with findings"
[ "$failed" -eq 0 ]
