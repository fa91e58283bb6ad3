#!/usr/bin/env bash
# Build the native modules into python/vorel_cloud/ (in place).
#   scripts/build.sh            normal build (build/)
#   VOREL_SANITIZE=1 scripts/build.sh   ASan+UBSan build (build-asan/, staged in build-asan/stage)
# Concurrent callers are serialised with a lock on the build folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vpy="$root/.venv/bin/python"
[ -x "$vpy" ] || { echo "build: run scripts/bootstrap.sh first" >&2; exit 2; }
if [ "${VOREL_SANITIZE:-0}" = 1 ]; then
  bdir="$root/build-asan"; extra=(-DVOREL_SANITIZE=ON -DVOREL_OUTPUT_DIR="$bdir/stage/vorel_cloud")
else
  bdir="$root/build"; extra=(-DVOREL_OUTPUT_DIR="$root/python/vorel_cloud")
fi
mkdir -p "$bdir"
export PATH="$root/.venv/bin:$PATH"
(
  flock 9
  if [ ! -f "$bdir/build.ninja" ]; then
    cmake -S "$root" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$vpy" "${extra[@]}" >/dev/null
  fi
  cmake --build "$bdir" -- -j"$(nproc)"
) 9>"$bdir/.lock"
