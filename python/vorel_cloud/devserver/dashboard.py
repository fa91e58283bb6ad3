"""The approval dashboard: server-rendered HTML with plain forms.

Anyone who can reach the server may look; acting needs the per-server
dashboard token twice: in the form (the pages embed it) and in a
``SameSite=Strict; HttpOnly`` cookie that the pages set. A page from another
site can read neither (its requests carry another ``Host`` and are refused,
see ``guard``), a browser sends the cookie with no cross-site post, and
cross-site form posts are refused on their ``Origin`` / ``Sec-Fetch-Site``
headers as well. No page may be framed, so a click on Approve is always the
reviewer's own.
"""

from __future__ import annotations

import base64
import hmac
import json
from datetime import datetime
from html import escape
from typing import Any
from urllib.parse import quote, urlsplit

from starlette.requests import Request
from starlette.responses import HTMLResponse, RedirectResponse, Response
from starlette.routing import Route

from .plane import LIST_MAX_BYTES, ApiError, ControlPlane

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2rem; color: #1d1d1f; }
h1 { font-size: 1.4rem; } h2 { font-size: 1.1rem; margin-top: 2rem; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; vertical-align: top; padding: .45rem .6rem; border-bottom: 1px solid #ddd; }
th { background: #f5f5f7; }
pre { margin: 0; white-space: pre-wrap; word-break: break-all; font-size: .85rem; }
code { font-size: .85rem; word-break: break-all; }
form { display: inline-block; margin: .15rem .3rem .15rem 0; }
button { padding: .3rem .8rem; cursor: pointer; }
button.approve { background: #1a7f37; color: white; border: 1px solid #116329; }
button.deny { background: #cf222e; color: white; border: 1px solid #a40e26; }
.status { font-weight: 600; }
.status-pending { color: #9a6700; } .status-approved { color: #1a7f37; }
.status-denied, .status-expired { color: #cf222e; }
.error { background: #ffebe9; border: 1px solid #cf222e; padding: .6rem; margin-bottom: 1rem; }
.muted { color: #6e7781; }
"""


# No script, no framing, forms post only back here: stored text that slipped
# past the escaping could still do nothing.
_PAGE_POLICY = (
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"
)
# Arguments shown per row of the list; the request's own page shows them all.
_LIST_ARGUMENT_CHARS = 2000


def cookie_name(port: int) -> str:
    # Cookies ignore ports: one name per server keeps two local servers apart.
    return f"vorel_dashboard_{port}"


def _page(title: str, body: str, status: int = 200) -> HTMLResponse:
    html = (
        '<!doctype html>\n<html lang="en"><head><meta charset="utf-8">'
        f"<title>{escape(title)}</title><style>{_STYLE}</style></head>\n<body>\n"
        f'<p class="muted"><a href="/approvals">Pending approvals</a> · Vorel local control plane</p>\n'
        f"{body}\n</body></html>\n"
    )
    headers = {"Cache-Control": "no-store", "Content-Security-Policy": _PAGE_POLICY, "Referrer-Policy": "same-origin"}
    return HTMLResponse(html, status_code=status, headers=headers)


def _age(plane: ControlPlane, created_at: str) -> str:
    seconds = max(0, int(plane.clock.now() - datetime.fromisoformat(created_at).timestamp()))
    if seconds < 60:
        return f"{seconds}s"
    if seconds < 3600:
        return f"{seconds // 60}m {seconds % 60}s"
    if seconds < 86400:
        return f"{seconds // 3600}h {seconds % 3600 // 60}m"
    return f"{seconds // 86400}d {seconds % 86400 // 3600}h"


def _clip(text: str, limit: int | None) -> str:
    if limit is None or len(text) <= limit:
        return escape(text)
    return (
        escape(text[:limit])
        + f'<span class="muted">… ({len(text) - limit} more characters on the request\'s page)</span>'
    )


def _arguments(req: dict[str, Any], limit: int | None = None) -> str:
    """The tool call's arguments for a human: the metadata mapping, else the decoded CBOR.

    Whatever the agent sent, this shows something: arguments that do not
    decode or render (odd CBOR, huge integers) are shown as their base64.
    """
    try:
        if req.get("metadata") is not None:
            value: Any = req["metadata"]
        else:
            import cbor2

            value = cbor2.loads(base64.b64decode(req["args_canonical_cbor_b64"]))
        text = json.dumps(value, indent=2, ensure_ascii=False, default=repr)
    except Exception:
        return f"<code>{_clip(req['args_canonical_cbor_b64'], limit)}</code>"
    return f"<pre>{_clip(text, limit)}</pre>"


def _status(status: str) -> str:
    return f'<span class="status status-{escape(status)}">{escape(status)}</span>'


def _eligible_approvers(plane: ControlPlane, req: dict[str, Any]) -> list[dict[str, Any]]:
    done = {r["approver_key"] for r in req["responses"]}
    return [
        a
        for a in plane.approvers()
        if a["public_key"] not in done and (not req["approver_keys"] or a["public_key"] in req["approver_keys"])
    ]


def _forms(plane: ControlPlane, token: str, req: dict[str, Any], back: str) -> str:
    rid = escape(req["id"])
    hidden = (
        f'<input type="hidden" name="dashboard_token" value="{escape(token)}">'
        f'<input type="hidden" name="next" value="{back}">'
    )
    approvers = _eligible_approvers(plane, req)
    if not approvers:
        approve = '<span class="muted">no approver key held for this request</span>'
    else:
        if len(approvers) == 1:
            choice = f'<input type="hidden" name="approver_key" value="{escape(approvers[0]["public_key"])}">'
        else:
            options = "".join(
                f'<option value="{escape(a["public_key"])}">'
                f"{escape(a['name'])} ({escape(a['public_key'][:12])}…)</option>"
                for a in approvers
            )
            choice = f'<select name="approver_key" aria-label="approver">{options}</select> '
        approve = (
            f'<form method="post" action="/approvals/{rid}/approve">{hidden}{choice}'
            '<button class="approve" type="submit">Approve</button></form>'
        )
    deny = (
        f'<form method="post" action="/approvals/{rid}/deny">{hidden}'
        '<input type="text" name="reason" placeholder="reason" aria-label="reason" required> '
        '<button class="deny" type="submit">Deny</button></form>'
    )
    return approve + deny


def _list_page(request: Request, plane: ControlPlane, token: str) -> Response:
    page = plane.list_requests(status="pending", limit=200, newest_first=False, max_bytes=LIST_MAX_BYTES)
    pending = page["items"]
    rows = []
    for req in pending:
        rid = escape(req["id"])
        rows.append(
            "<tr>"
            f'<td><a href="/approvals?request={quote(req["id"])}"><code>{rid}</code></a></td>'
            f"<td>{escape(req['tool'])}</td>"
            f"<td>{_arguments(req, _LIST_ARGUMENT_CHARS)}</td>"
            f"<td><code>{escape(req['warrant_id'])}</code></td>"
            f"<td>{_age(plane, req['created_at'])}</td>"
            f"<td>{sum(r['decision'] == 'approved' for r in req['responses'])}/{req['threshold']}</td>"
            f"<td>{_forms(plane, token, req, 'list')}</td>"
            "</tr>"
        )
    if rows:
        table = (
            "<table><thead><tr><th>Request</th><th>Tool</th><th>Arguments</th><th>Warrant</th>"
            "<th>Age</th><th>Approvals</th><th>Decision</th></tr></thead><tbody>" + "\n".join(rows) + "</tbody></table>"
        )
    else:
        table = '<p class="muted">No approval requests are waiting.</p>'
    if page["has_more"]:
        table += f'<p class="muted">More pending requests wait beyond these {len(pending)}; decide these first.</p>'
    recent = [r for r in plane.list_requests(limit=20, max_bytes=LIST_MAX_BYTES)["items"] if r["status"] != "pending"]
    recent_html = ""
    if recent:
        recent_html = (
            "<h2>Recently decided</h2><table><thead>"
            "<tr><th>Request</th><th>Tool</th><th>Status</th><th>Reason</th></tr></thead><tbody>"
            + "".join(
                f'<tr><td><a href="/approvals?request={quote(r["id"])}"><code>{escape(r["id"])}</code></a></td>'
                f"<td>{escape(r['tool'])}</td><td>{_status(r['status'])}</td>"
                f"<td>{escape(r['denied_reason'] or '')}</td></tr>"
                for r in recent
            )
            + "</tbody></table>"
        )
    body = (
        f"<h1>Pending approvals ({len(pending)}{'+' if page['has_more'] else ''})</h1>"
        '<p><a href="/approvals">Refresh</a></p>'
        f"{table}{recent_html}"
    )
    return _page("Pending approvals", body)


def _request_page(
    plane: ControlPlane, token: str, req: dict[str, Any], *, error: str | None = None, status: int = 200
) -> Response:
    responses = "".join(
        f"<tr><td><code>{escape(r['approver_key'] or '')}</code></td><td>{escape(r['decision'])}</td>"
        f"<td>{escape(r['decided_at'] or '')}</td></tr>"
        for r in req["responses"]
    )
    details = [
        ("Status", _status(req["status"])),
        ("Tool", escape(req["tool"])),
        ("Arguments", _arguments(req)),
        ("Warrant", f"<code>{escape(req['warrant_id'])}</code>"),
        ("Age", _age(plane, req["created_at"])),
        ("Created", escape(req["created_at"])),
        ("Expires", escape(req["expires_at"] or "never")),
        ("Decided", escape(req["decided_at"] or "—")),
        ("Denied reason", escape(req["denied_reason"] or "—")),
        ("Approvals", f"{sum(r['decision'] == 'approved' for r in req['responses'])} of {req['threshold']} needed"),
        ("Allowed approvers", "<br>".join(f"<code>{escape(k)}</code>" for k in req["approver_keys"]) or "any"),
        ("Policy", escape(req["policy_id"] or "—")),
        ("Request hash", f"<code>{escape(req['request_hash'])}</code>"),
        ("Holder key", f"<code>{escape(req['holder_key'])}</code>"),
    ]
    table = "<table>" + "".join(f"<tr><th>{k}</th><td>{v}</td></tr>" for k, v in details) + "</table>"
    actions = f"<h2>Decision</h2>{_forms(plane, token, req, 'request')}" if req["status"] == "pending" else ""
    resp_html = (
        "<h2>Responses</h2><table><thead><tr><th>Approver</th><th>Decision</th><th>At</th></tr></thead>"
        f"<tbody>{responses}</tbody></table>"
        if responses
        else ""
    )
    err = f'<div class="error">{escape(error)}</div>' if error else ""
    body = f"<h1>Approval request <code>{escape(req['id'])}</code></h1>{err}{table}{actions}{resp_html}"
    return _page(f"Approval request {req['id']}", body, status)


def _render(request: Request, plane: ControlPlane, token: str) -> Response:
    request_id = request.query_params.get("request")
    if not request_id:
        return _list_page(request, plane, token)
    try:
        req = plane.get_request(request_id)
    except ApiError as err:
        return _page("Not found", f"<h1>Not found</h1><p>{escape(err.message)}</p>", err.status)
    return _request_page(plane, token, req)


async def approvals(request: Request) -> Response:
    plane: ControlPlane = request.app.state.plane
    token: str = request.app.state.dashboard_token
    page = _render(request, plane, token)
    page.set_cookie(request.app.state.cookie_name, token, path="/", httponly=True, samesite="strict")
    return page


def _cross_site(request: Request) -> bool:
    if request.headers.get("sec-fetch-site", "same-origin") not in ("same-origin", "none"):
        return True
    origin = request.headers.get("origin")
    if origin is None:
        return False
    parts = urlsplit(origin)
    return parts.netloc != request.headers.get("host", "") or parts.scheme != request.url.scheme


async def _decide(request: Request, action: str) -> Response:
    plane: ControlPlane = request.app.state.plane
    token: str = request.app.state.dashboard_token
    request_id = request.path_params["request_id"]
    form = await request.form()
    given = form.get("dashboard_token")
    cookie = request.cookies.get(request.app.state.cookie_name)
    if _cross_site(request) or not _same_secret(given, token) or not _same_secret(cookie, token):
        return _page(
            "Forbidden",
            "<h1>Forbidden</h1><p>This form post lacks the dashboard token of this server "
            "(or came from another site). Reload the dashboard page and try again.</p>",
            403,
        )
    approver, reason = form.get("approver_key"), form.get("reason")
    return _carry_out(
        plane,
        token,
        action,
        request_id,
        approver if isinstance(approver, str) and approver else None,
        reason.strip() if isinstance(reason, str) else None,
        form.get("next") == "list",
    )


def _same_secret(given: Any, token: str) -> bool:
    return isinstance(given, str) and hmac.compare_digest(given.encode(), token.encode())


def _carry_out(
    plane: ControlPlane,
    token: str,
    action: str,
    request_id: str,
    approver: str | None,
    reason: str | None,
    to_list: bool,
) -> Response:
    try:
        if action == "approve":
            plane.approve(request_id, approver_key=approver)
        else:
            plane.deny(request_id, reason=reason)
    except ApiError as err:
        try:
            req = plane.get_request(request_id)
        except ApiError:
            return _page("Not found", f"<h1>Not found</h1><p>{escape(err.message)}</p>", 404)
        return _request_page(plane, token, req, error=err.message, status=err.status)
    target = "/approvals" if to_list else f"/approvals?request={quote(request_id)}"
    return RedirectResponse(target, status_code=303)


async def approve(request: Request) -> Response:
    return await _decide(request, "approve")


async def deny(request: Request) -> Response:
    return await _decide(request, "deny")


def routes() -> list[Route]:
    return [
        Route("/approvals", approvals, methods=["GET"]),
        Route("/approvals/{request_id}/approve", approve, methods=["POST"]),
        Route("/approvals/{request_id}/deny", deny, methods=["POST"]),
    ]
