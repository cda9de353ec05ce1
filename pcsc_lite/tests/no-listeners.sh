#!/bin/sh
# During a capture through the in-process winscard.dll nothing of ours
# listens on a port: the Windows program has no listening socket, nothing
# listens on the old forwarder's port, and in the private stack's network the
# only listeners are vpcd's two readers. And pcsc-lite runs inside the
# Windows program's own process: libpcsclite is mapped there.
#   no-listeners.sh X64-BUILD-DIR
set -u
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
stack=$top/tools/pcsc-stack
bin=$build/bin-pcsc
dll="Z:$(printf '%s' "$bin/Quorvex.dll" | tr / '\\')"
# 77: no private stack on this machine (pcsc-stack says why).
"$stack" run true || exit $?
work=$(mktemp -d "$build/no-listeners.XXXXXX") || exit 1
host=""
finish() {
  [ -n "$host" ] && kill -9 "$host" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
status=0
fail() { echo "FAILED: $*"; status=1; }

# pcsc-stack and wine-run exec: $! is the Windows program's process.
"$stack" run "$build/wine-run" "$bin/quorvex-host.exe" --dll "$dll" capture --timeout 120 </dev/null >"$work/host" 2>&1 &
host=$!
i=0
until grep -q "StatusChanged 0x20CC" "$work/host"; do
  i=$((i + 1))
  [ $i -le 600 ] && kill -0 "$host" 2>/dev/null || { echo "FAILED: the capture did not begin:"; cat "$work/host"; exit 1; }
  sleep 0.05
done

grep -q '/libpcsclite\.so' "/proc/$host/maps" || fail "libpcsclite is not mapped in the Windows program's process"
grep -q '/bin-pcsc/winscard\.dll$' "/proc/$host/maps" || fail "the in-process winscard.dll is not mapped in the Windows program's process"
# Listening sockets of this machine's network, with their processes.
ss -Hlntup >"$work/listeners" 2>&1 || fail "ss: $(cat "$work/listeners")"
if grep -q "pid=$host," "$work/listeners"; then fail "the Windows program listens: $(grep "pid=$host," "$work/listeners")"; fi
if grep -q ':35990 ' "$work/listeners"; then fail "something listens on the forwarder's old port 35990"; fi
# The stack's network: vpcd's two ports and nothing else.
"$stack" inside ss -Hlntu >"$work/inside" 2>&1 || fail "ss in the stack's network: $(cat "$work/inside")"
ports=$(awk '{ n = split($5, a, ":"); print a[n] }' "$work/inside" | sort -u | tr '\n' ' ')
[ "$ports" = "35963 35964 " ] || fail "listening in the stack's network: $ports(expected vpcd's 35963 35964)"
[ $status = 0 ] && echo "no listener of ours; libpcsclite and winscard.dll in the Windows program's process; the stack's network: $ports"
exit $status
