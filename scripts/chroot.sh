#!/usr/bin/env bash
# The Debian unstable chroot that carries CPython 3.14 and 3.15 (and a g++ of
# the newest generation). Debian's unstable packages need a newer C library
# than the machines this project runs on, so they live in a tree of their
# own, under the user's cache folder, outside any checkout:
#
#   scripts/chroot.sh ensure          make it, or finish making it (idempotent:
#                                     a complete tree with today's package list
#                                     is left as it is)
#   scripts/chroot.sh path            print its folder
#   scripts/chroot.sh run CMD [ARG]   run CMD inside it, as root, in the
#                                     current folder (the checkout is mounted
#                                     at its own path)
#
#   VOREL_CHROOT=DIR                  another folder (default
#                                     ${XDG_CACHE_HOME:-$HOME/.cache}/vorel_cloud/sid)
#
# `run` mounts /proc, /sys, /dev (with /dev/pts and /dev/shm), a fresh /tmp,
# the host's CA bundle and the checkout inside a mount namespace of its own: the host never sees
# those mounts, and they are gone when the command ends, however it ends.
# Needs root (debootstrap, chroot, mount namespaces).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${VOREL_CHROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/vorel_cloud/sid}
mirror=${VOREL_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# What the suite needs in there: the two interpreters with their headers and
# venv, a compiler and the build tools, git (the packaging tests), valgrind
# (the instruction-count guard) and a headless browser (the dashboard tests).
packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ cmake ninja-build git
  ca-certificates valgrind chromium chromium-driver)

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "chroot: needs root (debootstrap, chroot, mount namespaces)" >&2
    exit 2
  fi
}

# CMD inside the tree, with the mounts it needs, in a private mount namespace.
enter() {
  local here=$1
  shift
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  # A checkout made by `git worktree` keeps its history beside the main one.
  local common=""
  common=$(git -C "$root" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
  case "$common" in "$root"/*) common="" ;; esac
  # The environment inside: the tree's own PATH and HOME, plus the project's
  # and CI's settings.
  local keep=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
  local name
  while IFS= read -r name; do
    keep+=("$name=${!name}")
  done < <(compgen -e | grep -E '^(VOREL_|CI$|TERM$|PYTEST_)' || true)
  unshare --mount --propagation private -- /bin/bash -c "$mounts" mounts "$dir" "$root" "$common" "$here" \
    "${#keep[@]}" "${keep[@]}" "$@"
}

# The mounts, then chroot; run by `enter` in the new namespace.
# shellcheck disable=SC2016
mounts='
set -euo pipefail
dir=$1 root=$2 common=$3 here=$4 n=$5
shift 5
env=("${@:1:$n}")
shift "$n"
mount -t proc proc "$dir/proc"
mount --rbind /sys "$dir/sys"
mount --rbind /dev "$dir/dev"
mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp"
# The host'"'"'s trust anchors, so pip reaches the package index as it does on
# the host (through a TLS-inspecting proxy too).
host_ca=/etc/ssl/certs/ca-certificates.crt
if [ -f "$host_ca" ] && [ -f "$dir$host_ca" ]; then
  mount --bind "$host_ca" "$dir$host_ca"
fi
mkdir -p "$dir$root"
mount --bind "$root" "$dir$root"
if [ -n "$common" ] && [ -d "$common" ]; then
  mkdir -p "$dir$common"
  mount --bind "$common" "$dir$common"
fi
cd "$dir$here" 2>/dev/null || cd "$dir$root"
exec chroot "$dir" /usr/bin/env -i "${env[@]}" /bin/sh -c '"'"'cd "$1" && shift && exec "$@"'"'"' sh "$here" "$@"
'

ensure() {
  need_root
  mkdir -p "$(dirname "$dir")"
  exec 9>"$dir.lock"
  flock 9
  if [ ! -f "$dir/.vorel-base" ]; then
    if ! command -v debootstrap >/dev/null 2>&1; then
      echo "chroot: installing debootstrap"
      export DEBIAN_FRONTEND=noninteractive
      apt-get update -qq
      apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
    fi
    # Made beside its place and moved there whole, so a run cut short leaves
    # nothing that looks complete.
    local start=$SECONDS
    rm -rf --one-file-system "$dir.new"
    echo "chroot: debootstrap --variant=minbase sid $dir"
    debootstrap --variant=minbase sid "$dir.new" "$mirror" >"$dir.debootstrap.log" 2>&1 || {
      tail -n 30 "$dir.debootstrap.log" >&2
      echo "chroot: debootstrap failed (whole log: $dir.debootstrap.log)" >&2
      exit 1
    }
    # The unstable suite's Release file is valid for a week only; a mirror
    # that lags behind would stop every apt-get here. Signatures are still
    # checked.
    echo 'Acquire::Check-Valid-Until "false";' >"$dir.new/etc/apt/apt.conf.d/99vorel-valid-until"
    touch "$dir.new/.vorel-base"
    rm -rf --one-file-system "$dir"
    mv "$dir.new" "$dir"
    echo "chroot: base system made in $((SECONDS - start))s"
  fi
  local want
  want=$(printf '%s\n' "${packages[@]}" | sha256sum | cut -d' ' -f1)
  if [ "$(cat "$dir/.vorel-packages" 2>/dev/null)" != "$want" ]; then
    local start=$SECONDS
    echo "chroot: apt-get install ${packages[*]}"
    enter / /bin/sh -c 'export DEBIAN_FRONTEND=noninteractive && apt-get update -qq &&
      apt-get install -y -qq --no-install-recommends "$@" >/dev/null && apt-get clean' sh "${packages[@]}"
    echo "$want" >"$dir/.vorel-packages"
    echo "chroot: packages installed in $((SECONDS - start))s"
  fi
}

case "${1:-}" in
  ensure) ensure ;;
  path) echo "$dir" ;;
  run)
    shift
    [ $# -gt 0 ] || { echo "chroot: run needs a command" >&2; exit 2; }
    ensure
    exec 9>&-
    enter "$PWD" "$@"
    ;;
  *)
    echo "usage: scripts/chroot.sh ensure | path | run CMD [ARG...]" >&2
    exit 2
    ;;
esac
