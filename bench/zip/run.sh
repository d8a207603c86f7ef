#!/usr/bin/env bash
# Builds the zip benchmark in its own Release build folder and runs it.
#   bench/zip/run.sh [work-folder]     (BUILD_DIR overrides build/zip-bench)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
release_build "${BUILD_DIR:-$root/build/zip-bench}" zip_bench zip32
"$bin/zip_bench" "$@"
