"""HTTP face of the local control plane: the ``/v1`` API and the dashboard."""

from __future__ import annotations

import functools
import json
import logging
from typing import Any, Awaitable, Callable

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, RedirectResponse, Response
from starlette.routing import Route

from . import dashboard
from .plane import ApiError, ControlPlane

logger = logging.getLogger("vorel_cloud.devserver")

Handler = Callable[[Request, ControlPlane], Awaitable[Any]]

_MAX_LIMIT = 200


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


async def _json_body(request: Request) -> Any:
    raw = await request.body()
    if not raw:
        raise ApiError(400, "invalid_request", "a JSON body is required")
    try:
        return json.loads(raw)
    except ValueError:
        raise ApiError(400, "invalid_request", "the body is not valid JSON") from None


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
    return plane.list_requests(status=request.query_params.get("status") or None, limit=_limit(request, 50))


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
    logger.exception("unhandled error serving %s %s", request.method, request.url.path)
    return _error_response(ApiError(500, "internal_error", "internal server error"))


async def _root(request: Request) -> Response:
    return RedirectResponse("/approvals", status_code=307)


def create_app(plane: ControlPlane, *, dashboard_token: str) -> Starlette:
    """The ASGI application over ``plane``; ``dashboard_token`` guards the dashboard's forms."""
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
    return app
