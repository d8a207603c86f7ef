# shellcheck shell=bash
# Shared by the scripts here and bench/*/run.sh: source it, do not run it.
#   release_build   configure and build a Release tree of its own for a benchmark or fuzz run
#   wine_*          the wine prefixes and the UTF-8 locale the tests under wine use

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# release_build FOLDER TARGET... [-- CMAKE_ARGUMENT...]
# Builds the targets in FOLDER (a Release tree, unless the arguments say otherwise) and sets
# bin to the folder that holds the programs and libraries.
release_build() {
  local build=$1
  shift
  local targets=()
  while (($#)) && [[ $1 != -- ]]; do
    targets+=("$1")
    shift
  done
  if (($#)); then shift; fi
  # -O2: gcc 12 at -O3 warns falsely (-Wrestrict) inside std::string, and warnings are errors.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" "$@" >/dev/null
  if ! cmake --build "$build" -j2 --target "${targets[@]}" >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    return 1
  fi
  # shellcheck disable=SC2034  # read by the caller
  bin=$build/bin
}

# The default prefix, built by wine's first start; done once here rather than inside a test.
wine_base_prefix() {
  echo "${WINEPREFIX:-$HOME/.wine-parvex}"
}

# wine_prefix_ready PREFIX: creates PREFIX if it does not exist yet, or anew when it lacks the
# 32-bit half that the installed wine has (a prefix made before wine32 was installed fails
# afterwards with "could not load kernel32.dll").
wine_prefix_ready() {
  if [[ -f "$1/system.reg" && ! -f "$1/drive_c/windows/syswow64/kernel32.dll" ]] && wine_runs_x86
  then
    WINEDEBUG=-all WINEPREFIX=$1 wineserver -k 2>/dev/null || true
    rm -rf "$1"
  fi
  if [[ ! -f "$1/system.reg" ]]; then
    WINEDEBUG=-all WINEPREFIX=$1 wineboot -i >/dev/null 2>&1 || true
    WINEDEBUG=-all WINEPREFIX=$1 wineserver -w || true
  fi
}

# wine_acp65001_prefix PREFIX: a prefix whose ANSI and OEM code pages are UTF-8 (65001), as
# Windows' "Use Unicode UTF-8 for worldwide language support" sets them in the registry.
# Wine 8 ignores those values and takes the code page from the locale: run programs in it with
# wine_utf8_locale's locale too.
wine_acp65001_prefix() {
  wine_prefix_ready "$1"
  local value
  for value in ACP OEMCP; do
    WINEDEBUG=-all WINEPREFIX=$1 wine reg add 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' \
      /v "$value" /t REG_SZ /d 65001 /f >/dev/null 2>&1
  done
}

# wine_utf8_locale FOLDER: compiles hi_IN.UTF-8, a locale whose Windows code page is UTF-8 only,
# into FOLDER when it is not there; use it with LOCPATH=FOLDER LC_ALL=hi_IN.UTF-8.
wine_utf8_locale() {
  if [[ ! -d "$1/hi_IN.UTF-8" ]]; then
    mkdir -p "$1"
    localedef -i hi_IN -f UTF-8 "$1/hi_IN.UTF-8"
  fi
}

# wine_views_prefix FOLDER DPI: a prefix for the window tests. A hard-linked copy of the
# default prefix, with wine's own fonts in C:\windows\Fonts (its MS Sans Serif stands in for the
# Microsoft Sans Serif the windows ask for), windows that wine draws whole (no X window manager
# needed, no waits for one) and the screen's dots per inch set to DPI.
wine_views_prefix() {
  local folder=$1 dpi=$2 base file
  base=$(wine_base_prefix)
  wine_prefix_ready "$base"
  if [[ -d "$folder" ]]; then
    WINEDEBUG=-all WINEPREFIX=$folder wineserver -k 2>/dev/null || true
    rm -rf "$folder"
  fi
  cp -al "$base" "$folder"
  # wineserver rewrites the registry files in place: those must be copies, or the settings
  # below would change the default prefix too.
  for file in "$base"/*.reg "$base"/.update-timestamp; do
    if [[ -f "$file" ]]; then cp --remove-destination "$file" "$folder/"; fi
  done
  local fonts=$folder/drive_c/windows/Fonts
  mkdir -p "$fonts"
  cp --remove-destination /usr/share/wine/fonts/* "$fonts/" 2>/dev/null || true
  (
    export WINEDEBUG=-all WINEPREFIX=$folder
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
    wine reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
    # Windows' "Microsoft Sans Serif" has the metrics of "MS Sans Serif"; wine has no such
    # font and would draw a wider one for it.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v 'Microsoft Sans Serif' /d 'MS Sans Serif' /f >/dev/null
    wineserver -w
  )
}

# Whether wine here runs 32-bit Windows programs: Debian's wine32 must be installed and the
# kernel must run 32-bit Linux programs (some virtual machines' kernels have that turned off).
wine_runs_x86() {
  [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
