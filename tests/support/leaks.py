"""Reference-leak checks for native code.

A native function that forgets one reference leaks one object per call, so
the check runs the callable many times after a warm-up and looks at the
interpreter's count of allocated blocks (and at resident memory, for leaks
outside the object allocator). Both must stay flat within a small tolerance.
"""
from __future__ import annotations

import gc
import resource
import sys
from typing import Any, Callable

# Blocks the interpreter may legitimately settle into between rounds (free
# lists, method caches, interned strings); a real leak grows with `runs`.
DEFAULT_BLOCK_TOLERANCE = 32
DEFAULT_RSS_TOLERANCE_KB = 2048


def _rss_kb() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * resource.getpagesize() // 1024


def _run(fn: Callable[[], Any], runs: int, expect: type[BaseException] | None) -> None:
    for _ in range(runs):
        if expect is None:
            fn()
        else:
            try:
                fn()
            except expect:
                pass
            else:  # pragma: no cover - a leak test of an error path must hit it
                raise AssertionError(f"expected {expect.__name__} from {fn!r}")


def assert_no_leak(
    fn: Callable[[], Any],
    *,
    runs: int = 2000,
    warmup: int = 200,
    expect: type[BaseException] | None = None,
    block_tolerance: int = DEFAULT_BLOCK_TOLERANCE,
    rss_tolerance_kb: int = DEFAULT_RSS_TOLERANCE_KB,
) -> None:
    """Fail when `fn` leaks: run it `runs` times and compare before/after.

    `expect` names the exception an error-path callable must raise each time.
    The measurement is taken twice and the smaller growth is used, so a one-off
    allocation (a cache filled on first use) does not count as a leak.
    """
    _run(fn, warmup, expect)
    growths = []
    rss_growths = []
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        rss_before = _rss_kb()
        _run(fn, runs, expect)
        gc.collect()
        growths.append(sys.getallocatedblocks() - before)
        rss_growths.append(_rss_kb() - rss_before)
    growth = min(growths)
    assert growth <= block_tolerance, f"{growth} blocks leaked over {runs} runs ({growths})"
    rss = min(rss_growths)
    assert rss <= rss_tolerance_kb, f"resident memory grew {rss} KiB over {runs} runs ({rss_growths})"
