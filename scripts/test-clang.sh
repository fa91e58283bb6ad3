#!/usr/bin/env bash
# The whole pytest suite against a clang + libc++ build of the native modules
# (clang-16, the newest Debian 12 carries, with -Werror as every development
# build): the closest this machine gets to the Apple clang of the macOS
# wheels. Extra arguments go to pytest.
#
# The build lives in build-clang/ and is staged as the sanitizer leg's is
# (tests/support/staged.sh), so python/vorel_cloud keeps the normal leg's g++
# modules. The builds the suite makes itself (the pip install, the configure
# checks) get the same pairing through CMAKE_TOOLCHAIN_FILE, and
# VOREL_CXX_RUNTIME tells tests/packaging/test_module_linking.py which
# compiler and C++ library the loaded modules must show.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=tests/support/staged.sh
. "$root/tests/support/staged.sh"

toolchain="$root/cmake/clang-libc++.cmake"
cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER \(.*\))$/\1/p' "$toolchain")
command -v "$cxx" >/dev/null || { echo "test-clang: $cxx not found (scripts/install-system-deps.sh installs it)" >&2; exit 2; }

VOREL_CLANG=1 scripts/build.sh
stage_package "$root/build-clang"
stage_export "$root/build-clang"
export CMAKE_TOOLCHAIN_FILE="$toolchain" VOREL_CXX_RUNTIME=libc++

set +e
"$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
rc=$?
set -e
[ "$rc" -eq 5 ] && rc=0   # no tests selected is not a failure
exit "$rc"
