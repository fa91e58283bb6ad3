"""What every HTTP request passes before it reaches a route.

- Host: only the names this server was started on (loopback names, the bound
  address and port, and hosts the operator allowed). A page served from a
  name that an attacker re-points at 127.0.0.1 (DNS rebinding) sends its own
  name here, and is refused before it can read a page or post a form.
- Body: at most ``max_body_bytes``, all of it within ``body_timeout`` seconds.
  A larger Content-Length is refused at once, without reading the rest; the
  connection is then closed.
- Framing: no response may be shown inside another site's frame.
- An error after a complete answer does not cost the client its connection.
"""

from __future__ import annotations

import asyncio
import json
import logging
from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from typing import Any

logger = logging.getLogger("vorel_cloud.devserver")

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

# Limits of a server meant for one machine: a few agents, tests and a browser.
DEFAULT_MAX_BODY_BYTES = 1024 * 1024
DEFAULT_BODY_TIMEOUT = 30.0
DEFAULT_MAX_CONNECTIONS = 512
DEFAULT_HEADER_TIMEOUT = 10.0
DEFAULT_KEEP_ALIVE_TIMEOUT = 5.0
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")

_FRAME_HEADERS = [
    (b"x-frame-options", b"DENY"),
    (b"content-security-policy", b"frame-ancestors 'none'"),
    (b"x-content-type-options", b"nosniff"),
]


def _split_host(value: str) -> tuple[str, int | None]:
    """``name[:port]`` (IPv6 in brackets) as (lower-case name, port or None)."""
    value = value.strip().lower()
    if value.startswith("["):
        end = value.find("]")
        name, rest = value[: end + 1], value[end + 1 :]
        if end < 0 or (rest and not rest.startswith(":")):
            raise ValueError(value)
        port_text = rest[1:] if rest else None
    else:
        name, sep, port_text = value.rpartition(":")
        if not sep:
            name, port_text = value, None
    if not name:
        raise ValueError(value)
    port = None
    if port_text is not None:
        if not port_text.isdigit() or not 0 < int(port_text) < 65536:
            raise ValueError(value)
        port = int(port_text)
    return name, port


class HostPolicy:
    """The ``Host`` values a server accepts.

    The loopback names and ``bound`` are accepted with the server's own port;
    an ``extra`` entry without a port matches any port (for a proxy or a
    forwarded port), one with a port only that port.
    """

    def __init__(self, bound: str, port: int, extra: Iterable[str] = ()) -> None:
        name = bound.strip().lower()
        if ":" in name and not name.startswith("["):
            name = f"[{name}]"
        self.port = port
        self._exact = {(n, port) for n in (*LOOPBACK_NAMES, name)}
        self._any_port: set[str] = set()
        for entry in extra:
            host, entry_port = _split_host(entry)
            if entry_port is None:
                self._any_port.add(host)
            else:
                self._exact.add((host, entry_port))

    def allows(self, header: bytes | None) -> bool:
        if header is None:
            return False
        try:
            name, port = _split_host(header.decode("latin-1"))
        except ValueError:
            return False
        return name in self._any_port or (name, 80 if port is None else port) in self._exact


def _error_body(code: str, message: str) -> bytes:
    return json.dumps({"error": {"code": code, "message": message}}).encode()


async def _answer(scope: Scope, send: Send, status: int, code: str, message: str, *, close: bool) -> None:
    """A whole error answer: the API's JSON error shape under /v1, plain text elsewhere."""
    if scope["path"] == "/v1" or scope["path"].startswith("/v1/"):
        body, kind = _error_body(code, message), b"application/json"
    else:
        body, kind = (message + "\n").encode(), b"text/plain; charset=utf-8"
    headers = [(b"content-type", kind), (b"content-length", str(len(body)).encode()), *_FRAME_HEADERS]
    if close:
        headers.append((b"connection", b"close"))
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body, "more_body": False})


class _BodyRefused(Exception):
    def __init__(self, status: int, code: str, message: str) -> None:
        super().__init__(message)
        self.status, self.code, self.message = status, code, message


class Guard:
    """ASGI middleware in front of the whole application (see the module text)."""

    def __init__(
        self,
        app: ASGIApp,
        *,
        hosts: HostPolicy,
        max_body_bytes: int = DEFAULT_MAX_BODY_BYTES,
        body_timeout: float = DEFAULT_BODY_TIMEOUT,
    ) -> None:
        self.app = app
        self.hosts = hosts
        self.max_body_bytes = max_body_bytes
        self.body_timeout = body_timeout

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        host = length = None
        chunked = False
        for name, value in scope["headers"]:
            if name == b"host":
                host = value
            elif name == b"content-length":
                length = int(value)  # the HTTP parser has checked it is a number
            elif name == b"transfer-encoding":
                chunked = True
        if not self.hosts.allows(host):
            await _answer(
                scope,
                send,
                403,
                "forbidden",
                "this server does not answer to that Host name; start it with --allowed-host to add one",
                close=True,
            )
            return
        if length is not None and length > self.max_body_bytes:
            await _answer(scope, send, 413, "payload_too_large", self._too_large(), close=True)
            return
        if chunked or length:
            try:
                body = await asyncio.wait_for(self._read_body(receive), self.body_timeout)
            except _BodyRefused as refused:
                await _answer(scope, send, refused.status, refused.code, refused.message, close=True)
                return
            except TimeoutError:
                await _answer(
                    scope,
                    send,
                    408,
                    "request_timeout",
                    f"the request body did not arrive within {self.body_timeout:g} s",
                    close=True,
                )
                return
            receive = _replay(body, receive)

        state = {"complete": False}

        async def guarded_send(message: Message) -> None:
            if message["type"] == "http.response.start":
                message = dict(message, headers=[*message.get("headers", ()), *_FRAME_HEADERS])
            elif message["type"] == "http.response.body" and not message.get("more_body", False):
                state["complete"] = True
            await send(message)

        try:
            await self.app(scope, receive, guarded_send)
        except Exception:
            # The application's error handler has answered (and logged) already;
            # re-raising would make the server drop a connection in good order.
            if not state["complete"]:
                raise

    def _too_large(self) -> str:
        return f"the request body is larger than {self.max_body_bytes} bytes"

    async def _read_body(self, receive: Receive) -> bytes:
        chunks: list[bytes] = []
        size = 0
        while True:
            message = await receive()
            if message["type"] != "http.request":
                raise _BodyRefused(400, "invalid_request", "the client went away before the body was complete")
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > self.max_body_bytes:
                raise _BodyRefused(413, "payload_too_large", self._too_large())
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks)


def _replay(body: bytes, receive: Receive) -> Receive:
    """A ``receive`` that hands over the body read already, then waits as the original would."""
    pending = [{"type": "http.request", "body": body, "more_body": False}]

    async def replayed() -> Message:
        if pending:
            return pending.pop()
        return await receive()

    return replayed
