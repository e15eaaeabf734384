#!/usr/bin/env bash
# The emulated kit's frame production at frame rate 0: straight through its C functions and through
# the USB transport, still images and with noise, in frames per second against a plain copy.
set -euo pipefail
"$BENCH_BUILD/sdk/evk/bench_evk" 1 2>/dev/null | sed 's/_/ /g'
