"""The active warrant context, carried in a context variable.

A context variable (rather than a thread-local or a global) gives the scoping
the enforcement layer needs: asyncio tasks inherit the binding of the code
that created them but cannot leak theirs back, and a plain new thread starts
unbound, so one agent's key never signs another agent's requests.
"""

from __future__ import annotations

from contextvars import ContextVar
from dataclasses import dataclass
from typing import Any

__all__ = ["WarrantContext", "active_warrant"]


@dataclass(frozen=True)
class WarrantContext:
    """What the enforcement layer knows about the warrant a call runs under."""

    warrant_id: str = ""
    signing_key: Any = None
    """The holder's ``vorel_core.SigningKey``, or None when no key is bound."""
    required_approvers: tuple[bytes, ...] | None = None
    """Raw public keys of the approvers this warrant accepts; None accepts any."""
    min_approvals: int | None = None
    policy_id: str | None = None
    ttl_seconds: int | None = None


active_warrant: ContextVar[WarrantContext | None] = ContextVar("vorel_active_warrant", default=None)
