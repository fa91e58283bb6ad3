"""Exceptions raised by the Vorel Cloud client and the ``vorel_cloud`` package.

Every error of the package is a :class:`VorelCloudError`. Catch the base class
for "anything went wrong", or a subclass to react to one cause::

    VorelCloudError                  base; status_code, remediation, body
    +-- AuthenticationError          401: the credential was rejected
    |   +-- PermissionDeniedError    403: valid credential, missing permission
    +-- NotFoundError                404
    +-- ConflictError                409 (idempotency conflict, already decided, ...)
    +-- ValidationError              400 / 422: the request was malformed
    +-- RateLimitError               429; retry_after (seconds or None)
    +-- ServerError                  5xx
    +-- TransportError               no response at all (connection, TLS, timeout)
    +-- ConfigurationError           the client's settings cannot work (also a ValueError)
    +-- ApprovalDeniedError          the approval request was denied
    +-- ApprovalExpiredError         the approval request expired
    +-- ApprovalTimeoutError         a local wait for a decision ran out

``str(error)`` is exactly the message; the hint on how to fix the problem is in
``remediation`` and the decoded response body (an empty dict when there is
none) in ``body``. Exceptions pickle: the constructor arguments travel in
``args``, everything else in the instance ``__dict__``.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = [
    "ApprovalDeniedError",
    "ApprovalExpiredError",
    "ApprovalTimeoutError",
    "AuthenticationError",
    "ConfigurationError",
    "ConflictError",
    "NotFoundError",
    "PermissionDeniedError",
    "RateLimitError",
    "ServerError",
    "TransportError",
    "ValidationError",
    "VorelCloudError",
]


class VorelCloudError(Exception):
    """Base class of every error raised by the ``vorel_cloud`` package.

    Attributes:
        message: the human-readable message; ``str(error)`` returns exactly it.
        status_code: the HTTP status of the response that caused the error, or
            None when there was no response (or no HTTP call at all).
        remediation: a short hint on how to fix the problem, or None.
        body: the decoded JSON body of the error response (a dict; empty when
            there was none).
        code: the machine-readable error code the server sent
            (``{"error": {"code": ...}}``), or None.
    """

    def __init__(
        self,
        message: str,
        *,
        status_code: int | None = None,
        remediation: str | None = None,
        body: Mapping[str, Any] | None = None,
        code: str | None = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code
        self.remediation = remediation
        self.body: dict[str, Any] = dict(body) if body else {}
        self.code = code

    def __str__(self) -> str:
        return self.message

    def __repr__(self) -> str:
        parts = [repr(self.message)]
        if self.status_code is not None:
            parts.append(f"status_code={self.status_code!r}")
        if self.code is not None:
            parts.append(f"code={self.code!r}")
        return f"{type(self).__name__}({', '.join(parts)})"


class AuthenticationError(VorelCloudError):
    """The credential was rejected (HTTP 401), or lacks a permission (403, see
    :class:`PermissionDeniedError`)."""


class PermissionDeniedError(AuthenticationError):
    """The credential is valid but may not perform this operation (HTTP 403)."""


class NotFoundError(VorelCloudError):
    """The addressed object does not exist (HTTP 404)."""


class ConflictError(VorelCloudError):
    """The request conflicts with the object's state (HTTP 409), for instance an
    idempotency key reused with another body or a request already decided."""


class ValidationError(VorelCloudError):
    """The server rejected the request as malformed (HTTP 400 or 422)."""


class RateLimitError(VorelCloudError):
    """Too many requests (HTTP 429).

    Attributes:
        retry_after: seconds the server asked to wait (its ``Retry-After``
            header), or None when it gave no usable value.
    """

    def __init__(
        self,
        message: str,
        *,
        retry_after: float | None = None,
        status_code: int | None = 429,
        remediation: str | None = None,
        body: Mapping[str, Any] | None = None,
        code: str | None = None,
    ) -> None:
        super().__init__(message, status_code=status_code, remediation=remediation, body=body, code=code)
        self.retry_after = retry_after


class ServerError(VorelCloudError):
    """Vorel Cloud failed to handle the request (HTTP 5xx)."""


class TransportError(VorelCloudError):
    """No response was received: connection refused, DNS or TLS failure,
    timeout. ``status_code`` is always None."""


class ConfigurationError(VorelCloudError, ValueError):
    """The client's own settings cannot work: an API key with blanks or control
    characters, a base URL that does not parse. Nothing was sent. It is a
    ``ValueError`` as well, for callers that check their arguments that way;
    ``remediation`` names the setting to correct."""


class ApprovalDeniedError(VorelCloudError):
    """Vorel Cloud reports the approval request as denied."""


class ApprovalExpiredError(VorelCloudError):
    """Vorel Cloud reports the approval request as expired."""


class ApprovalTimeoutError(VorelCloudError):
    """An approval request was still pending when the local wait ran out.

    Built as ``ApprovalTimeoutError(request_id, timeout)``; both are kept as
    attributes of the same names.
    """

    def __init__(self, request_id: str, timeout: float) -> None:
        super().__init__(
            f"approval request {request_id} is still pending after {timeout}s",
            remediation=(
                "Ask an approver to decide the request in Vorel Cloud, or wait longer (raise the handler's timeout)."
            ),
        )
        # ``args`` must be the constructor's arguments so that the error pickles.
        self.args = (request_id, timeout)
        self.request_id = request_id
        self.timeout = timeout
