"""HTTP client for the Vorel Cloud control plane.

Two twins with the same operations: :class:`VorelCloudClient` (blocking) and
:class:`AsyncVorelCloudClient` (coroutines). Both speak the JSON API described
in ``docs/http-api.md``::

    with VorelCloudClient(api_key) as client:
        created = client.create_request(warrant_id=..., tool=..., ...)
        status = client.get_request(created["id"])

Behaviour shared by both twins (only the I/O differs between them):

- ``base_url`` is the API base without the ``/v1`` prefix; the client adds it.
  A trailing "/" (or a trailing "/v1") is ignored; an empty ``base_url`` means
  :data:`DEFAULT_API_BASE_URL`. A URL that is not http(s), or that does not
  parse (``https://[::1``, a NUL or a blank in it), raises
  :class:`~vorel_cloud.exceptions.ConfigurationError` at the first call;
  constructing a client never contacts anything.
- Connections: clients without a transport of their own share one bounded
  pool per API root (per event loop for the coroutine twin), so a client per
  call, as the handlers make them, costs no socket of its own; see
  :mod:`vorel_cloud._pool`. A client given an ``httpx`` transport uses it
  alone.
- Every call carries ``Authorization: Bearer <api key>``. A key that cannot be
  sent in that header (blanks, line breaks, control or non-ASCII characters)
  is refused when the client is constructed, with a ``ConfigurationError``
  (also a ``ValueError``) that says what is wrong but not the key. The key
  never appears in a log record, an exception message (nor in the messages of
  the exceptions chained behind it) or a ``repr``, escaped forms included.
- JSON bodies are strict: NaN and Infinity raise ``ValueError`` before
  anything is sent.
- ``timeout`` bounds each HTTP call: the wait for a free connection of the
  shared pool, connecting, sending and reading the answer together.
- Operations return the decoded JSON body of the answer. Error answers raise
  the matching exception of :mod:`vorel_cloud.exceptions` with the server's
  message, its ``remediation`` hint and the decoded body attached; a failure
  without any answer raises ``TransportError``.
- Retries: GET requests, and requests carrying an ``Idempotency-Key`` header
  (``create_request`` with an ``idempotency_key``), are retried up to
  ``max_retries`` times after a transport error, a 429 or a 5xx answer. The
  wait is the answer's ``Retry-After`` when it carries one (an answer asking
  for more than :data:`MAX_RETRY_AFTER` seconds is not retried but raised),
  else exponential back-off with jitter. Other requests are sent exactly once.
  Waits go through ``time.sleep`` / ``asyncio.sleep``.
"""

from __future__ import annotations

import asyncio
import base64
import email.utils
import json as jsonlib
import logging
import random
import threading
import time
import unicodedata
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final, cast
from urllib.parse import quote, urlsplit

import httpx

from . import __version__, _pool
from ._pool import DEFAULT_MAX_CONNECTIONS, ENV_MAX_CONNECTIONS
from .exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    AuthenticationError,
    ConfigurationError,
    ConflictError,
    NotFoundError,
    PermissionDeniedError,
    RateLimitError,
    ServerError,
    TransportError,
    ValidationError,
    VorelCloudError,
)
from .models import redact_secrets

__all__ = [
    "DEFAULT_API_BASE_URL",
    "DEFAULT_MAX_CONNECTIONS",
    "DEFAULT_MAX_RETRIES",
    "DEFAULT_TIMEOUT",
    "ENV_MAX_CONNECTIONS",
    "MAX_RETRY_AFTER",
    "AsyncVorelCloudClient",
    "VorelCloudClient",
]

#: API base URL of the hosted Vorel Cloud control plane.
DEFAULT_API_BASE_URL: Final = "https://api.vorel.cloud"
#: Seconds allowed for each HTTP call.
DEFAULT_TIMEOUT: Final = 30.0
#: Retries after the first attempt, for requests that may be retried.
DEFAULT_MAX_RETRIES: Final = 2
#: Longest ``Retry-After`` (seconds) the client waits for; a longer one is raised.
MAX_RETRY_AFTER: Final = 60.0

_API_PREFIX: Final = "/v1/"
_BACKOFF_BASE: Final = 0.5
_BACKOFF_CAP: Final = 8.0
_RAW_BODY_LIMIT: Final = 2000
_SECRET_MASK: Final = "***"
_USER_AGENT: Final = f"vorel-cloud-python/{__version__}"

logger = logging.getLogger("vorel_cloud.client")


# --------------------------------------------------------------------------
# Request building
# --------------------------------------------------------------------------


def _json_default(value: Any) -> str:
    """JSON rendering of bytes-like values, wherever they sit: lower-case hex."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def _segment(value: Any, name: str) -> str:
    """One URL path segment from an id, percent-encoded."""
    text = str(value) if value is not None else ""
    if not text:
        raise VorelCloudError(f"{name} is required")
    return quote(text, safe="")


_KEY_REMEDIATION: Final = (
    "Copy the API key again without surrounding blanks or line breaks "
    "(VOREL_API_KEY, the Quick Connect token, or api_key=)."
)


def _char_fault(char: str) -> str | None:
    if char in "\r\n":
        return "a line break"
    if char.isspace():
        return "a space or tab" if char in " \t" else "whitespace"
    if unicodedata.category(char) in ("Cc", "Cf", "Cs", "Co", "Cn"):
        return "a control character"
    if not char.isascii():
        return "a non-ASCII character"
    return None


def _key_fault(api_key: str) -> str | None:
    """What makes a key unusable in an ``Authorization`` header, or None.

    The description names the kind of character and where it sits, never the
    key itself: the key is a secret even when it is malformed.
    """
    for index, char in enumerate(api_key):
        kind = _char_fault(char)
        if kind is None:
            continue
        if index == 0:
            where = "at its start"
        elif all(_char_fault(rest) for rest in api_key[index:]):
            where = "at its end"
        else:
            where = "inside it"
        return f"{kind} {where}"
    return None


def _checked_api_key(api_key: str | None) -> str:
    if not api_key:
        return ""
    fault = _key_fault(api_key) if isinstance(api_key, str) else None
    if fault is not None:
        raise ConfigurationError(
            f"invalid API key: it contains {fault}; a key is printable ASCII without blanks",
            remediation=_KEY_REMEDIATION,
        )
    return api_key


def _check_idempotency_key(key: str) -> None:
    """Refuse a key that the ``Idempotency-Key`` header cannot carry, before anything is sent."""
    fault = _key_fault(key)
    if fault is not None:
        raise ConfigurationError(
            f"invalid idempotency key: it contains {fault}; a key is printable ASCII without blanks",
            remediation="Pass an idempotency key of printable ASCII characters without blanks.",
        )


@dataclass(frozen=True)
class _Request:
    """One prepared API call: everything but the I/O."""

    method: str
    url: str
    path: str  # "/v1/...", for log lines and messages
    headers: dict[str, str]
    content: bytes | None
    params: dict[str, Any] | None
    timeout: float
    retryable: bool

    @property
    def target(self) -> str:
        """The URL with its query, for the shared pools (httpx adds ``params`` itself)."""
        return f"{self.url}?{httpx.QueryParams(self.params)}" if self.params else self.url


@dataclass(frozen=True)
class _Call:
    """An operation before it is bound to a client: method, path and payload."""

    method: str
    path: str
    json: Any = None
    params: Mapping[str, Any] | None = None
    headers: Mapping[str, str] | None = None


def _create_request_call(
    *,
    warrant_id: str,
    tool: str,
    request_hash: bytes | str,
    holder_key: bytes | str,
    args_canonical_cbor_b64: str,
    approval_context_attestation: Mapping[str, Any],
    metadata: Mapping[str, Any] | None = None,
    policy_id: str | None = None,
    threshold: int | None = None,
    approver_keys: Sequence[bytes | str] | None = None,
    ttl_seconds: int | None = None,
    idempotency_key: str | None = None,
) -> _Call:
    body: dict[str, Any] = {
        "warrant_id": warrant_id,
        "tool": tool,
        "request_hash": request_hash,
        "holder_key": holder_key,
        "args_canonical_cbor_b64": args_canonical_cbor_b64,
        "approval_context_attestation": approval_context_attestation,
    }
    optional = {
        "metadata": metadata,
        "policy_id": policy_id,
        "threshold": threshold,
        "approver_keys": None if approver_keys is None else list(approver_keys),
        "ttl_seconds": ttl_seconds,
    }
    body.update((key, value) for key, value in optional.items() if value is not None)
    headers: dict[str, str] = {}
    if idempotency_key:
        _check_idempotency_key(str(idempotency_key))
        body["idempotency_key"] = idempotency_key
        headers["Idempotency-Key"] = str(idempotency_key)
    return _Call("POST", "approvals/requests", json=body, headers=headers)


def _approve_call(request_id: str, *, approver_key: bytes | str | None, signed_approval: bytes | str | None) -> _Call:
    if (approver_key is None) == (signed_approval is None):
        raise VorelCloudError("approve() needs exactly one of approver_key= or signed_approval=")
    body: dict[str, Any]
    if approver_key is not None:
        body = {"approver_key": approver_key}  # bytes become hex in the JSON
    elif isinstance(signed_approval, (bytes, bytearray, memoryview)):
        body = {"signed_approval": base64.b64encode(bytes(signed_approval)).decode("ascii")}
    else:
        body = {"signed_approval": signed_approval}
    return _Call("POST", f"approvals/requests/{_segment(request_id, 'request_id')}/approve", json=body)


def _deny_call(request_id: str, reason: str | None) -> _Call:
    body = {"reason": reason} if reason is not None else {}
    return _Call("POST", f"approvals/requests/{_segment(request_id, 'request_id')}/deny", json=body)


def _get_request_call(request_id: str) -> _Call:
    return _Call("GET", f"approvals/requests/{_segment(request_id, 'request_id')}")


def _list_requests_call(status: str | None, limit: int) -> _Call:
    params: dict[str, Any] = {"limit": limit}
    if status:
        params["status"] = status
    return _Call("GET", "approvals/requests", params=params)


_HEALTH = _Call("GET", "health")
_TENANT = _Call("GET", "tenant")


def _list_policies_call(limit: int) -> _Call:
    return _Call("GET", "approvals/policies", params={"limit": limit})


# --------------------------------------------------------------------------
# Response handling
# --------------------------------------------------------------------------

_REMEDIATION_BY_CODE: Final[Mapping[str, str]] = {
    "api_key_revoked": "This API key was revoked; create a new key in Vorel Cloud.",
    "invalid_registration_token": (
        "The agent registration token is invalid or used; generate a fresh Quick Connect token in Vorel Cloud."
    ),
    "idempotency_conflict": (
        "The idempotency key was already used with a different request body; use a new key for a new request."
    ),
    "already_decided": "The approval request was already decided; fetch it to read the outcome.",
    "already_claimed": "The agent was already claimed with another public key.",
}

_REMEDIATION_BY_STATUS: Final[Mapping[int, str]] = {
    401: "Check the API key (VOREL_API_KEY) or generate a new one in Vorel Cloud.",
    403: "The credential lacks the permission for this operation; grant it in Vorel Cloud or use another credential.",
    404: "Check the id and the API base URL (VOREL_CONTROL_PLANE_URL).",
    429: "Too many requests; wait before retrying.",
}

_SERVER_REMEDIATION: Final = "Vorel Cloud had a problem handling the request; retry later."
_TRANSPORT_REMEDIATION: Final = "Check VOREL_CONTROL_PLANE_URL, network egress, TLS interception, and DNS."


def _exception_class(status: int, code: str | None) -> type[VorelCloudError]:
    if code == "approval_denied":
        return ApprovalDeniedError
    if code == "approval_expired" or status == 410:
        return ApprovalExpiredError
    if status in (400, 422):
        return ValidationError
    if status == 401:
        return AuthenticationError
    if status == 403:
        return PermissionDeniedError
    if status == 404:
        return NotFoundError
    if status == 409:
        return ConflictError
    if status == 429:
        return RateLimitError
    if status >= 500:
        return ServerError
    return VorelCloudError


def _parse_retry_after(value: str | None) -> float | None:
    """Seconds from a ``Retry-After`` header (delta-seconds or HTTP date)."""
    if not value:
        return None
    value = value.strip()
    try:
        seconds = float(value)
    except ValueError:
        try:
            when = email.utils.parsedate_to_datetime(value)
        except (TypeError, ValueError):
            return None
        seconds = when.timestamp() - time.time()
    if seconds != seconds or seconds in (float("inf"), float("-inf")):
        return None
    return max(0.0, seconds)


def _error_fields(body: Mapping[str, Any]) -> tuple[str | None, str | None, str | None]:
    """(code, message, remediation) from an error body of any common shape."""
    error = body.get("error")
    source = error if isinstance(error, Mapping) else body
    message = error if isinstance(error, str) else source.get("message") or source.get("detail")
    return (
        _text_or_none(source.get("code")),
        _text_or_none(message),
        _text_or_none(source.get("remediation")),
    )


def _text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) and value else None


class _ClientBase:
    """State, request building and response handling shared by both twins."""

    def __init__(
        self,
        api_key: str,
        base_url: str = DEFAULT_API_BASE_URL,
        timeout: float = DEFAULT_TIMEOUT,
        *,
        max_retries: int = DEFAULT_MAX_RETRIES,
        max_connections: int | None = None,
    ) -> None:
        if max_retries < 0:
            raise ValueError("max_retries must be >= 0")
        if max_connections is not None:
            _pool._max_connections(max_connections)  # refused here, before any call
        self._api_key = _checked_api_key(api_key)
        self.base_url = (base_url or "").strip() or DEFAULT_API_BASE_URL
        self.timeout = float(timeout)
        self.max_retries = int(max_retries)
        self.max_connections = max_connections
        self._closed = False
        self._transport: Any = None  # the twins' own: an httpx transport, or None
        self._root: tuple[str, str] | None = None  # (base_url, API root) of the last call
        self._dest: tuple[str, _pool.Destination] | None = None

    def __repr__(self) -> str:
        return f"{type(self).__name__}(base_url={self.base_url!r}, api_key={_SECRET_MASK!r})"

    # -- secrets ---------------------------------------------------------------

    def _scrub(self, value: Any) -> Any:
        """Mask the API key inside foreign text (server messages, transport errors)."""
        return redact_secrets(value, self._api_key)

    # -- requests ----------------------------------------------------------------

    def _api_root(self) -> str:
        # base_url is a public attribute: the root is worked out again
        # whenever it changes, and only then.
        cached = self._root
        if cached is not None and cached[0] == self.base_url:
            return cached[1]
        root = self._parse_api_root()
        self._root = (self.base_url, root)
        return root

    def _pooled(self, request: _Request) -> tuple[Any, ...] | None:
        """The shared pool's arguments for ``request``, or None when it goes
        through httpx (a transport of the client's own, or a patched httpx)."""
        if self._transport is not None or not _pool.httpx_is_standard():
            return None
        dest = self._destination(request)
        if not dest.pooled:  # a SOCKS proxy, which httpx reaches and the pools do not
            return None
        return dest, request.method, request.target, request.headers, request.content, request.timeout

    def _destination(self, request: _Request) -> _pool.Destination:
        """The shared pool this client sends through, fixed at its first call
        to an API root (the environment's proxy and TLS settings included)."""
        root = request.url[: -len(request.path)]
        cached = self._dest
        if cached is None or cached[0] != root:
            cached = self._dest = (root, _pool.destination(root, self.max_connections))
        return cached[1]

    def _parse_api_root(self) -> str:
        base = self.base_url.rstrip("/")
        try:
            parts = urlsplit(base)
            parts.port  # noqa: B018 - parsing the port is what validates it
            # The HTTP library's own parser also refuses what urlsplit lets
            # through (NUL and other non-printable characters, bad hosts).
            httpx.URL(base)
        except (ValueError, httpx.InvalidURL) as exc:
            self._scrub_chain(exc)
            raise self._bad_base_url(str(exc) or type(exc).__name__) from exc
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise self._bad_base_url("expected an http:// or https:// URL")
        if any(char.isspace() or not char.isprintable() for char in base):
            raise self._bad_base_url("it contains blanks or control characters")
        if base.endswith("/v1"):
            base = base[: -len("/v1")]
        return base

    def _bad_base_url(self, reason: str) -> ConfigurationError:
        return ConfigurationError(
            self._scrub(f"invalid Vorel Cloud API base URL {self.base_url!r}: {reason}"),
            remediation="Set VOREL_CONTROL_PLANE_URL or base_url= to the API base URL, "
            f"for example {DEFAULT_API_BASE_URL}.",
        )

    def _build_request(
        self,
        method: str,
        path: str,
        *,
        json: Any = None,
        params: Mapping[str, Any] | None = None,
        headers: Mapping[str, str] | None = None,
        timeout: float | None = None,
    ) -> _Request:
        if self._closed:
            raise VorelCloudError(f"{type(self).__name__} is closed")
        method = method.upper()
        api_path = _API_PREFIX + path.lstrip("/")
        all_headers = {
            "Accept": "application/json",
            "User-Agent": _USER_AGENT,
            "Authorization": f"Bearer {self._api_key}",
        }
        content = None
        if json is not None:
            try:
                text = jsonlib.dumps(json, default=_json_default, separators=(",", ":"), allow_nan=False)
            except ValueError as exc:
                if "float" not in str(exc):  # e.g. a circular reference: not ours to word
                    raise
                # NaN and Infinity are not JSON; a server that accepted them
                # would hand back a body no JSON reader can read.
                raise ValueError(
                    f"cannot send {method} {api_path}: the JSON body holds a non-finite number (NaN or Infinity)"
                ) from exc
            content = text.encode()
            all_headers["Content-Type"] = "application/json"
        if headers:
            all_headers.update(headers)
        retryable = method in ("GET", "HEAD") or any(
            k.lower() == "idempotency-key" and v for k, v in all_headers.items()
        )
        return _Request(
            method=method,
            url=self._api_root() + api_path,
            path=api_path,
            headers=all_headers,
            content=content,
            params=dict(params) if params else None,
            timeout=self.timeout if timeout is None else float(timeout),
            retryable=retryable,
        )

    def _retry_delay(self, request: _Request, attempt: int, response: httpx.Response | None) -> float | None:
        """Seconds to wait before the next attempt, or None to stop here.

        ``attempt`` counts the attempts made so far minus one; ``response`` is
        None after a transport error.
        """
        if not request.retryable or attempt >= self.max_retries:
            return None
        if response is not None:
            status = response.status_code
            if status != 429 and status < 500:
                return None
            retry_after = _parse_retry_after(response.headers.get("Retry-After"))
            if retry_after is not None:
                return retry_after if retry_after <= MAX_RETRY_AFTER else None
        backoff = min(_BACKOFF_CAP, _BACKOFF_BASE * 2.0**attempt)
        return backoff / 2 + random.uniform(0, backoff / 2)

    @staticmethod
    def _log_response(request: _Request, response: httpx.Response) -> None:
        logger.debug("%s %s -> HTTP %d", request.method, request.path, response.status_code)

    def _log_retry(self, request: _Request, reason: str, attempt: int, delay: float) -> None:
        logger.info(
            "retrying %s %s after %s in %.2fs (retry %d of %d)",
            request.method,
            request.path,
            reason,
            delay,
            attempt + 1,
            self.max_retries,
        )

    def _transport_error(self, request: _Request, exc: httpx.RequestError) -> TransportError:
        if isinstance(exc, httpx.TimeoutException):
            message = f"Vorel Cloud did not answer {request.method} {request.path} within {request.timeout}s"
        else:
            detail = str(exc) or type(exc).__name__
            message = f"could not reach Vorel Cloud for {request.method} {request.path}: {detail}"
        self._scrub_chain(exc)
        return TransportError(self._scrub(message), remediation=_TRANSPORT_REMEDIATION)

    def _scrub_chain(self, exc: BaseException) -> None:
        """Mask the key in the texts of a foreign exception and of the ones
        behind it: they become the ``__cause__`` of the error we raise, and a
        traceback prints every one of them."""
        seen: set[int] = set()
        todo: list[BaseException | None] = [exc]
        while todo:
            current = todo.pop()
            if current is None or id(current) in seen:
                continue
            seen.add(id(current))
            try:
                current.args = tuple(self._scrub(arg) for arg in current.args)
            except (AttributeError, TypeError):  # a type whose args cannot be replaced
                pass
            todo += (current.__cause__, current.__context__)

    # -- responses ----------------------------------------------------------

    def _handle_response(self, response: httpx.Response) -> Any:
        """Decoded JSON body of a successful answer; raise the mapped error otherwise.

        An empty successful answer (for instance 204) decodes to ``{}``.
        """
        status = response.status_code
        text = response.text
        try:
            decoded: Any = jsonlib.loads(text) if text.strip() else {}
            valid_json = True
        except ValueError:
            decoded, valid_json = None, False

        if 200 <= status < 300:
            if not valid_json:
                raise VorelCloudError(
                    f"Vorel Cloud answered HTTP {status} with a body that is not JSON",
                    status_code=status,
                    body={"raw": self._scrub(text[:_RAW_BODY_LIMIT])},
                )
            return decoded

        body: dict[str, Any]
        if isinstance(decoded, Mapping):
            body = self._scrub(decoded)
        elif text.strip():
            body = {"raw": self._scrub(decoded if valid_json else text[:_RAW_BODY_LIMIT])}
        else:
            body = {}
        code, message, remediation = _error_fields(body)
        if message is None:
            where = ""
            if _has_request(response):
                where = f" for {response.request.method} {response.request.url.path}"
            reason = f" {response.reason_phrase}" if response.reason_phrase else ""
            message = f"Vorel Cloud answered HTTP {status}{reason}{where}"
        if remediation is None:
            remediation = _REMEDIATION_BY_CODE.get(code or "") or _REMEDIATION_BY_STATUS.get(status)
            if remediation is None and status >= 500:
                remediation = _SERVER_REMEDIATION
        cls = _exception_class(status, code)
        kwargs: dict[str, Any] = {
            "status_code": status,
            "remediation": remediation,
            "body": body,
            "code": code,
        }
        if cls is RateLimitError:
            kwargs["retry_after"] = _parse_retry_after(response.headers.get("Retry-After"))
        raise cls(message, **kwargs)


def _httpx_options(request: _Request) -> dict[str, Any]:
    return {
        "content": request.content,
        "params": request.params,
        "headers": request.headers,
        "timeout": request.timeout,
    }


def _has_request(response: httpx.Response) -> bool:
    try:
        _ = response.request  # raises when the response was built without one
    except RuntimeError:
        return False
    return True


# --------------------------------------------------------------------------
# The twins
# --------------------------------------------------------------------------


class VorelCloudClient(_ClientBase):
    """Blocking client for the Vorel Cloud control plane.

    Args:
        api_key: API key or OAuth bearer credential.
        base_url: API base URL without ``/v1`` (default :data:`DEFAULT_API_BASE_URL`).
        timeout: seconds allowed for each HTTP call, waiting for a free
            connection included.
        max_retries: retries after the first attempt, for GETs and idempotent creates.
        max_connections: cap of the shared pool this client sends through
            (default: ``VOREL_HTTP_MAX_CONNECTIONS``, else
            :data:`DEFAULT_MAX_CONNECTIONS`); clients with another cap get a
            pool of their own.
        transport: an ``httpx`` transport to use instead of the network
            (tests); such a client has its own ``httpx.Client`` and shares
            nothing. So does a client while httpx itself is patched (a
            mocking library's work): every request then goes through httpx.

    Every client without a transport of its own sends through the process's
    shared, thread-safe pool for its API root (see :mod:`vorel_cloud._pool`),
    so many short-lived clients cost no more connections than one. Safe to
    share between threads. Close it with :meth:`close` or use it as a context
    manager; closing ends this client, not the shared connections.
    """

    def __init__(
        self,
        api_key: str,
        base_url: str = DEFAULT_API_BASE_URL,
        timeout: float = DEFAULT_TIMEOUT,
        *,
        max_retries: int = DEFAULT_MAX_RETRIES,
        max_connections: int | None = None,
        transport: httpx.BaseTransport | None = None,
    ) -> None:
        super().__init__(api_key, base_url, timeout, max_retries=max_retries, max_connections=max_connections)
        self._transport = transport
        self._http: httpx.Client | None = None
        self._lock = threading.Lock()

    def _exchange(self, request: _Request) -> httpx.Response:
        pooled = self._pooled(request)
        if pooled is not None:
            return _pool.sync_send(*pooled)
        return self._client().request(request.method, request.url, **_httpx_options(request))

    def _client(self) -> httpx.Client:
        with self._lock:
            if self._closed:
                raise VorelCloudError(f"{type(self).__name__} is closed")
            if self._http is None:
                self._http = httpx.Client(transport=self._transport, follow_redirects=False)
            return self._http

    def _send(
        self,
        method: str,
        path: str,
        *,
        json: Any = None,
        params: Mapping[str, Any] | None = None,
        headers: Mapping[str, str] | None = None,
        timeout: float | None = None,
    ) -> httpx.Response:
        """Send one API call (with retries where allowed) and return the raw response.

        ``path`` is relative to the API base (``"agents/claim"``); the client
        adds ``/v1/``. Raises ``TransportError`` when no response arrives.
        """
        request = self._build_request(method, path, json=json, params=params, headers=headers, timeout=timeout)
        attempt = 0
        while True:
            try:
                response = self._exchange(request)
            except httpx.TransportError as exc:
                delay = self._retry_delay(request, attempt, None)
                if delay is None:
                    raise self._transport_error(request, exc) from exc
                reason = type(exc).__name__
            except httpx.RequestError as exc:
                raise self._transport_error(request, exc) from exc
            else:
                self._log_response(request, response)
                delay = self._retry_delay(request, attempt, response)
                if delay is None:
                    return response
                reason = f"HTTP {response.status_code}"
                response.close()
            self._log_retry(request, reason, attempt, delay)
            time.sleep(delay)
            attempt += 1

    def _call(self, call: _Call) -> dict[str, Any]:
        response = self._send(call.method, call.path, json=call.json, params=call.params, headers=call.headers)
        return cast(dict[str, Any], self._handle_response(response))

    # -- operations -------------------------------------------------------------

    def create_request(
        self,
        *,
        warrant_id: str,
        tool: str,
        request_hash: bytes | str,
        holder_key: bytes | str,
        args_canonical_cbor_b64: str,
        approval_context_attestation: Mapping[str, Any],
        metadata: Mapping[str, Any] | None = None,
        policy_id: str | None = None,
        threshold: int | None = None,
        approver_keys: Sequence[bytes | str] | None = None,
        ttl_seconds: int | None = None,
        idempotency_key: str | None = None,
    ) -> dict[str, Any]:
        """Create an approval request (``POST /v1/approvals/requests``).

        Bytes values are sent as lower-case hex; optional fields that are None
        are left out. A non-empty ``idempotency_key`` is sent in the body and
        as the ``Idempotency-Key`` header, and makes the call retryable.
        Returns the request object (its id under "id").
        """
        return self._call(
            _create_request_call(
                warrant_id=warrant_id,
                tool=tool,
                request_hash=request_hash,
                holder_key=holder_key,
                args_canonical_cbor_b64=args_canonical_cbor_b64,
                approval_context_attestation=approval_context_attestation,
                metadata=metadata,
                policy_id=policy_id,
                threshold=threshold,
                approver_keys=approver_keys,
                ttl_seconds=ttl_seconds,
                idempotency_key=idempotency_key,
            )
        )

    def get_request(self, request_id: str) -> dict[str, Any]:
        """The approval request object (``GET /v1/approvals/requests/{id}``)."""
        return self._call(_get_request_call(request_id))

    def list_requests(self, status: str | None = None, limit: int = 50) -> dict[str, Any]:
        """``{"items": [...]}`` of approval requests, optionally of one status."""
        return self._call(_list_requests_call(status, limit))

    def approve(
        self,
        request_id: str,
        *,
        approver_key: bytes | str | None = None,
        signed_approval: bytes | str | None = None,
    ) -> dict[str, Any]:
        """Approve as ``approver_key`` (held by the server) or with a
        ``signed_approval`` made elsewhere; exactly one must be given."""
        return self._call(_approve_call(request_id, approver_key=approver_key, signed_approval=signed_approval))

    def deny(self, request_id: str, reason: str | None = None) -> dict[str, Any]:
        """Deny the approval request, with an optional reason."""
        return self._call(_deny_call(request_id, reason))

    def health(self) -> dict[str, Any]:
        """``GET /v1/health``: ``{"status": "ok", "version": ...}``."""
        return self._call(_HEALTH)

    def get_tenant(self) -> dict[str, Any]:
        """The tenant of the credential: ``{"id", "name", "slug"}``."""
        return self._call(_TENANT)

    def list_policies(self, limit: int = 1) -> dict[str, Any]:
        """``{"items": [...], "has_more": ...}`` of approval policies."""
        return self._call(_list_policies_call(limit))

    # -- lifecycle ------------------------------------------------------------

    def close(self) -> None:
        """End this client (the shared pool goes on serving the others). Idempotent; later calls raise."""
        with self._lock:
            self._closed = True
            http, self._http = self._http, None
        if http is not None:
            http.close()

    def __enter__(self) -> VorelCloudClient:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class AsyncVorelCloudClient(_ClientBase):
    """The coroutine twin of :class:`VorelCloudClient`: same constructor, same
    operations (awaitable), ``await client.close()`` and ``async with``.

    Without a transport of its own it sends through the shared pool of the
    running event loop for its API root; a pool is never used from another
    loop, and closes while its loop shuts down."""

    def __init__(
        self,
        api_key: str,
        base_url: str = DEFAULT_API_BASE_URL,
        timeout: float = DEFAULT_TIMEOUT,
        *,
        max_retries: int = DEFAULT_MAX_RETRIES,
        max_connections: int | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
    ) -> None:
        super().__init__(api_key, base_url, timeout, max_retries=max_retries, max_connections=max_connections)
        self._transport = transport
        self._http: httpx.AsyncClient | None = None

    async def _exchange(self, request: _Request) -> httpx.Response:
        pooled = self._pooled(request)
        if pooled is not None:
            return await _pool.async_send(*pooled)
        return await self._client().request(request.method, request.url, **_httpx_options(request))

    def _client(self) -> httpx.AsyncClient:
        if self._closed:
            raise VorelCloudError(f"{type(self).__name__} is closed")
        if self._http is None:
            self._http = httpx.AsyncClient(transport=self._transport, follow_redirects=False)
        return self._http

    async def _send(
        self,
        method: str,
        path: str,
        *,
        json: Any = None,
        params: Mapping[str, Any] | None = None,
        headers: Mapping[str, str] | None = None,
        timeout: float | None = None,
    ) -> httpx.Response:
        """Coroutine twin of :meth:`VorelCloudClient._send`."""
        request = self._build_request(method, path, json=json, params=params, headers=headers, timeout=timeout)
        attempt = 0
        while True:
            try:
                response = await self._exchange(request)
            except httpx.TransportError as exc:
                delay = self._retry_delay(request, attempt, None)
                if delay is None:
                    raise self._transport_error(request, exc) from exc
                reason = type(exc).__name__
            except httpx.RequestError as exc:
                raise self._transport_error(request, exc) from exc
            else:
                self._log_response(request, response)
                delay = self._retry_delay(request, attempt, response)
                if delay is None:
                    return response
                reason = f"HTTP {response.status_code}"
                await response.aclose()
            self._log_retry(request, reason, attempt, delay)
            await asyncio.sleep(delay)
            attempt += 1

    async def _call(self, call: _Call) -> dict[str, Any]:
        response = await self._send(call.method, call.path, json=call.json, params=call.params, headers=call.headers)
        return cast(dict[str, Any], self._handle_response(response))

    # -- operations -------------------------------------------------------------

    async def create_request(
        self,
        *,
        warrant_id: str,
        tool: str,
        request_hash: bytes | str,
        holder_key: bytes | str,
        args_canonical_cbor_b64: str,
        approval_context_attestation: Mapping[str, Any],
        metadata: Mapping[str, Any] | None = None,
        policy_id: str | None = None,
        threshold: int | None = None,
        approver_keys: Sequence[bytes | str] | None = None,
        ttl_seconds: int | None = None,
        idempotency_key: str | None = None,
    ) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.create_request`."""
        return await self._call(
            _create_request_call(
                warrant_id=warrant_id,
                tool=tool,
                request_hash=request_hash,
                holder_key=holder_key,
                args_canonical_cbor_b64=args_canonical_cbor_b64,
                approval_context_attestation=approval_context_attestation,
                metadata=metadata,
                policy_id=policy_id,
                threshold=threshold,
                approver_keys=approver_keys,
                ttl_seconds=ttl_seconds,
                idempotency_key=idempotency_key,
            )
        )

    async def get_request(self, request_id: str) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.get_request`."""
        return await self._call(_get_request_call(request_id))

    async def list_requests(self, status: str | None = None, limit: int = 50) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.list_requests`."""
        return await self._call(_list_requests_call(status, limit))

    async def approve(
        self,
        request_id: str,
        *,
        approver_key: bytes | str | None = None,
        signed_approval: bytes | str | None = None,
    ) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.approve`."""
        return await self._call(_approve_call(request_id, approver_key=approver_key, signed_approval=signed_approval))

    async def deny(self, request_id: str, reason: str | None = None) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.deny`."""
        return await self._call(_deny_call(request_id, reason))

    async def health(self) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.health`."""
        return await self._call(_HEALTH)

    async def get_tenant(self) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.get_tenant`."""
        return await self._call(_TENANT)

    async def list_policies(self, limit: int = 1) -> dict[str, Any]:
        """See :meth:`VorelCloudClient.list_policies`."""
        return await self._call(_list_policies_call(limit))

    # -- lifecycle ------------------------------------------------------------

    async def close(self) -> None:
        """End this client (the shared pool goes on serving the others). Idempotent; later calls raise."""
        self._closed = True
        http, self._http = self._http, None
        if http is not None:
            await http.aclose()

    async def __aenter__(self) -> AsyncVorelCloudClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()
