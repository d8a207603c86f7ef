#!/usr/bin/env bash
# The main job on Linux: the add-in, connected to the simulated mail client, packs the
# attachments of a message as it is sent; parvex-sim shows what left and the event log.
#   scripts/run.sh [file ...]          send these files (default: a few files of this machine)
#   scripts/run.sh script FILE|-       run a parvex-sim script instead
# The add-in folder (statistics, working folder, outbox of sent messages) is
# ${XDG_DATA_HOME:-~/.local/share}/parvex; PARVEX_ADDIN_FOLDER overrides it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --linux >/dev/null
cmake --preset linux >/dev/null
cmake --build --preset linux --target parvex-sim zip32 unzip32 >/dev/null
folder=()
if [ -n "${PARVEX_ADDIN_FOLDER:-}" ]; then folder=(--addin-folder "$PARVEX_ADDIN_FOLDER"); fi
if [ "${1:-}" = script ]; then
  shift
  exec build/linux/bin/parvex-sim script "${folder[@]}" "$@"
fi
exec build/linux/bin/parvex-sim send "${folder[@]}" "$@"
