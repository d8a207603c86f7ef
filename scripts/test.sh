#!/usr/bin/env bash
# Builds every preset and runs every test: Linux natively (plain and sanitized), the win64
# build under wine; win32 is built only (no 32-bit wine here). Checks formatting first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "== formatting"
mapfile -t sources < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h' '*.c' | grep -v '^build/')
clang-format --dry-run --Werror "${sources[@]}"

export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-parvex}"
# The first start of wine builds its prefix; do it once here, not inside a timed test.
wineboot -i >/dev/null 2>&1 || true

status=0
for preset in linux linux-asan win64 win32; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

passed=0
failed=0
for preset in linux linux-asan win64; do
  echo "== test $preset"
  log="build/$preset/ctest.log"
  if ctest --preset "$preset" 2>&1 | tee "$log"; then :; else status=1; fi
  p=$(sed -n 's/.* tests passed, \([0-9]*\) tests failed out of \([0-9]*\)/\2 \1/p' "$log" | tail -1)
  if [[ -n "$p" ]]; then
    read -r total bad <<<"$p"
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    status=1
  fi
done

echo "$passed passed, $failed failed"
exit $status
