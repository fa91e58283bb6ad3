"""Plain-Python rendering of vorel_cloud.parvex (benchmark baseline)."""

import logging
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

from vorel_cloud.exceptions import VorelCloudError

logger = logging.getLogger("vorel_cloud.parvex")


@dataclass
class ApprovalRequestPayload:
    """Fully populated body for ``POST /v1/approvals/requests``."""

    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: Dict[str, Any]
    metadata: Optional[Dict[str, Any]] = None
    policy_id: Optional[str] = None
    threshold: Optional[int] = None
    approver_keys: Optional[List[str]] = None
    ttl_seconds: Optional[int] = None
    idempotency_key: Optional[str] = None

    def to_create_request_kwargs(self) -> Dict[str, Any]:
        out = {
            "warrant_id": self.warrant_id,
            "tool": self.tool,
            "request_hash": self.request_hash,
            "holder_key": self.holder_key,
            "args_canonical_cbor_b64": self.args_canonical_cbor_b64,
            "approval_context_attestation": self.approval_context_attestation,
        }
        if self.metadata is not None:
            out["metadata"] = self.metadata
        if self.policy_id:
            out["policy_id"] = self.policy_id
        if self.threshold is not None:
            out["threshold"] = self.threshold
        if self.approver_keys is not None:
            out["approver_keys"] = self.approver_keys
        if self.ttl_seconds is not None:
            out["ttl_seconds"] = self.ttl_seconds
        if self.idempotency_key:
            out["idempotency_key"] = self.idempotency_key
        return out


def _resolve_holder_key(request):
    value = getattr(request, "holder_key", None)
    if value is None:
        return b""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    # int (and bool) have a to_bytes() that works without arguments: a number
    # would become a one-byte key instead of being refused.
    if isinstance(value, int):
        raise VorelCloudError("request.holder_key must be bytes, hex string or a key with to_bytes()")
    to_bytes = getattr(value, "to_bytes", None)
    if callable(to_bytes):
        return bytes(to_bytes())
    return b""


def _resolve_signing_key(explicit=None):
    if explicit is not None:
        return explicit
    try:
        from vorel.decorators import key_scope

        return key_scope()
    except ImportError:
        return None
    except Exception as e:
        logger.debug("key_scope unavailable: %s", e)
        return None


def _normalize_request_hash(value):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    raise VorelCloudError("request.request_hash must be bytes or hex string")


def _extract_policy_id(request, override=None):
    if override:
        return override
    for name in ("policy_id", "policy_ref"):
        v = getattr(request, name, None)
        if isinstance(v, str) and v:
            return v
    return None


def _extract_inline_rules(request):
    approvers = getattr(request, "required_approvers", None)
    keys = None
    if approvers:
        # A single key given bare would be iterated character by character.
        if isinstance(approvers, (str, bytes, bytearray)):
            raise VorelCloudError("request.required_approvers must be a list of keys, not str or bytes")
        keys = [item.hex() if isinstance(item, (bytes, bytearray)) else str(item) for item in approvers]
    threshold = getattr(request, "min_approvals", None)
    ttl = getattr(request, "ttl_seconds", None)
    if ttl is None:
        gate_ttl = getattr(request, "gate_ttl", None)
        if gate_ttl is not None:
            ttl = int(gate_ttl)
    return keys, threshold, ttl


def _build_attestation_fields(request, *, signing_key, holder_key):
    from vorel_core import py_build_approval_context_attestation

    holder_public = signing_key.public_key
    args_b64, attestation = py_build_approval_context_attestation(
        signing_key, request.warrant_id, request.tool, request.arguments, holder_public
    )
    attestation = dict(attestation)
    # None counts as absent, as in the builder, which has just skipped it.
    own_hash = getattr(request, "request_hash", None)
    if own_hash is None:
        own_hash = b""
    request_hash = _normalize_request_hash(own_hash)
    attested = attestation.get("request_hash")
    if attested:
        try:
            request_hash = bytes.fromhex(str(attested))
        except (ValueError, TypeError):
            pass
    return args_b64, attestation, request_hash


_ATTESTATION_REQUIRED = (
    "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant "
    "is bound so key_scope() resolves the holder key"
)


def build_approval_request_payload(request, *, signing_key=None, policy_id=None, idempotency_key=None):
    holder_key = _resolve_holder_key(request)
    if not holder_key:
        raise VorelCloudError(
            "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement"
        )
    args_cbor_b64 = getattr(request, "args_canonical_cbor_b64", "")
    if not args_cbor_b64:
        args_cbor_b64 = ""
    context = getattr(request, "approval_context_attestation", None)
    context = dict(context) if context else {}
    resolved_key = _resolve_signing_key(signing_key)

    request_hash = b""
    if getattr(request, "request_hash", None) is not None:
        request_hash = _normalize_request_hash(request.request_hash)

    if not (args_cbor_b64 and context):
        if resolved_key is None:
            raise VorelCloudError(_ATTESTATION_REQUIRED)
        args_cbor_b64, context, request_hash = _build_attestation_fields(
            request, signing_key=resolved_key, holder_key=holder_key
        )
        # The record promises a non-empty pair; an empty one from the signing
        # core is no attestation at all.
        if not args_cbor_b64 or not context:
            raise VorelCloudError(_ATTESTATION_REQUIRED)

    if not request_hash:
        attested = context.get("request_hash")
        if not attested:
            raise VorelCloudError("request_hash could not be resolved for approval request")
        request_hash = bytes.fromhex(str(attested))

    approver_keys, threshold, ttl_seconds = _extract_inline_rules(request)
    resolved_policy = _extract_policy_id(request, policy_id)
    arguments = getattr(request, "arguments", None)
    metadata = arguments if isinstance(arguments, dict) else None
    return ApprovalRequestPayload(
        warrant_id=str(getattr(request, "warrant_id", "")),
        tool=str(getattr(request, "tool", "")),
        request_hash=request_hash,
        holder_key=holder_key,
        args_canonical_cbor_b64=args_cbor_b64,
        approval_context_attestation=context,
        metadata=metadata,
        policy_id=resolved_policy,
        threshold=threshold,
        approver_keys=approver_keys,
        ttl_seconds=ttl_seconds,
        idempotency_key=idempotency_key if idempotency_key else getattr(request, "idempotency_key", None),
    )
