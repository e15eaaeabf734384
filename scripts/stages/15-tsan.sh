# The camera suite under ThreadSanitizer, then under AddressSanitizer with UndefinedBehaviorSanitizer,
# each in its own build directory. Any report fails the stage.
set -euo pipefail
cd "$ZENTROX_ROOT"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
suites=(test_camera)

run_sanitized() {
  local dir=$1 sanitize=$2
  cmake -S . -B "$dir" -G Ninja -DZENTROX_WERROR=ON -DZENTROX_BUILD_TESTS=ON -DZENTROX_SANITIZE="$sanitize" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j "$ZENTROX_JOBS" --target "${suites[@]}"
  for suite in "${suites[@]}"; do
    echo "--- $suite ($sanitize)"
    "$dir/tests/$suite" --gtest_brief=1
  done
}

# allocator_may_return_null: a pool too large to allocate must surface as std::bad_alloc, as it
# does without a sanitizer, instead of ending the run.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 allocator_may_return_null=1" \
  run_sanitized build/tsan thread
ASAN_OPTIONS="detect_leaks=1 strict_string_checks=1 detect_stack_use_after_return=1 allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1" \
  run_sanitized build/asan address,undefined
