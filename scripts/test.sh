#!/usr/bin/env bash
# The README's test command: bootstrap (idempotent), then the static checks
# (scripts/lint.sh), the whole suite on the normal build, the instruction-count
# guard of the native core against plain Python, a short fuzzing run, the
# whole suite again on the AddressSanitizer + UndefinedBehaviorSanitizer build,
# the built wheel's smoke run in a fresh environment, the whole suite and
# stubtest on CPython 3.13, 3.14 and 3.15, the wheel's build, repair and smoke
# run on each of those three, and the whole suite on a clang + libc++ build
# (scripts/test-clang.sh). Every leg runs; the command fails when any of them
# failed. Extra arguments go to the pytest runs.
#
#   VOREL_TEST_LEGS="lint normal perf fuzz asan wheel py313 py314 py315 wheel313 wheel314 wheel315 clang"
#         the legs to run (default: all thirteen)
#   perf: the instruction-count guard (scripts/perf-guard.sh, callgrind): native / Python
#         per benchmark row under its threshold (bench/compare.py)
#   py314, py315, wheel314, wheel315: in the Debian unstable chroot that
#         scripts/chroot.sh makes once under the user's cache folder (first run: about 2 minutes)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/bootstrap.sh

legs=${VOREL_TEST_LEGS:-lint normal perf fuzz asan wheel py313 py314 py315 wheel313 wheel314 wheel315 clang}
failed=()
passed_total=0
failed_total=0
logs="$root/build/test-logs"
mkdir -p "$logs"

# pytest's closing line, e.g. "1 failed, 1203 passed, 2 errors in 329.71s".
count() { grep -E '^[0-9].* in [0-9.]+s' "$1" | tail -1 | grep -Eo "[0-9]+ $2" | grep -Eo '^[0-9]+' || echo 0; }

leg() {
  local name=$1
  shift
  echo "==== test leg: $name"
  local start=$SECONDS rc=0 log="$logs/$name.log"
  set +e
  "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  [ "$rc" -eq 5 ] && rc=0   # pytest found no tests to run: not a failure
  echo "==== test leg: $name: exit $rc after $((SECONDS - start))s"
  [ "$rc" -eq 0 ] || failed+=("$name")
  passed_total=$((passed_total + $(count "$log" passed)))
  failed_total=$((failed_total + $(count "$log" failed) + $(count "$log" errors?)))
}

for l in $legs; do
  case "$l" in
    lint) leg lint scripts/lint.sh ;;
    normal) leg normal .venv/bin/python -m pytest -q -p no:cacheprovider "$@" ;;
    fuzz) leg fuzz scripts/fuzz.sh ;;
    asan) leg asan scripts/test-asan.sh "$@" ;;
    perf) leg perf scripts/perf-guard.sh ;;
    wheel) leg wheel scripts/wheel-smoke.sh ;;
    py313 | py314 | py315) leg "$l" scripts/test-python.sh --python "3.${l#py3}" "$@" ;;
    wheel313 | wheel314 | wheel315) leg "$l" scripts/wheel-smoke.sh --python "3.${l#wheel3}" ;;
    clang) leg clang scripts/test-clang.sh "$@" ;;
    *) echo "test: unknown leg '$l'" >&2; exit 2 ;;
  esac
done

echo "tests: $passed_total passed, $failed_total failed"
if [ ${#failed[@]} -gt 0 ]; then
  echo "test: failed legs: ${failed[*]}" >&2
  exit 1
fi
