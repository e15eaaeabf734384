# The libFuzzer targets of fuzz/, from the clang AddressSanitizer + UndefinedBehaviorSanitizer tree the
# sanitizer stage built (build/asan; built here if it is missing), each run for a bounded time from
# its seed corpus in fuzz/corpus/<target>/, as many at once as there are jobs. Prints the number of
# executions per target. Any crash, leak, sanitizer report or time-out fails the stage and leaves the
# input that caused it in build/asan/fuzz-artifacts/.
set -euo pipefail
cd "$ZENTROX_ROOT"
seconds="${ZENTROX_FUZZ_SECONDS:-20}"
jobs="${ZENTROX_JOBS:-2}"
scripts/deps clang libclang-rt-14-dev
source scripts/lib/asan-build.sh
asan_build

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
dir=build/asan
mkdir -p "$dir/fuzz-artifacts" "$dir/fuzz-work"

# Runs one target; its result goes to <target>.result beside its log.
fuzz_one() {
  local target="$1" seeds="fuzz/corpus/$1" work="$dir/fuzz-work/$1" log="$dir/fuzz/$1.log" result=ok
  mkdir -p "$work" "$seeds"
  # New inputs go to the scratch directory; the repository's seeds are read only.
  "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$dir/fuzz-artifacts/$target-" "$work" "$seeds" >"$log" 2>&1 || result=FAILED
  echo "$result" >"$dir/fuzz/$target.result"
}

mapfile -t targets < <(grep -v '^$' "$dir/fuzz/targets.txt")
running=0
for target in "${targets[@]}"; do
  rm -f "$dir/fuzz/$target.result"
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

status=0
total=0
for target in "${targets[@]}"; do
  log="$dir/fuzz/$target.log"
  result=$(cat "$dir/fuzz/$target.result" 2>/dev/null || echo FAILED)
  if [ "$result" != ok ]; then
    status=1
    tail -60 "$log"
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
  execs=${execs:-0}
  total=$((total + execs))
  printf 'fuzz: %-24s %10s executions in %s s  %s\n' "$target" "$execs" "$seconds" "$result"
done
echo "fuzz: $total executions over ${#targets[@]} targets"
[ "${#targets[@]}" -gt 0 ] || status=1
exit $status
