#!/usr/bin/env bash
# Makes a wine prefix for the window tests: scripts/wine_prefix.sh FOLDER DPI
# (a copy of the default prefix, its screen at DPI dots per inch: see wine_views_prefix).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
wine_views_prefix "$1" "$2"
