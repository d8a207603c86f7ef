#!/usr/bin/env bash
# parvex-milter under load and faults through a private Postfix (as root):
#   bash bench/milter/run.sh [messages] [clients]      (defaults 2000 and 8)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake --preset linux >/dev/null
cmake --build --preset linux --target parvex-milter zip32 unzip32 >/dev/null
exec python3 bench/milter/load.py "$root/build/linux/bin/parvex-milter" "$@"
