"""Approval-context attestations: the holder's signed description of one tool call.

The request hash names a tool call exactly: warrant, tool, the canonical
CBOR bytes of its arguments and the holder's public key. Approvers sign that
hash (see :class:`~vorel_core.approval.SignedApproval`), so an approval can
only ever be spent on the call it was given for.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import time
from collections.abc import Mapping
from typing import Any

from ._cbor import canonical_dumps, strict_loads
from .keys import InvalidSignatureError, PublicKey, coerce_public_key_bytes

__all__ = [
    "compute_request_hash",
    "decode_arguments",
    "encode_arguments",
    "py_build_approval_context_attestation",
    "verify_approval_context_attestation",
]

_DOMAIN = "vorel.approval_context.v1"
_REQUEST_HASH_DOMAIN = "vorel.request_hash.v1"
_VERSION = 1
_MAX_ARGS_SIZE = 1024 * 1024

_SIGNED_FIELDS = ("version", "warrant_id", "tool", "args_hash", "holder_key", "request_hash", "issued_at")
_ALL_FIELDS = frozenset(_SIGNED_FIELDS) | {"signature"}


def encode_arguments(arguments: Any) -> bytes:
    """Canonical CBOR of tool-call arguments; ``TypeError`` names the first value that cannot be encoded."""
    return canonical_dumps(arguments)


def decode_arguments(args_b64: str) -> Any:
    """Inverse of the base64-of-CBOR arguments text; ``ValueError`` on anything malformed."""
    return strict_loads(_b64decode(args_b64), max_size=_MAX_ARGS_SIZE)


def compute_request_hash(warrant_id: str, tool: str, args_cbor: bytes, holder_key: bytes) -> bytes:
    """SHA-256 over the canonical CBOR of (domain, warrant id, tool, argument bytes, holder key)."""
    if not isinstance(warrant_id, str) or not isinstance(tool, str):
        raise TypeError("warrant_id and tool must be text")
    structure = [_REQUEST_HASH_DOMAIN, warrant_id, tool, bytes(args_cbor), bytes(holder_key)]
    return hashlib.sha256(canonical_dumps(structure)).digest()


def _b64decode(text: Any) -> bytes:
    if isinstance(text, str):
        try:
            text = text.encode("ascii")
        except UnicodeEncodeError as exc:
            raise ValueError("base64 text must be ASCII") from exc
    if not isinstance(text, (bytes, bytearray)):
        raise ValueError(f"expected base64 text, got {type(text).__name__}")
    try:
        return base64.b64decode(text, validate=True)
    except binascii.Error as exc:
        raise ValueError(f"not valid base64: {exc}") from exc


def _signed_message(fields: Mapping[str, Any]) -> bytes:
    return canonical_dumps([_DOMAIN, {name: fields[name] for name in _SIGNED_FIELDS}])


def py_build_approval_context_attestation(
    signing_key: Any,
    warrant_id: str,
    tool: str,
    arguments: Any,
    holder_public_key: Any,
    *,
    issued_at: int | None = None,
) -> tuple[str, dict[str, Any]]:
    """Attest one tool call with the holder's key.

    Returns ``(args_b64, attestation)``: the standard base64 text of the
    arguments' canonical CBOR, and a JSON-safe mapping with "version",
    "warrant_id", "tool", "args_hash", "holder_key", "request_hash",
    "issued_at" and "signature" (hex texts for the byte values). The
    signature is made by ``signing_key`` over the canonical CBOR of the
    other fields. ``holder_public_key`` may be a ``PublicKey`` or 32 raw bytes.
    """
    sign = getattr(signing_key, "sign", None)
    if not callable(sign):
        raise TypeError(f"signing_key must be a SigningKey, got {type(signing_key).__name__}")
    if not isinstance(warrant_id, str):
        raise TypeError(f"warrant_id must be text, got {type(warrant_id).__name__}")
    if not isinstance(tool, str):
        raise TypeError(f"tool must be text, got {type(tool).__name__}")
    holder_key = coerce_public_key_bytes(holder_public_key, "holder public key")
    args_cbor = encode_arguments(arguments)
    stamp = int(time.time()) if issued_at is None else issued_at
    fields: dict[str, Any] = {
        "version": _VERSION,
        "warrant_id": warrant_id,
        "tool": tool,
        "args_hash": hashlib.sha256(args_cbor).hexdigest(),
        "holder_key": holder_key.hex(),
        "request_hash": compute_request_hash(warrant_id, tool, args_cbor, holder_key).hex(),
        "issued_at": stamp,
    }
    fields["signature"] = bytes(sign(_signed_message(fields))).hex()
    return base64.b64encode(args_cbor).decode("ascii"), fields


def verify_approval_context_attestation(
    attestation: Mapping[str, Any],
    args_b64: str,
    *,
    signer_public_key: Any = None,
) -> bytes:
    """Check an attestation against the arguments text; return the request hash.

    The signature is checked under ``signer_public_key``, by default the
    attested holder key (the usual case: the holder attests its own calls).
    Raises ``ValueError`` (:class:`~vorel_core.keys.InvalidSignatureError`
    for a bad signature) when anything does not match.
    """
    if not isinstance(attestation, Mapping):
        raise ValueError(f"attestation must be a mapping, got {type(attestation).__name__}")
    keys = set(attestation)
    if keys != _ALL_FIELDS:
        raise ValueError(
            f"attestation fields wrong (missing {sorted(_ALL_FIELDS - keys)}, "
            f"unexpected {sorted(map(repr, keys - _ALL_FIELDS))})"
        )
    if attestation["version"] != _VERSION or isinstance(attestation["version"], bool):
        raise ValueError(f"unsupported attestation version {attestation['version']!r}")
    for name in ("warrant_id", "tool", "args_hash", "holder_key", "request_hash", "signature"):
        if not isinstance(attestation[name], str):
            raise ValueError(f"attestation field {name!r} must be text")
    issued_at = attestation["issued_at"]
    if not isinstance(issued_at, int) or isinstance(issued_at, bool):
        raise ValueError("attestation field 'issued_at' must be an integer")
    try:
        holder_key = bytes.fromhex(attestation["holder_key"])
        request_hash = bytes.fromhex(attestation["request_hash"])
        signature = bytes.fromhex(attestation["signature"])
    except ValueError as exc:
        raise ValueError(f"attestation holds malformed hex: {exc}") from exc

    args_cbor = _b64decode(args_b64)
    strict_loads(args_cbor, max_size=_MAX_ARGS_SIZE)
    if not hmac.compare_digest(hashlib.sha256(args_cbor).hexdigest(), attestation["args_hash"].lower()):
        raise ValueError("arguments do not match the attested args_hash")
    expected = compute_request_hash(attestation["warrant_id"], attestation["tool"], args_cbor, holder_key)
    if not hmac.compare_digest(expected, request_hash):
        raise ValueError("request_hash does not match warrant, tool, arguments and holder key")

    signer = PublicKey(coerce_public_key_bytes(holder_key if signer_public_key is None else signer_public_key))
    try:
        signer.verify(signature, _signed_message(attestation))
    except InvalidSignatureError as exc:
        raise InvalidSignatureError(f"attestation signature invalid: {exc}") from None
    return request_hash
