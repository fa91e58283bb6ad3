"""Connection pools shared by every client of the process, and the wire I/O.

Each handler call makes a client of its own and closes it when it is done, so
a pool per client would hold one connection per pending approval: a thousand
waiting gates would be a thousand sockets and, over HTTPS, a thousand TLS
handshakes. Clients that bring no transport of their own therefore send
through one pool per *destination*: the scheme, host and port of the API
root, the proxy the environment names for it, the TLS trust settings the
environment gives, and the cap on connections.

- Blocking clients share a process-wide pool (urllib3 underneath), safe
  between threads.
- Coroutine clients share a pool per event loop (aiohttp underneath): a pool
  is never used from another loop, and it is closed while its loop shuts down
  (``asyncio.run`` and ``asyncio.Runner`` do that through
  ``loop.shutdown_asyncgens()``); a loop closed without that step leaves its
  connections to the garbage collector.
- A pool holds at most ``max_connections`` connections (default
  :data:`DEFAULT_MAX_CONNECTIONS`, or the ``VOREL_HTTP_MAX_CONNECTIONS``
  environment variable); callers beyond that wait for a free connection, and
  the wait counts against the call's timeout.
- After ``fork()`` the child starts with no pools: it never writes to a socket
  its parent is using.

Both sides hand back ``httpx.Response`` objects and raise ``httpx`` errors,
so everything above the I/O is the same whichever way a request went. The
pools are used only while httpx's own entry points are the ones it shipped
with (:func:`httpx_is_standard`): a test suite that mocks HTTP by patching
httpx or httpcore still sees every request, sent through httpx as before.
"""

from __future__ import annotations

import asyncio
import os
import threading
import urllib.request
from collections.abc import AsyncGenerator, Mapping
from dataclasses import dataclass
from time import monotonic as _monotonic  # pool waits are real time, whatever a caller patches
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

# Imported here, not when first needed (httpx itself would import it at the
# first transport), so that the originals recorded below are httpcore's own,
# taken before a test has had the chance to patch them.
import httpcore
import httpx

from .exceptions import ConfigurationError

# The two I/O libraries are imported by the first pool that needs one: they
# cost a fifth of a second together, which a process that never sends (or
# sends only one way) should not pay at `import vorel_cloud.approval`.
if TYPE_CHECKING:
    import aiohttp
    import urllib3

__all__ = [
    "DEFAULT_MAX_CONNECTIONS",
    "ENV_MAX_CONNECTIONS",
    "Destination",
    "async_send",
    "destination",
    "httpx_is_standard",
    "sync_send",
]

#: Connections a pool keeps to one destination at most.
DEFAULT_MAX_CONNECTIONS = 20
#: Environment variable that overrides :data:`DEFAULT_MAX_CONNECTIONS`.
ENV_MAX_CONNECTIONS = "VOREL_HTTP_MAX_CONNECTIONS"
# Seconds an idle connection is kept. Gates poll in waves (all created at
# once, all polling an interval later), so a pool sits idle between waves;
# kept this long, its connections (and their TLS sessions) see the next wave.
# A server that drops idle connections sooner (the local control plane after
# 5 s) closes them first, and a closed connection is never reused.
_KEEPALIVE_EXPIRY = 15.0


def _httpx_entry_points() -> tuple[Any, ...]:
    # What the usual ways of mocking httpx replace: the client classes, the
    # default transports' send methods, and httpcore's pools under them.
    return (
        httpx.Client,
        httpx.AsyncClient,
        httpx.HTTPTransport.handle_request,
        httpx.AsyncHTTPTransport.handle_async_request,
        httpcore.ConnectionPool.handle_request,
        httpcore.AsyncConnectionPool.handle_async_request,
    )


_STANDARD_HTTPX = _httpx_entry_points()


def httpx_is_standard() -> bool:
    """True while none of httpx's entry points has been replaced (by a mock, say)."""
    return _httpx_entry_points() == _STANDARD_HTTPX  # element by element, identity first


@dataclass(frozen=True)
class Destination:
    """What makes two clients able to share connections."""

    scheme: str
    host: str
    port: int
    proxy: str | None
    trust: tuple[str | None, str | None]  # SSL_CERT_FILE, SSL_CERT_DIR
    max_connections: int

    @property
    def pooled(self) -> bool:
        """Whether the shared pools can reach it: directly or through an HTTP(S) proxy."""
        return self.proxy is None or self.proxy.startswith(("http://", "https://"))


def _max_connections(value: int | None) -> int:
    if value is None:
        text = os.environ.get(ENV_MAX_CONNECTIONS, "").strip()
        if not text:
            return DEFAULT_MAX_CONNECTIONS
        try:
            value = int(text)
        except ValueError:
            value = 0
        source = f"{ENV_MAX_CONNECTIONS}={text!r}"
    else:
        source = f"max_connections={value!r}"
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ConfigurationError(
            f"invalid connection cap {source}: expected a whole number of at least 1",
            remediation=f"Set {ENV_MAX_CONNECTIONS} or max_connections= to a positive integer, or leave it unset.",
        )
    return value


def destination(root: str, max_connections: int | None = None) -> Destination:
    """The destination of an API root URL (already validated), as the environment sets it now."""
    parts = urlsplit(root)
    scheme = parts.scheme
    host = parts.hostname or ""
    port = parts.port or (443 if scheme == "https" else 80)
    proxy = None
    proxies = urllib.request.getproxies_environment()
    if proxies and not urllib.request.proxy_bypass_environment(host, proxies):  # type: ignore[attr-defined]
        proxy = proxies.get(scheme) or proxies.get("all")
    trust = (os.environ.get("SSL_CERT_FILE"), os.environ.get("SSL_CERT_DIR"))
    found = Destination(scheme, host, port, proxy, trust, _max_connections(max_connections))
    # One object per destination: a thousand waiting clients hold one, not a
    # thousand equal copies.
    return _destinations.setdefault(found, found)


_destinations: dict[Destination, Destination] = {}


_ssl_contexts: dict[tuple[str | None, str | None], Any] = {}


def _ssl_context(dest: Destination) -> Any:
    # The same trust as an httpx client made with its defaults: certifi's
    # roots, or SSL_CERT_FILE / SSL_CERT_DIR when they are set. Loading the
    # roots costs tens of milliseconds, so every pool of the same trust
    # shares one context (a loop per call, as the worker-thread path makes
    # them, would pay it each time).
    context = _ssl_contexts.get(dest.trust)
    if context is None:
        context = _ssl_contexts.setdefault(dest.trust, httpx.create_ssl_context(trust_env=True))
    return context


def _response(status: int, headers: Any, content: bytes, method: str, url: str) -> httpx.Response:
    # The body is still encoded as sent: httpx decodes it by its
    # Content-Encoding exactly as it does for its own transports. Only an
    # answer that may become an error message carries its request (building
    # one costs more than the rest of the conversion).
    request = httpx.Request(method, url) if not 200 <= status < 300 else None
    return httpx.Response(status, headers=headers, content=content, request=request)


# --------------------------------------------------------------------------
# Blocking: one pool per destination in the process
# --------------------------------------------------------------------------


class _SyncPool:
    def __init__(self, dest: Destination) -> None:
        import urllib3

        # The semaphore is the queue of waiting callers and the cap: the pool
        # below never has more connections out than it admits.
        self._slots = threading.BoundedSemaphore(dest.max_connections)
        self.in_flight = 0  # both counted under _sync_lock
        self.last_used = _monotonic()
        options: dict[str, Any] = {"maxsize": dest.max_connections, "block": False, "retries": False}
        if dest.scheme == "https":
            options["ssl_context"] = _ssl_context(dest)
        self._full_url = dest.proxy is not None
        self._timeout = urllib3.Timeout
        self._pool: Any
        if dest.proxy is not None:
            self._pool = urllib3.ProxyManager(dest.proxy, num_pools=1, **options)
        elif dest.scheme == "https":
            self._pool = urllib3.HTTPSConnectionPool(dest.host, dest.port, **options)
        else:
            self._pool = urllib3.HTTPConnectionPool(dest.host, dest.port, **options)

    def send(self, method: str, url: str, headers: Mapping[str, str], body: bytes | None, timeout: float) -> Any:
        deadline = _monotonic() + timeout
        if not self._slots.acquire(timeout=max(timeout, 0.0)):
            raise httpx.PoolTimeout("timed out waiting for a free connection")
        try:
            left = deadline - _monotonic()
            if left <= 0:
                raise httpx.PoolTimeout("timed out waiting for a free connection")
            target = url if self._full_url else url[url.index("/", url.index("//") + 2) :]
            return self._pool.urlopen(
                method,
                target,
                body=body,
                headers=headers,
                retries=False,
                redirect=False,
                assert_same_host=False,
                timeout=self._timeout(total=left),
                preload_content=True,
                decode_content=False,
            )
        finally:
            self._slots.release()

    def close(self) -> None:
        self._pool.close()


_sync_pools: dict[Destination, _SyncPool] = {}
_sync_lock = threading.Lock()
_last_sweep = _monotonic()


def _sweep(now: float) -> None:
    """Close the pools nobody has used for a while (under ``_sync_lock``).

    Connections to a destination that is no longer called (another API root,
    a test server that is gone) would otherwise stay open for the life of
    the process.
    """
    global _last_sweep
    _last_sweep = now
    for dest, pool in list(_sync_pools.items()):
        if pool.in_flight == 0 and now - pool.last_used > _KEEPALIVE_EXPIRY:
            del _sync_pools[dest]
            pool.close()


def sync_send(
    dest: Destination, method: str, url: str, headers: Mapping[str, str], body: bytes | None, timeout: float
) -> httpx.Response:
    """One request through the shared pool of ``dest``; ``httpx`` errors for every failure."""
    with _sync_lock:
        now = _monotonic()
        if now - _last_sweep > _KEEPALIVE_EXPIRY:
            _sweep(now)
        pool = _sync_pools.get(dest)
        if pool is None:
            pool = _sync_pools[dest] = _SyncPool(dest)
        pool.in_flight += 1
    try:
        answer = pool.send(method, url, headers, body, timeout)
    except Exception as exc:
        from urllib3.exceptions import HTTPError

        if not isinstance(exc, HTTPError):
            raise
        raise _sync_error(exc) from exc
    finally:
        with _sync_lock:
            pool.in_flight -= 1
            pool.last_used = _monotonic()
    return _response(answer.status, list(answer.headers.items()), answer.data, method, url)


def _sync_error(exc: urllib3.exceptions.HTTPError) -> httpx.HTTPError:
    from urllib3 import exceptions as u3

    text = str(exc) or type(exc).__name__
    if isinstance(exc, u3.ProxyError):
        return httpx.ProxyError(text)
    # NewConnectionError derives from ConnectTimeoutError (for old callers):
    # a refused connection is no timeout.
    if isinstance(exc, (u3.NewConnectionError, u3.SSLError)):
        return httpx.ConnectError(text)
    if isinstance(exc, u3.ConnectTimeoutError):
        return httpx.ConnectTimeout(text)
    if isinstance(exc, u3.TimeoutError):
        return httpx.ReadTimeout(text)
    if isinstance(exc, u3.ProtocolError):
        return httpx.RemoteProtocolError(text)
    if isinstance(exc, u3.LocationValueError):
        return httpx.UnsupportedProtocol(text)
    return httpx.TransportError(text)


# --------------------------------------------------------------------------
# Coroutines: one pool per destination and event loop
# --------------------------------------------------------------------------


class _LoopPools:
    def __init__(self) -> None:
        self.sessions: dict[Destination, aiohttp.ClientSession] = {}
        self.closer: AsyncGenerator[None, None] | None = None


_loop_pools: dict[asyncio.AbstractEventLoop, _LoopPools] = {}
_loop_lock = threading.Lock()  # loops of other threads register too (the worker-thread path)


async def _close_at_shutdown(loop: asyncio.AbstractEventLoop, pools: _LoopPools) -> AsyncGenerator[None, None]:
    # The loop tracks this generator from its first step on and closes it in
    # shutdown_asyncgens(), while it still runs: the sessions close there,
    # with their sockets, before the loop does.
    try:
        yield
    finally:
        with _loop_lock:
            if _loop_pools.get(loop) is pools:
                del _loop_pools[loop]
        sessions, pools.sessions = list(pools.sessions.values()), {}
        for session in sessions:
            if loop.is_closed():
                session.detach()
            else:
                await session.close()


def _forget_closed_loops() -> None:
    """Drop the pools of loops closed without shutting their generators down."""
    with _loop_lock:
        closed = [loop for loop in _loop_pools if loop.is_closed()]
        gone = [_loop_pools.pop(loop) for loop in closed]
    for pools in gone:
        if pools.closer is not None:
            step = pools.closer.aclose()
            try:  # the closed-loop branch of the clean-up never suspends
                step.send(None)
            except (StopIteration, RuntimeError):
                pass


async def _session(dest: Destination) -> aiohttp.ClientSession:
    loop = asyncio.get_running_loop()
    pools = _loop_pools.get(loop)
    if pools is not None:
        session = pools.sessions.get(dest)
        if session is not None and not session.closed:
            return session
    else:
        _forget_closed_loops()
        pools = _LoopPools()
        with _loop_lock:
            pools = _loop_pools.setdefault(loop, pools)
        if pools.closer is None:
            pools.closer = _close_at_shutdown(loop, pools)
            await pools.closer.asend(None)
    import aiohttp

    connector = aiohttp.TCPConnector(
        limit=dest.max_connections,
        limit_per_host=dest.max_connections,
        keepalive_timeout=_KEEPALIVE_EXPIRY,
        ssl=_ssl_context(dest) if dest.scheme == "https" else True,
    )
    session = aiohttp.ClientSession(
        connector=connector,
        # Clients of different credentials share the session: no cookie
        # may pass from one to another.
        cookie_jar=aiohttp.DummyCookieJar(),
        auto_decompress=False,
        trust_env=False,  # the destination carries the proxy the environment named
        raise_for_status=False,
    )
    pools.sessions[dest] = session
    return session


_TIMEOUTS: dict[float, aiohttp.ClientTimeout] = {}


def _timeout(seconds: float) -> aiohttp.ClientTimeout:
    found = _TIMEOUTS.get(seconds)
    if found is None:
        import aiohttp

        # total: pool wait, connect, send and the whole answer
        found = aiohttp.ClientTimeout(total=seconds)
        if len(_TIMEOUTS) < 64:
            _TIMEOUTS[seconds] = found
    return found


async def async_send(
    dest: Destination, method: str, url: str, headers: Mapping[str, str], body: bytes | None, timeout: float
) -> httpx.Response:
    """Coroutine twin of :func:`sync_send`, through the pool of the running loop."""
    session = await _session(dest)
    try:
        async with session.request(
            method,
            url,
            data=body,
            headers=headers,
            timeout=_timeout(timeout),
            proxy=dest.proxy,
            allow_redirects=False,
        ) as answer:
            content = await answer.read()
            status, raw_headers = answer.status, answer.raw_headers
    except Exception as exc:
        from aiohttp import ClientError

        if not isinstance(exc, (ClientError, OSError)):  # TimeoutError is an OSError
            raise
        raise _async_error(exc) from exc
    return _response(status, raw_headers, content, method, url)


def _async_error(exc: BaseException) -> httpx.HTTPError:
    import aiohttp

    text = str(exc) or type(exc).__name__
    if isinstance(exc, aiohttp.ConnectionTimeoutError):
        return httpx.ConnectTimeout(text)
    if isinstance(exc, TimeoutError):  # aiohttp's read timeouts, and the total one
        return httpx.ReadTimeout(text)
    if isinstance(exc, (aiohttp.ClientProxyConnectionError, aiohttp.ClientHttpProxyError)):
        return httpx.ProxyError(text)
    if isinstance(exc, aiohttp.ClientConnectorError):
        return httpx.ConnectError(text)
    if isinstance(exc, (aiohttp.ServerDisconnectedError, aiohttp.ClientResponseError, aiohttp.ClientPayloadError)):
        return httpx.RemoteProtocolError(text)
    if isinstance(exc, aiohttp.InvalidURL):
        return httpx.UnsupportedProtocol(text)
    if isinstance(exc, (aiohttp.ClientOSError, OSError)):
        return httpx.ReadError(text)
    return httpx.TransportError(text)


# --------------------------------------------------------------------------
# fork(): the child's pools are its own
# --------------------------------------------------------------------------


_left_by_fork: list[Any] = []


def _after_fork_in_child() -> None:
    global _sync_lock, _loop_lock
    # The parent's connections stay the parent's: the child never sends on
    # them, nor closes them (a TLS close would end the session under the
    # parent, and a session's clean-up would need the parent's loop).
    _left_by_fork.extend((*_sync_pools.values(), *_loop_pools.values()))
    _sync_pools.clear()
    _loop_pools.clear()
    _sync_lock = threading.Lock()
    _loop_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
