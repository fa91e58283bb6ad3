#!/usr/bin/env bash
# Fuzz the native modules' untrusted inputs with atheris (fuzz/*.py).
#
#   scripts/fuzz.sh                  short run, about a minute in all (CI)
#   scripts/fuzz.sh --long [SECS]    SECS per target and phase (default 600); `make fuzz`
#   scripts/fuzz.sh [...] TARGET...  only these targets (connect_token, ...)
#
# Each target runs in two phases. First coverage-guided on the normal build
# (the targets' oracles, bench/reference, mirror the native branches, so new
# paths of the Python side steer the search), growing a working corpus in
# build/fuzz/corpus/TARGET from the seeds in fuzz/corpus/TARGET. Then the same
# corpus is mutated further against the AddressSanitizer build: atheris's
# coverage hooks are shadowed by the sanitizer runtime there, so this phase is
# unguided, but every input runs under ASan and UBSan. The test suite replays
# both corpora as well (tests/runtime/test_fuzz_corpus.py), also under the
# sanitizer leg.
#
# A crashing input is written to build/fuzz/artifacts/ and fails the run; turn
# it into a regression test (see docs/testing.md).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
vpy="$root/.venv/bin/python"
# A merge (-merge=1) re-runs the target as a program: its "python3" must be ours.
export PATH="$root/.venv/bin:$PATH"

secs_guided=8
secs_asan=7
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --long)
      shift
      if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then secs_guided=$1; shift; else secs_guided=600; fi
      secs_asan=$secs_guided
      ;;
    -h | --help) sed -n 2,20p "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  targets=(connect_token signed_approvals request_builder heartbeat_details)
fi

work="$root/build/fuzz"
mkdir -p "$work/artifacts" "$work/logs"
[ -x "$vpy" ] || { echo "fuzz: run scripts/bootstrap.sh first" >&2; exit 2; }
"$root/scripts/build.sh" >/dev/null

# shellcheck source=tests/support/sanitizer.sh
. "$root/tests/support/sanitizer.sh"
asan_stage >/dev/null

# libFuzzer options shared by both phases: a hang or a runaway allocation is a
# finding too; inputs stay small (the generators read few bytes).
common_opts=(-timeout=20 -rss_limit_mb=4096 -max_len=2048 -print_final_stats=0)

runs_of() { sed -n 's/^Done \([0-9]*\) runs in.*/\1/p' "$1" | tail -1; }

failed=0
summary=()
for t in "${targets[@]}"; do
  [ -f "$root/fuzz/$t.py" ] || { echo "fuzz: no target fuzz/$t.py" >&2; exit 2; }
  corpus="$work/corpus/$t"
  seeds="$root/fuzz/corpus/$t"
  mkdir -p "$corpus" "$seeds"
  before=$(ls "$work/artifacts" | wc -l)

  log="$work/logs/$t.guided.log"
  echo "fuzz: $t: ${secs_guided}s coverage-guided (normal build)"
  set +e
  "$vpy" "$root/fuzz/$t.py" "$corpus" "$seeds" -max_total_time="$secs_guided" \
    -artifact_prefix="$work/artifacts/$t-" "${common_opts[@]}" >"$log" 2>&1
  rc1=$?
  set -e
  if grep -q "skipped:" "$log"; then
    grep "skipped:" "$log"
    summary+=("$t: skipped ($(sed -n 's/.*skipped: //p' "$log"))")
    continue
  fi
  g=$(runs_of "$log")

  log2="$work/logs/$t.asan.log"
  echo "fuzz: $t: ${secs_asan}s under the sanitizer build"
  set +e
  (
    asan_export
    # Inputs may hold garbage in global caches by design; leaks are the test
    # suite's business, crashes and memory errors this run's.
    export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
    exec "$vpy" "$root/fuzz/$t.py" "$corpus" -max_total_time="$secs_asan" -detect_leaks=0 \
      -artifact_prefix="$work/artifacts/$t-asan-" "${common_opts[@]}"
  ) >"$log2" 2>&1
  rc2=$?
  set -e
  a=$(runs_of "$log2")
  reports=$(cat "$asan_logs"/* 2>/dev/null || true)

  after=$(ls "$work/artifacts" | wc -l)
  status=ok
  if [ "$rc1" -ne 0 ] || [ "$rc2" -ne 0 ] || [ "$after" -ne "$before" ] || [ -n "$reports" ]; then
    status=FAILED
    failed=1
    for l in "$log" "$log2"; do
      echo "---- $l (last lines)" >&2
      grep -v '^#[0-9]' "$l" | tail -40 >&2
    done
    [ -n "$reports" ] && { echo "---- sanitizer reports" >&2; echo "$reports" | head -c 20000 >&2; }
    echo "fuzz: reproduce with: .venv/bin/python fuzz/$t.py build/fuzz/artifacts/<file>" >&2
  fi
  summary+=("$t: ${g:-0} guided + ${a:-0} sanitizer executions ($(ls "$corpus" | wc -l) corpus inputs) $status")
done

echo "fuzz summary:"
printf '  %s\n' "${summary[@]}"
exit "$failed"
