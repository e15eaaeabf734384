# Sourced by the sanitizer and fuzz stages: configures and builds build/asan, the one clang tree
# with AddressSanitizer + UndefinedBehaviorSanitizer and libFuzzer's coverage instrumentation. Its
# suites run in the sanitizer stage and its fuzz targets in the fuzz stage, so the tree is compiled
# once for both. A second call finds it built and only checks that it is up to date.
# The driver's code is built at -O1 with line tables (what the sanitizers' reports need); the test
# sources add their own flags (tests/CMakeLists.txt).
asan_build() {
  local jobs="${ZENTROX_JOBS:-2}" launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B build/asan -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo '-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG' \
    '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG' \
    -DZENTROX_WERROR=ON -DZENTROX_BUILD_TESTS=ON -DZENTROX_BUILD_FUZZ=ON -DZENTROX_SANITIZE=address,undefined \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link "${launcher[@]}" >/dev/null
  cmake --build build/asan -j "$jobs"
}
