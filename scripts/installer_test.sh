#!/usr/bin/env bash
# Checks a Parvex package in a fresh wine prefix of its own, as a user would meet it:
#   1. regsvr32 on the DLLs at the install folder: the keys it writes are the reference; its
#      unregistration must leave no key of ours.
#   2. silent install: the files in place, the user's keys equal to regsvr32's, the product's
#      version equal to the DLL's, a send through the simulated mail client whose one "DD"
#      holds the mail's file; then silent uninstall, which leaves nothing of ours but what the
#      add-in wrote beside itself (its statistics, event log and lock file).
#   3. the same after an upgrade from a package of a lower version, with a repair between
#      (the same package again puts back a deleted file and key).
#   4. beside Office of its bitness the package installs without the no-Office note; beside
#      Office of the other bitness it refuses.
# With "machine", the package for all users: the same steps with its keys under HKLM, its files
# in Program Files, the user's files of a send in %LOCALAPPDATA%\Parvex and nothing at all left
# after uninstalling; and the per-user package installed and removed beside it.
# With "pair" (the x64 package, and X86_BIN the x86 build's folder), both bitnesses in one
# prefix, as 64-bit Windows holds them: each registered by its own regsvr32 beside the other and
# unregistered, in both orders; then the x64 and x86 packages, per user and for all users,
# installed and removed in both orders: removing one leaves the other as it was alone (and
# sending), removing both leaves nothing.
# Usage: scripts/installer_test.sh MSI WXS ARCH BIN [machine]   (BIN: the built DLLs' folder)
#        scripts/installer_test.sh MSI WXS x64 BIN pair X86_BIN
set -euo pipefail
source "$(dirname "$0")/lib.sh"
msi=$(realpath "$1") wxs=$(realpath "$2") arch=$3 bin=$(realpath "$4") mode=${5:-user}
root=HKCU root_name=HKEY_CURRENT_USER
if [[ $mode == machine ]]; then root=HKLM root_name=HKEY_LOCAL_MACHINE; fi
if [[ $mode == pair ]]; then
  x86_bin=$(realpath -m "$6")
  if [[ ! -f $x86_bin/Parvex-x86-machine.msi ]]; then
    echo "no x86 packages in $x86_bin: build the win32 preset first"
    exit 77
  fi
fi
if [[ $arch == x86 ]] && ! wine_runs_x86; then
  echo "no 32-bit wine here: the x86 package is built, not installed"
  exit 77
fi
# The package holds no text of the code page's: the run under code page 65001 skips it.
if [[ ${PARVEX_EXPECT_ACP:-} == 65001 ]]; then
  echo "the package was checked in the run under the default code page"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/parvex-installer.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
win() { wine "$@" 2>/dev/null | tr -d '\r'; }
# Where wine has its 32-bit half, `wine reg` and `wine cmd` are the 32-bit tools, as tools started
# from a 32-bit program are on Windows: each call names the view and the folder it means.
view=/reg:64 program_files_variable=%ProgramW6432%
if [[ $arch == x86 ]]; then view=/reg:32 program_files_variable='%ProgramFiles(x86)%'; fi

echo "== a fresh prefix"
wineboot -i >/dev/null 2>&1
wineserver -w
folder_name=$(sed -n 's/.*<Directory Id="INSTALLDIR" Name="\([^"]*\)".*/\1/p' "$wxs")
local_data=$(win cmd /c echo %LOCALAPPDATA%)
user_folder=$(winepath -u "$local_data\\Programs\\$folder_name" 2>/dev/null)
user_dll="$local_data\\Programs\\$folder_name\\Parvex.dll"
if [[ $mode == machine ]]; then
  program_files=$(win cmd /c echo "$program_files_variable")
  folder=$(winepath -u "$program_files\\$folder_name" 2>/dev/null)
  data=$(winepath -u "$local_data\\Parvex" 2>/dev/null)
  dll="$program_files\\$folder_name\\Parvex.dll"
else
  folder=$user_folder dll=$user_dll
fi
# Every key the package writes, from the package's own source.
mapfile -t keys < <(sed -n "s/.*<RegistryValue Root=\"$root\" Key=\"\\([^\"]*\\)\".*/\\1/p" "$wxs" | sort -u)
((${#keys[@]} > 50)) || fail "only ${#keys[@]} keys found in $wxs"

# Each key of ours with its values, one sorted line a value (the order values were written in
# differs between the package and regsvr32). Wine keeps one view of the user's classes.
# Under HKLM, named as under HKCU: the machine's keys compare with regsvr32's for the user.
our_keys() {
  win reg export "${1:-$root}" "$work/user.reg" /y $view >/dev/null
  python3 - "$work/user.reg" "${1:-$root_name}" "${keys[@]}" <<'EOF'
import sys
root = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}.get(sys.argv[2], sys.argv[2])
wanted = {(root + "\\" + k).lower() for k in sys.argv[3:]}
key, lines = None, []
for line in open(sys.argv[1], encoding="utf-16").read().splitlines():
    if line.startswith("["):
        key = line[1:-1] if line[1:-1].lower() in wanted else None
        if key:
            # Key names compare without case: wine's machine classes spell "Typelib".
            key = ("HKEY_CURRENT_USER" + key[len(root):]).lower()
            lines.append(key + "|")
    elif key and line.strip():
        lines.append(key + "|" + line)
print("\n".join(sorted(lines)))
EOF
}
# The user's and the machine's software keys as text, without what wine changes by itself. The
# 64-bit view shows both views as they lie, the 32-bit one under Wow6432Node.
whole_registry() {
  local root
  for root in 'HKCU\Software' 'HKLM\Software'; do
    win reg export "$root" "$work/export.reg" /y /reg:64 >/dev/null
    iconv -f UTF-16LE -t UTF-8 "$work/export.reg" | tr -d '\r' | sed '/^$/d' |
      awk '/^\[/ { h = tolower($0); skip = h ~ /\\(wine|installer)(\\|\])/ } !skip'
  done
}
# Wine's COM reads only the machine's classes: while the mail client runs, copy the user's
# Parvex.Connect into them, as Windows' merged view of both shows it.
mirror_classes() {
  local k clsid
  clsid=$(sed -n 's/.*Key="Software\\Classes\\Parvex.Connect\\CLSID" Type="string" Value="\([^"]*\)".*/\1/p' "$wxs")
  [[ $mode == user ]] || return 0  # the machine's classes are where wine looks already
  for k in "Software\\Classes\\Parvex.Connect" "Software\\Classes\\CLSID\\$clsid"; do
    if [[ $1 == copy ]]; then
      win reg copy "HKCU\\$k" "HKLM\\$k" /s /f $view >/dev/null || fail "cannot copy $k"
    else
      win reg delete "HKLM\\$k" /f $view >/dev/null || fail "cannot delete the copy of $k"
    fi
  done
}
send_one_mail() {
  local outbox=$work/outbox out
  rm -rf "$outbox"
  mirror_classes copy
  out=$(win "$bin/parvex-sim.exe" send --registered --addin-folder "Z:$work/sim" \
    --outbox "Z:$outbox" "Z:$work/mail.txt") || { echo "$out"; fail "the send failed"; }
  mirror_classes delete
  grep -q 'with 1 attachment(s):' <<<"$out" || { echo "$out"; fail "no single attachment"; }
  local dd
  dd=$(find "$outbox" -type f -name 'Attachments.zip' | head -1)
  [[ -n $dd ]] || { echo "$out"; fail "no Attachments.zip in the outbox"; }
  rm -rf "$work/unzipped"
  unzip -q "$dd" -d "$work/unzipped"
  cmp -s "$work/mail.txt" "$work/unzipped/mail.txt" || fail "DD does not hold the mail's file"
  echo "sent: DD holds mail.txt, byte for byte"
  if [[ $mode == machine ]]; then
    [[ -f $data/parvex.log ]] || fail "no statistics in the user's folder $data"
    echo "the user's statistics in $data, none beside the DLL"
  fi
}
check_installed() {
  local files
  files=$(cd "$folder" && find . -type f -printf '%P\n' |
    grep -v -x -E 'parvex.log|ziplogfile.log|parvex.lock' | LC_ALL=C sort | tr '\n' ' ')
  local expected="License.txt Parvex.dll PolicyDefinitions/Parvex.admx PolicyDefinitions/en-US/Parvex.adml "
  if [[ $mode == machine ]]; then expected+="parvex.machine "; fi
  expected+="unzip32.dll zip32.dll "
  [[ $files == "$expected" ]] || fail "files in the folder: $files"
  [[ "$(our_keys)" == "$reference" ]] || {
    diff <(echo "$reference") <(our_keys) || true
    fail "the package's keys differ from regsvr32's"
  }
  echo "installed: 3 files, ${#keys[@]} keys as regsvr32 writes them"
}
check_removed() {
  [[ -z "$(our_keys)" ]] || fail "keys of ours left: $(our_keys)"
  diff -u <(echo "$registry_before") <(whole_registry) >"$work/registry.diff" ||
    { cat "$work/registry.diff"; fail "the registry differs from before"; }
  local left
  # What the add-in wrote beside itself stays: its history and its lock file.
  left=$(cd "$folder" 2>/dev/null && find . -type f -printf '%f\n' |
    grep -v -x -E 'parvex.log|ziplogfile.log|parvex.lock' | tr '\n' ' ' || true)
  [[ -z $left ]] || fail "files left: $left"
  if [[ $mode == machine && -e $folder ]]; then fail "the folder is left: $folder"; fi
  left=$(cd "$folder" 2>/dev/null && find . -type f -printf '%f\n' | sort | tr '\n' ' ' || true)
  echo "removed: no key of ours, the registry as before; kept: ${left:-nothing}"
}

printf 'A mail of the test, a line long.\n%.0s' {1..200} >"$work/mail.txt"

# Each file a package installs, wherever it lies in the prefix.
package_files() {
  (cd "$WINEPREFIX/drive_c" && find . -type f \( -name Parvex.dll -o -name zip32.dll -o \
    -name unzip32.dll -o -name 'Parvex.adm?' -o -name parvex.machine \) -printf '%P\n' | sort)
}
# regsvr ARCH [/u]: the DLLs of that bitness, registered by the regsvr32 of that bitness.
# The launcher `wine` is 32-bit once wine has its 32-bit half and cannot start sysnative's tools:
# the 64-bit regsvr32 is started by the 64-bit loader itself.
regsvr() {
  local dll_arch=$1
  shift
  local run=(/usr/lib/wine/wine64 'C:\windows\system32\regsvr32.exe')
  if [[ $dll_arch == x86 ]]; then run=(wine 'C:\windows\syswow64\regsvr32.exe'); fi
  "${run[@]}" /s "$@" "Z:$work/$dll_arch/Parvex.dll" 2>/dev/null ||
    fail "regsvr32 $* of the $dll_arch DLL failed"
}
if [[ $mode == pair ]]; then
  declare -A bins=([x64]=$bin [x86]=$x86_bin) packages=([x64]=$msi [x86]=$x86_bin/Parvex-x86.msi)
  # Windows splits the user's CLSID key by view and shares the ProgIDs and type library keys;
  # wine keeps one user's CLSID key unless HKCU\Software\Classes\Wow6432Node exists, and splits
  # the ProgIDs. In this prefix only (the tests of one package meet wine's own layout), that key
  # is made, holding links from the 32-bit places of our shared keys to the 64-bit ones.
  wineserver -w
  mapfile -t shared < <(sed -n 's/.*Key="Software\\Classes\\\(Parvex\.[A-Za-z]*\)".*/\1/p' "$wxs" | sort -u)
  python3 - "$WINEPREFIX" "${shared[@]}" <<'EOF'
import re, sys
prefix, names = sys.argv[1], sys.argv[2:]
for file, links in (("system.reg", names), ("user.reg", names + ["TypeLib"])):
    text = open(f"{prefix}/{file}", encoding="utf-8").read()
    root = re.search(r"^;; All keys relative to (\S+)", text, re.M).group(1).replace("\\\\", "\\")
    with open(f"{prefix}/{file}", "a", encoding="utf-8") as out:
        for name in links:
            target = f"\\{root}\\Software\\Classes\\{name}".encode("utf-16le")
            out.write(f'\n[Software\\\\Classes\\\\Wow6432Node\\\\{name}] 0\n#link\n'
                      f'"SymbolicLinkValue"=hex(6):{",".join(f"{b:02x}" for b in target)}\n')
EOF
  # Windows' 32-bit view has a programs list and other programs' classes; a prefix without
  # wine's 32-bit half has none, and wine's installer makes that list and removes keys it empties.
  win reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /f /reg:32 >/dev/null
  for k in CLSID Interface; do
    win reg add "HKLM\\Software\\Classes\\$k\\{00000000-1111-2222-3333-444444444444}" /d other /f \
      /reg:32 >/dev/null
  done
  registry_before=$(whole_registry)
  echo "== both bitnesses registered by regsvr32, side by side"
  if wine_runs_x86; then
    for a in x64 x86; do
      mkdir -p "$work/$a"
      cp "${bins[$a]}/Parvex.dll" "${bins[$a]}/zip32.dll" "${bins[$a]}/unzip32.dll" "$work/$a/"
    done
    for first in x64 x86; do
      second=x86
      if [[ $first == x86 ]]; then second=x64; fi
      regsvr $first
      alone=$(whole_registry)
      regsvr $second
      regsvr $second /u
      diff -u <(echo "$alone") <(whole_registry) ||
        fail "unregistering $second took $first's registration"
      regsvr $first /u
      diff -u <(echo "$registry_before") <(whole_registry) || fail "both unregistered left keys"
      echo "$first, then $second registered and unregistered: $first's keys as they were"
    done
  else
    echo "skipped: no 32-bit wine here, so no 32-bit regsvr32"
  fi
  for scope in user machine; do
    for stays in x86 x64; do
      goes=x86
      if [[ $stays == x86 ]]; then goes=x64; fi
      suffix=""
      if [[ $scope == machine ]]; then suffix=-machine; fi
      echo "== $scope packages: $stays installed, $goes beside it and removed, then $stays"
      msiexec /i "${packages[$stays]%.msi}$suffix.msi" /qn || fail "msiexec /i ($stays): $?"
      alone=$(whole_registry) alone_files=$(package_files)
      msiexec /i "${packages[$goes]%.msi}$suffix.msi" /qn || fail "msiexec /i ($goes): $?"
      msiexec /x "${packages[$goes]%.msi}$suffix.msi" /qn || fail "msiexec /x ($goes): $?"
      diff -u <(echo "$alone") <(whole_registry) || fail "removing $goes changed $stays's keys"
      [[ $(package_files) == "$alone_files" ]] || fail "removing $goes changed $stays's files"
      if [[ $stays == x64 ]] || wine_runs_x86; then
        bin=${bins[$stays]} mode=$scope view=/reg:64 data=$(winepath -u "$local_data\\Parvex")
        if [[ $stays == x86 ]]; then view=/reg:32; fi
        send_one_mail
      fi
      msiexec /x "${packages[$stays]%.msi}$suffix.msi" /qn || fail "msiexec /x ($stays): $?"
      diff -u <(echo "$registry_before") <(whole_registry) || fail "both removed left keys"
      [[ -z $(package_files) ]] || fail "both removed left files: $(package_files)"
      echo "$goes came and went, $stays stayed whole; both removed left nothing"
    done
  done
  echo "installer pair test passed"
  exit 0
fi
registry_before=$(whole_registry)

echo "== regsvr32, for the reference"
mkdir -p "$folder"
cp "$bin/Parvex.dll" "$bin/zip32.dll" "$bin/unzip32.dll" "$folder/"
win regsvr32 /s "$dll" || fail "regsvr32 failed"
reference=$(our_keys HKCU)
[[ -n $reference ]] || fail "regsvr32 wrote no key"
win regsvr32 /s /u "$dll" || fail "regsvr32 /u failed"
[[ -z "$(our_keys HKCU)" ]] || fail "regsvr32 /u left keys: $(our_keys HKCU)"
rm -rf "$folder"
diff -u <(echo "$registry_before") <(whole_registry) ||
  fail "regsvr32 /u left the registry different"

echo "== install $(basename "$msi") ($(stat -c %s "$msi") bytes)"
msiexec /i "$msi" /qn /l*v "$work/install.log" || fail "msiexec /i: $?"
check_installed
grep -q 'ARPCOMMENTS = Installed where no Outlook was found' "$work/install.log" ||
  fail "no word of the missing Office"
echo "no Office found: installed, and said so in the programs list"
product=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
file=$(python3 - "$folder/Parvex.dll" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
ms, ls = struct.unpack_from("<II", data, at + 8)
print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
EOF
)
[[ $product == "$file" ]] || fail "product version $product, DLL version $file"
echo "version: $product, the DLL's"
msiinfo suminfo "$msi" | grep -q 'MIT License' || fail "the package's summary names no license"
send_one_mail
msiexec /x "$msi" /qn || fail "msiexec /x: $?"
check_removed

echo "== upgrade from a lower version, repair, uninstall"
old=$work/Parvex-old.msi
wixl -a "$arch" -D Version=0.9.0.0 -D ProductCode="$(python3 -c 'import uuid; print(uuid.uuid4())')" \
  -D Bin=files -o "$old" "$wxs" 2>/dev/null
msiexec /i "$old" /qn || fail "msiexec /i (0.9): $?"
msiexec /i "$msi" /qn || fail "msiexec /i (upgrade): $?"
check_installed
products_key='HKCU\Software\Microsoft\Installer\Products'
if [[ $mode == machine ]]; then products_key='HKLM\Software\Classes\Installer\Products'; fi
products=$( (win reg query "$products_key" /s $view || true) | grep -c 'ProductName.*Parvex' || true)
((products == 1)) || fail "$products Parvex products registered after the upgrade"
rm "$folder/zip32.dll"
win reg delete "$root\\${keys[0]}" /f $view >/dev/null || fail "cannot delete $root\\${keys[0]}"
msiexec /i "$msi" /qn || fail "msiexec /i (repair): $?"
check_installed
echo "repaired: a deleted file and key put back"
send_one_mail
msiexec /x "$msi" /qn || fail "msiexec /x: $?"
check_removed

echo "== Office of either bitness"
# Each bitness of Office writes its keys in its own view.
win reg add 'HKLM\SOFTWARE\Microsoft\Office\16.0\Outlook' /v Bitness /d "$arch" /f $view >/dev/null
msiexec /i "$msi" /qn /l*v "$work/office.log" || fail "msiexec /i beside $arch Office: $?"
if grep -q 'ARPCOMMENTS = Installed where no Outlook' "$work/office.log"; then
  fail "said no Office was found beside $arch Office"
fi
msiexec /x "$msi" /qn || fail "msiexec /x: $?"
win reg delete 'HKLM\SOFTWARE\Microsoft\Office' /f $view >/dev/null
echo "installed beside $arch Office"
other=x64 other_view=/reg:64
if [[ $arch == x64 ]]; then other=x86 other_view=/reg:32; fi
win reg add 'HKLM\SOFTWARE\Microsoft\Office\16.0\Outlook' /v Bitness /d $other /f $other_view >/dev/null
if msiexec /i "$msi" /qn; then fail "installed beside $other Office"; fi
[[ ! -e "$folder/Parvex.dll" ]] || fail "a refused install left files"
win reg delete 'HKLM\SOFTWARE\Microsoft\Office' /f $other_view >/dev/null
echo "refused beside $other Office"
if [[ $mode == machine ]]; then
  echo "== the per-user package beside this one"
  msiexec /i "$msi" /qn || fail "msiexec /i: $?"
  msiexec /i "${msi%-machine.msi}.msi" /qn || fail "msiexec /i (per user beside): $?"
  [[ -n "$(our_keys HKCU)" ]] || fail "the per-user package wrote no key beside"
  msiexec /x "${msi%-machine.msi}.msi" /qn || fail "msiexec /x (per user beside): $?"
  check_installed
  echo "the per-user package came and went; this one stayed whole"
  msiexec /x "$msi" /qn || fail "msiexec /x: $?"
  check_removed
fi
echo "installer test passed"
