# Shell functions shared by scripts/test-asan.sh and scripts/fuzz.sh: build and
# stage the sanitizer build of the package, export the environment that loads
# it, and collect the sanitizers' reports. Source it; needs $root.

# shellcheck source=tests/support/staged.sh
. "$root/tests/support/staged.sh"

# One folder per run: engineers share the tree, and two runs must not read or
# wipe each other's reports.
asan_logs="$root/build-asan/reports/run-$$"

# build-asan/pkg/vorel_cloud: the package with the sanitizer build's modules
# (tests/support/staged.sh).
asan_stage() {
  VOREL_SANITIZE=1 "$root/scripts/build.sh"
  stage_package "$root/build-asan"
}

# The environment of a sanitized run: the runtime preloaded (libstdc++ too:
# the interpreter does not link it, and the sanitizer's exception interceptor
# must find it at start-up), the staged package first on the path, every
# allocation through malloc, and reports written to $asan_logs.
asan_export() {
  local asan stdcxx
  asan=$(g++ -print-file-name=libasan.so)
  stdcxx=$(g++ -print-file-name=libstdc++.so)
  [ -f "$asan" ] || { echo "sanitizer: libasan not found (install g++)" >&2; return 2; }
  rm -rf "$asan_logs"
  mkdir -p "$asan_logs"
  find "$root/build-asan/reports" -mindepth 1 -maxdepth 1 -type d -mmin +1440 -exec rm -rf {} + 2>/dev/null || true
  export LD_PRELOAD="$asan $stdcxx${LD_PRELOAD:+ $LD_PRELOAD}"
  stage_export "$root/build-asan"
  export PYTHONMALLOC=malloc
  local unwind=1
  [ "${VOREL_ASAN_STACKS:-}" = full ] && unwind=0
  export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:fast_unwind_on_malloc=$unwind:malloc_context_size=30:log_path=$asan_logs/asan"
  export LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$asan_logs/ubsan"
  export VOREL_SANITIZER=address
}

# Prints every report written so far; fails when there is one. Without
# reports the run's folder goes away.
asan_reports() {
  local f found=0
  for f in "$asan_logs"/*; do
    [ -s "$f" ] || continue
    found=1
    echo "==== $f" >&2
    head -c 20000 "$f" >&2
  done
  [ "$found" -eq 0 ] && rm -rf "$asan_logs"
  [ "$found" -eq 0 ]
}
