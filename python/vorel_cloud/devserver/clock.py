"""Time source of the local control plane.

Expiry is computed from this clock and never from ``time.time()`` directly, so
tests can move time forward instead of sleeping through a TTL.
"""

from __future__ import annotations

import threading
import time
from datetime import UTC, datetime


class Clock:
    """Wall-clock seconds since the epoch, shifted by an adjustable offset."""

    def __init__(self) -> None:
        self._offset = 0.0
        self._lock = threading.Lock()

    def now(self) -> float:
        with self._lock:
            return time.time() + self._offset

    def advance(self, seconds: float) -> None:
        """Move this clock forward (a negative value moves it back)."""
        with self._lock:
            self._offset += float(seconds)


def rfc3339(ts: float | None) -> str | None:
    if ts is None:
        return None
    dt = datetime.fromtimestamp(ts, tz=UTC)
    return dt.isoformat(timespec="milliseconds").replace("+00:00", "Z")
