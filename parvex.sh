#!/usr/bin/env bash
# One entry point on a fresh Debian machine; each command installs what it lacks first.
#   bash parvex.sh run [file ...]   the main job with the simulated mail client
#   bash parvex.sh test             build every preset and run every test
#   bash parvex.sh setup            only install the packages
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
command="${1:-}"
shift || true
case "$command" in
  run) exec bash "$here/scripts/run.sh" "$@" ;;
  test) exec bash "$here/scripts/test.sh" "$@" ;;
  setup) exec bash "$here/scripts/setup.sh" "$@" ;;
  *)
    sed -n '2,6p' "$0"
    exit 2
    ;;
esac
