"""HTTP face of the local control plane: the ``/v1`` API and the dashboard."""

from __future__ import annotations

import functools
import json
import logging
import math
import re
from collections.abc import Awaitable, Callable, Iterable
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse, Response
from starlette.routing import Route

from . import dashboard
from .guard import DEFAULT_BODY_TIMEOUT, DEFAULT_MAX_BODY_BYTES, Guard, HostPolicy
from .plane import LIST_MAX_BYTES, ApiError, ControlPlane

logger = logging.getLogger("vorel_cloud.devserver")

Handler = Callable[[Request, ControlPlane], Awaitable[Any]]

_MAX_LIMIT = 200

# Nesting any deeper than this in a body is refused: stored values are
# rendered again by recursive code (pages, fingerprints), which must not fail
# on a row that was accepted.
MAX_JSON_DEPTH = 32
# A "\\u" escape of a UTF-16 surrogate; paired ones are fine, lone ones cannot be stored.
_SURROGATE_ESCAPE = re.compile(rb"\\u[dD][89abcdefABCDEF]")


def _error_response(err: ApiError) -> JSONResponse:
    return JSONResponse(err.body(), status_code=err.status, headers=err.headers)


def api(op: str, scope: str | None) -> Callable[[Handler], Callable[[Request], Awaitable[Response]]]:
    """Wrap an API handler: authentication, scope, scripted faults, error bodies.

    The handler returns the JSON body, or a (body, status) pair.
    """

    def wrap(handler: Handler) -> Callable[[Request], Awaitable[Response]]:
        @functools.wraps(handler)
        async def endpoint(request: Request) -> Response:
            plane: ControlPlane = request.app.state.plane
            try:
                if scope is not None:
                    key = plane.authenticate(request.headers.get("authorization"))
                    plane.require_scope(key, scope)
                fault = plane.take_fault(op, request.path_params.get("request_id"))
                if fault is not None and not fault.after_processing:
                    raise fault.error()
                result = await handler(request, plane)
                if fault is not None:
                    raise fault.error()
            except ApiError as err:
                return _error_response(err)
            body, status = result if isinstance(result, tuple) else (result, 200)
            return JSONResponse(body, status_code=status)

        return endpoint

    return wrap


def _no_constant(name: str) -> Any:
    raise ApiError(400, "invalid_request", f"the body holds {name}, which JSON does not allow: send finite numbers")


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ApiError(400, "invalid_request", "the body holds a number too large for a double: send finite numbers")
    return value


def _check_tree(value: Any) -> None:
    """Refuse nesting deeper than ``MAX_JSON_DEPTH`` and strings with lone surrogates."""
    stack = [(value, 1)]
    while stack:
        node, depth = stack.pop()
        if isinstance(node, str):
            try:
                node.encode("utf-8")
            except UnicodeEncodeError:
                raise ApiError(
                    400, "invalid_request", "the body holds a lone UTF-16 surrogate (\\ud800-\\udfff)"
                ) from None
            continue
        if isinstance(node, dict):
            items: Iterable[Any] = [*node.keys(), *node.values()]
        elif isinstance(node, list):
            items = node
        else:
            continue
        if depth > MAX_JSON_DEPTH:
            raise ApiError(400, "invalid_request", f"the body is nested more than {MAX_JSON_DEPTH} levels deep")
        stack.extend((item, depth + 1) for item in items)


def parse_json(raw: bytes) -> Any:
    """The body as JSON, holding only what the store can keep and give back.

    UTF-8 only; NaN, Infinity and numbers beyond a double, lone surrogates and
    deep nesting are refused with 400 before anything is stored.
    """
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ApiError(400, "invalid_request", "the body is not UTF-8") from None
    try:
        value = json.loads(text, parse_constant=_no_constant, parse_float=_finite)
    except RecursionError:
        raise ApiError(400, "invalid_request", f"the body is nested more than {MAX_JSON_DEPTH} levels deep") from None
    except ValueError:
        raise ApiError(400, "invalid_request", "the body is not valid JSON") from None
    # Both checks walk the tree; the byte scans say when there is anything to find.
    if raw.count(b"[") + raw.count(b"{") > MAX_JSON_DEPTH or _SURROGATE_ESCAPE.search(raw):
        _check_tree(value)
    return value


async def _json_body(request: Request) -> Any:
    raw = await request.body()
    if not raw:
        raise ApiError(400, "invalid_request", "a JSON body is required")
    return parse_json(raw)


async def _optional_json_body(request: Request) -> dict[str, Any]:
    raw = await request.body()
    if not raw.strip():
        return {}
    body = await _json_body(request)
    if not isinstance(body, dict):
        raise ApiError(422, "invalid_request", "body must be a JSON object")
    return body


def _limit(request: Request, default: int) -> int:
    text = request.query_params.get("limit")
    if text is None:
        return default
    try:
        value = int(text)
    except ValueError:
        raise ApiError(422, "invalid_request", "limit must be an integer") from None
    if not 1 <= value <= _MAX_LIMIT:
        raise ApiError(422, "invalid_request", f"limit must be between 1 and {_MAX_LIMIT}")
    return value


def _optional_text(body: dict[str, Any], name: str) -> str | None:
    value = body.get(name)
    if value is not None and not isinstance(value, str):
        raise ApiError(422, "invalid_request", f"{name} must be a string")
    return value or None


@api("health", None)
async def health(request: Request, plane: ControlPlane) -> Any:
    return {"status": "ok", "version": plane.version}


@api("tenant", "tenant:read")
async def tenant(request: Request, plane: ControlPlane) -> Any:
    return plane.tenant()


@api("policies", "policies:read")
async def list_policies(request: Request, plane: ControlPlane) -> Any:
    return plane.list_policies(_limit(request, 50))


@api("create", "approvals:write")
async def create_request(request: Request, plane: ControlPlane) -> Any:
    body = await _json_body(request)
    obj, created = plane.create_request(body, header_key=request.headers.get("idempotency-key"))
    return obj, 201 if created else 200


@api("list", "approvals:read")
async def list_requests(request: Request, plane: ControlPlane) -> Any:
    status, limit = request.query_params.get("status") or None, _limit(request, 50)
    return plane.list_requests(status=status, limit=limit, max_bytes=LIST_MAX_BYTES)


@api("get", "approvals:read")
async def get_request(request: Request, plane: ControlPlane) -> Any:
    return plane.get_request(request.path_params["request_id"], poll=True)


@api("approve", "approvals:decide")
async def approve_request(request: Request, plane: ControlPlane) -> Any:
    body = await _optional_json_body(request)
    approver_key = _optional_text(body, "approver_key")
    signed = _optional_text(body, "signed_approval")
    if approver_key and signed:
        raise ApiError(422, "invalid_request", "send approver_key or signed_approval, not both")
    return plane.approve(request.path_params["request_id"], approver_key=approver_key, signed_approval=signed)


@api("deny", "approvals:decide")
async def deny_request(request: Request, plane: ControlPlane) -> Any:
    body = await _optional_json_body(request)
    return plane.deny(
        request.path_params["request_id"],
        reason=_optional_text(body, "reason"),
        approver_key=_optional_text(body, "approver_key"),
    )


@api("claim", "agents:claim")
async def claim_agent(request: Request, plane: ControlPlane) -> Any:
    return plane.claim_agent(await _json_body(request))


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    if request.url.path.startswith("/v1/") or request.url.path == "/v1":
        code = {404: "not_found", 405: "method_not_allowed"}.get(exc.status_code, "invalid_request")
        return _error_response(ApiError(exc.status_code, code, exc.detail or "request failed"))
    return Response(exc.detail or "", status_code=exc.status_code, media_type="text/plain", headers=exc.headers)


async def _internal_error(request: Request, exc: Exception) -> Response:
    logger.error("unhandled error serving %s %s", request.method, request.url.path, exc_info=exc)
    return _error_response(ApiError(500, "internal_error", "internal server error"))


async def _root(request: Request) -> Response:
    return RedirectResponse("/approvals", status_code=307)


def create_app(
    plane: ControlPlane,
    *,
    dashboard_token: str,
    host: str = "127.0.0.1",
    port: int = 80,
    allowed_hosts: Iterable[str] = (),
    max_body_bytes: int = DEFAULT_MAX_BODY_BYTES,
    body_timeout: float = DEFAULT_BODY_TIMEOUT,
) -> Guard:
    """The ASGI application over ``plane``; ``dashboard_token`` guards the dashboard's forms.

    It answers to ``Host`` values naming loopback, ``host`` and ``allowed_hosts``
    only (see ``guard.HostPolicy``), and reads bodies of ``max_body_bytes`` at most.
    The Starlette application is the result's ``app``.
    """
    routes = [
        Route("/v1/health", health, methods=["GET"]),
        Route("/v1/tenant", tenant, methods=["GET"]),
        Route("/v1/approvals/policies", list_policies, methods=["GET"]),
        Route("/v1/approvals/requests", create_request, methods=["POST"]),
        Route("/v1/approvals/requests", list_requests, methods=["GET"]),
        Route("/v1/approvals/requests/{request_id}", get_request, methods=["GET"]),
        Route("/v1/approvals/requests/{request_id}/approve", approve_request, methods=["POST"]),
        Route("/v1/approvals/requests/{request_id}/deny", deny_request, methods=["POST"]),
        Route("/v1/agents/claim", claim_agent, methods=["POST"]),
        Route("/", _root, methods=["GET"]),
        *dashboard.routes(),
    ]
    app = Starlette(
        routes=routes,
        exception_handlers={HTTPException: _http_error, Exception: _internal_error},
    )
    app.state.plane = plane
    app.state.dashboard_token = dashboard_token
    app.state.cookie_name = dashboard.cookie_name(port)
    return Guard(
        app, hosts=HostPolicy(host, port, allowed_hosts), max_body_bytes=max_body_bytes, body_timeout=body_timeout
    )
