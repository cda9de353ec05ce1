#!/bin/sh
# Each image names its PDB by file name only (no build path) and carries the
# GUID and age of that PDB, so a debugger given the PDB takes it for this
# build and no other.
#   check-pdb.sh LLVM-BIN-DIR IMAGE...
set -eu
llvm=$1; shift
status=0
for image in "$@"; do
  pdb="${image%.*}.pdb"
  record=$("$llvm/llvm-readobj" --coff-debug-directory "$image")
  name=$(printf '%s\n' "$record" | sed -n 's/^ *PDBFileName: //p')
  age=$(printf '%s\n' "$record" | sed -n 's/^ *PDBAge: //p')
  # The record's GUID bytes as the PDB prints them: three little-endian
  # fields, then eight bytes as they stand.
  guid=$(printf '%s\n' "$record" | sed -n 's/^ *PDBGUID: (\(.*\))/\1/p' | awk '{
    printf "{%s%s%s%s-%s%s-%s%s-%s%s-%s%s%s%s%s%s}\n", $4,$3,$2,$1, $6,$5, $8,$7, $9,$10, $11,$12,$13,$14,$15,$16 }')
  summary=$("$llvm/llvm-pdbutil" dump -summary "$pdb")
  pdb_guid=$(printf '%s\n' "$summary" | sed -n 's/^ *GUID: //p')
  pdb_age=$(printf '%s\n' "$summary" | sed -n 's/^ *Age: //p')
  if [ "$name" != "$(basename "$pdb")" ]; then
    echo "FAIL: $(basename "$image") names its PDB '$name', expected '$(basename "$pdb")'"; status=1
  elif [ -z "$guid" ] || [ "$guid $age" != "$pdb_guid $pdb_age" ]; then
    echo "FAIL: $(basename "$image") records $guid age $age, $(basename "$pdb") is $pdb_guid age $pdb_age"; status=1
  else
    echo "ok: $(basename "$image") -> $name $guid age $age"
  fi
done
exit $status
