#!/usr/bin/env bash
# QELPRV.DLL is PE32 i386, exports exactly QelMain, and imports only from the system DLLs
# (KERNEL32.dll, the C runtime msvcrt.dll) and SAPTOR.DLL, from which it takes err alone.
set -euo pipefail
objdump="$1"; dll="$2"
dump=$("$objdump" -p "$dll")
grep -q 'file format pei-i386' <<<"$("$objdump" -f "$dll")" || { echo "FAIL: not PE32 i386"; exit 1; }
dlls=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort -u | tr '\n' ' ')
for d in $dlls; do
  case "$d" in
    KERNEL32.dll|msvcrt.dll|SAPTOR.DLL) ;;
    *) echo "FAIL: unexpected import from $d"; exit 1 ;;
  esac
done
grep -q 'SAPTOR.DLL' <<<"$dlls" || { echo "FAIL: SAPTOR.DLL not imported"; exit 1; }
# The names imported from SAPTOR.DLL.
saptor=$(awk '/DLL Name: SAPTOR.DLL/ {f=1; next} /DLL Name:/ {f=0} f && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print $3}' <<<"$dump" | sort -u | tr '\n' ' ')
if [ "$saptor" != "err " ]; then echo "FAIL: imports from SAPTOR.DLL: $saptor"; exit 1; fi
# The export table: the names after the "[Ordinal/Name Pointer] Table" heading.
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {f=1; next} f && /^[ \t]*\[/ {print $NF; next} f {f=0}' <<<"$dump" | sort -u | tr '\n' ' ')
if [ "$exports" != "QelMain " ]; then echo "FAIL: exports: $exports"; exit 1; fi
echo "imports: $dlls; from SAPTOR.DLL: $saptor; exports: $exports"
