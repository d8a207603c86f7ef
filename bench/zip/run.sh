#!/bin/sh
# Builds the zip benchmark in its own Release build folder and runs it.
#   bench/zip/run.sh [work-folder]     (BUILD_DIR overrides build/zip-bench)
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build/zip-bench}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target zip_bench zip32
"$build/bin/zip_bench" "$@"
