# Shell functions shared by the legs that run the suite on a build of their own
# (scripts/test-asan.sh and scripts/fuzz.sh through sanitizer.sh,
# scripts/test-clang.sh). Such a build writes its extension modules into
# DIR/stage/vorel_cloud, not into python/vorel_cloud, where the normal leg's
# modules stay; its leg alone puts the staged package first on the path.
# Source it; needs $root.

# DIR/pkg/vorel_cloud: the package's Python sources (linked, so edits stay
# live) with DIR's extension modules in place of the normal ones. Safe to run
# again, and while another run uses the folder.
stage_package() {
  local src="$root/python/vorel_cloud" dst="$1/pkg/vorel_cloud" f name
  mkdir -p "$dst"
  for f in "$src"/* "$1"/stage/vorel_cloud/*.so; do
    name=$(basename "$f")
    case "$f" in "$src"/*.so | "$src"/__pycache__) continue ;; esac
    [ "$(readlink "$dst/$name" 2>/dev/null)" = "$f" ] || ln -sfn "$f" "$dst/$name"
  done
  for f in "$dst"/*; do   # files removed from the sources since the last run
    [ -L "$f" ] && [ ! -e "$f" ] && rm -f "$f"
  done
  return 0
}

# The environment of a run on DIR's build: its staged package first on the
# path, and its build folder for the layer's test module (tests/runtime/conftest.py).
stage_export() {
  export PYTHONPATH="$1/pkg${PYTHONPATH:+:$PYTHONPATH}"
  export VOREL_BUILD_DIR="$1"
}
