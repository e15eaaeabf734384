# The libFuzzer targets of fuzz/, built with clang under AddressSanitizer + UndefinedBehaviorSanitizer
# and run for a bounded time each from the seed corpora in fuzz/corpus/<target>/. Prints the number
# of executions per target. Any crash, leak, sanitizer report or time-out fails the stage and leaves
# the input that caused it in build/fuzz/artifacts/.
set -euo pipefail
cd "$ZENTROX_ROOT"
seconds="${ZENTROX_FUZZ_SECONDS:-20}"
jobs="${ZENTROX_JOBS:-2}"
scripts/deps clang libclang-rt-14-dev
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
dir=build/fuzz
# The project is built with coverage instrumentation for libFuzzer; only the fuzz targets are linked.
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTROX_BUILD_FUZZ=ON -DZENTROX_BUILD_TESTS=ON \
  -DZENTROX_SANITIZE=address,undefined -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$jobs" --target zentrox_fuzz

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$dir/artifacts" "$dir/work"
status=0
total=0
summary=()
while read -r target; do
  [ -n "$target" ] || continue
  seeds="fuzz/corpus/$target"
  work="$dir/work/$target"
  mkdir -p "$work" "$seeds"
  log="$dir/$target.log"
  # New inputs go to the scratch directory; the repository's seeds are read only.
  if "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$dir/artifacts/$target-" "$work" "$seeds" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -60 "$log"
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  execs=${execs:-0}
  total=$((total + execs))
  summary+=("$(printf 'fuzz: %-24s %10s executions in %s s  %s' "$target" "$execs" "$seconds" "$result")")
done <"$dir/fuzz/targets.txt"
printf '%s\n' "${summary[@]}"
echo "fuzz: $total executions over ${#summary[@]} targets"
exit $status
