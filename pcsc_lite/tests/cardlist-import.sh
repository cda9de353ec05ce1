#!/bin/sh
# The card database import (tools/pcsc-cardlist-to-reg) under Wine's `reg import`:
# 1. a small list with one entry of each kind: what is written, skipped,
#    merged, renamed and reported as covered, with the values written, in
#    both registry views (--reg32: the 32-bit one);
# 2. pcsc-tools' real list: every entry the tool writes is exactly one key
#    (none lost to letter case), and every name, those beyond ASCII
#    included, reads back as written.
#   cardlist-import.sh X64-BUILD-DIR
set -u
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
tool=$top/tools/pcsc-cardlist-to-reg
list=/usr/share/pcsc/smartcard_list.txt
[ -f "$list" ] || { echo "skipped: $list is missing (pcsc-tools)"; exit 77; }
work=$(mktemp -d "$build/cardlist-test.XXXXXX") || exit 1
cards='HKLM\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards'
status=0
fail() { echo "FAILED: $*"; status=1; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
reg() { "$build/wine-run" reg "$@" </dev/null >/dev/null 2>&1; }
cleanup() {
  reg delete "$cards" /f /reg:64
  reg delete "$cards" /f /reg:32
  rm -rf "$work"
}
trap cleanup EXIT
cleanup
mkdir -p "$work"
# Key names of a .reg file, one per line, UTF-8.
names() { iconv -f UTF-16 -t UTF-8 "$1" | tr -d '\r' | sed -n 's/^\[.*\\SmartCards\\\(.*\)\]$/\1/p' | sort; }
# A value of one card type in a .reg file.
value() { iconv -f UTF-16 -t UTF-8 "$1" | tr -d '\r' | sed -n "/\\\\SmartCards\\\\$2\]\$/,/^\$/s/^\"$3\"=//p"; }

# 1. One entry of each kind.
printf '%s\n' '# comment' '' \
  '3B 02 14 50' '	Plain card' '' \
  '3B 02 14 50 11' '	Five bytes where T0 says four' '' \
  '3B .. .. 41 73 74 72 69 64' '	General card' '' \
  '3B 16 96 41 73 74 72 69 64' '	Specific card' '	second line' '' \
  '3B 02 14 0[45]' '	Class card' '' \
  '3B 02 14 0[1-5]' '	Range card' '' \
  '3B 02 15 5.' '	Nibble card' '' \
  '3B 02 14 51' '	plain CARD' '' \
  '3B 02 14 50' '	Same pattern again' '' \
  '3B 02 14 52' '	Carte à puce' '' >"$work/small.txt"
printf '%s\n' 'Carte à puce' 'Class card' 'General card' 'Nibble card' 'Plain card' 'Specific card' \
  'plain CARD (3B 02 14 51)' | sort >"$work/small.expected"
for view in 64 32; do
  option=""
  [ "$view" = 32 ] && option=--reg32
  "$tool" $option --verbose "Test CSP" "$work/small.txt" >"$work/small.reg" 2>"$work/small.notes" ||
    fail "the tool failed on the small list"
  expected="pcsc-cardlist-to-reg: read 10, written 7, skipped 2 (1 cannot match a card, 1 not an ATR with a mask), merged 1; 1 renamed (names taken), 1 covered by more general patterns (named first for their cards)"
  [ "$(tail -n 1 "$work/small.notes")" = "$expected" ] || fail "summary: $(tail -n 1 "$work/small.notes")"
  grep -q '^pcsc-cardlist-to-reg: covered 3B 16 96 41 73 74 72 69 64 ("Specific card") by 3B .. .. 41' "$work/small.notes" ||
    fail "the covered entry is not reported"
  [ "$(head -c 2 "$work/small.reg" | od -An -tx1 | tr -d ' ')" = fffe ] || fail "no UTF-16LE byte-order mark"
  reg import "$(winpath "$work/small.reg")" || fail "reg import of the small list"
  if [ "$view" = 32 ] && reg query "$cards" /reg:64; then fail "--reg32 wrote into the 64-bit view"; fi
  reg export "$cards" "$(winpath "$work/small-back.reg")" /y "/reg:$view" || fail "reg export of view $view"
  names "$work/small-back.reg" | cmp -s - "$work/small.expected" ||
    fail "keys in view $view after import: $(names "$work/small-back.reg" | tr '\n' '|')"
  for row in 'Class card|ATR|hex:3b,02,14,04' 'Class card|ATRMask|hex:ff,ff,ff,fe' \
             'Nibble card|ATRMask|hex:ff,ff,ff,f0' 'General card|ATRMask|hex:ff,00,00,ff,ff,ff,ff,ff,ff' \
             'Plain card|Crypto Provider|"Test CSP"'; do
    IFS='|' read -r card name want <<EOF
$row
EOF
    got=$(value "$work/small-back.reg" "$card" "$name")
    [ "$got" = "$want" ] || fail "view $view: $card $name: $got (expected $want)"
  done
  reg delete "$cards" /f "/reg:$view"
done

# 2. The real list.
"$tool" "Test CSP" "$list" >"$work/cards.reg" 2>"$work/notes" || fail "the tool failed on $list"
summary=$(tail -n 1 "$work/notes")
read_=$(echo "$summary" | sed -n 's/.* read \([0-9]*\),.*/\1/p')
written=$(echo "$summary" | sed -n 's/.* written \([0-9]*\),.*/\1/p')
skipped=$(echo "$summary" | sed -n 's/.* skipped \([0-9]*\) .*/\1/p')
merged=$(echo "$summary" | sed -n 's/.* merged \([0-9]*\);.*/\1/p')
[ -n "$written" ] && [ $((written + skipped + merged)) = "$read_" ] || fail "summary: $summary"
reg import "$(winpath "$work/cards.reg")" || fail "reg import of $list"
reg export "$cards" "$(winpath "$work/back.reg")" /y || fail "reg export"
names "$work/cards.reg" >"$work/written"
names "$work/back.reg" >"$work/read-back"
[ "$(wc -l <"$work/written")" = "$written" ] || fail "$(wc -l <"$work/written") keys in the file, $written in the summary"
cmp -s "$work/written" "$work/read-back" ||
  fail "$(wc -l <"$work/read-back") keys read back for $written written; first difference: $(diff "$work/written" "$work/read-back" | sed -n 2p)"
grep -q '[^ -~]' "$work/written" || fail "no name beyond ASCII in $list: nothing shown about them"
echo "$summary"
exit $status
