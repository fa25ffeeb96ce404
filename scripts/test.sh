#!/usr/bin/env bash
# Runs every test suite: installs what is missing, then configures, builds and tests the native
# debug build (AddressSanitizer + UndefinedBehaviorSanitizer), the 32-bit Windows build
# under Wine, a smoke run of the benchmarks, the ThreadSanitizer build, and a short run of each
# fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== native (dev preset: Debug, ASan + UBSan)"
cmake --workflow --preset dev

echo "== win32 (mingw-w64 i686, tests under Wine)"
cmake --workflow --preset win32

echo "== bench smoke (release preset: that the benchmarks run, not how fast)"
cmake --preset release >/dev/null
cmake --build --preset release --target qel_micro qelbench qelprv saptor
ctest --test-dir build/release -R '^bench\.' --output-on-failure

echo "== tsan (ThreadSanitizer: every suite, the many-lines tests among them)"
cmake --workflow --preset tsan

echo "== fuzz (clang, libFuzzer, ASan + UBSan: each target for a short run)"
cmake --workflow --preset fuzz
