#!/usr/bin/env bash
# Builds the four Windows installers into dist/ (per user and for all users, for 64-bit and
# 32-bit Office) with SHA256SUMS, the license and the release notes, ready to publish. Each
# package must name its license in its summary, the comments the programs list shows.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null
for preset in win64 win32; do
  log=build/package-$preset.log
  mkdir -p build
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)" \
           --target parvex_installer; } >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
done
rm -rf dist
mkdir dist
for arch in x64 x86; do
  preset=win64
  if [[ $arch == x86 ]]; then preset=win32; fi
  cp "build/$preset/bin/Parvex-$arch.msi" "build/$preset/bin/Parvex-$arch-machine.msi" dist/
done
cp CHANGELOG.md dist/
cp LICENSE dist/LICENSE.txt
for msi in dist/*.msi; do
  msiinfo suminfo "$msi" | grep -q 'MIT License' || { echo "$msi names no license" >&2; exit 1; }
done
(cd dist && sha256sum -- *.msi >SHA256SUMS)
echo "dist/ ($(grep -m1 '^## ' CHANGELOG.md | sed 's/^## //')):"
for msi in dist/*.msi; do printf '  %-28s %9s bytes\n' "${msi#dist/}" "$(stat -c %s "$msi")"; done
sed 's/^/  /' dist/SHA256SUMS
