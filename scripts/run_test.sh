#!/usr/bin/env bash
# bash parvex.sh run from another folder: the file, the add-in folder and the script are named
# relative to where the user stands, as is the file the script attaches. A missing command is
# a usage error.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
  echo "run_test: $*" >&2
  exit 1
}
mkdir mine
printf 'A line of the test.\n%.0s' {1..100} >mine/a.txt
printf 'explorer\nconnect\nmail Scripted\nattach mine/a.txt\nsend\n' >mine/send.txt
PARVEX_ADDIN_FOLDER=data bash "$root/parvex.sh" run mine/a.txt >said 2>&1 || fail "run: $(cat said)"
PARVEX_ADDIN_FOLDER=data bash "$root/parvex.sh" run script mine/send.txt >>said 2>&1 ||
  fail "run script: $(cat said)"
sent=$(find data/Outbox -name Attachments.zip | wc -l)
[[ $sent == 2 ]] || fail "$sent messages of 2 in data/Outbox: $(cat said)"
if bash "$root/parvex.sh" >/dev/null 2>&1; then fail "no command was taken"; fi
echo "parvex.sh run from another folder: 2 messages sent"
