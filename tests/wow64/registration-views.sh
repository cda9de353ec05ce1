#!/bin/sh
# Both DLLs registered on one machine: regsvr32 of each architecture writes its
# own registry view, a 32-bit and a 64-bit client each create their own
# architecture's class by ProgID, and unregistering one leaves the other.
#   registration-views.sh BUILD-ROOT       (the shared prefix, wineserver running)
set -eu
root=$(cd "$1" && pwd)
for f in x64/bin/Quorvex.dll x64/bin/quorvex-host.exe x86/bin/Quorvex.dll x86/bin/quorvex-host.exe; do
  [ -f "$root/$f" ] || { echo "registration views skipped: $f not built"; exit 77; }
done
clsid='{3426285D-DDFE-473B-85D5-8D551AE92E48}'
fail() { printf "FAIL: %s\n" "$*"; exit 1; }
x64() { "$root/x64/wine-run" "$@" </dev/null; }
x86() { "$root/x86/wine-run" "$@" </dev/null; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
dll64=$(winpath "$root/x64/bin/Quorvex.dll") dll86=$(winpath "$root/x86/bin/Quorvex.dll")
# The server a view names for the class ("" when the class is not there).
server() { # server 32|64
  x64 reg query "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve /reg:"$1" 2>/dev/null |
    tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p'
}
# Whether a client of the architecture creates the plug-in by ProgID.
creates() { "$root/$1/wine-run" "$root/$1/bin/quorvex-host.exe" list </dev/null >/dev/null 2>&1; }
expect() { # expect WHAT x64-server x86-server x64-creates x86-creates
  s64=$(server 64) s86=$(server 32)
  [ "$s64" = "$2" ] || fail "$1: 64-bit view names '$s64', expected '$2'"
  [ "$s86" = "$3" ] || fail "$1: 32-bit view names '$s86', expected '$3'"
  c64=no; creates x64 && c64=yes
  c86=no; creates x86 && c86=yes
  [ "$c64 $c86" = "$4 $5" ] || fail "$1: x64 client creates: $c64, x86 client creates: $c86 (expected $4 $5)"
  printf "ok: %s (64-bit view: %s; 32-bit view: %s; clients: x64 %s, x86 %s)\n" "$1" "${s64:-none}" "${s86:-none}" "$c64" "$c86"
}
# Everything one architecture's registration holds: its class and interface
# keys (its own view), the ProgIDs, and its entry in the shared type library key.
holdings() { # holdings 32|64
  case "$1" in 32) node='Wow6432Node\' sys=win32;; *) node='' sys=win64;; esac
  for k in "CLSID\\$clsid" 'Interface\{8E354F7A-F9A8-4762-A4FD-37DE0812A670}' 'Quorvex.SmartCard' 'Quorvex.SmartCa.1'; do
    case "$k" in Quorvex*) key="HKLM\\Software\\Classes\\$k";; *) key="HKLM\\Software\\Classes\\$node$k";; esac
    x64 reg query "$key" /s 2>&1 | tr -d '\r'
  done
  x64 reg query "HKLM\\Software\\Classes\\TypeLib\\{8FBB1775-BDA8-4B6F-8C5D-DE9EA24E1B5C}\\1.0\\409\\$sys" /s 2>&1 | tr -d '\r'
}
unregister_both() { x64 regsvr32 /s /u "$dll64" >/dev/null 2>&1 || true; x86 regsvr32 /s /u "$dll86" >/dev/null 2>&1 || true; }
TMPDIR=$(mktemp -d)
trap 'unregister_both; rm -rf "$TMPDIR"' EXIT
unregister_both

x64 regsvr32 /s "$dll64" || fail "64-bit regsvr32"
x86 regsvr32 /s "$dll86" || fail "32-bit regsvr32"
expect "both registered" "$dll64" "$dll86" yes yes
holdings 32 >"$TMPDIR/x86-before"
x64 regsvr32 /s /u "$dll64" || fail "64-bit regsvr32 /u"
expect "x64 unregistered" "" "$dll86" no yes
holdings 32 | diff "$TMPDIR/x86-before" - || fail "unregistering x64 changed the x86 registration"
x64 regsvr32 /s "$dll64" || fail "64-bit regsvr32 again"
holdings 64 >"$TMPDIR/x64-before"
x86 regsvr32 /s /u "$dll86" || fail "32-bit regsvr32 /u"
expect "x86 unregistered" "$dll64" "" yes no
holdings 64 | diff "$TMPDIR/x64-before" - || fail "unregistering x86 changed the x64 registration"
echo "ok: each unregistration left the other architecture's keys as they were"
