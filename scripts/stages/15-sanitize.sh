# Sanitizer stage: every C++ suite under AddressSanitizer + UndefinedBehaviorSanitizer (clang, in the
# tree the fuzz stage reuses), and the suites that run threads under ThreadSanitizer (gcc). A
# sanitizer report aborts the test that triggered it (-fno-sanitize-recover=all, halt_on_error), so
# any report fails the stage; the stage also counts the reports it finds in the test logs and prints
# the figure.
set -euo pipefail
cd "$ZENTROX_ROOT"
jobs="${ZENTROX_JOBS:-2}"
scripts/deps clang libclang-rt-14-dev
source scripts/lib/asan-build.sh

# Suites whose code runs more than one thread (capture thread, emulated kit, stress, fault matrix).
threaded_regex='^(camera|vga|usb|usb_e2e|evk|csi|stress|faultmatrix)$'

# allocator_may_return_null: a pool too large to allocate must surface as std::bad_alloc, as it does
# without a sanitizer, instead of ending the run.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1"

reports=0
status=0
run_suites() {
  local dir="$1" regex="$2"
  local args=(--test-dir "$dir" --output-on-failure -j "$jobs")
  [ -n "$regex" ] && args+=(-R "$regex")
  ctest "${args[@]}" || status=1
  # CTest keeps every test's whole output there; a report that did not fail its test still counts.
  local log="$dir/Testing/Temporary/LastTest.log" n
  if [ -f "$log" ]; then
    n=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|WARNING: ThreadSanitizer|runtime error:' "$log" || true)
    reports=$((reports + n))
  fi
}

start=$(date +%s)
asan_build
run_suites build/asan ""
echo "sanitize: asan (address,undefined; clang) built and ran in $(($(date +%s) - start)) s"

start=$(date +%s)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build/tsan -G Ninja -DZENTROX_WERROR=ON -DZENTROX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  '-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG' '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG' \
  -DZENTROX_SANITIZE=thread "${launcher[@]}" >/dev/null
# Only the suites that will run: test_<suite> for each suite name the pattern admits.
targets=()
for t in $(cmake --build build/tsan --target help | grep -oE '\btest_[a-z0-9_]+' | sort -u); do
  [[ "${t#test_}" =~ $threaded_regex ]] && targets+=("$t")
done
cmake --build build/tsan -j "$jobs" --target "${targets[@]}"
run_suites build/tsan "$threaded_regex"
echo "sanitize: tsan (thread; gcc) built and ran in $(($(date +%s) - start)) s"

echo "sanitizer reports: $reports"
[ "$reports" -eq 0 ] || status=1
exit $status
