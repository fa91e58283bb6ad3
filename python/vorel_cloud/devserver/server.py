"""Running the local control plane: in a background thread or in the foreground."""

from __future__ import annotations

import asyncio
import base64
import json
import logging
import secrets
import socket
import threading
import time
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

import h11
import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol

from .app import create_app
from .clock import Clock
from .guard import (
    DEFAULT_BODY_TIMEOUT,
    DEFAULT_HEADER_TIMEOUT,
    DEFAULT_KEEP_ALIVE_TIMEOUT,
    DEFAULT_MAX_BODY_BYTES,
    DEFAULT_MAX_CONNECTIONS,
)
from .plane import DEFAULT_TTL_SECONDS, Bootstrap, ControlPlane, DecisionScript, Fault
from .store import Store

logger = logging.getLogger("vorel_cloud.devserver")

CONNECT_PREFIX = "vorel_ct_"


def _version() -> str:
    try:
        from vorel_cloud import __version__
    except ImportError:
        return "0.0.0"
    return __version__


def make_connect_token(
    *, endpoint: str, api_key: str, agent_id: str | None = None, registration_token: str | None = None
) -> str:
    """``vorel_ct_`` followed by the unpadded base64url of the binding's JSON."""
    payload: dict[str, str] = {"endpoint": endpoint, "api_key": api_key}
    if agent_id:
        payload["agent_id"] = agent_id
    if registration_token:
        payload["registration_token"] = registration_token
    raw = json.dumps(payload, separators=(",", ":")).encode("utf-8")
    return CONNECT_PREFIX + base64.urlsafe_b64encode(raw).decode("ascii").rstrip("=")


_BUSY = (
    b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: text/plain; charset=utf-8\r\n"
    b"connection: close\r\ncontent-length: 21\r\n\r\ntoo many connections\n"
)


class ConnectionCount:
    """Connections the server has accepted; over TLS each one began with a full handshake."""

    def __init__(self) -> None:
        self.accepted = 0
        self.peak_open = 0


def _protocol(*, max_connections: int, header_timeout: float, count: ConnectionCount) -> type[H11Protocol]:
    """The HTTP/1.1 protocol with a deadline for request heads and a cap on connections.

    A connection must deliver a complete request head within ``header_timeout``
    seconds of opening, or of the first byte of a later request (the
    keep-alive timeout covers the silence between requests); a connection
    beyond ``max_connections`` is answered 503 and closed. ``count`` records
    what was accepted.
    """

    class Protocol(H11Protocol):
        _head_timer: asyncio.TimerHandle | None = None

        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            super().connection_made(transport)
            count.accepted += 1
            count.peak_open = max(count.peak_open, len(self.connections))
            if len(self.connections) > max_connections:
                logger.warning("refusing a connection: %d are open already", max_connections)
                transport.write(_BUSY)
                transport.close()
                return
            self._arm_head_timer()

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                if self._head_timer is None:
                    self._arm_head_timer()
            else:
                self._cancel_head_timer()

        def connection_lost(self, exc: Exception | None) -> None:
            self._cancel_head_timer()
            super().connection_lost(exc)

        def _arm_head_timer(self) -> None:
            self._head_timer = self.loop.call_later(header_timeout, self._head_too_slow)

        def _cancel_head_timer(self) -> None:
            if self._head_timer is not None:
                self._head_timer.cancel()
                self._head_timer = None

        def _head_too_slow(self) -> None:
            self._head_timer = None
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                logger.debug("closing a connection that sent no complete request head within %gs", header_timeout)
                self.transport.close()

    return Protocol


@dataclass(frozen=True)
class Agent:
    id: str
    name: str
    registration_token: str


def _bind(host: str, port: int) -> socket.socket:
    family, kind, proto, _, addr = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(addr)
    except OSError:
        sock.close()
        raise
    sock.set_inheritable(True)
    return sock


class DevServer:
    """The local control plane on one port, backed by one database.

    ``db_path`` None keeps all state in memory. ``port`` 0 takes a free port.
    Start it with ``start()`` (background thread) or ``serve()`` (blocks the
    calling thread until interrupted), or use it as a context manager.
    """

    def __init__(
        self,
        *,
        db_path: str | None = None,
        host: str = "127.0.0.1",
        port: int = 0,
        api_key: str | None = None,
        clock: Clock | None = None,
        default_ttl: int = DEFAULT_TTL_SECONDS,
        signed_approval_encoding: str = "hex",
        dashboard_token: str | None = None,
        scripts: Iterable[DecisionScript] = (),
        faults: Iterable[Fault] = (),
        access_log: bool = False,
        log_config: dict[str, Any] | None = None,
        reviewer_key: str | None = None,
        allowed_hosts: Iterable[str] = (),
        max_body_bytes: int = DEFAULT_MAX_BODY_BYTES,
        max_connections: int = DEFAULT_MAX_CONNECTIONS,
        header_timeout: float = DEFAULT_HEADER_TIMEOUT,
        keep_alive_timeout: float = DEFAULT_KEEP_ALIVE_TIMEOUT,
        body_timeout: float = DEFAULT_BODY_TIMEOUT,
        tls_cert: str | None = None,
        tls_key: str | None = None,
    ) -> None:
        if (tls_cert is None) != (tls_key is None):
            raise ValueError("TLS needs both a certificate and its key")
        if max_body_bytes < 1 or max_connections < 1 or min(header_timeout, keep_alive_timeout, body_timeout) <= 0:
            raise ValueError("limits and timeouts must be positive")
        self.db_path = db_path
        self.host = host
        self.port = port
        self.clock = clock or Clock()
        self.dashboard_token = dashboard_token or secrets.token_urlsafe(24)
        self.allowed_hosts = tuple(allowed_hosts)
        self.max_body_bytes = max_body_bytes
        self.max_connections = max_connections
        self.header_timeout = header_timeout
        self.keep_alive_timeout = keep_alive_timeout
        self.body_timeout = body_timeout
        self.tls_cert = tls_cert
        self.tls_key = tls_key
        self.connections = ConnectionCount()
        self._api_key_option = api_key
        self._reviewer_key_option = reviewer_key
        self._default_ttl = default_ttl
        self._encoding = signed_approval_encoding
        self._initial_scripts = list(scripts)
        self._initial_faults = list(faults)
        self._access_log = access_log
        self._log_config = log_config
        self._store: Store | None = None
        self._server: uvicorn.Server | None = None
        self._thread: threading.Thread | None = None
        self._sock: socket.socket | None = None
        self.plane: ControlPlane | None = None
        self.boot: Bootstrap | None = None

    # -- facts for the operator ---------------------------------------------
    @property
    def base_url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{'https' if self.tls_cert else 'http'}://{host}:{self.port}"

    @property
    def dashboard_url(self) -> str:
        return self.base_url + "/approvals"

    @property
    def api_key(self) -> str:
        """The agent's key: everything an agent does, but no decisions."""
        return self._boot().api_key

    @property
    def reviewer_key(self) -> str:
        """The key that approves and denies through the API (``approvals:decide``)."""
        return self._boot().reviewer_key

    @property
    def approver_key(self) -> str:
        """The default approver's public key, lower-case hex."""
        return self._boot().approver_public_key

    @property
    def approver(self) -> Any:
        """The default approver's signing key (the signing core's ``SigningKey``)."""
        from .signing import load_key

        return load_key(self._boot().approver_secret)

    @property
    def agent(self) -> Agent:
        boot = self._boot()
        return Agent(boot.agent_id, boot.agent_name, boot.registration_token)

    @property
    def connect_token(self) -> str:
        boot = self._boot()
        return make_connect_token(
            endpoint=self.base_url,
            api_key=boot.api_key,
            agent_id=boot.agent_id,
            registration_token=boot.registration_token,
        )

    def info(self) -> dict[str, Any]:
        return {
            "base_url": self.base_url,
            "dashboard_url": self.dashboard_url,
            "dashboard_token": self.dashboard_token,
            "api_key": self.api_key,
            "reviewer_key": self.reviewer_key,
            "approver_key": self.approver_key,
            "agent_id": self.agent.id,
            "registration_token": self.agent.registration_token,
            "connect_token": self.connect_token,
            "database": self.db_path,
        }

    def banner(self) -> str:
        info = self.info()
        return "\n".join(
            [
                "Vorel local control plane",
                f"  URL:           {info['base_url']}",
                f"  Dashboard:     {info['dashboard_url']}",
                f"  API key:       {info['api_key']}  (the agent's: it cannot approve or deny)",
                f"  Approver key:  {info['approver_key']}  (dashboard approvals are signed with it)",
                f"  Agent:         {info['agent_id']} ({self.agent.name})",
                f"  Database:      {info['database'] or 'in memory (nothing is kept after exit)'}",
                f"  Quick Connect: {info['connect_token']}",
                "",
                f"  export VOREL_CONNECT_TOKEN={info['connect_token']}",
                f"  export VOREL_DASHBOARD_URL={info['base_url']}",
                "",
                "Reviewer key (approves and denies through the API; keep it away from agents):",
                f"  {info['reviewer_key']}",
                "",
            ]
        )

    def _boot(self) -> Bootstrap:
        if self.boot is None:
            raise RuntimeError("the server has not been started")
        return self.boot

    def _plane(self) -> ControlPlane:
        if self.plane is None:
            raise RuntimeError("the server has not been started")
        return self.plane

    # -- life cycle ----------------------------------------------------------
    def prepare(self) -> DevServer:
        """Open the database and bind the port, without serving yet.

        After this the URL, keys and tokens are known (for a banner).
        """
        if self._server is not None:
            return self
        if self._store is None:
            self._store = Store(self.db_path)
        self.plane = ControlPlane(
            self._store,
            clock=self.clock,
            default_ttl=self._default_ttl,
            signed_approval_encoding=self._encoding,
            version=_version(),
        )
        for script in self._initial_scripts:
            self.plane.add_script(script)
        for fault in self._initial_faults:
            self.plane.add_fault(fault)
        self.boot = self.plane.bootstrap(api_key=self._api_key_option, reviewer_key=self._reviewer_key_option)
        self._sock = _bind(self.host, self.port)
        self.port = self._sock.getsockname()[1]
        app = create_app(
            self.plane,
            dashboard_token=self.dashboard_token,
            host=self.host,
            port=self.port,
            allowed_hosts=self.allowed_hosts,
            max_body_bytes=self.max_body_bytes,
            body_timeout=self.body_timeout,
        )
        config = uvicorn.Config(
            app,
            http=_protocol(
                max_connections=self.max_connections, header_timeout=self.header_timeout, count=self.connections
            ),
            ssl_certfile=self.tls_cert,
            ssl_keyfile=self.tls_key,
            lifespan="off",
            access_log=self._access_log,
            log_config=self._log_config,
            server_header=False,
            proxy_headers=False,
            # Annotated as int there; the event loop's timer takes any seconds.
            timeout_keep_alive=self.keep_alive_timeout,  # type: ignore[arg-type]
            timeout_graceful_shutdown=2,
        )
        self._server = uvicorn.Server(config)
        return self

    def start(self, timeout: float = 10.0) -> DevServer:
        """Serve in a background thread; returns once the port accepts connections."""
        if self._thread is not None:
            raise RuntimeError("already running")
        server, sock = self._prepared()
        self._thread = threading.Thread(
            target=server.run, kwargs={"sockets": [sock]}, name=f"vorel-devserver:{self.port}", daemon=True
        )
        self._thread.start()
        deadline = time.monotonic() + timeout
        while not server.started:
            if not self._thread.is_alive():
                self._thread = None
                self._teardown()
                raise RuntimeError("the local control plane failed to start")
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the local control plane did not start in time")
            time.sleep(0.01)
        return self

    def serve(self) -> None:
        """Serve on the calling thread until interrupted (Ctrl-C), then close."""
        server, sock = self._prepared()
        try:
            server.run(sockets=[sock])
        finally:
            self._server = None
            self._teardown()
            logger.info(
                "served %d connections (%s), at most %d open at once",
                self.connections.accepted,
                "each after a TLS handshake" if self.tls_cert else "plain HTTP",
                self.connections.peak_open,
            )

    def stop(self, timeout: float = 10.0, *, wait: bool = True) -> None:
        """Stop serving and close the database.

        ``wait=False`` returns at once and lets a helper thread finish the
        shutdown (uvicorn takes a fifth of a second to wind down), for callers
        that are done with this server and its database.
        """
        thread = self._thread
        if not wait and thread is not None and thread.is_alive():
            sock, store, server = self._sock, self._store, self._server
            if server is not None:
                server.should_exit = True
            self._thread = self._server = self._sock = self._store = None

            def finish() -> None:
                thread.join(timeout)
                if sock is not None:
                    sock.close()
                if store is not None:
                    store.close()

            # Not a daemon: the interpreter waits for the shutdown at exit (bounded by `timeout`)
            # instead of leaving a half-stopped server and an open database behind.
            threading.Thread(target=finish, name=f"vorel-devserver-stop:{self.port}", daemon=False).start()
            return
        self._stop_http(timeout)
        self._teardown()

    def restart(self) -> DevServer:
        """Stop and start again on the same port and database, as a new process would.

        Scripted decisions and faults armed at run time are not kept; those
        given to the constructor are armed again.
        """
        self._stop_http()
        if self.db_path is not None and self._store is not None:
            self._store.close()
            self._store = None
        return self.start()

    def _prepared(self) -> tuple[uvicorn.Server, socket.socket]:
        """prepare(), then the server and the bound socket it made."""
        self.prepare()
        if self._server is None or self._sock is None:
            raise RuntimeError("the local control plane is not prepared")
        return self._server, self._sock

    def _stop_http(self, timeout: float = 10.0) -> None:
        if self._server is not None:
            self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(timeout)
            if self._thread.is_alive():
                logger.warning("the local control plane did not stop within %.1fs", timeout)
            self._thread = None
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        self._server = None

    def _teardown(self) -> None:
        self._thread = None
        self._server = None
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        if self._store is not None:
            self._store.close()
            self._store = None

    def __enter__(self) -> DevServer:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()
