#!/usr/bin/env bash
# Builds zip32_fuzz with clang in its own build folder and runs it for a bounded time, seeded
# from the shared corpus of archives other tools wrote.
# usage: libs/zip32/fuzz/run.sh [seconds]        (default 60)
set -euo pipefail
cd "$(dirname "$0")/../../.."

seconds="${1:-60}"
build=build/zip-fuzz-clang
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPARVEX_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target zip32_fuzz

work="$build/zip32-corpus"  # libFuzzer adds what it finds here; the shared corpus stays as is
mkdir -p "$work"
"$build/bin/zip32_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/" \
  "$work" ../shared/corpus/zip-archives
