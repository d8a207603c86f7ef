#!/usr/bin/env bash
# Builds every preset and runs every test: Linux natively (plain and sanitized), the win64 and
# the win32 build under wine twice each (ANSI code page 1252, then 65001); the web add-in (its
# WebAssembly engine, node's test runner, headless Chromium); then parvex.sh run
# from another folder and parvex.sh package. Checks formatting first. The closing line counts
# test cases from ctest's and GoogleTest's XML results (see test_results.py). The x86 run needs
# a kernel that runs 32-bit programs and is left out with PARVEX_X86=0; without it each x86 test
# program counts as skipped.
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
# The x86 runs get prefixes of their own, made by a wine that has its 32-bit half.
x86=0
if [[ "${PARVEX_X86:-1}" != 0 ]] && wine_runs_x86; then
  x86=1
  wine_prefix_ready "$WINEPREFIX-x86"
  wine_acp65001_prefix "$utf8_prefix-x86"
fi

status=0
for preset in linux linux-asan win64 win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

passed=0
failed=0
skipped=0
for run in linux linux-asan win64 win64-acp65001 win32 win32-acp65001; do
  preset="${run%-acp65001}"
  echo "== test $run"
  results="$PWD/build/$preset/test-results${run#"$preset"}"
  rm -rf "$results"
  mkdir -p "$results/gtest"
  ctest --preset "$preset" --show-only=json-v1 >"$results/tests.json"
  if [[ $preset == win32 ]] && ((!x86)); then
    k=$(ctest --preset "$preset" -N | sed -n 's/^Total Tests: *//p')
    echo "0 passed, 0 failed, $k skipped: no 32-bit wine run here (a kernel without 32-bit programs, or PARVEX_X86=0; see scripts/setup.sh)"
    skipped=$((skipped + k))
    continue
  fi
  prefix=$WINEPREFIX
  acp65001_prefix=$utf8_prefix
  if [[ $preset == win32 ]]; then
    prefix+=-x86
    acp65001_prefix+=-x86
  fi
  # Under wine a path without a drive letter is taken as relative; Z: is the Unix root.
  drive=""
  if [[ $preset == win* ]]; then drive=Z:; fi
  runner=(env GTEST_OUTPUT="xml:$drive$results/gtest/")
  if [[ "$run" == *-acp65001 ]]; then
    runner+=(WINEPREFIX="$acp65001_prefix" LC_ALL=hi_IN.UTF-8 LOCPATH="$utf8_locales"
             PARVEX_EXPECT_ACP=65001)
  elif [[ $preset == win* ]]; then
    # Wine names Unix files in the locale's charset: without a UTF-8 locale (a bare CI shell
    # has none) every non-ASCII file name fails. C.UTF-8 gives code page 1252.
    runner+=(WINEPREFIX="$prefix" LC_ALL=C.UTF-8 PARVEX_EXPECT_ACP=1252)
  fi
  runner+=(ctest --preset "$preset")
  log="$results/ctest.log"
  ctest_failed=0
  if [[ $preset == win* ]]; then
    # The window tests get a virtual display. The rest run without one: there a native dialog
    # fails at once instead of waiting for a click that never comes.
    "${runner[@]}" --output-junit "$results/junit-1.xml" -E '^parvex_views_' >"$log" 2>&1 \
      || ctest_failed=1
    xvfb-run -a -s "-screen 0 1280x1024x24" "${runner[@]}" --output-junit "$results/junit-2.xml" \
      -R '^parvex_views_' >>"$log" 2>&1 || ctest_failed=1
  else
    "${runner[@]}" --output-junit "$results/junit-1.xml" >"$log" 2>&1 || ctest_failed=1
  fi
  python3 scripts/test_results.py "$results" >"$results/failures"
  read -r p f k <"$results/counts"
  echo "$p passed, $f failed, $k skipped"
  if ((ctest_failed || f)) || [[ -s "$results/failures" ]]; then
    status=1
    cat "$log"  # with each failing program's output
    cat "$results/failures"
  fi
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + k))
done

# The web add-in: its engine as WebAssembly and as a native twin, then node's test runner over
# the engine, the send handler against a fake item, and one send in headless Chromium.
echo "== web"
web_log="$PWD/build/web-test.log"
web_ok=1
bash apps/web/build.sh >"$web_log" 2>&1 && (cd apps/web && node --test test/*.test.mjs) >>"$web_log" 2>&1 \
  || web_ok=0
read -r p f k < <(awk '/^# pass /{p=$3} /^# fail /{f=$3} /^# skipped /{k=$3} END{print p+0, f+0, k+0}' \
  "$web_log")
if ((!web_ok && !f)); then f=1; fi  # the build failed, or the runner died before its counts
echo "$p passed, $f failed, $k skipped"
if ((!web_ok || f)); then
  status=1
  cat "$web_log"
fi
passed=$((passed + p))
failed=$((failed + f))
skipped=$((skipped + k))

# The newcomer's commands: the main job from another folder, and the packages for download.
for step in run_test package; do
  echo "== $step"
  if bash "scripts/$step.sh"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    status=1
  fi
done

echo "$passed passed, $failed failed, $skipped skipped"
exit $status
