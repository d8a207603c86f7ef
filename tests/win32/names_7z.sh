#!/usr/bin/env bash
# Names in every script, typed on the simulated client's command line under wine and sent through
# Parvex.dll, then listed by 7-Zip from the archive that left: each must be there as it was sent,
# whatever the ANSI code page. Two of them come out as the same text in code page 1252.
# names_7z.sh PARVEX_SIM_EXE
set -euo pipefail
sim=$1
command -v 7z >/dev/null || { echo "7z is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
names=("Привет.txt" "Приват.txt" "日本語の文書.txt" "보고서.txt" "😀_smile.txt" "café_€.txt")
mkdir -p "$work/files"
files=()
for name in "${names[@]}"; do
  printf 'the file %s\n' "$name" >"$work/files/$name"
  files+=("Z:$work/files/$name")
done
# On the command line, as a user types them: under code page 1252 the ANSI one loses them.
wine "$sim" send --subject Names --addin-folder "Z:$work/addin" --outbox "Z:$work/Исходящие" \
  "${files[@]}" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
archive=$(find "$work/Исходящие" -name '*.zip' | head -1)
[[ -n $archive ]] || { cat "$work/log"; echo "no archive left"; exit 1; }
listed=$(7z l -slt "$archive" | sed -n 's/^Path = //p' | tail -n +2 | sort)
wanted=$(printf '%s\n' "${names[@]}" Readme.txt | sort)
if [[ $listed != "$wanted" ]]; then
  diff <(echo "$wanted") <(echo "$listed") || true
  exit 1
fi
echo "7-Zip lists every name as sent: ${names[*]}"
