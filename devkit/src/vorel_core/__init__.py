"""Signing core: Ed25519 keys, signed approvals and approval-context attestations.

This package is a small local stand-in for the separately distributed signing
core; it exists so the cloud add-on's tests and demo run against real
signatures and real canonical CBOR.
"""

from .approval import ApprovalVerificationError, SignedApproval
from .attestation import (
    compute_request_hash,
    decode_arguments,
    encode_arguments,
    py_build_approval_context_attestation,
    verify_approval_context_attestation,
)
from .keys import InvalidSignatureError, PublicKey, SigningKey

__all__ = [
    "ApprovalVerificationError",
    "InvalidSignatureError",
    "PublicKey",
    "SignedApproval",
    "SigningKey",
    "compute_request_hash",
    "decode_arguments",
    "encode_arguments",
    "py_build_approval_context_attestation",
    "verify_approval_context_attestation",
]
