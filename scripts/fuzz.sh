#!/usr/bin/env bash
# Builds the fuzz targets with clang (their own build folder) and runs each for a bounded time,
# seeded from the shared corpus of archives other tools wrote and AES archives made by 7-Zip:
#   unzip32_fuzz  the unzip library's reader on arbitrary archives
#   zip32_fuzz    the zip library adding to arbitrary existing archives (a failed run must
#                 leave the archive as it was)
# usage: scripts/fuzz.sh [seconds per target]        (default 60)
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$root"

seconds="${1:-60}"
build=build/fuzz-clang
# With debug information, so that a crash's stack names its lines.
CC=clang CXX=clang++ release_build "$build" unzip32_fuzz zip32_fuzz -- \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARVEX_FUZZ=ON

# AES entries of each key size under the password the targets give ("pw"), written by 7-Zip.
seeds="$build/aes-seeds"
mkdir -p "$seeds"
printf 'alpha alpha alpha alpha\n' >"$build/a.txt"
for bits in 128 192 256; do
  [[ -f "$seeds/aes$bits.zip" ]] || 7z a -bd -tzip -ppw -mem=AES$bits "$seeds/aes$bits.zip" \
    "$build/a.txt" >/dev/null
done

for target in unzip32_fuzz zip32_fuzz; do
  # libFuzzer adds what it finds to the first folder; the shared corpus stays untouched.
  work="$build/$target-corpus"
  mkdir -p "$work"
  echo "== $target for ${seconds}s"
  "$bin/$target" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/$target-" \
    "$work" ../shared/corpus/zip-archives "$seeds"
done
