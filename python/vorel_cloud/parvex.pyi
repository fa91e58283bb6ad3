"""Approval request payloads for Vorel Cloud (native module)."""

import logging
from dataclasses import dataclass
from typing import Any

from .exceptions import VorelCloudError as VorelCloudError

logger: logging.Logger

@dataclass
class ApprovalRequestPayload:
    """Fully populated body for ``POST /v1/approvals/requests``."""

    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: dict[str, Any]
    metadata: dict[str, Any] | None = None
    policy_id: str | None = None
    threshold: int | None = None
    approver_keys: list[str] | None = None
    ttl_seconds: int | None = None
    idempotency_key: str | None = None
    def to_create_request_kwargs(self) -> dict[str, Any]: ...

def build_approval_request_payload(
    request: Any,
    *,
    signing_key: Any = None,
    policy_id: str | None = None,
    idempotency_key: str | None = None,
) -> ApprovalRequestPayload: ...
def _resolve_holder_key(request: Any) -> bytes: ...
def _resolve_signing_key(explicit: Any = None) -> Any: ...
def _normalize_request_hash(value: Any) -> bytes: ...
def _extract_policy_id(request: Any, override: str | None = None) -> str | None: ...
def _extract_inline_rules(request: Any) -> tuple[list[str] | None, int | None, int | None]: ...
def _build_attestation_fields(
    request: Any, *, signing_key: Any, holder_key: bytes
) -> tuple[str, dict[str, Any], bytes]: ...
