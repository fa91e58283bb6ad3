#!/usr/bin/env bash
# Machine packages the test suite needs beyond Python: a headless browser and
# its WebDriver for the dashboard tests, valgrind for the instruction-count
# guard (scripts/perf-guard.sh), and clang with its C++ library, libc++, for
# the clang leg (scripts/test-clang.sh; clang-16 is the newest Debian 12
# carries). Idempotent: installs only what is missing, and touches the package
# index only then. Without root or apt-get it says so and returns 0, so
# bootstrapping still works (the browser tests then skip with a reason; the
# guard says valgrind is missing, the clang leg that clang is).
set -uo pipefail

packages=(chromium chromium-driver valgrind clang-16 libc++-16-dev libc++abi-16-dev)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
if command -v dpkg-query >/dev/null 2>&1; then
  for pkg in "${packages[@]}"; do
    installed "$pkg" || missing+=("$pkg")
  done
else
  missing=("${packages[@]}")
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
  echo "install-system-deps: apt-get not available; not installing ${missing[*]} (browser tests will be skipped, perf guard and clang leg unavailable)" >&2
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-system-deps: not root; not installing ${missing[*]} (run as root: apt-get install ${missing[*]}; browser tests will be skipped, perf guard and clang leg unavailable)" >&2
  exit 0
fi

echo "install-system-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! apt-get update -qq; then
  echo "install-system-deps: apt-get update failed; browser tests will be skipped, perf guard and clang leg unavailable" >&2
  exit 0
fi
if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  echo "install-system-deps: apt-get install ${missing[*]} failed; browser tests will be skipped, perf guard and clang leg unavailable" >&2
  exit 0
fi
echo "install-system-deps: installed ${missing[*]}"
