# The C++ suites, built with warnings as errors and run by CTest.
set -euo pipefail
cd "$ZENTROX_ROOT"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# The Python stage builds its module in this tree through pip; here the tree is the plain C++ one
# again (a change of these options recompiles nothing of the core).
cmake -S . -B build/test -G Ninja -DZENTROX_WERROR=ON -DZENTROX_BUILD_TESTS=ON -DZENTROX_BUILD_PYTHON=OFF \
  -U 'SKBUILD*' "${launcher[@]}" >/dev/null
cmake --build build/test -j "$ZENTROX_JOBS"
ctest --test-dir build/test --output-on-failure -j "$ZENTROX_JOBS"
# The driver as another project uses it: find_package against an install of build/test, and
# add_subdirectory of the source tree (which must add no test target).
tests/consumer/run build/test
