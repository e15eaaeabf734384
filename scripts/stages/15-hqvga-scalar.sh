# The HQVGA suites in a build without SLEEF: the scalar conversion alone must serve, and dispatch must
# say so. Builds only what those suites need.
set -euo pipefail
cd "$ZENTROX_ROOT"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build/test-scalar -G Ninja -DZENTROX_WERROR=ON -DZENTROX_BUILD_TESTS=ON -DZENTROX_USE_SLEEF=OFF \
  "${launcher[@]}" >/dev/null
cmake --build build/test-scalar -j "$ZENTROX_JOBS" --target test_hqvga test_hqvga_simd
ctest --test-dir build/test-scalar --output-on-failure -R '^hqvga'
