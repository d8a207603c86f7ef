#!/usr/bin/env bash
# A client that connects Parvex.dll, sends and exits without OnBeginShutdown or OnDisconnection,
# as the host has since 2010: the program ends with 0, and the add-in folder (the DLL's own, a
# copy made here) holds only what the add-in keeps there.
# host_exit.sh BIN_FOLDER FILE_TO_SEND
set -euo pipefail
bin=$1
file=$2
work=$(mktemp -d)
# The next test's wine start fails ("ShellExecuteEx failed") while this wineserver is still
# shutting down: wait for it before handing over.
trap 'wineserver -w || true; rm -rf "$work"' EXIT
mkdir "$work/addin"
for f in parvex-sim.exe Parvex.dll zip32.dll unzip32.dll; do cp -p "$bin/$f" "$work/addin/"; done
printf 'explorer\nconnect\nmail Bye\nattach Z:%s\nsend\nexit\n' "$file" >"$work/exit.txt"
rc=0
wine "$work/addin/parvex-sim.exe" script --addin-folder "Z:$work/addin" --outbox "Z:$work/out" \
  "Z:$work/exit.txt" >"$work/log" 2>&1 || rc=$?
cat "$work/log"
if ((rc != 0)) || grep -qiE 'failed:|exception|fault' "$work/log"; then
  echo "the session ended with $rc"
  exit 1
fi
grep -q 'Sent "Bye" with 1 attachment' "$work/log" || { echo "nothing was sent"; exit 1; }
# The programs, the statistics, the event log, the lock, the settings file and an empty working
# folder; no copy, no archive, nothing kept aside.
left=$(cd "$work/addin" && find . -mindepth 1 | sort |
  grep -vxE '\./(parvex-sim\.exe|Parvex\.dll|zip32\.dll|unzip32\.dll|Attachments|parvex\.log|parvex\.lock|ziplogfile\.log|parvex\.ini)' || true)
if [[ -n $left ]]; then
  echo "left in the add-in folder:"
  echo "$left"
  exit 1
fi
echo "The add-in folder holds only what belongs there:"
(cd "$work/addin" && find . -mindepth 1 | sort)
