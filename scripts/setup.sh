#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Parvex.
#   scripts/setup.sh          everything: Linux and Windows builds, wine, interop tools
#   scripts/setup.sh --linux  only what the Linux build and the simulated client need
set -euo pipefail

linux_packages=(build-essential cmake ninja-build zlib1g-dev googletest libgtest-dev clang-format
  unicode-data)
# xvfb and xauth: a display for the window tests under wine; fonts-wine: the MS Sans Serif they
# ask for; locales: the UTF-8 locale that gives wine the ANSI code page 65001.
full_packages=(mingw-w64 mingw-w64-tools libwine-dev libz-mingw-w64-dev wine wine64 zip unzip p7zip-full
               python3 clang libclang-rt-14-dev xvfb xauth fonts-wine locales)

wanted=("${linux_packages[@]}")
if [[ "${1:-}" != "--linux" ]]; then
  wanted+=("${full_packages[@]}")
fi

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
