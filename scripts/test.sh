#!/usr/bin/env bash
# Builds every preset and runs every test: Linux natively (plain and sanitized), the win64
# build under wine twice (ANSI code page 1252, then 65001); win32 is built only (no 32-bit wine
# here). Checks formatting first.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$root"

bash scripts/setup.sh

echo "== formatting"
mapfile -t sources < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h' '*.c' | grep -v '^build/')
clang-format --dry-run --Werror "${sources[@]}"

# The default prefix, and one whose ANSI code page is 65001 (the tests check GetACP()).
export WINEDEBUG=-all
export WINEPREFIX
WINEPREFIX=$(wine_base_prefix)
utf8_prefix="${PARVEX_UTF8_WINEPREFIX:-$HOME/.wine-parvex-acp65001}"
utf8_locales="$PWD/build/locale"
wine_prefix_ready "$WINEPREFIX"
wine_acp65001_prefix "$utf8_prefix"
wine_utf8_locale "$utf8_locales"

status=0
for preset in linux linux-asan win64 win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

# The closing line counts test cases: each program prints its own totals (--gtest_brief).
passed=0
failed=0
skipped=0
for run in linux linux-asan win64 win64-acp65001; do
  preset="${run%-acp65001}"
  echo "== test $run"
  log="build/$preset/ctest${run#"$preset"}.log"
  runner=(ctest --preset "$preset" -V)
  if [[ "$run" == *-acp65001 ]]; then
    runner=(env WINEPREFIX="$utf8_prefix" LC_ALL=hi_IN.UTF-8 LOCPATH="$utf8_locales"
            PARVEX_EXPECT_ACP=65001 "${runner[@]}")
  elif [[ $preset == win64 ]]; then
    # Wine names Unix files in the locale's charset: without a UTF-8 locale (a bare CI shell
    # has none) every non-ASCII file name fails. C.UTF-8 gives code page 1252.
    runner=(env LC_ALL=C.UTF-8 PARVEX_EXPECT_ACP=1252 "${runner[@]}")
  fi
  if [[ $preset == win64 ]]; then
    # The window tests get a virtual display. The rest run without one: there a native dialog
    # fails at once instead of waiting for a click that never comes.
    "${runner[@]}" -E '^parvex_views_' >"$log" 2>&1 || status=1
    xvfb-run -a -s "-screen 0 1280x1024x24" "${runner[@]}" -R '^parvex_views_' >>"$log" 2>&1 \
      || status=1
  else
    "${runner[@]}" >"$log" 2>&1 || status=1
  fi
  grep -E '^[0-9]+: \[  (PASSED|FAILED|SKIPPED) *\]' "$log" || true
  grep -E -A3 'tests passed, .* tests failed out of' "$log" || true
  summaries=$(grep 'tests failed out of' "$log" || true)
  if [[ -z $summaries ]] || grep -qv ' 0 tests failed out of' <<<"$summaries"; then
    status=1
    cat "$log"  # gtest_brief keeps it to the failures
  fi
  count() { awk -v tag="$1" '$2 == "[" && $3 == tag && $4 ~ /\]/ { n += $5 } END { print n + 0 }' "$log"; }
  p=$(count "PASSED")
  k=$(count "SKIPPED")
  # gtest_brief prints no failed total, only a line per failed case; a failing program that is
  # not a gtest one shows only in ctest's own count.
  f=$(grep -cE '^[0-9]+: \[  FAILED  \] [^ ]+ \(' "$log" || true)
  c=$(awk '/tests failed out of/ { n += $4 } END { print n + 0 }' "$log")
  ((c > f)) && f=$c
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  skipped=$((skipped + ${k:-0}))
done

echo "$passed passed, $failed failed, $skipped skipped"
exit $status
