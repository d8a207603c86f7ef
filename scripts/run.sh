#!/usr/bin/env bash
# The main job on Linux: the add-in, connected to the simulated mail client, packs the
# attachments of a message as it is sent; parvex-sim shows what left and the event log.
#   scripts/run.sh [option ...] [file ...]  send these files (default: a few files of this machine)
#   scripts/run.sh script FILE|-            run a parvex-sim script instead
# The add-in folder (statistics, working folder, outbox of sent messages) is
# ${XDG_DATA_HOME:-~/.local/share}/parvex; PARVEX_ADDIN_FOLDER overrides it.
# Only the build changes folder, in a subshell: files, scripts and folders the user names stay
# relative to where the user stands.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
(
  cd "$root"
  bash scripts/setup.sh --run >/dev/null
  cmake --preset run >/dev/null
  cmake --build --preset run --target parvex-sim zip32 unzip32 >/dev/null
)
sim=$root/build/run/bin/parvex-sim
folder=()
if [ -n "${PARVEX_ADDIN_FOLDER:-}" ]; then folder=(--addin-folder "$(realpath -m -- "$PARVEX_ADDIN_FOLDER")"); fi
if [ "${1:-}" = script ]; then
  shift
  exec "$sim" script "${folder[@]}" "$@"
fi
exec "$sim" send "${folder[@]}" "$@"
