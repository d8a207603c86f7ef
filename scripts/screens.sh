#!/usr/bin/env bash
# Regenerates the screenshots in docs/screens: each window at 96 and 144 dots per inch, taken
# by the window test program under wine on a virtual display (it writes PNGs when
# PARVEX_SCREENS names a folder).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$root"

bash scripts/setup.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target parvex_views_test
mkdir -p docs/screens
for dpi in 96 144; do
  prefix=$PWD/build/win64/wine-views-$dpi
  wine_views_prefix "$prefix" "$dpi"
  WINEDEBUG=-all WINEPREFIX=$prefix PARVEX_EXPECT_DPI=$dpi PARVEX_SCREENS=$PWD/docs/screens \
    xvfb-run -a -s "-screen 0 1280x1024x24" \
    wine build/win64/bin/parvex_views_test.exe --gtest_filter='*Layout*' --gtest_brief=1
done
ls -l docs/screens
