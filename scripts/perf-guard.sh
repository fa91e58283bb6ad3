#!/usr/bin/env bash
# Instruction-count guard: for every benchmark row, the native modules'
# callgrind instructions per call (heap bytes for pending approvals) must stay
# within the row's must-threshold times those of the plain-Python rendering of
# the same steps, measured in the same run. Deterministic, so it can gate CI on
# a noisy machine; wall-clock timings are never asserted. About a minute and a
# half on two cores. Extra arguments go to bench/compare.py.
#
#   scripts/perf-guard.sh [--python 3.15] [bench/compare.py args]
#
# CI's perf leg runs it on 3.12 (.venv). --python 3.13/3.14/3.15 runs the same
# table with that interpreter's environment and build, the one
# scripts/test-python.sh made (3.14 and 3.15 inside the chroot, whose valgrind
# is used).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
py="$root/.venv/bin/python"
if [ "${1:-}" = --python ]; then
  ver=$2
  shift 2
  case "$ver" in
    3.14 | 3.15)
      if [ "${VOREL_IN_CHROOT:-}" != 1 ]; then
        exec scripts/chroot.sh run env VOREL_IN_CHROOT=1 scripts/perf-guard.sh --python "$ver" "$@"
      fi
      ;;
  esac
  py="$root/build/py${ver//./}/venv/bin/python"
  [ -x "$py" ] || { echo "perf-guard: no CPython $ver environment (run scripts/test-python.sh --python $ver first)" >&2; exit 2; }
fi
if ! command -v valgrind >/dev/null 2>&1; then
  echo "perf-guard: valgrind not found (scripts/install-system-deps.sh installs it)" >&2
  exit 1
fi
exec "$py" bench/compare.py --guard "$@"
