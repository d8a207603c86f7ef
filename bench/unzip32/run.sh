#!/usr/bin/env bash
# Memory and speed of extraction: a 1 MiB and a 1 GiB entry (peak memory should not differ by
# more than a few MiB), and a folder of many small files, each timed against the unzip command.
# Files come from the system (binaries and libraries), packed by the zip command.
# usage: bench/unzip32/run.sh [BUILD_DIR]    (a built tree, e.g. build/linux; without one, its
#                                             own Release tree in build/unzip32-bench)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
if (($#)); then
  bin=$1/bin
else
  release_build "$root/build/unzip32-bench" unzip32_bench unzip32
fi
bench="$bin/unzip32_bench"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Real files nobody here wrote, repeated up to the wanted size.
fill() {
  local size=$1 out=$2
  # head closes the pipe early on purpose
  { find /usr/bin /usr/lib -maxdepth 2 -type f -size +100k | sort | xargs cat; } 2>/dev/null |
    head -c "$size" >"$out" || true
  while [ "$(stat -c %s "$out")" -lt "$size" ]; do
    { cat "$out" "$out" | head -c "$size" >"$out.2"; } || true
    mv "$out.2" "$out"
  done
}
mkdir -p "$work/src/small" "$work/src/large" "$work/src/many"
fill $((1 << 20)) "$work/src/small/one-mib.bin"
fill $((1 << 30)) "$work/src/large/one-gib.bin"
{ find /usr/share/doc /usr/include -type f -size -64k 2>/dev/null || true; } | head -3000 |
  while read -r f; do cp "$f" "$work/src/many/$(echo "$f" | tr / _)"; done
for set in small large many; do (cd "$work/src/$set" && zip -q -r "$work/$set.zip" .); done
for set in small large many; do "$bench" "$work/$set.zip" "$work/out"; done
