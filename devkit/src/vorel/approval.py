"""Approval gates: the request handed to approval handlers, and the checks on their answers."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import inspect
import uuid
from collections.abc import Awaitable, Callable, Iterable
from dataclasses import dataclass
from typing import Any

from vorel_core import ApprovalVerificationError, SignedApproval, py_build_approval_context_attestation
from vorel_core.keys import coerce_public_key_bytes

from ._warrant import WarrantContext, active_warrant

__all__ = [
    "ApprovalDenied",
    "ApprovalGate",
    "ApprovalHandler",
    "ApprovalRequest",
    "build_approval_request",
    "check_approvals",
]

ApprovalHandler = Callable[["ApprovalRequest"], Any | Awaitable[Any]]
"""Called with the pending request; returns (or resolves to) one SignedApproval
or a list of them, or raises :class:`ApprovalDenied`."""


@dataclass
class ApprovalRequest:
    """A tool call waiting at an approval gate, as handed to the approval handler.

    The attestation fields (``holder_key``, ``request_hash``,
    ``args_canonical_cbor_b64``, ``approval_context_attestation``) are filled
    when a holder signing key is bound, and None otherwise.
    """

    tool: str
    warrant_id: str = ""
    arguments: Any = None
    request_id: str | None = None
    holder_key: bytes | None = None
    request_hash: bytes | None = None
    args_canonical_cbor_b64: str | None = None
    approval_context_attestation: dict[str, Any] | None = None
    policy_id: str | None = None
    policy_ref: str | None = None
    required_approvers: list[bytes] | None = None
    min_approvals: int | None = None
    ttl_seconds: int | None = None
    gate_ttl: int | None = None
    idempotency_key: str | None = None


class ApprovalDenied(Exception):
    """An approval gate refused a tool call; ``reason`` says why."""

    def __init__(self, request: Any = None, reason: str = "approval denied") -> None:
        self.request = request
        self.reason = reason
        super().__init__(request, reason)

    def __str__(self) -> str:
        tool = getattr(self.request, "tool", None)
        if tool:
            return f"approval denied for tool '{tool}': {self.reason}"
        return f"approval denied: {self.reason}"


def build_approval_request(
    tool: str,
    arguments: Any,
    *,
    warrant: WarrantContext | None = None,
    warrant_id: str | None = None,
    signing_key: Any = None,
    request_id: str | None = None,
    required_approvers: Iterable[Any] | None = None,
    min_approvals: int | None = None,
    policy_id: str | None = None,
    ttl_seconds: int | None = None,
    idempotency_key: str | None = None,
) -> ApprovalRequest:
    """Build the request for one tool call, attested when a holder key is known.

    Explicit arguments win over ``warrant``, which defaults to the active
    warrant context. A ``TypeError`` from the attestation means the arguments
    cannot be encoded, and so cannot be approved.
    """
    ctx = warrant if warrant is not None else active_warrant.get()
    ctx = ctx or WarrantContext()
    key = signing_key if signing_key is not None else ctx.signing_key
    approvers = required_approvers if required_approvers is not None else ctx.required_approvers
    request = ApprovalRequest(
        tool=tool,
        warrant_id=warrant_id if warrant_id is not None else ctx.warrant_id,
        arguments=arguments,
        request_id=request_id or uuid.uuid4().hex,
        required_approvers=(
            [coerce_public_key_bytes(a, "required approver") for a in approvers] if approvers else None
        ),
        min_approvals=min_approvals if min_approvals is not None else ctx.min_approvals,
        policy_id=policy_id if policy_id is not None else ctx.policy_id,
        ttl_seconds=ttl_seconds if ttl_seconds is not None else ctx.ttl_seconds,
        idempotency_key=idempotency_key,
    )
    if key is not None:
        holder = key.public_key
        args_b64, attestation = py_build_approval_context_attestation(key, request.warrant_id, tool, arguments, holder)
        request.holder_key = holder.to_bytes()
        request.request_hash = bytes.fromhex(attestation["request_hash"])
        request.args_canonical_cbor_b64 = args_b64
        request.approval_context_attestation = attestation
    return request


def _deny(request: ApprovalRequest, reason: str) -> ApprovalDenied:
    return ApprovalDenied(request, reason=reason)


def check_approvals(
    request: ApprovalRequest,
    result: Any,
    *,
    trusted_approvers: Iterable[Any] | None = None,
    now: int | None = None,
) -> list[SignedApproval]:
    """Accept a handler's answer only if it really approves ``request``.

    The answer must be one :class:`SignedApproval` or a non-empty list of
    them, each signed for this request's hash, tool and warrant, unexpired,
    from a trusted approver (the request's ``required_approvers`` when set,
    else ``trusted_approvers`` when given, else anyone), and from at least
    ``min_approvals`` distinct approvers. Raises :class:`ApprovalDenied`.
    """
    if result is None:
        items: list[Any] = []
    elif isinstance(result, (list, tuple)):
        items = list(result)
    else:
        items = [result]
    if not items:
        raise _deny(request, "the approval handler returned no signed approval")

    trusted = request.required_approvers or (list(trusted_approvers) if trusted_approvers is not None else None)
    approvers: set[bytes] = set()
    for item in items:
        if not isinstance(item, SignedApproval):
            raise _deny(request, f"the approval handler returned {type(item).__name__}, not a SignedApproval")
        try:
            item.verify(request.request_hash, trusted_approvers=trusted, now=now)
        except ApprovalVerificationError as exc:
            raise _deny(request, f"invalid signed approval: {exc}") from exc
        if item.tool != request.tool or item.warrant_id != request.warrant_id:
            raise _deny(request, "signed approval is for a different tool or warrant")
        approvers.add(item.approver_key)

    needed = request.min_approvals if request.min_approvals is not None else 1
    if len(approvers) < needed:
        raise _deny(request, f"{needed} distinct approvals required, got {len(approvers)}")
    return items


def _run_coroutine_blocking(awaitable: Awaitable[Any]) -> Any:
    """Drive ``awaitable`` to completion from synchronous code.

    With no event loop in this thread a private one is used; when a loop is
    already running here (sync code called from async code) blocking it would
    deadlock, so the awaitable runs on a fresh loop in a helper thread.
    """

    async def _await() -> Any:
        return await awaitable

    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(_await())
    ctx = contextvars.copy_context()
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        return pool.submit(ctx.run, asyncio.run, _await()).result()


class ApprovalGate:
    """One configured approval gate: which tools it covers, who decides, what counts.

    Shared by the ``guard`` decorator and the LangGraph integration. Without
    an approval handler a gated call is refused: a gate nobody can open stays
    shut.
    """

    def __init__(
        self,
        approval_handler: ApprovalHandler | None,
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
        self.approval_handler = approval_handler
        if isinstance(gated_tools, str):
            gated_tools = [gated_tools]
        self.gated_tools: frozenset[str] | None = None if gated_tools is None else frozenset(gated_tools)
        self.warrant_id = warrant_id
        self.signing_key = signing_key
        self.required_approvers = None if required_approvers is None else list(required_approvers)
        self.min_approvals = min_approvals
        self.policy_id = policy_id
        self.ttl_seconds = ttl_seconds
        self.trusted_approvers = None if trusted_approvers is None else list(trusted_approvers)

    def is_gated(self, tool: str) -> bool:
        """Whether calls of ``tool`` need approval."""
        return self.gated_tools is None or tool in self.gated_tools

    def request_for(self, tool: str, arguments: Any, *, request_id: str | None = None) -> ApprovalRequest:
        """The approval request for one call, from this gate's settings and the active warrant."""
        return build_approval_request(
            tool,
            arguments,
            warrant_id=self.warrant_id,
            signing_key=self.signing_key,
            request_id=request_id,
            required_approvers=self.required_approvers,
            min_approvals=self.min_approvals,
            policy_id=self.policy_id,
            ttl_seconds=self.ttl_seconds,
        )

    async def aapprove(self, request: ApprovalRequest) -> list[SignedApproval]:
        """Ask the handler (awaiting it if it is asynchronous) and check its answer."""
        if self.approval_handler is None:
            raise _deny(request, "no approval handler is configured for this gate")
        result = self.approval_handler(request)
        if inspect.isawaitable(result):
            result = await result
        return check_approvals(request, result, trusted_approvers=self.trusted_approvers)

    def approve(self, request: ApprovalRequest) -> list[SignedApproval]:
        """Blocking twin of :meth:`aapprove`; an asynchronous handler is driven to completion."""
        if self.approval_handler is None:
            raise _deny(request, "no approval handler is configured for this gate")
        result = self.approval_handler(request)
        if inspect.isawaitable(result):
            result = _run_coroutine_blocking(result)
        return check_approvals(request, result, trusted_approvers=self.trusted_approvers)
