"""Approver keys and signed approvals, through the signing core.

The signing core is imported at each call so the control plane still starts
(and serves everything but signatures) where it is not installed.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from vorel_core import SigningKey


def generate_key() -> tuple[str, str]:
    """A new approver key as (secret hex, public hex)."""
    from vorel_core import SigningKey

    key = SigningKey.generate()
    return key.to_hex(), key.public_key.to_bytes().hex()


def load_key(secret_hex: str) -> SigningKey:
    from vorel_core import SigningKey

    return SigningKey.from_hex(secret_hex)


def public_hex(secret_hex: str) -> str:
    return load_key(secret_hex).public_key.to_bytes().hex()


def sign_approval(
    secret_hex: str,
    *,
    request_hash: bytes,
    warrant_id: str,
    tool: str,
    ttl_seconds: int | None,
    now: float,
) -> bytes:
    """Canonical bytes of a signed approval of one request by one approver."""
    from vorel_core import SignedApproval

    approval = SignedApproval.create(
        load_key(secret_hex),
        request_hash=request_hash,
        warrant_id=warrant_id,
        tool=tool,
        ttl_seconds=ttl_seconds,
        now=int(now),
    )
    return approval.to_bytes()


class RejectedApproval(ValueError):
    """A submitted signed approval does not fit the request it was sent for."""


def verify_approval(raw: bytes, *, request_hash: bytes, warrant_id: str, tool: str, now: float) -> str:
    """Check an approval signed outside the server; return its approver's public key hex."""
    from vorel_core import SignedApproval

    try:
        approval = SignedApproval.from_bytes(raw)
        approval.verify(request_hash, now=int(now))
    except ValueError as exc:
        raise RejectedApproval(str(exc)) from None
    if approval.warrant_id != warrant_id or approval.tool != tool:
        raise RejectedApproval("approval was signed for another warrant or tool")
    return approval.approver_key.hex()
