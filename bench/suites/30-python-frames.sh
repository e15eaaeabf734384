#!/usr/bin/env bash
# The Python frame path through the emulated kit, with the module that the test stage installed into
# build/test-venv (scripts/test, or scripts/stages/20-python.sh). Skipped when it is not installed.
set -euo pipefail
py="$ZENTROX_ROOT/build/test-venv/bin/python"
if ! [ -x "$py" ] || ! "$py" -c "import ZentroxDepthCamera" 2>/dev/null; then
  echo "30-python-frames: the module is not installed in build/test-venv; run scripts/test first" >&2
  exit 0
fi
cd "$(mktemp -d)"
exec "$py" "$ZENTROX_ROOT/bench/python/bench_frames.py" --table 2>/dev/null
