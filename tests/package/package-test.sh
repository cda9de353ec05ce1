#!/bin/sh
# The Windows Installer package of one architecture under Wine's msiexec, in
# a clean prefix (tools/clean-prefix): install, the signatures and versions of
# the installed files (osslsigncode and Windows' own WinVerifyTrust and
# VERSIONINFO against the File table), the installed host against the
# simulated service, major upgrade, refused downgrade, repair, uninstall, the
# log properties, and the registry the package writes compared with what
# regsvr32 writes in a second clean prefix.
#   package-test.sh x64|x86 BUILD-ROOT
set -eu
export LC_ALL=C
arch=$1 root=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/$arch"
files_of_windows="$root/x64/bin/installed_files.exe"
for f in "$build/bin/Quorvex.dll" "$build/bin/quorvex-host.exe" "$build/bin/winscard.dll" \
         "$build/resource_libraries/VestrelRes_en.dll" "$root/x64/bin/Quorvex.dll" "$files_of_windows"; do
  [ -f "$f" ] || { echo "$arch package tests skipped: ${f#$root/} not built"; exit 77; }
done
for tool in wixl msiinfo osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "$arch package tests skipped: $tool is not installed"; exit 77; }
done
# The packages are signed with the build's throw-away test CA, whatever key
# the environment holds.
unset QUORVEX_SIGN_PKCS12 QUORVEX_SIGN_PASSWORD QUORVEX_SIGN_TIMESTAMP_URL
clsid='{3426285D-DDFE-473B-85D5-8D551AE92E48}'
case "$arch" in
  x64) pfdir="Program Files" view="";;
  x86) pfdir="Program Files (x86)" view='Wow6432Node\';;
esac
work=$(mktemp -d "$root/package-test-$arch.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
cleanup() { "$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
step() { echo "== [$(date +%T)] $*"; }
W() { "$wine" "$@" </dev/null; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

step "packages 1.0.0-like (project version) and 1.0.1"
"$top/tools/package" "$arch" "$root" "$work/v1" >/dev/null
QUORVEX_PACKAGE_VERSION=1.0.1 "$top/tools/package" "$arch" "$root" "$work/v2" >/dev/null
old=$(ls "$work"/v1/*.msi) new=$(ls "$work"/v2/*.msi)
version=$(cat "$build/version.txt")

"$top/tools/clean-prefix" "$root" "$WINEPREFIX"
"$wineserver" -p >/dev/null 2>&1 </dev/null || true
W cmd /c exit >/dev/null 2>&1 || true
app="$WINEPREFIX/drive_c/$pfdir/Tavrix/Vestrel/Quorvex"
vendor="$WINEPREFIX/drive_c/$pfdir/Tavrix"

# One line per key and per value of a registry branch, sorted. Wine's
# msiexec keeps its own bookkeeping after uninstall: Classes\Installer and
# empty keys below CurrentVersion\Installer.
export_flat() {
  W reg export "$1" 'C:\qvexport.reg' /y >/dev/null 2>&1 || fail "reg export $1"
  iconv -f UTF-16LE -t UTF-8 "$WINEPREFIX/drive_c/qvexport.reg" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' | awk '
    /^\[/ { key = substr($0, 2, length($0) - 2); print key; next }
    /^(@|")/ && key != "" { print key "\t" $0 }' |
    grep -v -i -e '^HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer' \
      -e '^HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\[^	]*$' | sort >"$2"
  rm -f "$WINEPREFIX/drive_c/qvexport.reg"
}
msi() { # msi EXPECTED-CODE msiexec-arguments...
  want=$1; shift
  rc=0; W msiexec "$@" /qn /l*v 'C:\qvmsi.log' >/dev/null 2>&1 || rc=$?
  [ "$rc" = "$want" ] || { tail -n 30 "$WINEPREFIX/drive_c/qvmsi.log" 2>/dev/null | iconv -f UTF-16LE -t UTF-8 2>/dev/null; fail "msiexec $* exited $rc, expected $want"; }
}
arp_entries() { # "DisplayVersion" of every ARP entry of this package
  grep -i '\\CurrentVersion\\Uninstall\\' "$1" | grep -F "\"DisplayName\"=\"Quorvex ($arch)\"" | cut -f1 | while read -r k; do
    grep -F "$k	\"DisplayVersion\"" "$1" | sed 's/.*="\(.*\)"/\1/'
  done
}
files_present() {
  for f in Quorvex.dll quorvex-host.exe VestrelRes_en.dll; do [ -f "$app/$f" ] || fail "$f not installed"; done
}
policy() { grep -i -F 'HKEY_LOCAL_MACHINE\Software\Policies\Tavrix\Vestrel	' "$1" || true; }
same() { diff "$1" "$2" >"$work/diff" || { head -n 40 "$work/diff"; fail "$3"; }; }
# The registry as before, but for keys that were empty: msiexec also deletes
# the parents it emptied, and a clean prefix holds a few empty ones
# (Classes\Wow6432Node\Interface, Policies).
as_before() {
  comm -13 "$1" "$2" | sed 's/^/added: /' >"$work/changes"
  comm -23 "$1" "$2" | awk -F '\t' '
    NR == FNR { below[NR] = tolower($0); n = NR; next }
    NF > 1 { print "removed: " $0; next }
    { k = tolower($0); for (i = 1; i <= n; ++i) if (index(below[i], k "\\") == 1 || index(below[i], k "\t") == 1) { print "removed: " $0; next } }
  ' "$1" - >>"$work/changes"
  [ ! -s "$work/changes" ] || { head -n 40 "$work/changes"; fail "$3"; }
}

# The test CA in the machine's root store, before anything is measured
# (the first use of the store also copies the system's roots into it).
openssl x509 -in "$root/signing/ca.crt" -outform der -out "$WINEPREFIX/drive_c/qvca.der"
W "$files_of_windows" --add-root 'C:\qvca.der' || fail "the test CA did not go into the root store"
export_flat 'HKLM\Software' "$work/before.txt"
t0=$(date +%s)

step "install $(basename "$old") (no log properties)"
msi 0 /i "$(winpath "$old")"
files_present
ls "$app" | tr '\n' ' '; echo
export_flat 'HKLM\Software' "$work/installed.txt"
[ "$(arp_entries "$work/installed.txt")" = "$version" ] || fail "ARP entries: $(arp_entries "$work/installed.txt" | tr '\n' ' ')"
echo "ARP entry: Quorvex ($arch) $version"
grep -q -i -F "Classes\\${view}CLSID\\$clsid\\InprocServer32	@=" "$work/installed.txt" || fail "class not registered in the ${view:-64-bit }view"
[ -z "$(policy "$work/installed.txt")" ] || fail "log policy written without LOGLEVEL/LOGFILE: $(policy "$work/installed.txt")"
grep -i '^HKEY_LOCAL_MACHINE\\Software\\Classes' "$work/installed.txt" >"$work/classes-installed.txt"
cp "$app/Quorvex.dll" "$work/installed-Quorvex.dll"

step "signatures and versions of the installed files"
installed="Quorvex.dll quorvex-host.exe $(cd "$build/resource_libraries" && ls VestrelRes_*.dll | tr '\n' ' ')"
for f in $installed; do
  osslsigncode verify -CAfile "$root/signing/ca.crt" -in "$app/$f" >"$work/verify.txt" 2>&1 ||
    { cat "$work/verify.txt"; fail "installed $f does not verify against the test CA"; }
done
osslsigncode verify -CAfile "$root/signing/ca.crt" -in "$old" >/dev/null 2>&1 || fail "$(basename "$old") does not verify"
echo "osslsigncode: the package and its $(echo $installed | wc -w) installed files verify against the test CA"
# Windows' own view, with the test CA in the machine's root store: the
# trust verdict and chain status of each installed file, of the package and
# of a copy of the DLL with one byte changed; and each file's VERSIONINFO.
cp "$app/Quorvex.dll" "$WINEPREFIX/drive_c/qvchanged.dll"
printf 'Q' | dd of="$WINEPREFIX/drive_c/qvchanged.dll" bs=1 seek=$(($(stat -c %s "$app/Quorvex.dll") / 3)) conv=notrunc 2>/dev/null
cp "$old" "$WINEPREFIX/drive_c/qvpackage.msi"
set --
for f in $installed; do set -- "$@" "$(printf 'C:\\%s\\Tavrix\\Vestrel\\Quorvex\\%s' "$pfdir" "$f")"; done
# One line per file: trust result, chain status, version, language, name.
W "$files_of_windows" "$@" 'C:\qvpackage.msi' 'C:\qvchanged.dll' | tr -d '\r' | sed 's/ [A-Z]:.*\\/ /' >"$work/windows.txt"
cat "$work/windows.txt"
for f in $installed qvpackage.msi; do
  grep -q -x "0x00000000 0x00000000 .* $f" "$work/windows.txt" || fail "WinVerifyTrust: $f not trusted through the test CA"
done
grep -q -x '0x80096010 .* qvchanged.dll' "$work/windows.txt" || fail "WinVerifyTrust took a changed byte"
# The File table's versions and languages are the files' own.
msiinfo export "$old" File | tail -n +4 | awk -F '\t' '{ print $5, $6, $3 }' | sed 's/ [^ |]*|/ /' | sort >"$work/file-table.txt"
grep -v -e ' qvpackage.msi$' -e ' qvchanged.dll$' "$work/windows.txt" | cut -d' ' -f3- | sort >"$work/file-versions.txt"
same "$work/file-versions.txt" "$work/file-table.txt" "the File table's versions are not the files' VERSIONINFO"
echo "File table: the VERSIONINFO version and language of each of the $(wc -l <"$work/file-table.txt") files"

step "installed quorvex-host list and capture (simulated service, card after 1 s)"
cp "$build/bin/winscard.dll" "$top/demo/demo-scenario.txt" "$app/"
(
  export WINEDLLOVERRIDES="winscard=n;mscoree,mshtml=" SCARDSIM_SCENARIO="$(winpath "$app/demo-scenario.txt")"
  W "$app/quorvex-host.exe" list | tr -d '\r'
  rc=0; W "$app/quorvex-host.exe" capture --timeout 20 >"$work/capture.txt" 2>&1 || rc=$?
  tr -d '\r' <"$work/capture.txt"
  [ "$rc" = 0 ] || fail "capture exited $rc"
  grep -q 'smartCardName: *Quorvex Demo Card' "$work/capture.txt" || fail "no DataReady for the demo card"
) || exit 1
rm -f "$app/winscard.dll" "$app/demo-scenario.txt"
W "$app/quorvex-host.exe" --version | tr -d '\r'

step "major upgrade to 1.0.1"
msi 0 /i "$(winpath "$new")"
files_present
export_flat 'HKLM\Software' "$work/upgraded.txt"
[ "$(arp_entries "$work/upgraded.txt")" = "1.0.1" ] || fail "ARP entries after upgrade: $(arp_entries "$work/upgraded.txt" | tr '\n' ' ')"
grep -q -F "Quorvex\\Installed	\"$arch\"=\"1.0.1\"" "$work/upgraded.txt" || fail "installed version is not 1.0.1"
echo "one ARP entry: Quorvex ($arch) 1.0.1"

step "downgrade to $version refused"
rc=0; W msiexec /i "$(winpath "$old")" /qn >/dev/null 2>&1 || rc=$?
[ "$rc" != 0 ] || fail "downgrade installed"
echo "msiexec exit code $rc (1603 cut to 8 bits is 67)"
export_flat 'HKLM\Software' "$work/refused.txt"
[ "$(arp_entries "$work/refused.txt")" = "1.0.1" ] || fail "downgrade changed the ARP entries"

step "repair restores a deleted DLL and a deleted class key"
rm "$app/Quorvex.dll"
W reg delete "HKLM\\Software\\Classes\\${view}CLSID\\$clsid" /f >/dev/null 2>&1 || fail "reg delete"
msi 0 /i "$(winpath "$new")" REINSTALL=ALL REINSTALLMODE=amus
files_present
export_flat 'HKLM\Software' "$work/repaired.txt"
grep -i '^HKEY_LOCAL_MACHINE\\Software\\Classes' "$work/repaired.txt" >"$work/classes-repaired.txt"
same "$work/classes-installed.txt" "$work/classes-repaired.txt" "repair did not restore the registration"
echo "DLL and class key back; HKLM\\Software\\Classes as after install"

step "uninstall"
msi 0 /x "$(winpath "$new")"
[ ! -e "$vendor" ] || fail "left behind: $(find "$vendor" | sed "s|$WINEPREFIX/||")"
export_flat 'HKLM\Software' "$work/removed.txt"
as_before "$work/before.txt" "$work/removed.txt" "uninstall left registry changes"
echo "no file, folder or key left (HKLM\\Software as before install)"

step "log properties: LOGLEVEL=3 LOGFILE=C:\\Logs\\Quorvex.txt"
msi 0 /i "$(winpath "$new")" LOGLEVEL=3 'LOGFILE=C:\Logs\Quorvex.txt'
export_flat 'HKLM\Software' "$work/logprops.txt"
policy "$work/logprops.txt"
policy "$work/logprops.txt" | grep -q -F '"MainLogLevel"=dword:00000003' || fail "MainLogLevel not written"
policy "$work/logprops.txt" | grep -q -F '"MainLogFile"="C:\\Logs\\Quorvex.txt"' || fail "MainLogFile not written"
msi 0 /x "$(winpath "$new")"
export_flat 'HKLM\Software' "$work/removed2.txt"
as_before "$work/before.txt" "$work/removed2.txt" "uninstall with log properties left registry changes"
t1=$(date +%s)

step "registry of the package equals regsvr32's for the installed file, in a second clean prefix"
"$wineserver" -k >/dev/null 2>&1 || true
export WINEPREFIX="$work/regsvr32-prefix"
"$top/tools/clean-prefix" "$root" "$WINEPREFIX"
"$wineserver" -p >/dev/null 2>&1 </dev/null || true
mkdir -p "$WINEPREFIX/drive_c/$pfdir/Tavrix/Vestrel/Quorvex"
cp "$work/installed-Quorvex.dll" "$WINEPREFIX/drive_c/$pfdir/Tavrix/Vestrel/Quorvex/Quorvex.dll"
export_flat 'HKLM\Software' "$work/before-regsvr32.txt"
W regsvr32 /s "$(printf 'C:\\%s\\Tavrix\\Vestrel\\Quorvex\\Quorvex.dll' "$pfdir")" || fail "regsvr32"
export_flat 'HKLM\Software' "$work/regsvr32.txt"
comm -13 "$work/before.txt" "$work/classes-installed.txt" >"$work/added-installed.txt"
comm -13 "$work/before-regsvr32.txt" "$work/regsvr32.txt" | grep -i '^HKEY_LOCAL_MACHINE\\Software\\Classes' >"$work/added-regsvr32.txt"
# x86: two differences belong to the platform, not to the package. Wine's
# (64-bit) msiexec writes every key of a 32-bit component below
# Classes\Wow6432Node, where a 32-bit regsvr32 puts only CLSID and Interface
# and writes the rest (ProgIDs, category) in the part of Classes both views
# share (32-bit clients find them either way); and the type library
# registration of a 32-bit regsvr32 mirrors the interface keys into the 64-bit
# view, which a 32-bit package cannot write. Both sides are compared without
# them, and a key the mapping finds there already (Component Categories) is
# not an addition.
comparable() { # comparable ADDED BEFORE
  if [ "$arch" = x86 ]; then
    awk 'BEGIN { p = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"; w = p "Wow6432Node\\" }
      index(tolower($0), tolower(w)) == 1 {
        rest = substr($0, length(w) + 1); top = tolower(rest); sub(/[\\\t].*/, "", top)
        if (top != "clsid" && top != "interface") $0 = p rest
      }
      { print }' "$1" |
      grep -v -i -e '^HKEY_LOCAL_MACHINE\\Software\\Classes\\Interface\\{8E354F7A-F9A8-4762-A4FD-37DE0812A670}' \
                 -e '^HKEY_LOCAL_MACHINE\\Software\\Classes\\Interface\\{04F254A0-9B6D-4167-A502-6C8CB0A6B5A5}' |
      sort -u | comm -23 - "$2"
  else
    cat "$1"
  fi
}
comparable "$work/added-installed.txt" "$work/before.txt" >"$work/added-installed.cmp"
comparable "$work/added-regsvr32.txt" "$work/before-regsvr32.txt" >"$work/added-regsvr32.cmp"
same "$work/added-installed.cmp" "$work/added-regsvr32.cmp" "package registration differs from regsvr32's"
grep -q -i -F 'Component Categories\{38547D33-B8B0-4656-85E4-A17DE0054F01}	"409"="Tavrix Certificate Authentication Plugin"' \
  "$work/added-installed.cmp" || fail "the package does not define the component category"
echo "equal: $(wc -l <"$work/added-installed.cmp") keys and values added below HKLM\\Software\\Classes by both, the component category included"
echo "== passed ($arch; msiexec steps $((t1 - t0)) s)"
