#!/usr/bin/env bash
# The Linux module defines exactly one dynamic symbol, QelMain, and takes err from the stand-in
# log library's version SAPTOR_1, never from the C library.
set -euo pipefail
module="$1"
syms=$(readelf --dyn-syms --wide "$module")
defined=$(awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK" || $5 == "GNU_UNIQUE") && $8 != "" {print $8}' <<<"$syms" | sed 's/@.*//' | sort -u)
if [ "$defined" != "QelMain" ]; then
  echo "FAIL: defined exports are:"; echo "$defined"; exit 1
fi
if ! grep -Eq ' UND err@SAPTOR_1( |$)' <<<"$syms"; then
  echo "FAIL: err is not bound to err@SAPTOR_1:"; grep -w 'err' <<<"$syms" || true; exit 1
fi
echo "exports: QelMain only; err@SAPTOR_1"
