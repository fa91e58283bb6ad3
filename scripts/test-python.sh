#!/usr/bin/env bash
# The whole pytest suite and stubtest on another CPython (default 3.13), in
# its own environment and build folder under build/pyXY/, beside the 3.12
# one: bootstrap (idempotent), build the native modules for that
# interpreter, run pytest, then stubtest of the four native modules' .pyi
# against that build. Extra arguments go to pytest.
#
#   scripts/test-python.sh [--python 3.13] [pytest args]
#
# 3.12 and 3.13 are this machine's own (PYTHON=, python3.X on PATH, pyenv).
# 3.14 and 3.15 are Debian unstable's, which need a newer C library than this
# machine has: for them the script runs itself inside the chroot that
# scripts/chroot.sh makes (once) and mounts the checkout into, and builds
# there with that tree's compiler.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
ver=3.13
if [ "${1:-}" = --python ]; then ver=$2; shift 2; fi
case "$ver" in
  3.14 | 3.15)
    if [ "${VOREL_IN_CHROOT:-}" != 1 ]; then
      exec scripts/chroot.sh run env VOREL_IN_CHROOT=1 PYTHON="/usr/bin/python$ver" \
        scripts/test-python.sh --python "$ver" "$@"
    fi
    ;;
esac
here="$root/build/py${ver//./}"
export VOREL_PYTHON_VERSION="$ver" VOREL_VENV="$here/venv" VOREL_BUILD_DIR="$here/cmake"
scripts/bootstrap.sh
set +e
"$VOREL_VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
rc=$?
set -e
[ "$rc" -eq 5 ] && rc=0   # no tests selected is not a failure

# stubtest in a folder of its own (it leaves its .mypy_cache there); the
# modules are the ones just built for this interpreter.
echo "==== stubtest on CPython $ver"
mkdir -p "$here/stubtest"
start=$SECONDS
if (cd "$here/stubtest" && timeout 300 "$VOREL_VENV/bin/python" -m mypy.stubtest \
  vorel_cloud.parvex vorel_cloud.approval vorel_cloud.langgraph vorel_cloud.connect); then
  echo "==== stubtest on CPython $ver: ok after $((SECONDS - start))s"
else
  echo "==== stubtest on CPython $ver: FAILED after $((SECONDS - start))s"
  [ "$rc" -ne 0 ] || rc=1
fi
exit "$rc"
