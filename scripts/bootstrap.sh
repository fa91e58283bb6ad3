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

# CPython 3.14 and 3.15, for their test and wheel legs, are Debian unstable's,
# in a chroot under the user's cache folder (scripts/chroot.sh: made once,
# about two minutes; needs root). Not fatal here: the legs that need it say
# why it is missing.
if [ "${VOREL_IN_CHROOT:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: not root, so no chroot with CPython 3.14 and 3.15 (their legs will fail)" >&2
  elif ! "$root/scripts/chroot.sh" ensure; then
    echo "bootstrap: the chroot with CPython 3.14 and 3.15 could not be made (their legs will fail)" >&2
  fi
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

# What an editable install would add, without a second build of the native
# modules: the package's metadata and its entry points (the `vorel-cloud`
# command), installed by pip from a wheel that holds nothing else. Redone only
# when pyproject.toml changes or the command is missing.
stamp="$venv/.entry-points-stamp"
want=$(cat pyproject.toml python/vorel_cloud/__init__.py | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ] || [ ! -x "$venv/bin/vorel-cloud" ]; then
  echo "bootstrap: installing the package metadata and the vorel-cloud command"
  wheel_dir=$(mktemp -d)
  "$vpy" - "$root" "$wheel_dir" <<'PY'
import base64, hashlib, pathlib, re, sys, tomllib, zipfile

root, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
project = tomllib.loads((root / "pyproject.toml").read_text())["project"]
name = project["name"]
version = project.get("version")
if version is None:  # a dynamic version lives in the package's __init__
    found = re.search(r'^__version__\s*=\s*["\']([^"\']+)', (root / "python" / name / "__init__.py").read_text(), re.M)
    version = found.group(1) if found else "0+dev"
dist = f"{name}-{version}.dist-info"
meta = [f"Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
meta += [f"Requires-Dist: {req}" for req in project.get("dependencies", [])]
for extra, reqs in project.get("optional-dependencies", {}).items():
    meta.append(f"Provides-Extra: {extra}")
    meta += [f'Requires-Dist: {req}; extra == "{extra}"' for req in reqs]
groups = {"console_scripts": project.get("scripts", {}), "gui_scripts": project.get("gui-scripts", {})}
groups.update(project.get("entry-points", {}))
entry_points = "".join(
    f"[{group}]\n" + "".join(f"{key} = {value}\n" for key, value in items.items()) + "\n"
    for group, items in groups.items() if items
)
files = {
    f"{dist}/METADATA": "\n".join(meta) + "\n",
    f"{dist}/WHEEL": "Wheel-Version: 1.0\nGenerator: scripts/bootstrap.sh\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    f"{dist}/entry_points.txt": entry_points,
}
record = []
for path, text in files.items():
    digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=").decode()
    record.append(f"{path},sha256={digest},{len(text.encode())}")
files[f"{dist}/RECORD"] = "\n".join(record + [f"{dist}/RECORD,,"]) + "\n"
with zipfile.ZipFile(out / f"{name}-{version}-py3-none-any.whl", "w") as wheel:
    for path, text in files.items():
        wheel.writestr(path, text)
PY
  "$vpy" -m pip install --quiet --no-deps --no-index --force-reinstall "$wheel_dir"/*.whl
  rm -rf "$wheel_dir"
  # Point the record of where it came from at the checkout, as pip does for
  # an editable install, not at the wheel just removed.
  "$vpy" - "$root" <<'PY'
import importlib.metadata, json, pathlib, sys
dist = importlib.metadata.distribution("vorel_cloud")
url = pathlib.Path(sys.argv[1]).as_uri()
record = next(f for f in dist.files if f.name == "direct_url.json")
pathlib.Path(record.locate()).write_text(json.dumps({"url": url, "dir_info": {"editable": True}}))
PY
  echo "$want" > "$stamp"
fi

"$root/scripts/build.sh"
