#!/bin/sh
# Windows programs killed in the middle of a capture leave nothing open in
# pcscd: each was pcscd's own client, and pcscd takes back a dead client's
# thread and context. Shown two ways, with the private stack's pcscd, which
# allows 16 clients at a time (tools/pcsc-stack):
# - its debug log: every client thread started has stopped, every context
#   established has been released;
# - after 40 killed captures (two and a half times that limit), a native
#   client still gets in.
#   killed-clients.sh X64-BUILD-DIR
set -u
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
stack=$top/tools/pcsc-stack
state=${QUORVEX_PCSC_STATE:?}
log=$state/pcscd.log
bin=$build/bin-pcsc
dll="Z:$(printf '%s' "$bin/Quorvex.dll" | tr / '\\')"
batches=5 batch=8
# 77: no private stack on this machine (pcsc-stack says why).
"$stack" run true || exit $?
work=$(mktemp -d "$build/killed-clients.XXXXXX") || exit 1
pids=""
finish() {
  for pid in $pids; do kill -9 "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap finish EXIT

count() { grep -c "$1" "$log"; }
live() { echo $(($(count "Thread is started") - $(count "Thread is stopping"))); }
# Waits (up to 30 s) until `test` holds; says what it waited for when it does not.
wait_for() {
  i=0
  until eval "$1"; do
    i=$((i + 1))
    [ $i -le 600 ] || { echo "FAILED: $2 (pcscd's clients: $(live))"; exit 1; }
    sleep 0.05
  done
}

"$stack" run "$build/pcsc-native/pcsc-native-waiter" calls 1 >/dev/null || { echo "FAILED: no native client before the kills"; exit 1; }
wait_for '[ "$(live)" = 0 ]' "pcscd has clients before the test"
for b in $(seq 1 $batches); do
  pids=""
  for i in $(seq 1 $batch); do
    # pcsc-stack and wine-run exec: $! is the Windows program's process.
    "$stack" run "$build/wine-run" "$bin/quorvex-host.exe" --dll "$dll" capture --timeout 120 \
      </dev/null >"$work/host-$i" 2>&1 &
    pids="$pids $!"
  done
  # Every capture has begun (StatusChanged 0x20CC) and holds its watch
  # context in pcscd: one client each.
  wait_for '[ "$(cat "$work"/host-* | grep -c "StatusChanged 0x20CC")" = $batch ] && [ "$(live)" = $batch ]' \
    "batch $b: $batch captures waiting in pcscd"
  for pid in $pids; do kill -9 "$pid"; done
  for pid in $pids; do wait "$pid" 2>/dev/null; done
  pids=""
  wait_for '[ "$(live)" = 0 ]' "batch $b: pcscd took back the killed clients"
  rm -f "$work"/host-*
done
established=$(count "Establishing Context")
released=$(count "Releasing Context")
[ "$established" = "$released" ] || { echo "FAILED: $established contexts established, $released released"; exit 1; }
"$stack" run "$build/pcsc-native/pcsc-native-waiter" calls 1 >/dev/null ||
  { echo "FAILED: a native client cannot get in after $((batches * batch)) killed captures"; exit 1; }
echo "$((batches * batch)) captures killed; pcscd took back every client ($established contexts); a native client still gets in"
