#!/usr/bin/env bash
# The longest time a send keeps the mail client's thread from its window events: parvex-sim
# sends two files of MB/2 megabytes each (random bytes and text; MB defaults to 500), without
# and with a password, and prints what --gaps measured: the add-in's own steps apart from the
# client's copies (SaveAsFile, Attachments.Add), which are the mail client's.
#   bench/pump_gap.sh [MB]       BUILD_DIR overrides build/send-bench
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
release_build "${BUILD_DIR:-$root/build/send-bench}" parvex-sim zip32 unzip32
half=$(((${1:-500}) / 2))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c "${half}M" /dev/urandom >"$work/random.bin"
(yes "The quick brown fox jumps over the lazy dog 0123456789" || true) | head -c "${half}M" >"$work/text.txt"
echo pw >"$work/password"
sim=$bin/parvex-sim
for how in "without a password" "with a password"; do
  args=(send --gaps --addin-folder "$work/addin")
  [[ $how == with* ]] && args+=(--password-file "$work/password")
  echo "$how:"
  "$sim" "${args[@]}" "$work/random.bin" "$work/text.txt" 2>/dev/null |
    grep -E '^(Send took|Longest time)' | sed 's/; saved in .*//'
  rm -f "$work/addin/parvex.ini"
done
