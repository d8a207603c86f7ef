#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Parvex.
#   scripts/setup.sh          everything: Linux and Windows builds, wine, interop tools
#   scripts/setup.sh --linux  only what the Linux build and its tests need
#   scripts/setup.sh --run    only what the simulated client needs (bash parvex.sh run)
set -euo pipefail

# The simulated client: a compiler, zlib, libcrypto's headers for the password sends, and
# libdeflate for the zip entries' CRC-32; pkg-config finds it.
run_packages=(build-essential cmake ninja-build zlib1g-dev libssl-dev libdeflate-dev pkg-config)
linux_packages=("${run_packages[@]}" googletest libgtest-dev clang-format unicode-data)
linux_packages+=(libxml2-dev)  # the ribbon markup in the simulated client; the policy templates in a test
# xvfb and xauth: a display for the window tests under wine; fonts-wine: the MS Sans Serif they
# ask for; locales: the UTF-8 locale that gives wine the ANSI code page 65001.
full_packages=(mingw-w64 mingw-w64-tools libwine-dev libz-mingw-w64-dev wine wine64 zip unzip p7zip-full
               python3 clang libclang-rt-14-dev xvfb xauth fonts-wine locales)
full_packages+=(pigz)  # bench/send: parallel zlib, the bound a send's packing is held to
full_packages+=(wixl)  # builds the Windows installers
full_packages+=(msitools)  # msiinfo: the installer test reads the package's version
# The web add-in (apps/web): emcc builds the engine as WebAssembly, mbed TLS natively for its
# twin, dpkg-dev unpacks the zlib and mbed TLS sources emcc compiles, Chromium runs the page.
full_packages+=(emscripten libmbedtls-dev dpkg-dev chromium)
# parvex-milter: GMime 3 reads and writes the messages, libmilter speaks to Postfix; pkg-config
# finds GMime; its test runs a private Postfix (python3's smtplib sends), swaks for trying it.
linux_packages+=(libgmime-3.0-dev libmilter-dev pkg-config postfix python3 swaks)

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
install() {
  echo "Installing: $*"
  # Postfix asks how to set up the system's own instance: not at all (tests run their own).
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}

wanted=("${linux_packages[@]}")
case "${1:-}" in
  --run) wanted=("${run_packages[@]}") ;;
  --linux) ;;
  *) wanted+=("${full_packages[@]}") ;;
esac

missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done
if ((${#missing[@]})); then install "${missing[@]}"; fi

# 32-bit wine for the x86 build's tests: Debian's wine32 beside wine64, unless PARVEX_X86=0. It
# needs a kernel that runs 32-bit programs; where it does not (some virtual machines turn that
# off), wine32 would take over the wine command and break the 64-bit runs too, so it stays out
# and the x86 tests are reported skipped. The kernel is asked before dpkg gets an i386
# architecture it could not use: binutils builds a static i386 program that only exits.
kernel_runs_x86() {
  local probe status=1
  probe=$(mktemp -d)
  printf '.globl _start\n_start: xorl %%ebx, %%ebx\n movl $1, %%eax\n int $0x80\n' >"$probe/exit.s"
  if as --32 -o "$probe/exit.o" "$probe/exit.s" && ld -m elf_i386 -o "$probe/exit" "$probe/exit.o"
  then
    "$probe/exit" 2>/dev/null && status=0
  fi
  rm -rf "$probe"
  return $status
}
if [[ -z "${1:-}" && "${PARVEX_X86:-1}" != 0 ]] && ! installed wine32:i386; then
  if kernel_runs_x86; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $sudo dpkg --add-architecture i386
    fi
    install wine32:i386
  else
    echo "This kernel runs no 32-bit programs: wine32 left out, the x86 tests will be skipped." >&2
  fi
fi

# The web add-in's build and tests: node (the machine's own where it has one), the npm packages
# of apps/web, and the Debian sources of zlib and mbed TLS that emcc compiles (never committed),
# the same versions as the native libraries, so that both give the same bytes.
if [[ -z "${1:-}" ]]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  command -v node >/dev/null && command -v npm >/dev/null || install nodejs npm
  if [[ ! -d $root/apps/web/node_modules || $root/apps/web/package-lock.json -nt $root/apps/web/node_modules ]]; then
    (cd "$root/apps/web" && npm ci --no-audit --no-fund)
  fi
  src=$root/build/web-src
  if ! compgen -G "$src/zlib-*/deflate.c" >/dev/null || ! compgen -G "$src/mbedtls-*/library/aes.c" >/dev/null; then
    # apt's own archive, for sources too.
    if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      # Either of Debian's two spellings: deb822 (bookworm's default) or one-line entries.
      if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
          $sudo tee /etc/apt/sources.list.d/parvex-src.sources >/dev/null
      elif grep -qs '^deb ' /etc/apt/sources.list; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
          $sudo tee /etc/apt/sources.list.d/parvex-src.list >/dev/null
      else
        echo "No apt entry to take a deb-src entry from" >&2
        exit 1
      fi
      $sudo apt-get update -q
    fi
    rm -rf "$src" && mkdir -p "$src"
    # The installed library's upstream version, from whichever Debian revision apt can fetch.
    fetch_source() {
      local source=$1 binary=$2 upstream version
      upstream=$(dpkg-query -W -f='${source:Upstream-Version}\n' "$binary" | head -1)
      for version in $(apt-cache showsrc "$source" | sed -n 's/^Version: //p' | sort -ru); do
        [[ $version == *"$upstream"* ]] || continue
        (cd "$src" && apt-get source -q "$source=$version" >/dev/null 2>&1) && return 0
      done
      echo "Could not fetch the source of $source $upstream" >&2
      return 1
    }
    fetch_source zlib zlib1g
    fetch_source mbedtls libmbedtls-dev
  fi
fi
