#!/usr/bin/env bash
# The whole send of a set of real files through parvex-sim (save, pack, swap, clean up), against
# one `zip -q` over the same files; best of 3 each, in one Release build. Also the time of
# OnConnection. Files: a large binary, text, XML, a PDF and an image that does not shrink.
#   bench/send/run.sh [FILE...]        (BUILD_DIR overrides build/send-bench)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
release_build "${BUILD_DIR:-$root/build/send-bench}" parvex-sim zip32 unzip32

first() { for f in "$@"; do [ -f "$f" ] && { echo "$f"; return; }; done; }
files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  for f in "$(first /usr/bin/cmake /usr/bin/gdb /usr/bin/python3)" \
    "$(first /usr/share/common-licenses/GPL-3 /etc/services)" \
    "$(first /usr/share/mime/packages/freedesktop.org.xml \
      "$(find /usr/share -name '*.xml' -size +500k 2>/dev/null | head -1)")" \
    "$(find /usr/share/doc -name '*.pdf' -size +100k 2>/dev/null | head -1)" \
    "$(find /usr/share /usr/lib -name '*.jpg' -size +100k 2>/dev/null | head -1)"; do
    [ -n "$f" ] && files+=("$f")
  done
fi
echo "Files:"
for f in "${files[@]}"; do printf '  %10d  %s\n' "$(stat -c %s "$f")" "$f"; done
printf '  %10d  total\n' "$(cat "${files[@]}" | wc -c)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
best_send=""; best_conn=""; best_zip=""
for i in 1 2 3; do
  out=$("$bin/parvex-sim" send --addin-folder "$work/addin" --outbox "$work/out$i" "${files[@]}")
  best_send=$(min "$best_send" "$(sed -n 's/^Send took \([0-9.]*\) ms.*/\1/p' <<<"$out")")
  best_conn=$(min "$best_conn" "$(sed -n 's/^OnConnection took \([0-9.]*\) ms.*/\1/p' <<<"$out")")
  ours=$(sed -n 's/^  DD  *\([0-9]*\) bytes$/\1/p' <<<"$out")
  rm -f "$work/zip.zip"
  start=$(date +%s%N)
  zip -q -j "$work/zip.zip" "${files[@]}"
  best_zip=$(min "$best_zip" "$(awk -v n=$(($(date +%s%N) - start)) 'BEGIN { print n / 1e6 }')")
done
theirs=$(stat -c %s "$work/zip.zip")
echo
printf 'send through parvex-sim  %9.1f ms   archive %10d bytes\n' "$best_send" "$ours"
printf 'zip -q                   %9.1f ms   archive %10d bytes\n' "$best_zip" "$theirs"
awk -v a="$best_send" -v b="$best_zip" 'BEGIN { printf "ratio send / zip -q      %9.2f\n", a / b }'
printf 'OnConnection             %9.2f ms (best of 3)\n' "$best_conn"
