# Sanitizer stage: ASan+UBSan and TSan builds of the C++ suites.
# Every C++ suite under AddressSanitizer + UndefinedBehaviorSanitizer, and the suites that run
# threads under ThreadSanitizer. A sanitizer report aborts the test that triggered it
# (-fno-sanitize-recover=all, halt_on_error), so any report fails the stage; the stage also counts
# the reports it finds in the test logs and prints the figure.
set -euo pipefail
cd "$ZENTROX_ROOT"
jobs="${ZENTROX_JOBS:-2}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

# Suites whose code runs more than one thread (capture thread, emulated kit, stress, fault matrix).
threaded_regex='^(camera|vga|usb|usb_e2e|evk|csi|stress|faultmatrix)$'

# allocator_may_return_null: a pool too large to allocate must surface as std::bad_alloc, as it does
# without a sanitizer, instead of ending the run.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1"

reports=0
status=0
count_reports() {
  local log="$1" n
  n=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|WARNING: ThreadSanitizer|runtime error:' "$log" || true)
  reports=$((reports + n))
}

run_build() {
  local name="$1" sanitize="$2" regex="$3"
  local dir="build/$name"
  local start=$(date +%s)
  cmake -S . -B "$dir" -G Ninja -DZENTROX_WERROR=ON -DZENTROX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENTROX_SANITIZE="$sanitize" "${launcher[@]}" >/dev/null
  if [ -n "$regex" ]; then
    # Only the suites that will run: test_<suite> for each suite name the pattern admits.
    local targets=()
    for t in $(cmake --build "$dir" --target help | grep -oE '\btest_[a-z0-9_]+' | sort -u); do
      [[ "${t#test_}" =~ $regex ]] && targets+=("$t")
    done
    if [ ${#targets[@]} -eq 0 ]; then
      echo "sanitize: no suite matches $regex"
      return 0
    fi
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$jobs"
  fi
  local args=(--test-dir "$dir" --output-on-failure -j "$jobs")
  [ -n "$regex" ] && args+=(-R "$regex")
  ctest "${args[@]}" || status=1
  # CTest keeps every test's whole output there; a report that did not fail its test still counts.
  [ -f "$dir/Testing/Temporary/LastTest.log" ] && count_reports "$dir/Testing/Temporary/LastTest.log"
  echo "sanitize: $name ($sanitize) built and ran in $(( $(date +%s) - start )) s"
}

run_build asan address,undefined ""
run_build tsan thread "$threaded_regex"
echo "sanitizer reports: $reports"
[ "$reports" -eq 0 ] || status=1
exit $status
