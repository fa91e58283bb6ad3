"""Signed approvals: an approver's Ed25519 statement that one request may proceed."""

from __future__ import annotations

import base64
import hmac
import time
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from ._cbor import canonical_dumps, strict_loads
from .keys import (
    KEY_SIZE,
    SIGNATURE_SIZE,
    InvalidSignatureError,
    PublicKey,
    SigningKey,
    coerce_public_key_bytes,
)

__all__ = ["ApprovalVerificationError", "SignedApproval"]

# Part of every signed message, so a signature made for one kind of structure
# can never be replayed as another kind.
_DOMAIN = "vorel.signed_approval.v1"
_VERSION = 1
_DECISION = "approved"
_MAX_ENCODED_SIZE = 16 * 1024
_MAX_HASH_SIZE = 64
# Approvals stamped further ahead than this are refused as a clock problem
# rather than trusted.
_CLOCK_SKEW_SECONDS = 300

_UNSIGNED_FIELDS = frozenset(
    {"version", "request_hash", "approver_key", "decision", "warrant_id", "tool", "approved_at", "expires_at"}
)
_ALL_FIELDS = _UNSIGNED_FIELDS | {"signature"}


class ApprovalVerificationError(ValueError):
    """A signed approval is valid in itself but not acceptable for this use."""


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _coerce_hash(value: Any, what: str) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        raw = bytes(value)
    elif isinstance(value, str):
        try:
            raw = bytes.fromhex(value)
        except ValueError as exc:
            raise ValueError(f"{what} is not valid hex: {exc}") from exc
    else:
        raise TypeError(f"{what} must be bytes or hex text, got {type(value).__name__}")
    if not 1 <= len(raw) <= _MAX_HASH_SIZE:
        raise ValueError(f"{what} must be 1 to {_MAX_HASH_SIZE} bytes, got {len(raw)}")
    return raw


@dataclass(frozen=True)
class SignedApproval:
    """One approver's signed approval of one request.

    Every instance carries a signature that verifies under ``approver_key``:
    the constructor checks it, so an object of this class cannot exist with a
    forged or stale signature. Whether the approval fits a particular request
    (hash, trusted approvers, expiry) is decided by :meth:`verify`.
    """

    request_hash: bytes
    approver_key: bytes
    warrant_id: str
    tool: str
    approved_at: int
    expires_at: int | None
    signature: bytes
    decision: str = _DECISION
    version: int = _VERSION

    def __post_init__(self) -> None:
        if not isinstance(self.request_hash, bytes) or not 1 <= len(self.request_hash) <= _MAX_HASH_SIZE:
            raise ValueError(f"request_hash must be 1 to {_MAX_HASH_SIZE} bytes")
        if not isinstance(self.approver_key, bytes) or len(self.approver_key) != KEY_SIZE:
            raise ValueError(f"approver_key must be {KEY_SIZE} bytes")
        if not isinstance(self.warrant_id, str):
            raise ValueError("warrant_id must be text")
        if not isinstance(self.tool, str):
            raise ValueError("tool must be text")
        if not _is_int(self.approved_at) or self.approved_at < 0:
            raise ValueError("approved_at must be a non-negative integer (unix seconds)")
        if self.expires_at is not None:
            if not _is_int(self.expires_at):
                raise ValueError("expires_at must be an integer (unix seconds) or None")
            if self.expires_at < self.approved_at:
                raise ValueError("expires_at lies before approved_at")
        if self.decision != _DECISION:
            raise ValueError(f"decision must be {_DECISION!r}, got {self.decision!r}")
        if not _is_int(self.version) or self.version != _VERSION:
            raise ValueError(f"unsupported signed approval version {self.version!r}")
        if not isinstance(self.signature, bytes) or len(self.signature) != SIGNATURE_SIZE:
            raise ValueError(f"signature must be {SIGNATURE_SIZE} bytes")
        PublicKey(self.approver_key).verify(self.signature, self.signed_message())

    # -- encoding ---------------------------------------------------------

    def _unsigned_fields(self) -> dict[str, Any]:
        return {
            "version": self.version,
            "request_hash": self.request_hash,
            "approver_key": self.approver_key,
            "decision": self.decision,
            "warrant_id": self.warrant_id,
            "tool": self.tool,
            "approved_at": self.approved_at,
            "expires_at": self.expires_at,
        }

    def signed_message(self) -> bytes:
        """The exact bytes the approver signs."""
        return canonical_dumps([_DOMAIN, self._unsigned_fields()])

    def to_bytes(self) -> bytes:
        """Canonical CBOR of all fields, signature included."""
        return canonical_dumps({**self._unsigned_fields(), "signature": self.signature})

    def to_base64(self) -> str:
        """Standard base64 text of :meth:`to_bytes`, as the control plane transports it."""
        return base64.b64encode(self.to_bytes()).decode("ascii")

    @classmethod
    def from_bytes(cls, raw: bytes) -> SignedApproval:
        """Decode and signature-check one signed approval.

        Raises ``ValueError`` for anything but the exact canonical encoding of
        a complete, well-typed approval with a valid signature.
        """
        value = strict_loads(raw, max_size=_MAX_ENCODED_SIZE)
        if not isinstance(value, dict):
            raise ValueError(f"signed approval must be a CBOR map, got {type(value).__name__}")
        keys = set(value)
        if keys != _ALL_FIELDS:
            missing = sorted(map(str, _ALL_FIELDS - keys))
            extra = sorted(map(repr, keys - _ALL_FIELDS))
            raise ValueError(f"signed approval fields wrong (missing {missing}, unexpected {extra})")
        try:
            return cls(
                request_hash=value["request_hash"],
                approver_key=value["approver_key"],
                warrant_id=value["warrant_id"],
                tool=value["tool"],
                approved_at=value["approved_at"],
                expires_at=value["expires_at"],
                signature=value["signature"],
                decision=value["decision"],
                version=value["version"],
            )
        except InvalidSignatureError as exc:
            raise InvalidSignatureError(f"signed approval signature invalid: {exc}") from None

    # -- creation and checks ---------------------------------------------

    @classmethod
    def create(
        cls,
        approver_signing_key: SigningKey,
        *,
        request_hash: bytes | str,
        warrant_id: str,
        tool: str,
        ttl_seconds: int | None = None,
        now: int | None = None,
    ) -> SignedApproval:
        """Sign an approval of ``request_hash`` with the approver's key.

        ``ttl_seconds`` bounds how long the approval may be used; None means
        no expiry of its own. ``now`` (unix seconds) is for tests.
        """
        if not isinstance(approver_signing_key, SigningKey):
            raise TypeError("approver_signing_key must be a SigningKey")
        if not isinstance(warrant_id, str) or not isinstance(tool, str):
            raise TypeError("warrant_id and tool must be text")
        approved_at = int(time.time()) if now is None else now
        if not _is_int(approved_at):
            raise TypeError("now must be an integer (unix seconds)")
        expires_at: int | None = None
        if ttl_seconds is not None:
            if not _is_int(ttl_seconds) or ttl_seconds < 0:
                raise ValueError("ttl_seconds must be a non-negative integer or None")
            expires_at = approved_at + ttl_seconds
        fields = {
            "version": _VERSION,
            "request_hash": _coerce_hash(request_hash, "request_hash"),
            "approver_key": approver_signing_key.public_key.to_bytes(),
            "decision": _DECISION,
            "warrant_id": warrant_id,
            "tool": tool,
            "approved_at": approved_at,
            "expires_at": expires_at,
        }
        signature = approver_signing_key.sign(canonical_dumps([_DOMAIN, fields]))
        return cls(
            request_hash=fields["request_hash"],
            approver_key=fields["approver_key"],
            warrant_id=warrant_id,
            tool=tool,
            approved_at=approved_at,
            expires_at=expires_at,
            signature=signature,
        )

    @property
    def approver_public_key(self) -> PublicKey:
        """The approver's key as a :class:`PublicKey`."""
        return PublicKey(self.approver_key)

    def is_expired(self, now: int | None = None) -> bool:
        """True once ``now`` (default: the clock) has passed ``expires_at``."""
        current = int(time.time()) if now is None else now
        return self.expires_at is not None and current > self.expires_at

    def verify(
        self,
        expected_request_hash: bytes | str | None = None,
        *,
        trusted_approvers: Iterable[Any] | None = None,
        now: int | None = None,
    ) -> SignedApproval:
        """Check that this approval may be used; return ``self`` or raise.

        - the signature verifies (re-checked; cheap, and guards against
          objects altered through ``object.__setattr__``);
        - ``expected_request_hash``, when given, equals the signed hash;
        - ``trusted_approvers``, when given, contains the approver's key
          (PublicKey, raw bytes or hex items; an empty collection trusts no one);
        - the approval has not expired and was not stamped implausibly far
          in the future.

        Raises :class:`ApprovalVerificationError` (a ``ValueError``).
        """
        try:
            PublicKey(self.approver_key).verify(self.signature, self.signed_message())
        except InvalidSignatureError as exc:
            raise ApprovalVerificationError(f"signature invalid: {exc}") from None
        if expected_request_hash is not None:
            expected = _coerce_hash(expected_request_hash, "expected_request_hash")
            if not hmac.compare_digest(expected, self.request_hash):
                raise ApprovalVerificationError("approval was signed for a different request")
        if trusted_approvers is not None:
            trusted = {coerce_public_key_bytes(k, "trusted approver") for k in trusted_approvers}
            if self.approver_key not in trusted:
                raise ApprovalVerificationError(
                    f"approver {self.approver_key.hex()} is not among the trusted approvers"
                )
        current = int(time.time()) if now is None else now
        if self.is_expired(current):
            raise ApprovalVerificationError(f"approval expired at {self.expires_at} (now {current})")
        if self.approved_at > current + _CLOCK_SKEW_SECONDS:
            raise ApprovalVerificationError(f"approval is stamped {self.approved_at - current}s in the future")
        return self

    def __repr__(self) -> str:
        return (
            f"SignedApproval(tool={self.tool!r}, warrant_id={self.warrant_id!r}, "
            f"request_hash={self.request_hash.hex()}, approver_key={self.approver_key.hex()}, "
            f"approved_at={self.approved_at}, expires_at={self.expires_at})"
        )
