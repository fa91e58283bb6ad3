"""LangGraph integration: approval gates in front of tool calls.

``VorelToolNode`` is LangGraph's own tool node with a gate around each gated
tool call; ``VorelMiddleware`` does the same as LangChain agent middleware.
Before a gated tool runs, the approval handler is awaited with an
:class:`~vorel.approval.ApprovalRequest` for the call; if it raises
:class:`~vorel.approval.ApprovalDenied` (or answers with anything that does
not approve exactly this call) the tool does not run, and the model gets a
``ToolMessage`` saying the call was denied and why.

Importing this module requires LangGraph (``pip install 'vorel[langgraph]'``);
without it the import raises ``ImportError``, which callers use to detect
that the integration is unavailable.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Iterable
from typing import Any

try:
    from langchain_core.messages import ToolMessage
    from langgraph.prebuilt import ToolNode
    from langgraph.prebuilt.tool_node import ToolCallRequest
except ImportError as exc:
    raise ImportError("vorel.langgraph requires LangGraph. Install with: pip install 'vorel[langgraph]'") from exc

try:
    from langchain.agents.middleware import AgentMiddleware as _MiddlewareBase
except ImportError:  # pragma: no cover - LangGraph alone, without LangChain's agents
    _MiddlewareBase = object  # type: ignore[assignment,misc]

from .approval import ApprovalDenied, ApprovalGate, ApprovalHandler

__all__ = ["VorelMiddleware", "VorelToolNode"]

Execute = Callable[[ToolCallRequest], Any]
AsyncExecute = Callable[[ToolCallRequest], Awaitable[Any]]


def _denied_message(tool_request: ToolCallRequest, reason: str) -> ToolMessage:
    call = tool_request.tool_call
    return ToolMessage(
        content=f"Tool call '{call['name']}' was denied: {reason}",
        name=call["name"],
        tool_call_id=call["id"],
        status="error",
    )


def _request_for(gate: ApprovalGate, tool_request: ToolCallRequest) -> Any:
    call = tool_request.tool_call
    return gate.request_for(call["name"], call.get("args") or {}, request_id=call.get("id"))


def _gated_call(gate: ApprovalGate, tool_request: ToolCallRequest, execute: Execute) -> Any:
    if not gate.is_gated(tool_request.tool_call["name"]):
        return execute(tool_request)
    try:
        gate.approve(_request_for(gate, tool_request))
    except ApprovalDenied as denied:
        return _denied_message(tool_request, denied.reason)
    return execute(tool_request)


async def _agated_call(gate: ApprovalGate, tool_request: ToolCallRequest, execute: AsyncExecute) -> Any:
    if not gate.is_gated(tool_request.tool_call["name"]):
        return await execute(tool_request)
    try:
        await gate.aapprove(_request_for(gate, tool_request))
    except ApprovalDenied as denied:
        return _denied_message(tool_request, denied.reason)
    return await execute(tool_request)


class VorelToolNode(ToolNode):
    """LangGraph ``ToolNode`` whose gated tools run only after approval.

    Arguments beyond ``ToolNode``'s own:

    - ``approval_handler``: awaited with the ApprovalRequest of each gated call
      (a synchronous handler works too); without one, gated calls are denied.
    - ``gated_tools``: names of the tools that need approval (default: all).
    - ``warrant_id``, ``signing_key``, ``required_approvers``,
      ``min_approvals``, ``policy_id``, ``ttl_seconds``: the warrant settings
      for the requests; None falls back to the active warrant context.
    - ``trusted_approvers``: approver keys accepted when the warrant names none.

    A ``wrap_tool_call``/``awrap_tool_call`` passed in runs inside the gate,
    only for approved or ungated calls.
    """

    def __init__(
        self,
        tools: Any,
        *,
        approval_handler: ApprovalHandler | None = None,
        gated_tools: Iterable[str] | str | None = None,
        warrant_id: str | None = None,
        signing_key: Any = None,
        required_approvers: Iterable[Any] | None = None,
        min_approvals: int | None = None,
        policy_id: str | None = None,
        ttl_seconds: int | None = None,
        trusted_approvers: Iterable[Any] | None = None,
        **kwargs: Any,
    ) -> None:
        gate = ApprovalGate(
            approval_handler,
            gated_tools=gated_tools,
            warrant_id=warrant_id,
            signing_key=signing_key,
            required_approvers=required_approvers,
            min_approvals=min_approvals,
            policy_id=policy_id,
            ttl_seconds=ttl_seconds,
            trusted_approvers=trusted_approvers,
        )
        inner_wrap = kwargs.pop("wrap_tool_call", None)
        inner_awrap = kwargs.pop("awrap_tool_call", None)

        def wrap(tool_request: ToolCallRequest, execute: Execute) -> Any:
            if inner_wrap is None:
                return _gated_call(gate, tool_request, execute)
            return _gated_call(gate, tool_request, lambda req: inner_wrap(req, execute))

        async def awrap(tool_request: ToolCallRequest, execute: AsyncExecute) -> Any:
            if inner_awrap is None:
                return await _agated_call(gate, tool_request, execute)

            async def run_inner(req: ToolCallRequest) -> Any:
                return await inner_awrap(req, execute)

            return await _agated_call(gate, tool_request, run_inner)

        # A caller's sync-only wrapper has no async form; leaving the async
        # slot empty makes the node fall back to the sync path, which gates too.
        use_awrap = inner_awrap is not None or inner_wrap is None
        super().__init__(tools, wrap_tool_call=wrap, awrap_tool_call=awrap if use_awrap else None, **kwargs)
        self.approval_gate = gate

    @property
    def approval_handler(self) -> ApprovalHandler | None:
        """The handler this node's gate consults."""
        return self.approval_gate.approval_handler


class VorelMiddleware(_MiddlewareBase):  # type: ignore[misc,valid-type]
    """Agent middleware that puts gated tool calls behind an approval gate.

    Takes the same gate settings as :class:`VorelToolNode`;
    ``approval_handler`` may also be given positionally.
    """

    def __init__(
        self,
        approval_handler: ApprovalHandler | None = None,
        *,
        gated_tools: Iterable[str] | str | None = None,
        warrant_id: str | None = None,
        signing_key: Any = None,
        required_approvers: Iterable[Any] | None = None,
        min_approvals: int | None = None,
        policy_id: str | None = None,
        ttl_seconds: int | None = None,
        trusted_approvers: Iterable[Any] | None = None,
    ) -> None:
        super().__init__()
        self.approval_gate = ApprovalGate(
            approval_handler,
            gated_tools=gated_tools,
            warrant_id=warrant_id,
            signing_key=signing_key,
            required_approvers=required_approvers,
            min_approvals=min_approvals,
            policy_id=policy_id,
            ttl_seconds=ttl_seconds,
            trusted_approvers=trusted_approvers,
        )

    @property
    def approval_handler(self) -> ApprovalHandler | None:
        """The handler this middleware's gate consults."""
        return self.approval_gate.approval_handler

    def wrap_tool_call(self, request: ToolCallRequest, handler: Execute) -> Any:
        """Gate the call, then let ``handler`` run the tool if it was approved."""
        return _gated_call(self.approval_gate, request, handler)

    async def awrap_tool_call(self, request: ToolCallRequest, handler: AsyncExecute) -> Any:
        """Asynchronous form of :meth:`wrap_tool_call`."""
        return await _agated_call(self.approval_gate, request, handler)
