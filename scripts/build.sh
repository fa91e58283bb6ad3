#!/usr/bin/env bash
# Build the native modules into python/vorel_cloud/ (in place).
#   scripts/build.sh            normal build (build/)
#   VOREL_SANITIZE=1 scripts/build.sh   ASan+UBSan build (build-asan/, staged in build-asan/stage)
#   VOREL_CLANG=1 scripts/build.sh      clang + libc++ build (build-clang/, staged in build-clang/stage;
#                               cmake/clang-libc++.cmake)
#   VOREL_VENV=DIR VOREL_BUILD_DIR=DIR scripts/build.sh
#                               another interpreter's environment and build folder
#                               (the modules' file names carry the interpreter's tag,
#                               so several interpreters share python/vorel_cloud/)
# Warnings are errors here (development and CI); builds from an sdist leave
# VOREL_WERROR at its default, off.
# Concurrent callers are serialised with a lock on the build folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${VOREL_VENV:-$root/.venv}
vpy="$venv/bin/python"
[ -x "$vpy" ] || { echo "build: run scripts/bootstrap.sh first" >&2; exit 2; }
if [ "${VOREL_SANITIZE:-0}" = 1 ]; then
  bdir=${VOREL_BUILD_DIR:-$root/build-asan}; extra=(-DVOREL_SANITIZE=ON -DVOREL_OUTPUT_DIR="$bdir/stage/vorel_cloud")
elif [ "${VOREL_CLANG:-0}" = 1 ]; then
  bdir=${VOREL_BUILD_DIR:-$root/build-clang}
  extra=(--toolchain "$root/cmake/clang-libc++.cmake" -DVOREL_OUTPUT_DIR="$bdir/stage/vorel_cloud")
else
  bdir=${VOREL_BUILD_DIR:-$root/build}; extra=(-DVOREL_OUTPUT_DIR="$root/python/vorel_cloud")
fi
mkdir -p "$bdir"
export PATH="$venv/bin:$PATH"
(
  flock 9
  # Configure once; again when a folder configured before VOREL_WERROR existed
  # would otherwise build without it.
  if [ ! -f "$bdir/build.ninja" ] || ! grep -q '^VOREL_WERROR:BOOL=ON$' "$bdir/CMakeCache.txt" 2>/dev/null; then
    cmake -S "$root" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$vpy" -DVOREL_WERROR=ON "${extra[@]}" >/dev/null
  fi
  cmake --build "$bdir" -- -j"$(nproc)"
) 9>"$bdir/.lock"
