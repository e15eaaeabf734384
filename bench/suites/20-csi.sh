#!/usr/bin/env bash
# CSI frame converters, microseconds per 240 x 180 sub-frame and the ratio to memcpy of the output.
set -euo pipefail
exec "$BENCH_BUILD/bench/bench_csi" --rounds 5 --frames 400
