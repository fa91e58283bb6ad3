#!/usr/bin/env bash
# Instruction-count guard: for every benchmark row, the native modules'
# callgrind instructions per call (heap bytes for pending approvals) must stay
# within the row's must-threshold times those of the plain-Python rendering of
# the same steps, measured in the same run. Deterministic, so it can gate CI on
# a noisy machine; wall-clock timings are never asserted. About a minute and a
# half on two cores. Extra arguments go to bench/compare.py.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if ! command -v valgrind >/dev/null 2>&1; then
  echo "perf-guard: valgrind not found (scripts/install-system-deps.sh installs it)" >&2
  exit 1
fi
exec .venv/bin/python bench/compare.py --guard "$@"
