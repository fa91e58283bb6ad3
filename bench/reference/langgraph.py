"""Plain-Python rendering of vorel_cloud.langgraph (benchmark baseline)."""

import asyncio
import logging
import os
from typing import Any, List, Optional, Union

from vorel_cloud.client import AsyncVorelCloudClient
from vorel_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError

from .parvex import build_approval_request_payload

logger = logging.getLogger("vorel_cloud.langgraph")

_MISSING = "vorel_cloud.langgraph requires vorel[langgraph]. Install with: pip install 'vorel[langgraph]'"


def langgraph_cloud_approval(
    api_key,
    *,
    signing_key=None,
    base_url="https://api.vorel.cloud",
    dashboard_url="",
    poll_interval=3.0,
    timeout=None,
):
    from .approval import _extract_signed_approvals

    effective_timeout = timeout
    if effective_timeout is None:
        effective_timeout = float(os.environ.get("VOREL_APPROVAL_TIMEOUT", "900"))
    dashboard = dashboard_url or os.environ.get("VOREL_DASHBOARD_URL", "") or "https://app.vorel.cloud"
    dashboard = dashboard.rstrip("/")

    async def _handle(request):
        from vorel.approval import ApprovalDenied

        idempotency_key = _get_idempotency_key(request)
        payload = build_approval_request_payload(request, signing_key=signing_key, idempotency_key=idempotency_key)
        client = AsyncVorelCloudClient(api_key, base_url=base_url)
        try:
            created = await client.create_request(**payload.to_create_request_kwargs())
            request_id = created["id"]
            link = f"{dashboard}/approvals?request={request_id}"
            logger.info("approval gate for '%s' - request %s - %s", request.tool, request_id, link)
            loop = asyncio.get_running_loop()
            deadline = loop.time() + effective_timeout
            while True:
                response = await client.get_request(request_id)
                status = str(response.get("status", "")).lower()
                if status == "approved":
                    logger.info("approval granted for '%s' (request %s)", request.tool, request_id)
                    return _extract_signed_approvals(response)
                if status == "denied" or status == "rejected":
                    raise ApprovalDenied(request, reason=response.get("denied_reason") or status)
                if status == "expired":
                    raise ApprovalDenied(request, reason="approval request expired")
                remaining = deadline - loop.time()
                if remaining <= 0:
                    raise ApprovalDenied(
                        request,
                        reason=f"timed out after {effective_timeout}s waiting for cloud approval. Increase via "
                        "langgraph_cloud_approval(timeout=...) or VOREL_APPROVAL_TIMEOUT env var.",
                    )
                await asyncio.sleep(remaining if remaining < poll_interval else poll_interval)
        except (ApprovalDeniedError, ApprovalExpiredError) as e:
            raise ApprovalDenied(request, reason=str(e)) from e
        except ApprovalTimeoutError:
            raise ApprovalDenied(
                request,
                reason=f"timed out after {effective_timeout}s waiting for cloud approval. Increase via "
                "langgraph_cloud_approval(timeout=...) or VOREL_APPROVAL_TIMEOUT env var.",
            )
        finally:
            await client.close()

    return _handle


def _get_idempotency_key(request):
    value = getattr(request, "request_id", None)
    if value is None:
        return value
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    return str(value)


def _auto_approval_handler(**overrides):
    api_key = overrides.get("api_key") or os.environ.get("VOREL_API_KEY", "")
    if not api_key:
        return None
    kwargs = {"api_key": api_key}
    kwargs.update((k, v) for k, v in overrides.items() if k != "api_key")
    return langgraph_cloud_approval(**kwargs)


def _make_cloud_middleware_class():
    try:
        from vorel.langgraph import VorelMiddleware as _Core
    except ImportError as e:
        error = e

        class _MissingVorelMiddleware:
            def __init__(self, *_a, **_kw):
                raise ImportError(_MISSING) from error

        _MissingVorelMiddleware.__name__ = _MissingVorelMiddleware.__qualname__ = "VorelMiddleware"
        return _MissingVorelMiddleware

    class _CloudVorelMiddleware(_Core):
        def __init__(self, *args, **kwargs):
            if not args and kwargs.get("approval_handler") is None:
                handler = _auto_approval_handler()
                if handler is not None:
                    kwargs["approval_handler"] = handler
            super().__init__(*args, **kwargs)

    _CloudVorelMiddleware.__name__ = _CloudVorelMiddleware.__qualname__ = "VorelMiddleware"
    return _CloudVorelMiddleware


def _make_cloud_tool_node_class():
    try:
        from vorel.langgraph import VorelToolNode as _Core
    except ImportError as e:
        error = e

        class _MissingVorelToolNode:
            def __init__(self, *_a, **_kw):
                raise ImportError(_MISSING) from error

        _MissingVorelToolNode.__name__ = _MissingVorelToolNode.__qualname__ = "VorelToolNode"
        return _MissingVorelToolNode

    class _CloudVorelToolNode(_Core):
        def __init__(self, tools, **kwargs):
            if kwargs.get("approval_handler") is None:
                handler = _auto_approval_handler()
                if handler is not None:
                    kwargs["approval_handler"] = handler
            super().__init__(tools, **kwargs)

    _CloudVorelToolNode.__name__ = _CloudVorelToolNode.__qualname__ = "VorelToolNode"
    return _CloudVorelToolNode


VorelMiddleware = _make_cloud_middleware_class()
VorelToolNode = _make_cloud_tool_node_class()
