#!/bin/sh
# The Group Policy templates: both files are well-formed XML, and every name
# one of them refers to is defined (an undefined string, presentation or
# category makes the Group Policy editor refuse the whole template). The value
# names, types and ranges are checked against the log's own table by
# PolicyTemplates.OfferExactlyTheValuesTheLogReads.
#   policy-templates-test.sh SOURCE-DIR
set -eu
export LC_ALL=C
admx="$1/policy/Quorvex.admx" adml="$1/policy/en-US/Quorvex.adml"
command -v xmllint >/dev/null || { echo "policy template tests skipped: xmllint is not installed (libxml2-utils)"; exit 77; }
xmllint --noout "$admx" "$adml"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The values of the attributes an XPath selects, one a line, sorted.
values() { xmllint --xpath "$2" "$1" 2>/dev/null | sed -n 's/^ *[^=]*="\(.*\)"$/\1/p' | sort -u; }
el() { printf "//*[local-name()='%s']" "$1"; }
status=0
# referring file, XPath of the references, defining file, XPath of the definitions, what
while IFS='|' read -r from refs in defs what; do
  [ -n "$from" ] || continue
  eval "from=\$$from in=\$$in"
  values "$in" "$defs" >"$tmp/defined"
  missing=$(values "$from" "$refs" | sed 's/^\$([a-z]*\.\(.*\))$/\1/' | comm -23 - "$tmp/defined")
  [ -z "$missing" ] || { echo "FAIL: $what not defined: $missing"; status=1; }
done <<TABLE
admx|//@*[starts-with(., '\$(string.')]|adml|$(el string)/@id|strings
admx|//@*[starts-with(., '\$(presentation.')]|adml|$(el presentation)/@id|presentations
adml|$(el presentation)/*/@refId|admx|$(el elements)/*/@id|presentation controls' elements
admx|$(el parentCategory)/@ref|admx|$(el category)/@name|categories
admx|$(el supportedOn)/@ref|admx|$(el definition)/@name|supported-on definitions
TABLE
[ "$status" = 0 ] && echo "templates well-formed; every string, presentation, element, category and definition they name is defined"
exit "$status"
