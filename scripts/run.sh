#!/usr/bin/env bash
# The main job on one command: installs what is missing (as root), builds the driver module,
# the stand-in log library, the simulator and the bench host (release preset), and polls the
# simulated controller for five cycles: the live table on standard output, the driver's log
# lines on standard error.
#   bash scripts/run.sh [more qelhost poll options, such as --interval 500 or --csv]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== build (release preset: module, log library, simulator, qelhost)"
cmake --preset release >/dev/null
cmake --build --preset release --target qelprv saptor prv2sim qelhost

echo "== qelhost poll --sim --count 5"
exec build/release/bin/qelhost poll --sim --count 5 "$@"
