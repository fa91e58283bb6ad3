#!/usr/bin/env bash
# Static checks, all of them even when one fails; exits non-zero if any did:
#   ruff check            every Python file of the repository (settings in pyproject.toml)
#   ruff format --check   the same files, formatted as `ruff format` would
#   mypy                  the package at --strict (files and flags in pyproject.toml)
#   stubtest              the four native modules' .pyi against the built modules
#   clang-format          the C++ under src/ against .clang-format (--dry-run -Werror)
#
#   scripts/lint.sh          check
#   scripts/lint.sh --fix    first apply ruff's safe fixes, `ruff format` and clang-format, then check
#
# Needs scripts/bootstrap.sh first (the tools come with requirements-dev.txt,
# stubtest needs the built modules). Caches live in build/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bin="$root/.venv/bin"
[ -x "$bin/python" ] || { echo "lint: run scripts/bootstrap.sh first" >&2; exit 2; }

native_modules=(vorel_cloud.parvex vorel_cloud.approval vorel_cloud.langgraph vorel_cloud.connect)
mapfile -t cxx < <(find src -name '*.cpp' -o -name '*.hpp' | sort)

if [ "${1:-}" = "--fix" ]; then
  "$bin/ruff" check --fix --quiet . || true
  "$bin/ruff" format --quiet .
  "$bin/clang-format" -i "${cxx[@]}"
elif [ $# -gt 0 ]; then
  echo "lint: unknown argument '$1' (only --fix)" >&2
  exit 2
fi

failed=()
step() {
  local name=$1
  shift
  echo "==== lint: $name"
  local start=$SECONDS
  if timeout 300 "$@"; then
    echo "==== lint: $name: ok after $((SECONDS - start))s"
  else
    echo "==== lint: $name: FAILED after $((SECONDS - start))s"
    failed+=("$name")
  fi
}

# stubtest, the slowest (it analyses the stubs and all they import afresh
# each time), runs beside the others; its report is printed in its turn. The
# modules are imported as built in place (python/, through .venv's .pth).
# It runs in a folder of its own under build/, where it leaves its
# .mypy_cache.
mkdir -p build/stubtest
stubtest_log=$(mktemp "${TMPDIR:-/tmp}/vorel-stubtest.XXXXXX")
trap 'rm -f "$stubtest_log"' EXIT
stubtest_start=$SECONDS
(cd build/stubtest && exec timeout 300 "$bin/python" -m mypy.stubtest "${native_modules[@]}") >"$stubtest_log" 2>&1 &
stubtest_pid=$!

step "ruff check" "$bin/ruff" check .
step "ruff format" "$bin/ruff" format --check .
step "mypy" "$bin/mypy"
step "clang-format" "$bin/clang-format" --dry-run -Werror "${cxx[@]}"

echo "==== lint: stubtest"
if wait "$stubtest_pid"; then
  cat "$stubtest_log"
  echo "==== lint: stubtest: ok after $((SECONDS - stubtest_start))s"
else
  cat "$stubtest_log"
  echo "==== lint: stubtest: FAILED after $((SECONDS - stubtest_start))s"
  failed+=("stubtest")
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "lint: failed: ${failed[*]}" >&2
  exit 1
fi
echo "lint: all checks passed"
