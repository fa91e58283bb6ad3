"""Warrant scoping and the ``guard`` decorator that puts a tool behind an approval gate."""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import replace
from typing import Any, TypeVar

from vorel_core.keys import coerce_public_key_bytes

from ._warrant import WarrantContext, active_warrant
from .approval import ApprovalDenied, ApprovalGate, ApprovalHandler

__all__ = [
    "ApprovalDenied",
    "WarrantContext",
    "bound_key",
    "current_warrant",
    "guard",
    "key_scope",
    "warrant_scope",
]

F = TypeVar("F", bound=Callable[..., Any])


def current_warrant() -> WarrantContext | None:
    """The warrant context active in this thread or task, or None."""
    return active_warrant.get()


def key_scope() -> Any:
    """The holder signing key of the active warrant context, or None when none is bound."""
    ctx = active_warrant.get()
    return None if ctx is None else ctx.signing_key


@contextmanager
def warrant_scope(
    warrant_id: str,
    *,
    signing_key: Any = None,
    required_approvers: Iterable[Any] | None = None,
    min_approvals: int | None = None,
    policy_id: str | None = None,
    ttl_seconds: int | None = None,
) -> Iterator[WarrantContext]:
    """Make a warrant the active context for the ``with`` block (and tasks started in it)."""
    ctx = WarrantContext(
        warrant_id=warrant_id,
        signing_key=signing_key,
        required_approvers=None
        if required_approvers is None
        else tuple(coerce_public_key_bytes(a, "required approver") for a in required_approvers),
        min_approvals=min_approvals,
        policy_id=policy_id,
        ttl_seconds=ttl_seconds,
    )
    token = active_warrant.set(ctx)
    try:
        yield ctx
    finally:
        active_warrant.reset(token)


@contextmanager
def bound_key(key: Any) -> Iterator[Any]:
    """Bind ``key`` as the holder signing key for the ``with`` block.

    The rest of the active warrant context, if any, is kept.
    """
    ctx = active_warrant.get() or WarrantContext()
    token = active_warrant.set(replace(ctx, signing_key=key))
    try:
        yield key
    finally:
        active_warrant.reset(token)


def _call_arguments(signature: inspect.Signature, args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
    bound = signature.bind(*args, **kwargs)
    bound.apply_defaults()
    return dict(bound.arguments)


def guard(
    tool: str | None = None,
    *,
    approval_handler: ApprovalHandler | None,
    warrant_id: str | None = None,
    signing_key: Any = None,
    required_approvers: Iterable[Any] | None = None,
    min_approvals: int | None = None,
    policy_id: str | None = None,
    ttl_seconds: int | None = None,
    trusted_approvers: Iterable[Any] | None = None,
) -> Callable[[F], F]:
    """Put a function behind an approval gate.

    Before each call the approval handler (synchronous or asynchronous) is
    called with an :class:`~vorel.approval.ApprovalRequest` for the call (its
    arguments bound by name, defaults applied); its answer must be valid
    signed approval(s) for exactly this call, or the call is refused with
    :class:`ApprovalDenied`, which the handler may also raise itself. The
    function runs only after approval. ``tool`` defaults to the function name.
    Settings left as None come from the active warrant context at call time.
    """
    gate = ApprovalGate(
        approval_handler,
        warrant_id=warrant_id,
        signing_key=signing_key,
        required_approvers=required_approvers,
        min_approvals=min_approvals,
        policy_id=policy_id,
        ttl_seconds=ttl_seconds,
        trusted_approvers=trusted_approvers,
    )

    def decorate(fn: F) -> F:
        name = tool or fn.__name__
        signature = inspect.signature(fn)

        if inspect.iscoroutinefunction(fn):

            @functools.wraps(fn)
            async def async_guarded(*args: Any, **kwargs: Any) -> Any:
                request = gate.request_for(name, _call_arguments(signature, args, kwargs))
                await gate.aapprove(request)
                return await fn(*args, **kwargs)

            return async_guarded  # type: ignore[return-value]

        @functools.wraps(fn)
        def guarded(*args: Any, **kwargs: Any) -> Any:
            request = gate.request_for(name, _call_arguments(signature, args, kwargs))
            gate.approve(request)
            return fn(*args, **kwargs)

        return guarded  # type: ignore[return-value]

    return decorate
