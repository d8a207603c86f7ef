#!/usr/bin/env bash
# Makes a wine prefix for the window tests: scripts/wine_prefix.sh FOLDER DPI
# A hard-linked copy of the default prefix (wine replaces the files it changes, so the
# original stays as it was), with wine's own fonts in C:\windows\Fonts (the MS Sans Serif
# the windows ask for), windows that wine draws whole (no X window manager needed, no waits
# for one) and the screen's dots per inch set to DPI.
set -euo pipefail
folder=$1
dpi=$2
base=${WINEPREFIX:-$HOME/.wine-parvex}
export WINEDEBUG=-all

if [[ ! -f "$base/system.reg" ]]; then
  WINEPREFIX=$base wineboot -i >/dev/null 2>&1
  WINEPREFIX=$base wineserver -w
fi
if [[ -d "$folder" ]]; then
  WINEPREFIX=$folder wineserver -k 2>/dev/null || true
  rm -rf "$folder"
fi
cp -al "$base" "$folder"
fonts=$folder/drive_c/windows/Fonts
mkdir -p "$fonts"
cp --remove-destination /usr/share/wine/fonts/* "$fonts/" 2>/dev/null || true

export WINEPREFIX=$folder
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
wine reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
wineserver -w
