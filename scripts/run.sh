#!/usr/bin/env bash
# The main job on Linux: the add-in connected to the simulated mail client, which sends a
# message with real files attached and shows what left.
#   scripts/run.sh [file ...]     (default: a few files taken from the system)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --linux >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux --target parvex-sim zip32 unzip32 >/dev/null
exec build/linux/bin/parvex-sim "$@"
