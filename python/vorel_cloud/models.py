"""Plain records of the ``vorel_cloud`` package: Quick Connect payload and
configuration, bootstrap checks and reports, agent-claim results.

Secrets (the API key and the one-time registration token) never show in a
``repr`` and never leave through :meth:`BootstrapReport.to_dict`.
"""

from __future__ import annotations

import json as jsonlib
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Final
from urllib.parse import quote

from .exceptions import VorelCloudError

__all__ = [
    "CHECK_STATUSES",
    "FAILING_CHECK_STATUSES",
    "BootstrapCheck",
    "BootstrapReport",
    "ClaimAgentResult",
    "ConnectConfig",
    "ConnectTokenPayload",
    "redact_secrets",
]

#: Status words a :class:`BootstrapCheck` accepts. ``doctor()`` writes "ok",
#: "warning" and "error"; "warn", "fail" and "skip" are accepted as well, for
#: checks built elsewhere.
CHECK_STATUSES: Final = frozenset({"ok", "warning", "error", "warn", "fail", "skip"})

#: Statuses that make a check count as failed.
FAILING_CHECK_STATUSES: Final = frozenset({"error", "fail"})

_MASK: Final = "***"
_MIN_SECRET_LENGTH: Final = 4


def _masked(value: str | None) -> str:
    """Repr of a secret: ``'***'`` when set, the plain value when empty."""
    return repr(_MASK) if value else repr(value)


def _optional_str(obj: Mapping[str, Any], key: str, what: str) -> str | None:
    value = obj.get(key)
    if value is None or isinstance(value, str):
        return value
    raise VorelCloudError(f"{what}: {key!r} must be a string, got {type(value).__name__}")


@dataclass(frozen=True, repr=False)
class ConnectTokenPayload:
    """The JSON object carried by a Quick Connect token (``vorel_ct_...``).

    :meth:`from_dict` reads these keys of the token's JSON object; each is
    optional at this level, and absent keys read as ``""`` (endpoint, API key)
    or None (agent binding):

    ``"endpoint"``
        API base URL of the Vorel Cloud control plane.
    ``"api_key"``
        API key of the runtime.
    ``"agent_id"``
        Agent identity the token is bound to, if any.
    ``"registration_token"``
        One-time token that authorises claiming that agent.
    """

    endpoint: str = ""
    api_key: str = ""
    agent_id: str | None = None
    registration_token: str | None = None

    @classmethod
    def from_dict(cls, obj: Any) -> ConnectTokenPayload:
        """Build the payload from the token's decoded JSON value.

        Unknown keys are ignored. Raises :class:`VorelCloudError` when ``obj``
        is not a JSON object (mapping) or when one of the four keys holds
        something other than a string or null.
        """
        what = "invalid connect token payload"
        if not isinstance(obj, Mapping):
            raise VorelCloudError(f"{what}: expected a JSON object, got {type(obj).__name__}")
        return cls(
            endpoint=_optional_str(obj, "endpoint", what) or "",
            api_key=_optional_str(obj, "api_key", what) or "",
            agent_id=_optional_str(obj, "agent_id", what),
            registration_token=_optional_str(obj, "registration_token", what),
        )

    def __repr__(self) -> str:
        return (
            f"ConnectTokenPayload(endpoint={self.endpoint!r}, api_key={_masked(self.api_key)}, "
            f"agent_id={self.agent_id!r}, "
            f"registration_token={_masked(self.registration_token)})"
        )


@dataclass(frozen=True, repr=False)
class ConnectConfig:
    """Resolved connection configuration of a runtime.

    ``api_base_url`` is the API base URL without the ``/v1`` prefix. The agent
    fields are None when the configuration carries no agent binding.
    """

    api_base_url: str
    api_key: str
    agent_id: str | None = None
    registration_token: str | None = None

    @property
    def is_agent_mode(self) -> bool:
        """True when the configuration carries an agent binding to claim: an
        agent id or a registration token (either one suffices)."""
        return bool(self.agent_id or self.registration_token)

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready summary without secrets: whether a key and a registration
        token are present, not their values."""
        return {
            "api_base_url": self.api_base_url,
            "agent_id": self.agent_id,
            "is_agent_mode": self.is_agent_mode,
            "has_api_key": bool(self.api_key),
            "has_registration_token": bool(self.registration_token),
        }

    def __repr__(self) -> str:
        return (
            f"ConnectConfig(api_base_url={self.api_base_url!r}, api_key={_masked(self.api_key)}, "
            f"agent_id={self.agent_id!r}, "
            f"registration_token={_masked(self.registration_token)})"
        )


@dataclass
class BootstrapCheck:
    """Outcome of one bootstrap or diagnostics check.

    ``status`` is one of :data:`CHECK_STATUSES`: "ok"; "warning" (or "warn"):
    worth a look, does not fail the report; "error" (or "fail"): the setup does
    not work; "skip": not applicable. Any other value raises ``ValueError``.
    ``raw`` holds the server data the check was based on (empty when none).
    """

    name: str
    status: str
    message: str
    remediation: str | None = None
    raw: Any = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.status not in CHECK_STATUSES:
            allowed = ", ".join(sorted(CHECK_STATUSES))
            raise ValueError(f"invalid check status {self.status!r}; expected one of {allowed}")

    @property
    def failed(self) -> bool:
        """True for the statuses "error" and "fail"."""
        return self.status in FAILING_CHECK_STATUSES

    def to_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "status": self.status,
            "message": self.message,
            "remediation": self.remediation,
            "raw": self.raw,
        }


@dataclass(repr=False)
class ClaimAgentResult:
    """Answer of ``POST /v1/agents/claim``; ``raw`` is the whole response body."""

    agent_id: str | None = None
    name: str | None = None
    status: str | None = None
    raw: dict[str, Any] = field(default_factory=dict)

    @classmethod
    def from_dict(cls, body: Any) -> ClaimAgentResult:
        """Build the result from the decoded response body.

        Raises :class:`VorelCloudError` when the body is not a JSON object.
        Absent fields read as None; non-string values are converted with ``str``.
        """
        if not isinstance(body, Mapping):
            raise VorelCloudError(f"unexpected agent claim response: expected a JSON object, got {type(body).__name__}")

        def text(key: str) -> str | None:
            value = body.get(key)
            return None if value is None else str(value)

        return cls(agent_id=text("agent_id"), name=text("name"), status=text("status"), raw=dict(body))

    def to_dict(self) -> dict[str, Any]:
        return {"agent_id": self.agent_id, "name": self.name, "status": self.status}

    def __repr__(self) -> str:
        return f"ClaimAgentResult(agent_id={self.agent_id!r}, name={self.name!r}, status={self.status!r})"


def redact_secrets(value: Any, *secrets: str | None) -> Any:
    """Copy of a JSON-like value in which every occurrence of a secret inside a
    string is replaced by ``***``.

    Each secret is also looked for in its escaped forms (``repr``, JSON, URL
    quoting) and without surrounding blanks. Mappings, lists and tuples are
    copied (tuples become lists); other values are returned as they are.
    Secrets shorter than four characters are not looked for: replacing them
    would mangle the text without protecting anything.
    """
    forms = {form for s in secrets if s for form in _secret_forms(s)}
    wanted = tuple(sorted(forms, key=len, reverse=True))  # longest first: no half-masked leftovers
    return _redact(value, wanted) if wanted else value


def _secret_forms(secret: str) -> set[str]:
    """The ways a secret shows up in foreign text: as it is, without its
    surrounding blanks, and escaped the way ``repr`` of the text or of its
    UTF-8 bytes, JSON and URL quoting write it (an HTTP library that refuses a
    header quotes the offending value as bytes)."""
    forms = {secret}
    try:
        forms.add(secret.strip())
        forms.add(repr(secret)[1:-1])
        forms.add(repr(secret.encode("utf-8", "backslashreplace"))[2:-1])
        forms.add(secret.encode("unicode_escape").decode("ascii"))
        forms.add(jsonlib.dumps(secret)[1:-1])
        forms.add(jsonlib.dumps(secret, ensure_ascii=False)[1:-1])
        forms.add(quote(secret, safe=""))
    except (AttributeError, TypeError, ValueError):  # not text: only the value itself can be matched
        pass
    return {form for form in forms if len(form) >= _MIN_SECRET_LENGTH}


def _redact(value: Any, secrets: tuple[str, ...]) -> Any:
    if isinstance(value, str):
        for secret in secrets:
            value = value.replace(secret, _MASK)
        return value
    if isinstance(value, Mapping):
        return {k: _redact(v, secrets) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_redact(v, secrets) for v in value]
    return value


@dataclass
class BootstrapReport:
    """Result of a bootstrap or ``doctor()`` run: every check, in order.

    ``ok`` is decided by whoever builds the report (``doctor()``: no check has
    the status "error"). ``claimed_agent`` is the claim made during the run, if any.
    """

    ok: bool
    config: ConnectConfig
    checks: list[BootstrapCheck]
    claimed_agent: ClaimAgentResult | None = None

    @property
    def failed_checks(self) -> list[BootstrapCheck]:
        return [check for check in self.checks if check.failed]

    def raise_for_error(self) -> None:
        """Raise :class:`VorelCloudError` when ``ok`` is false; return None otherwise.

        The message lists each failing check as ``name: message``, separated by
        "; ". The error's ``remediation`` joins the checks' hints, and its
        ``body`` is :meth:`to_dict` (no secrets).
        """
        if self.ok:
            return
        failed = self.failed_checks
        if failed:
            details = "; ".join(f"{check.name}: {check.message}" for check in failed)
            message = f"Vorel Cloud bootstrap failed - {details}"
        else:
            message = "Vorel Cloud bootstrap failed"
        # Several checks often share one hint (e.g. a rejected key); say it once.
        hints = list(dict.fromkeys(check.remediation for check in failed if check.remediation))
        raise VorelCloudError(message, remediation=" ".join(hints) or None, body=self.to_dict())

    def to_dict(self) -> dict[str, Any]:
        """JSON-ready form of the report.

        Never contains the API key or the registration token: the configuration
        is summarised (:meth:`ConnectConfig.to_dict`), and any occurrence of
        either secret in the checks' texts or server data is replaced by ``***``.
        """
        data: dict[str, Any] = redact_secrets(
            {
                "ok": self.ok,
                "config": self.config.to_dict(),
                "checks": [check.to_dict() for check in self.checks],
                "claimed_agent": self.claimed_agent.to_dict() if self.claimed_agent else None,
            },
            self.config.api_key,
            self.config.registration_token,
        )
        return data
