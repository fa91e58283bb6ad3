#!/usr/bin/env bash
# Prepare a development environment from nothing: find CPython 3.12, create
# .venv, install the dependencies and the core-SDK stand-in, build the native
# modules in place. Safe to run again; it only redoes what changed.
#
#   VOREL_PYTHON_VERSION=3.13 VOREL_VENV=DIR VOREL_BUILD_DIR=DIR scripts/bootstrap.sh
#       the same for another interpreter, in its own environment and build folder
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

pyver=${VOREL_PYTHON_VERSION:-3.12}
find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if command -v "python$pyver" >/dev/null 2>&1 && "python$pyver" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$pyver'" 2>/dev/null; then
    command -v "python$pyver"; return
  fi
  local pyroot
  pyroot=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  local cand
  for cand in "$pyroot"/versions/"$pyver"*/bin/python"$pyver"; do
    [ -x "$cand" ] && { echo "$cand"; return; }
  done
  echo "bootstrap: CPython $pyver not found (set PYTHON=/path/to/python$pyver)" >&2
  exit 2
}

# Machine packages the tests need (a headless browser); the script is
# idempotent and skips what is already there.
if [ -x "$root/scripts/install-system-deps.sh" ]; then
  "$root/scripts/install-system-deps.sh"
fi

venv=${VOREL_VENV:-$root/.venv}
export VOREL_VENV="$venv"   # scripts/build.sh below builds for this environment
if [ ! -x "$venv/bin/python" ]; then
  py=$(find_python)
  echo "bootstrap: creating $venv with $py"
  "$py" -m venv "$venv"
fi
vpy="$venv/bin/python"

# Dependencies: reinstall only when the requirement files change.
stamp="$venv/.deps-stamp"
want=$(cat requirements-dev.txt devkit/pyproject.toml 2>/dev/null | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "bootstrap: installing dependencies"
  "$vpy" -m pip install --quiet --upgrade pip
  "$vpy" -m pip install --quiet -r requirements-dev.txt
  if [ -f devkit/pyproject.toml ]; then
    "$vpy" -m pip install --quiet -e devkit
  fi
  echo "$want" > "$stamp"
fi

# The package's Python sources are used in place; the native modules are
# built into the same folder (scripts/build.sh), so an edit to either is live.
site=$("$vpy" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo "$root/python" > "$site/vorel_cloud_dev.pth"

"$root/scripts/build.sh"
