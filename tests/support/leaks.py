"""Reference-leak checks for native code.

A native function that forgets one reference leaks one object per call, so
the check runs the callable many times after a warm-up and compares two
counters before and after:

- allocated blocks: `sys.getallocatedblocks()`, the object allocator's count
  of live blocks. One leaked object per call shows as >= `runs` blocks.
- memory: the process's resident memory, for leaks outside the object
  allocator (C++ heap, large buffers). One leaked KiB per call shows as
  >= `runs` KiB.

Under the sanitizer build (`scripts/test-asan.sh`) every allocation goes
through the sanitizer's malloc (PYTHONMALLOC=malloc), where the object
allocator counts nothing and freed memory is held resident on purpose
(quarantine). There the blocks are counted with tracemalloc, and memory is
the sanitizer allocator's count of live bytes; the same tolerances apply.

- references: `sys.getrefcount` of the objects a path touches (`objects=`).
  A reference leaked to an existing object (a class, a function, an
  argument) allocates nothing and moves neither counter above; its count
  grows by one per call.

Tolerance. The counters move a little without any leak: free lists, the type
attribute cache and interned names settle over the first calls, and a
collection may run at a different moment. Each measurement is therefore
repeated (up to four rounds, stopping at the first within tolerance) and the
smallest growth is judged: a leak grows by at least `runs` in every round,
while a busy machine's noise (a collection at another moment, a cache
resized) rarely hits four rounds in a row. A one-off allocation (a cache
filled on first use) does not count. The defaults,
`DEFAULT_BLOCK_TOLERANCE` blocks and `DEFAULT_RSS_TOLERANCE_KB` KiB over the
default 2000 runs, accept a drift of less than one block per 10 calls and half
a KiB per call; a leak of one object or one KiB per call exceeds them tenfold.
"""

from __future__ import annotations

import ctypes
import gc
import os
import resource
import sys
import tracemalloc
from typing import Any, Callable

DEFAULT_RUNS = 2000
DEFAULT_WARMUP = 500
DEFAULT_BLOCK_TOLERANCE = 200
DEFAULT_RSS_TOLERANCE_KB = 1024


def _sanitizer_live_bytes() -> Callable[[], int] | None:
    """The sanitizer allocator's live-byte counter, when its runtime is loaded."""
    try:
        f = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except (AttributeError, OSError):
        return None
    f.restype = ctypes.c_size_t
    f.argtypes = []
    return f


_LIVE_BYTES = _sanitizer_live_bytes()
# With PYTHONMALLOC=malloc (the sanitizer leg) the object allocator is not in
# use and sys.getallocatedblocks() is always 0.
_PYMALLOC = sys.getallocatedblocks() > 0
SANITIZED = _LIVE_BYTES is not None or os.environ.get("VOREL_SANITIZER") == "address"
# Extra rounds run only when a round exceeds the tolerance, so a clean path
# costs one round; four bad rounds in a row is a leak, not noise. (Counting
# traced blocks, long-lived objects replaced now and then also settle within
# a few rounds.)
ROUNDS = 4


def _rss_kb() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * resource.getpagesize() // 1024


def _memory_kb() -> int:
    if _LIVE_BYTES is None:
        return _rss_kb()
    # tracemalloc's own tables live in the same allocator; they are not ours.
    return (_LIVE_BYTES() - tracemalloc.get_tracemalloc_memory()) // 1024


def _blocks() -> int:
    if _PYMALLOC:
        return sys.getallocatedblocks()
    return len(tracemalloc.take_snapshot().traces)


def _run(fn: Callable[[], Any], runs: int, expect: type[BaseException] | tuple | None) -> None:
    for _ in range(runs):
        if expect is None:
            fn()
            continue
        try:
            fn()
        except expect:
            pass
        else:
            raise AssertionError(f"expected {expect!r} from {fn!r}: the error path was not taken")


def measure(
    fn: Callable[[], Any],
    *,
    runs: int = DEFAULT_RUNS,
    warmup: int = DEFAULT_WARMUP,
    expect: type[BaseException] | tuple | None = None,
    enough: Callable[..., bool] = lambda blocks, memory, refs=0: False,
    objects: tuple = (),
) -> tuple[int, int, int]:
    """(block growth, memory growth in KiB, largest refcount growth of
    `objects`) over `runs` calls after the warm-up.

    Up to `ROUNDS` rounds are measured and the smallest growth of each is
    returned; the rounds stop early once `enough(blocks, memory, refs)` holds.
    A leak grows in every round; settling caches and free lists do not.
    """
    # Tracing starts before the warm-up: objects that settle into free lists
    # and caches while traced must settle before the first measurement.
    tracing = not _PYMALLOC and not tracemalloc.is_tracing()
    if tracing:
        tracemalloc.start(1)
    try:
        _run(fn, warmup, expect)
        best = None
        for _ in range(ROUNDS):
            gc.collect()
            r0 = [sys.getrefcount(o) for o in objects]
            b0, m0 = _blocks(), _memory_kb()
            _run(fn, runs, expect)
            gc.collect()
            refs = max((sys.getrefcount(o) - r for o, r in zip(objects, r0)), default=0)
            got = (_blocks() - b0, _memory_kb() - m0, refs)
            best = got if best is None else tuple(min(a, b) for a, b in zip(best, got))
            if enough(*best):
                break
    finally:
        if tracing:
            tracemalloc.stop()
    return best


def assert_no_leak(
    fn: Callable[[], Any],
    *,
    runs: int = DEFAULT_RUNS,
    warmup: int = DEFAULT_WARMUP,
    expect: type[BaseException] | tuple | None = None,
    block_tolerance: int = DEFAULT_BLOCK_TOLERANCE,
    rss_tolerance_kb: int = DEFAULT_RSS_TOLERANCE_KB,
    objects: tuple = (),
) -> None:
    """Fail when `fn` leaks: run it `runs` times (per round) and compare before/after.

    `expect` names the exception (or tuple of them) an error-path callable must
    raise on every call; a call that does not raise it fails the check, so a
    leak test cannot silently drift onto the success path. `objects` are
    existing objects the path touches; their reference counts must not grow
    by more than one per ten calls.
    """
    ref_tolerance = runs // 10
    blocks, memory, refs = measure(
        fn,
        runs=runs,
        warmup=warmup,
        expect=expect,
        objects=objects,
        enough=lambda b, m, r=0: b <= block_tolerance and m <= rss_tolerance_kb and r <= ref_tolerance,
    )
    assert refs <= ref_tolerance, (
        f"a touched object gained {refs} references over {runs} runs (tolerance {ref_tolerance})"
    )
    assert blocks <= block_tolerance, f"{blocks} blocks leaked over {runs} runs (tolerance {block_tolerance})"
    assert memory <= rss_tolerance_kb, f"memory grew {memory} KiB over {runs} runs (tolerance {rss_tolerance_kb} KiB)"
