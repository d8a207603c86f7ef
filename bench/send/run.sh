#!/usr/bin/env bash
# The whole send through parvex-sim (process start, save, pack, check, swap, outbox) against
# parallel zlib over the same bytes as one stream (`pigz -6 -p 2`), `zip -q` and 7-Zip's zip
# mode, on three sets made from files of this machine:
#   mail    a large binary, text, XML, a PDF and an image that does not shrink
#   many    38 libraries and headers of 50 KB to 1 MB
#   packed  12 files that are already compressed (gz, xz, jar, png, jpg...)
# Runs are interleaved (send, pigz, zip, 7z, send, ...), best of RUNS (5) each. "handler" is
# the send event as the client times it, "copies" the client's own SaveAsFile and Add copies
# within it, "add-in" the handler without them, and "client" the rest of the process (start,
# library install, outbox copy, listing): "copies" and "client" are the simulated client's. When `parvex-sim --help` offers --password, each set is sent with one as
# well, and the "pass" column gives that send's time over the send without.
#   bench/send/run.sh [FILE...]      one set of the given files instead of the three
#   BUILD_DIR overrides build/send-bench; RUNS the number of runs
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
release_build "${BUILD_DIR:-$root/build/send-bench}" parvex-sim zip32 unzip32
runs=${RUNS:-5}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

first() { for f in "$@"; do [ -f "$f" ] && { echo "$f"; return; }; done; }
# pick LIMIT FIND-ARGS...: up to LIMIT regular files, sorted so that each run takes the same,
# no two of one name (zip -j refuses them) and at most $cap (any) of one extension. A head that
# has its lines closes the pipe early: that SIGPIPE is no failure here.
pick() {
  local limit=$1
  shift
  find "$@" -type f -readable 2>/dev/null | LC_ALL=C sort |
    awk -F/ -v cap="${cap:-0}" '{ n = $NF; e = n; sub(/.*\./, "", e) }
      !seen[n]++ && (cap == 0 || kind[e]++ < cap)' | head -n "$limit" || true
}

mail_set() {
  first /usr/bin/cmake /usr/bin/gdb /usr/bin/python3
  first /usr/share/common-licenses/GPL-3 /etc/services
  first /usr/share/mime/packages/freedesktop.org.xml \
    "$(pick 1 /usr/share -name '*.xml' -size +500k)"
  pick 1 /usr/share/doc -name '*.pdf' -size +100k
  pick 1 /usr/share /usr/lib -name '*.jpg' -size +100k
}
many_set() {
  { pick 19 /usr/lib/x86_64-linux-gnu /usr/lib -maxdepth 1 -name '*.so*' -size +50k -size -1000k
    pick 19 /usr/include -name '*.h' -size +50k -size -1000k; } | head -n 38 || true
}
packed_set() {
  cap=2 pick 12 /usr/share /usr/lib -size +100k -size -4000k \
    \( -name '*.gz' -o -name '*.xz' -o -name '*.bz2' -o -name '*.jar' -o -name '*.png' \
    -o -name '*.jpg' -o -name '*.zip' \)
}

if [ $# -gt 0 ]; then
  printf '%s\n' "$@" >"$work/given.list"
  sets=(given)
else
  mail_set | grep . >"$work/mail.list" || true
  many_set >"$work/many.list"
  packed_set >"$work/packed.list"
  sets=(mail many packed)
fi

password=""
help=$("$bin/parvex-sim" --help 2>&1 || true)
if grep -q -- '--password' <<<"$help"; then password="secret words"; fi

now() { date +%s%N; }
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e6 }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
ratio() { awk -v a="$1" -v b="$2" -v d="${3:-2}" 'BEGIN { printf "%.*f", d, a / b }'; }

# send_once OUT [OPTION...] -- FILE...: sets took (whole process, ms), handler and copies (ms),
# size.
send_once() {
  local out=$1
  shift
  local start text
  start=$(now)
  text=$("$bin/parvex-sim" send --addin-folder "${addin:-$work/addin}" --outbox "$out" "$@")
  took=$(ms "$start" "$(now)")
  handler=$(sed -n 's/^Send took \([0-9.]*\) ms.*/\1/p' <<<"$text")
  copies=$(sed -n "s/^Send took .*(the client's copies \([0-9.]*\) ms).*/\1/p" <<<"$text")
  b_conn=$(min "$b_conn" "$(sed -n 's/^OnConnection took \([0-9.]*\) ms.*/\1/p' <<<"$text")")
  size=$(sed -n 's/^  DD  *\([0-9]*\) bytes$/\1/p' <<<"$text")
  [ -n "$size" ] || { echo "the send left no archive:" >&2; echo "$text" >&2; exit 1; }
  rm -rf "$out"
}

table=()
b_conn=""
for set in "${sets[@]}"; do
  mapfile -t files <"$work/$set.list"
  [ ${#files[@]} -gt 0 ] || { echo "set $set: no files found" >&2; continue; }
  total=$(cat "${files[@]}" | wc -c)
  echo "Set $set: ${#files[@]} files, $total bytes"
  for f in "${files[@]}"; do printf '  %10d  %s\n' "$(stat -c %s "$f")" "$f"; done
  cat "${files[@]}" >"$work/concat"
  b_send="" b_handler="" b_copies="" b_addin="" b_pass="" b_pigz="" b_zip="" b_7z=""
  for ((i = 1; i <= runs; ++i)); do
    send_once "$work/out" -- "${files[@]}"
    b_send=$(min "$b_send" "$took")
    b_handler=$(min "$b_handler" "$handler")
    b_copies=$(min "$b_copies" "$copies")
    b_addin=$(min "$b_addin" "$(awk -v a="$handler" -v b="$copies" 'BEGIN { print a - b }')")
    s_send=$size
    if [ -n "$password" ]; then
      # An add-in folder of its own: --password stores the option, which the plain sends lack.
      addin="$work/addin-pass" send_once "$work/out" --password "$password" -- "${files[@]}"
      b_pass=$(min "$b_pass" "$took")
    fi
    start=$(now)
    pigz -6 -p 2 -c "$work/concat" >"$work/concat.gz"
    b_pigz=$(min "$b_pigz" "$(ms "$start" "$(now)")")
    rm -f "$work/zip.zip" "$work/7z.zip"
    start=$(now)
    zip -q -j "$work/zip.zip" "${files[@]}"
    b_zip=$(min "$b_zip" "$(ms "$start" "$(now)")")
    start=$(now)
    7z a -tzip -mx=5 -mmt=2 -bd "$work/7z.zip" "${files[@]}" >/dev/null
    b_7z=$(min "$b_7z" "$(ms "$start" "$(now)")")
  done
  s_pigz=$(stat -c %s "$work/concat.gz")
  s_zip=$(stat -c %s "$work/zip.zip")
  s_7z=$(stat -c %s "$work/7z.zip")
  row=$(printf '%-7s %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %6s %6s  %10d %10d %10d %10d %5s' \
    "$set" "$b_send" "$b_handler" "$b_copies" "$b_addin" \
    "$(awk -v a="$b_send" -v b="$b_handler" 'BEGIN { print a - b }')" \
    "$b_pigz" "$b_zip" "$b_7z" "$(ratio "$b_send" "$b_pigz")" \
    "${b_pass:+$(ratio "$b_pass" "$b_send")}" "$s_send" "$s_pigz" "$s_zip" "$s_7z" \
    "$(ratio "$s_send" "$s_zip" 3)")
  table+=("$row")
done

echo
echo "Best of $runs, ms; sizes in bytes. send = the whole parvex-sim process; handler = the send"
echo "event; copies = the client's SaveAsFile and Add copies within it; add-in = handler - copies;"
echo "client = send - handler. /pigz: send over pigz -6 -p 2; pass: send with a password over"
echo "send without; /zip: archive size over zip -q's."
printf '%-7s %8s %8s %8s %8s %8s %8s %8s %8s %6s %6s  %10s %10s %10s %10s %5s\n' set send handler \
  copies add-in client pigz 'zip -q' 7z /pigz pass 'size' pigz 'zip -q' 7z /zip
printf '%s\n' "${table[@]}"
echo "OnConnection: $b_conn ms (best of every send); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
