#!/usr/bin/env bash
# Makes a wine prefix for the window tests: scripts/wine_prefix.sh FOLDER DPI
# A hard-linked copy of the default prefix, with wine's own fonts in C:\windows\Fonts (the MS
# Sans Serif the windows ask for), windows that wine draws whole (no X window manager needed,
# no waits for one) and the screen's dots per inch set to DPI.
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
# wineserver rewrites the registry files in place: those must be copies, or the settings below
# would change the default prefix too.
for file in "$base"/*.reg "$base"/.update-timestamp; do
  if [[ -f "$file" ]]; then cp --remove-destination "$file" "$folder/"; fi
done
fonts=$folder/drive_c/windows/Fonts
mkdir -p "$fonts"
cp --remove-destination /usr/share/wine/fonts/* "$fonts/" 2>/dev/null || true

export WINEPREFIX=$folder
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
wine reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
wineserver -w
