#!/usr/bin/env bash
# Retakes every picture in docs/screens: each window at 96 and 144 dots per inch, drawn by the
# window tests of the win64 build under wine on a virtual display, exactly as the test command
# draws them before it compares them with these (parvex_views_screens). Then rewrites the
# README's ribbon listing from the simulated client (checked by parvex_readme_ribbon).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$root"

bash scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target parvex_views_test
export WINEDEBUG=-all WINEPREFIX
WINEPREFIX=$(wine_base_prefix)
wine_prefix_ready "$WINEPREFIX"
# As the test command runs them: a UTF-8 locale, the base prefix from WINEPREFIX.
LC_ALL=C.UTF-8 xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --preset win64 -R '^parvex_views_test_'
rm -f docs/screens/*.png
cp build/win64/screens/*.png docs/screens/
ls -l docs/screens

cmake --preset linux >/dev/null
cmake --build --preset linux --target parvex-sim
python3 scripts/readme_ribbon.py build/linux/bin/parvex-sim
git status --short -- docs/screens README.md 2>/dev/null || true
