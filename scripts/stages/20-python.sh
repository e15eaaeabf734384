# The Python module and the zentrox-depth command: built and installed with pip into a virtual
# environment (the way users install it), then the pytest suites run against that installation.
set -euo pipefail
cd "$ZENTROX_ROOT"
# The viewer's browser tests drive Debian's chromium headless through its chromedriver.
scripts/deps chromium chromium-driver
venv=build/test-venv
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
py="$venv/bin/python"
# The build runs without isolation so that build/python-wheel is reused between runs; its
# requirements are those of pyproject.toml.
# mypy: the tests type-check the README's example and run stubtest against the installed module.
# selenium: the viewer's browser tests (aiohttp, the viewer's server, comes with the package).
"$py" -m pip install --quiet 'scikit-build-core>=0.11' 'pybind11>=2.12,<3' numpy pytest mypy plyfile \
  'selenium>=4.10' 'aiohttp>=3.9'
# The MCAP writer libraries (the package's "mcap" extra) and the independent readers the recording
# tests check MCAP files with.
"$py" -m pip install --quiet 'mcap>=1.6' 'mcap-ros2-support>=0.5' 'rosbags>=0.10'
# The module is built in the C++ stage's tree, with its build type and options, so that the core it
# links is the one that stage compiled and tested and only the modules' own sources compile here (a
# user's pip install builds a Release tree of its own). It compiles with the stage's job count.
export CMAKE_BUILD_PARALLEL_LEVEL="${ZENTROX_JOBS:-2}"
"$py" -m pip install --quiet --no-build-isolation \
  -Cbuild-dir=build/test -Ccmake.build-type=RelWithDebInfo -Ccmake.define.ZENTROX_WERROR=ON \
  -Ccmake.define.ZENTROX_BUILD_TESTS=ON '-Cbuild.targets=ZentroxDepthCamera;zentrox_depth_native' .
# Run from the tests folder so that the installed module, not the source tree, is imported, with
# the environment's console scripts (zentrox-depth) on the path.
export PATH="$ZENTROX_ROOT/$venv/bin:$PATH"
cd tests/python
set +e
"$ZENTROX_ROOT/$py" -m pytest -q -p no:cacheprovider --durations=10
status=$?
set -e
if [ $status -eq 5 ]; then
  echo "20-python: pytest collected no tests" >&2
  exit 1
fi
exit $status
