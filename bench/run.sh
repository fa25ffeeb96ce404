#!/usr/bin/env bash
# Builds the benchmarks in the release preset and runs them all:
#   bash bench/run.sh            the full run (about two minutes): micro-benchmarks, qelbench,
#                                the latency plot; results in build/release/bench-results/
#   bash bench/run.sh --quick    that everything runs (a few seconds), not how fast
# Extra arguments after --quick (or alone) go to qelbench.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi

cmake --preset release >/dev/null
cmake --build --preset release --target qel_micro qelbench qelprv saptor

bin=build/release/bin
out=build/release/bench-results
mkdir -p "$out"
python=/usr/bin/python3
[ -x "$python" ] || python=python3

{
  echo "date: $(date -u '+%Y-%m-%d %H:%M:%S UTC')"
  echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "changed files not committed: $(git status --porcelain --untracked-files=no 2>/dev/null | awk '{print $2}' | tr '\n' ' ')"
  echo "kernel: $(uname -sr)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "compiler: $(g++ --version | head -1)"
  echo "python: $($python --version 2>&1), pyserial $($python -c 'import serial; print(serial.__version__)')"
  echo "module imports of an allocator: $(nm -D --undefined-only $bin/libqelprv.so | grep -cE ' (malloc|calloc|realloc|free|_Znw|_Zna|aligned_alloc|posix_memalign)' || true)"
} | tee "$out/machine.txt"

if [ $quick -eq 1 ]; then
  "$bin/qel_micro" --benchmark_min_time=0.001
  "$bin/qelbench" --quick --python "$python" "$@"
  exit 0
fi

echo "== micro-benchmarks"
"$bin/qel_micro" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/micro.json" --benchmark_out_format=json | tee "$out/micro.txt"

echo "== qelbench"
"$bin/qelbench" --python "$python" --csv "$out/qelbench.csv" --samples "$out/samples.csv" \
  --targets "$out/targets.md" "$@" | tee "$out/qelbench.txt"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$out/machine.txt"

if $python -c 'import matplotlib' 2>/dev/null; then
  $python bench/plot.py "$out/samples.csv" "$out/latency.png"
  echo "plot: $out/latency.png"
else
  echo "no matplotlib for $python: no plot (apt-get install python3-matplotlib)"
fi
$python bench/report.py "$out" >/dev/null
echo "results: $out (report.md: the tables for docs/performance.md)"
