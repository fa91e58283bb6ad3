"""Which Python functions a call runs: the native fast paths' tests check that
a standard-library step was taken natively (no Python frame of it ran) or
through Python (a patched or non-standard one did)."""

from __future__ import annotations

import sys
from typing import Any, Callable


def python_frames(fn: Callable[[], Any]) -> tuple[set[str], Any]:
    """The qualified names of the Python functions `fn()` runs, and its result."""
    seen: set[str] = set()

    def profile(frame, event, arg):
        if event == "call":
            seen.add(frame.f_code.co_qualname)

    sys.setprofile(profile)
    try:
        result = fn()
    finally:
        sys.setprofile(None)
    return seen, result
