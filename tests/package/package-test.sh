#!/bin/sh
# The Windows Installer package of one architecture under Wine's msiexec, in
# a prefix of its own (a copy of the build's): install, the installed host
# against the simulated service, major upgrade, refused downgrade, repair,
# uninstall, the log properties, and the registry compared with regsvr32's.
#   package-test.sh x64|x86 BUILD-ROOT
set -eu
arch=$1 root=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/$arch"
for f in "$build/bin/Quorvex.dll" "$build/bin/quorvex-host.exe" "$build/bin/winscard.dll" \
         "$build/resource_libraries/VestrelRes_en.dll"; do
  [ -f "$f" ] || { echo "$arch package tests skipped: ${f#$root/} not built"; exit 77; }
done
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

cp -a "$root/x64/wineprefix" "$WINEPREFIX"
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
same "$work/before.txt" "$work/removed.txt" "uninstall left registry changes"
echo "no file, folder or key left (HKLM\\Software as before install)"

step "log properties: LOGLEVEL=3 LOGFILE=C:\\Logs\\Quorvex.txt"
msi 0 /i "$(winpath "$new")" LOGLEVEL=3 'LOGFILE=C:\Logs\Quorvex.txt'
export_flat 'HKLM\Software' "$work/logprops.txt"
policy "$work/logprops.txt"
policy "$work/logprops.txt" | grep -q -F '"MainLogLevel"=dword:00000003' || fail "MainLogLevel not written"
policy "$work/logprops.txt" | grep -q -F '"MainLogFile"="C:\\Logs\\Quorvex.txt"' || fail "MainLogFile not written"
msi 0 /x "$(winpath "$new")"
export_flat 'HKLM\Software' "$work/removed2.txt"
# msiexec also deletes the parents it emptied: whichever of the (empty)
# Policies and Policies\Tavrix keys the copied prefix held goes with the
# Vestrel key, in both views.
grep -v -x -i -e 'HKEY_LOCAL_MACHINE\\Software\\Policies' -e 'HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Policies' \
  -e 'HKEY_LOCAL_MACHINE\\Software\\Policies\\Tavrix' -e 'HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Policies\\Tavrix' \
  "$work/before.txt" >"$work/before-policies.txt"
grep -v -x -i -e 'HKEY_LOCAL_MACHINE\\Software\\Policies' -e 'HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Policies' \
  -e 'HKEY_LOCAL_MACHINE\\Software\\Policies\\Tavrix' -e 'HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Policies\\Tavrix' \
  "$work/removed2.txt" >"$work/removed2-policies.txt"
same "$work/before-policies.txt" "$work/removed2-policies.txt" "uninstall with log properties left registry changes"
t1=$(date +%s)

step "registry of the package equals regsvr32's for the installed file"
mkdir -p "$app"
cp "$work/installed-Quorvex.dll" "$app/Quorvex.dll"
W regsvr32 /s "$(printf 'C:\\%s\\Tavrix\\Vestrel\\Quorvex\\Quorvex.dll' "$pfdir")" || fail "regsvr32"
export_flat 'HKLM\Software' "$work/regsvr32.txt"
grep -i '^HKEY_LOCAL_MACHINE\\Software\\Classes' "$work/regsvr32.txt" >"$work/classes-regsvr32.txt"
# x86: two differences belong to the platform, not to the package. Wine's
# (64-bit) msiexec writes a 32-bit component's ProgID keys below Wow6432Node,
# where a 32-bit regsvr32 writes them in the part of Classes both views share
# (32-bit clients find them either way); and the type library registration of
# a 32-bit regsvr32 mirrors the interface keys into the 64-bit view, which a
# 32-bit package cannot write. Both exports are compared without them.
comparable() {
  if [ "$arch" = x86 ]; then
    sed 's/^\(HKEY_LOCAL_MACHINE\\Software\\Classes\\\)Wow6432Node\\\(Quorvex\.\)/\1\2/' "$1" |
      grep -v -i -e '^HKEY_LOCAL_MACHINE\\Software\\Classes\\Interface\\{8E354F7A-F9A8-4762-A4FD-37DE0812A670}' \
                 -e '^HKEY_LOCAL_MACHINE\\Software\\Classes\\Interface\\{04F254A0-9B6D-4167-A502-6C8CB0A6B5A5}' | sort
  else
    cat "$1"
  fi
}
comparable "$work/classes-installed.txt" >"$work/classes-installed.cmp"
comparable "$work/classes-regsvr32.txt" >"$work/classes-regsvr32.cmp"
same "$work/classes-installed.cmp" "$work/classes-regsvr32.cmp" "package registration differs from regsvr32's"
added=$(comm -13 "$work/before.txt" "$work/classes-installed.txt" | wc -l)
echo "equal: $added keys and values added below HKLM\\Software\\Classes by both"
echo "== passed ($arch; msiexec steps $((t1 - t0)) s)"
