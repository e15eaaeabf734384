#!/usr/bin/env bash
# VGA depth engine, microseconds per 640 x 480 frame in single and double frequency: the scalar
# reference, each vectorised conversion this CPU runs, and the engine through its C interface, with
# the ratios to the scalar reference (bench/vga_engine_bench.cpp). Figures only.
set -euo pipefail
exe="${BENCH_BUILD:-build/bench}/bench/bench_vga_engine"
if [ ! -x "$exe" ]; then
  printf 'vga engine\tn/a\tbuilt with a vendor engine\n'
  exit 0
fi
"$exe" --rounds 3 --frames 20
