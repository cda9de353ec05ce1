#!/bin/sh
# Runs the README's command blocks that are marked "<!-- readme-test: NAME -->"
# exactly as printed, each in its own shell with -e, from a scratch folder
# that links every entry of the tree's top (so files a block writes, such as
# cards.reg, land there and the build is the tree's own), with HOME in the
# scratch folder too ($HOME/.wine-quorvex is a fresh prefix of this run).
#   readme-commands.sh [NAME...]            (default: every marked block)
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
readme="$top/README.md"
work=$(mktemp -d "${TMPDIR:-/tmp}/readme-commands.XXXXXX")
cleanup() {
  WINEPREFIX="$work/home/.wine-quorvex" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/blocks" "$work/tree"
for entry in "$top"/*; do ln -s "$entry" "$work/tree/"; done
# Each marked block: the indented lines right after the marker.
awk -v dir="$work/blocks" '
  /^<!-- readme-test: [a-z0-9-]+ -->$/ { name = $3; out = dir "/" name ".sh"; order = order name "\n"; inblock = 1; next }
  inblock && /^    / { print substr($0, 5) > out; next }
  inblock { close(out); inblock = 0 }
  END { printf "%s", order > (dir "/order") }' "$readme"
names=${*:-$(cat "$work/blocks/order")}
[ -n "$names" ] || { echo "FAIL: no block of README.md is marked <!-- readme-test: NAME -->"; exit 1; }
status=0
for name in $names; do
  block="$work/blocks/$name.sh"
  [ -s "$block" ] || { echo "FAIL: README.md has no block '$name'"; status=1; continue; }
  echo "== README block '$name':"
  sed 's/^/   $ /' "$block"
  if (cd "$work/tree" && env -u WINEPREFIX -u WINEDLLOVERRIDES -u QUORVEX_SIGN_PKCS12 -u QUORVEX_SIGN_PASSWORD \
      -u QUORVEX_SIGN_TIMESTAMP_URL HOME="$work/home" sh -e "$block" </dev/null >"$work/$name.out" 2>&1); then
    echo "   ok"
  else
    rc=$?
    sed 's/^/   | /' "$work/$name.out" | tail -n 40
    echo "FAIL: README block '$name' exited $rc"
    status=1
  fi
done
exit $status
