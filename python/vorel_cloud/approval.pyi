"""Cloud approval handlers for Vorel: blocking, asyncio and Temporal (native module)."""

import asyncio as asyncio
import contextvars as contextvars
import logging
import time as time
from collections.abc import Awaitable, Callable
from typing import Any

from vorel_core import SignedApproval

from .client import AsyncVorelCloudClient as AsyncVorelCloudClient
from .client import VorelCloudClient as VorelCloudClient
from .exceptions import ApprovalDeniedError as ApprovalDeniedError
from .exceptions import ApprovalExpiredError as ApprovalExpiredError
from .exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from .exceptions import VorelCloudError as VorelCloudError
from .parvex import build_approval_request_payload as build_approval_request_payload

logger: logging.Logger

type _Approvals = SignedApproval | list[SignedApproval]

def _poll_until_resolved(
    client: VorelCloudClient, request_id: str, *, poll_interval: float, timeout: float
) -> dict[str, Any]: ...
async def _async_poll_until_resolved(
    client: AsyncVorelCloudClient, request_id: str, *, poll_interval: float, timeout: float
) -> dict[str, Any]: ...
def _extract_signed_approvals(result: dict[str, Any]) -> _Approvals: ...
def cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = "https://api.vorel.cloud",
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], _Approvals]: ...
def async_cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = "https://api.vorel.cloud",
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], Awaitable[_Approvals]]: ...
def _build_temporal_approval_idempotency_key(
    request: Any, *, workflow_id: str = "", workflow_run_id: str = "", activity_id: str = "", request_hash: str = ""
) -> str: ...
def _extract_temporal_heartbeat_request_id(details: Any) -> str | None: ...
def _extract_temporal_heartbeat_gates(details: Any) -> dict[str, str] | None: ...

class TemporalCloudApprovalHandler:
    """Synchronous approval handler for approval gates that fire inside Temporal activities."""

    _api_key: str
    _signing_key: Any
    _holder: Any
    _holder_bytes: bytes
    _base_url: str
    _fast_poll_seconds: float
    _fast_poll_attempts: int
    def __init__(
        self,
        api_key: str,
        signing_key: Any,
        *,
        base_url: str = "https://api.vorel.cloud",
        fast_poll_seconds: float = 2.0,
        fast_poll_attempts: int = 3,
    ) -> None: ...
    def __call__(self, request: Any) -> SignedApproval: ...
    @staticmethod
    def _extract_approval(data: dict[str, Any]) -> SignedApproval | None: ...
    def _build_attestation(self, request: Any) -> tuple[str, dict[str, Any]]: ...

def temporal_cloud_approval(
    api_key: str,
    signing_key: Any,
    *,
    base_url: str = "https://api.vorel.cloud",
    fast_poll_seconds: float = 2.0,
    fast_poll_attempts: int = 3,
) -> TemporalCloudApprovalHandler: ...
