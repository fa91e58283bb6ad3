"""LangGraph integration for Vorel Cloud.

``VorelMiddleware`` and ``VorelToolNode`` are drop-in replacements for the
classes of the same names in ``vorel.langgraph``; with ``VOREL_API_KEY`` set
and no ``approval_handler`` given they resolve approval gates through the
Vorel Cloud API at ``VOREL_CONTROL_PLANE_URL`` (the hosted API when unset).
``langgraph_cloud_approval()`` builds the handler explicitly.
"""

import logging
from collections.abc import Awaitable, Callable
from typing import Any

from vorel.langgraph import VorelMiddleware as _CoreMiddleware
from vorel.langgraph import VorelToolNode as _CoreToolNode

logger: logging.Logger

_CloudApprovalHandler = Callable[[Any], Awaitable[Any | list[Any]]]

def langgraph_cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = "https://api.vorel.cloud",
    dashboard_url: str = "",
    poll_interval: float = 3.0,
    timeout: float | None = None,
) -> _CloudApprovalHandler: ...
def _get_idempotency_key(request: Any) -> str | None: ...
def _auto_approval_handler(**overrides: Any) -> _CloudApprovalHandler | None: ...
def _make_cloud_middleware_class() -> type: ...
def _make_cloud_tool_node_class() -> type: ...

class VorelMiddleware(_CoreMiddleware):
    """Drop-in replacement for ``vorel.langgraph.VorelMiddleware``; auto-wires a cloud handler."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...

class VorelToolNode(_CoreToolNode):
    """Drop-in replacement for ``vorel.langgraph.VorelToolNode``; auto-wires a cloud handler."""

    def __init__(self, tools: Any, **kwargs: Any) -> None: ...
