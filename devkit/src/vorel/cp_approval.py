"""Decoding of the control plane's approval responses."""

from __future__ import annotations

import base64
import binascii
from dataclasses import dataclass, field
from typing import Any

from vorel_core import SignedApproval

__all__ = ["ControlPlaneApprovalResponseV1", "signed_approvals_from_response"]


@dataclass
class ControlPlaneApprovalResponseV1:
    """An approval answer from the control plane: its status and the signed approvals as base64 texts."""

    status: str
    signed_approvals_b64: list[str] | None = field(default=None)


def _decode_one(index: int, text: Any) -> SignedApproval:
    if isinstance(text, str):
        try:
            text = text.encode("ascii")
        except UnicodeEncodeError:
            raise ValueError(f"signed approval #{index} is not ASCII base64 text") from None
    if not isinstance(text, (bytes, bytearray)):
        raise ValueError(f"signed approval #{index} must be base64 text, got {type(text).__name__}")
    try:
        raw = base64.b64decode(text, validate=True)
    except binascii.Error as exc:
        raise ValueError(f"signed approval #{index} is not valid base64: {exc}") from exc
    try:
        return SignedApproval.from_bytes(raw)
    except ValueError as exc:
        raise ValueError(f"signed approval #{index} is malformed: {exc}") from exc


def signed_approvals_from_response(response: ControlPlaneApprovalResponseV1) -> list[SignedApproval]:
    """Decode every signed approval of ``response``, in order.

    None or an empty list gives an empty list. Any entry that is not strict
    base64 of a well-formed, correctly signed approval raises ``ValueError``:
    one bad entry spoils the whole answer rather than being skipped quietly.
    """
    texts = getattr(response, "signed_approvals_b64", None)
    if not texts:
        return []
    if isinstance(texts, (str, bytes, bytearray)):
        raise ValueError("signed_approvals_b64 must be a list of base64 texts, not a single text")
    return [_decode_one(index, text) for index, text in enumerate(texts)]
