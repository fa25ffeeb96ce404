#!/usr/bin/env bash
# Builds the package of this build tree with CPack, unpacks it in a fresh folder and runs
# qelhost from there: the Linux TGZ natively, the Windows ZIP under Wine.
#   package_test.sh CPACK BUILD_DIR linux
#   package_test.sh CPACK BUILD_DIR win32 WINE_RUN
set -euo pipefail
cpack=${1:?cpack}
build=${2:?build folder}
kind=${3:?linux or win32}
wine_run=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cpack" --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
mkdir "$work/unpacked"
case "$kind" in
  linux)
    archive=$(ls "$work"/pkg/qelprv-*-linux-*.tar.gz)
    tar -xzf "$archive" -C "$work/unpacked" ;;
  win32)
    archive=$(ls "$work"/pkg/qelprv-*-win32.zip)
    unzip -q "$archive" -d "$work/unpacked" ;;
  *) fail "unknown kind $kind" ;;
esac
echo "package: $(basename "$archive")"
root=$(ls -d "$work"/unpacked/qelprv-*)
(cd "$root" && find . -type f | sort)

expect_files() {
  for f in "$@"; do [ -f "$root/$f" ] || fail "the package has no $f"; done
}
expect_in() {  # TEXT FILE
  grep -qF -- "$1" "$2" || { cat "$2"; fail "no \"$1\" in the output"; }
}

if [ "$kind" = linux ]; then
  expect_files bin/qelhost bin/prv2sim lib/libqelprv.so lib/libsaptor.so \
    share/doc/qelprv/README.md share/doc/qelprv/qelhost.md share/doc/qelprv/samples/QELPRV01.INT
  # Run from elsewhere, so that nothing of the build tree is found by accident.
  cd "$work"
  "$root/bin/qelhost" info >"$work/info.out" 2>&1 || { cat "$work/info.out"; fail "qelhost info"; }
  expect_in "module            $root/bin/../lib/libqelprv.so" "$work/info.out"
  expect_in "short name        PRV - Landis & Staefa PRV2" "$work/info.out"
  expect_in "┌────" "$work/info.out"
  # The sample settings file, read by the driver's line start-up.
  "$root/bin/qelhost" define --workdir "$root/share/doc/qelprv/samples" '$a' >"$work/define.out" 2>&1 ||
    { cat "$work/define.out"; fail "qelhost define with the sample"; }
  expect_in "[32] QelPRV: MSG_TRAILER_TIMEOUT = 100" "$work/define.out"
  # The module logs through the package's own stand-in log library, and the simulator runs.
  "$root/bin/qelhost" read --sim '$SP' >"$work/read.out" 2>&1 || { cat "$work/read.out"; fail "qelhost read --sim"; }
  expect_in '$SP = 21 (float, ok)' "$work/read.out"
  expect_in "[32] QELPRV: Landis&Stafea Driver loaded successfully." "$work/read.out"
  "$root/bin/prv2sim" --dump-gates >"$work/gates.out" || fail "prv2sim --dump-gates"
  expect_in '"$SP"' "$work/gates.out"
else
  expect_files QELPRV.DLL SAPTOR.DLL qelhost.exe docs/README.md docs/qelhost.md \
    samples/QELPRV01.INT
  [ -z "$(cd "$root" && find . -name '*.a' -o -name 'prv2sim*')" ] || fail "the zip holds more than it should"
  cd "$work"
  "$wine_run" "$root/qelhost.exe" info >"$work/info.out" 2>&1 || { cat "$work/info.out"; fail "qelhost.exe info"; }
  tr -d '\r' <"$work/info.out" >"$work/info.txt"
  expect_in "QELPRV.DLL" "$work/info.txt"
  expect_in "short name        PRV - Landis & Staefa PRV2" "$work/info.txt"
  expect_in "┌────" "$work/info.txt"
  "$wine_run" "$root/qelhost.exe" define --workdir "Z:$root/samples" '$a' >"$work/define.out" 2>&1 ||
    { cat "$work/define.out"; fail "qelhost.exe define with the sample"; }
  expect_in "[32] QelPRV: MSG_TRAILER_TIMEOUT = 100" "$work/define.out"
fi
echo "PASS"
