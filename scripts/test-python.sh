#!/usr/bin/env bash
# The whole pytest suite on another CPython (default 3.13), in its own
# environment and build folder under build/pyXY/, beside the 3.12 one:
# bootstrap (idempotent), build the native modules for that interpreter,
# run pytest. Extra arguments go to pytest.
#
#   scripts/test-python.sh [--python 3.13] [pytest args]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
ver=3.13
if [ "${1:-}" = --python ]; then ver=$2; shift 2; fi
here="$root/build/py${ver//./}"
export VOREL_PYTHON_VERSION="$ver" VOREL_VENV="$here/venv" VOREL_BUILD_DIR="$here/cmake"
scripts/bootstrap.sh
set +e
"$VOREL_VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
rc=$?
set -e
[ "$rc" -eq 5 ] && rc=0   # no tests selected is not a failure
exit "$rc"
