#!/usr/bin/env bash
# Parvex.dll registered in a folder nobody may write (a read-only share, or one locked by its
# owner), and the simulated client elsewhere, without the zip libraries beside it: the client
# finds the DLL and the libraries through the registration, the add-in connects and sends, its
# files go to the user's %LOCALAPPDATA%\Parvex, and its event log there names both folders.
# read_only_folder.sh BIN   (the folder of parvex-sim.exe, Parvex.dll and the zip libraries)
set -euo pipefail
bin=$1
work=$(mktemp -d)
ro=$work/installed
mkdir "$ro" "$work/client"
cp "$bin"/{Parvex.dll,zip32.dll,unzip32.dll} "$ro/"
cp "$bin/parvex-sim.exe" "$work/client/"
cleanup() {
  wine regsvr32 /s /u "Z:$ro/Parvex.dll" 2>/dev/null || true
  chattr -i "$ro" 2>/dev/null || chmod u+w "$ro"
  rm -rf "$work"
}
trap cleanup EXIT
# root writes wherever the mode bits say no: an immutable folder refuses it too.
if ((EUID == 0)); then
  chattr +i "$ro" 2>/dev/null || { echo "this file system keeps no immutable flag"; exit 77; }
else
  chmod a-w "$ro"
fi
if touch "$ro/probe" 2>/dev/null; then echo "the folder stays writable here"; exit 77; fi

data=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')\\Parvex")
rm -f "$data/ziplogfile.log"
printf 'A line of the mail.\n%.0s' {1..100} >"$work/mail.txt"
wine regsvr32 /s "Z:$ro/Parvex.dll" 2>/dev/null || { echo "regsvr32 failed"; exit 1; }
wine "$work/client/parvex-sim.exe" send --registered --outbox "Z:$work/out" "Z:$work/mail.txt" \
  >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
grep -q 'installed\\Parvex.dll as registered' "$work/log" &&
  grep -q '^    mail.txt' "$work/log" || { cat "$work/log"; echo "not packed as read back"; exit 1; }
line=$(grep -a 'cannot be written' "$data/ziplogfile.log" 2>/dev/null | tr -d '\r') ||
  { echo "no event log line in $data"; exit 1; }
[[ $line == *"$(basename "$work")"*installed*"keeps its files in "*Parvex* ]] ||
  { echo "the line names the wrong folders: $line"; exit 1; }
echo "packed from a read-only folder; logged: $line"
