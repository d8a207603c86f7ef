#!/usr/bin/env bash
# One entry point on a fresh Debian 12 machine; each command installs what it lacks first.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
usage() {
  cat <<'TEXT'
usage: bash parvex.sh COMMAND [argument ...]
  run [file ...]        the main job: the simulated mail client sends these files (default: a
                        few files of this machine) and shows what left and the event log
  run script FILE|-     runs a script of the simulated client instead
  test                  builds every preset and runs every test
  package               builds the four Windows installers into dist/, with SHA256SUMS
  setup                 only installs the packages
TEXT
}
command="${1:-}"
shift || true
case "$command" in
  run) exec bash "$here/scripts/run.sh" "$@" ;;
  test) exec bash "$here/scripts/test.sh" "$@" ;;
  package) exec bash "$here/scripts/package.sh" "$@" ;;
  setup) exec bash "$here/scripts/setup.sh" "$@" ;;
  -h | --help) usage ;;
  "")
    usage >&2
    exit 2
    ;;
  *)
    echo "parvex.sh: unknown command \"$command\"" >&2
    usage >&2
    exit 2
    ;;
esac
