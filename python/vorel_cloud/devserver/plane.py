"""The control plane's behaviour, independent of HTTP.

The API routes, the dashboard and the test fixture all act through one
``ControlPlane``, so a decision taken from a test or from the dashboard goes
through exactly the checks that an API call would.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import json
import logging
import re
import secrets
import threading
from dataclasses import dataclass, field
from typing import Any

from . import signing
from .clock import Clock, rfc3339
from .store import Store

logger = logging.getLogger("vorel_cloud.devserver")


def _present[T](row: T | None, what: str) -> T:
    """A row this transaction has just written or read, which cannot be missing."""
    if row is None:
        raise LookupError(f"{what} is missing from the database")
    return row


SCOPES = (
    "tenant:read",
    "policies:read",
    "approvals:read",
    "approvals:write",
    "approvals:decide",
    "agents:claim",
)

# Roles. An agent creates and follows its own requests but never decides them;
# deciding through the API takes the reviewer's key, which is printed apart.
AGENT_SCOPES = ("tenant:read", "policies:read", "approvals:read", "approvals:write", "agents:claim")
REVIEWER_SCOPES = ("tenant:read", "approvals:read", "approvals:decide")

# Bounds of a create body: the members are checked one by one, and a request
# with more approvers than this is not one a person could review anyway.
MAX_APPROVER_KEYS = 100
MAX_HEX_CHARS = 512
# Stored request data served by one list call (API or dashboard): a list of
# large requests ends early with has_more, instead of holding up the server
# while hundreds of megabytes are decoded and rendered.
LIST_MAX_BYTES = 4 * 1024 * 1024

# Operation names by which scripted faults select what they break.
OPERATIONS = ("health", "tenant", "policies", "create", "list", "get", "approve", "deny", "claim")

STATUSES = ("pending", "approved", "denied", "expired")

DEFAULT_TTL_SECONDS = 3600
# A lifetime far beyond any test or demo, yet small enough for a float epoch.
MAX_TTL_SECONDS = 366 * 24 * 3600

TENANT = {"id": "ten_local", "name": "Local development", "slug": "local"}
DEFAULT_POLICY_ID = "pol_default"

_HEX = re.compile(r"[0-9a-fA-F]+")
_KEY_HINT = "Use the API key (or Quick Connect token) that `vorel-cloud dev` printed when it started."


class ApiError(Exception):
    """An error answer: HTTP status, machine code and human message."""

    def __init__(
        self,
        status: int,
        code: str,
        message: str,
        headers: dict[str, str] | None = None,
        *,
        remediation: str | None = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message
        self.headers = headers or {}
        self.remediation = remediation

    def body(self) -> dict[str, Any]:
        error = {"code": self.code, "message": self.message}
        if self.remediation:
            error["remediation"] = self.remediation
        return {"error": error}


@dataclass
class DecisionScript:
    """Decide new requests by themselves once they have been polled often enough.

    ``after_polls`` counts GETs of the request itself (0: decided at creation).
    ``tool`` limits the script to requests for that tool; ``times`` to that
    many requests (None: every matching request).
    """

    action: str  # "approve", "deny" or "expire"
    after_polls: int = 1
    reason: str | None = None
    tool: str | None = None
    times: int | None = None

    def __post_init__(self) -> None:
        if self.action not in ("approve", "deny", "expire"):
            raise ValueError(f"unknown scripted decision {self.action!r}")
        if self.after_polls < 0:
            raise ValueError("after_polls must be >= 0")


@dataclass
class Fault:
    """Answer ``status`` instead of serving matching calls, ``times`` times.

    ``op`` is one of ``OPERATIONS`` or None for every authenticated call;
    ``request_id`` narrows it to calls about one request. With
    ``after_processing`` the call is carried out and only its answer is
    replaced, as when a response is lost on the way back.
    """

    status: int
    times: int | None = 1
    op: str | None = None
    request_id: str | None = None
    retry_after: float | None = None
    after_processing: bool = False
    code: str | None = None
    message: str | None = None
    hits: int = field(default=0, compare=False)

    def __post_init__(self) -> None:
        if self.op is not None and self.op not in OPERATIONS:
            raise ValueError(f"unknown operation {self.op!r}; known: {', '.join(OPERATIONS)}")
        if not 400 <= self.status <= 599:
            raise ValueError("a fault answers with a 4xx or 5xx status")

    def matches(self, op: str, request_id: str | None) -> bool:
        if self.op is None:
            if op == "health":  # health stays reachable unless named explicitly
                return False
        elif self.op != op:
            return False
        return self.request_id is None or self.request_id == request_id

    def error(self) -> ApiError:
        if self.status == 429:
            code, message = "rate_limited", "rate limit exceeded (scripted)"
        elif self.status >= 500:
            code, message = "server_error", "internal error (scripted)"
        elif self.status == 404:
            code, message = "not_found", "not found (scripted)"
        else:
            code, message = "scripted_error", "scripted error"
        headers = {}
        if self.retry_after is not None or self.status == 429:
            headers["Retry-After"] = _retry_after_text(1 if self.retry_after is None else self.retry_after)
        return ApiError(self.status, self.code or code, self.message or message, headers)


def _retry_after_text(seconds: float) -> str:
    # The header carries whole seconds; round up so a client never retries early.
    whole = int(seconds)
    return str(whole if whole == seconds else whole + 1)


@dataclass(frozen=True)
class Bootstrap:
    """What a fresh (or reopened) control plane hands its operator."""

    api_key: str
    reviewer_key: str
    approver_public_key: str
    approver_secret: str
    agent_id: str
    agent_name: str
    registration_token: str


def hash_key(api_key: str) -> str:
    return hashlib.sha256(api_key.encode("utf-8")).hexdigest()


def new_api_key() -> str:
    return "vk_dev_" + secrets.token_urlsafe(24)


class ControlPlane:
    def __init__(
        self,
        store: Store,
        *,
        clock: Clock | None = None,
        default_ttl: int = DEFAULT_TTL_SECONDS,
        signed_approval_encoding: str = "hex",
        version: str = "0.0.0",
    ) -> None:
        self.store = store
        self.clock = clock or Clock()
        self.default_ttl = int(default_ttl)
        self.version = version
        self.signed_approval_encoding = signed_approval_encoding
        self._scripts: list[DecisionScript] = []
        self._faults: list[Fault] = []
        self._script_lock = threading.Lock()

    @property
    def signed_approval_encoding(self) -> str:
        return self._encoding

    @signed_approval_encoding.setter
    def signed_approval_encoding(self, value: str) -> None:
        if value not in ("hex", "base64"):
            raise ValueError("signed approvals are rendered as 'hex' or 'base64'")
        self._encoding = value

    # -- set-up --------------------------------------------------------------
    def bootstrap(self, *, api_key: str | None = None, reviewer_key: str | None = None) -> Bootstrap:
        """Create the tenant's first keys, approver, agent and policy, once.

        Reopening a database returns what the first start created. An
        explicit ``api_key`` is added (with the agent's scopes) if it is new,
        an explicit ``reviewer_key`` likewise with the reviewer's.
        """
        now = self.clock.now()
        with self.store.tx() as db:
            if db.get_setting("api_key") is None:
                key = api_key or new_api_key()
                db.insert_api_key(
                    id="key_default", key_hash=hash_key(key), name="default", scopes=list(AGENT_SCOPES), now=now
                )
                db.set_setting("api_key", key)
                secret, public = signing.generate_key()
                db.insert_approver(public_key=public, name="local approver", secret=secret, now=now)
                db.set_setting("approver", public)
                agent_id = "agt_" + secrets.token_hex(6)
                db.insert_agent(
                    id=agent_id, name="local-agent", registration_token="reg_" + secrets.token_urlsafe(18), now=now
                )
                db.set_setting("agent", agent_id)
                db.insert_policy(
                    id=DEFAULT_POLICY_ID, name="One approval from any local approver", threshold=1, approver_keys=[]
                )
            else:
                # Databases from before the roles were split gave the printed
                # (agent) key every scope: take the decision right away from it.
                db.set_scopes(("default", "cli"), list(AGENT_SCOPES))
                if api_key and db.find_api_key(hash_key(api_key)) is None:
                    db.insert_api_key(
                        id="key_" + secrets.token_hex(6),
                        key_hash=hash_key(api_key),
                        name="cli",
                        scopes=list(AGENT_SCOPES),
                        now=now,
                    )
            if db.get_setting("reviewer_key") is None:
                reviewer = reviewer_key or new_api_key()
                db.insert_api_key(
                    id="key_reviewer",
                    key_hash=hash_key(reviewer),
                    name="reviewer",
                    scopes=list(REVIEWER_SCOPES),
                    now=now,
                )
                db.set_setting("reviewer_key", reviewer)
            elif reviewer_key and db.find_api_key(hash_key(reviewer_key)) is None:
                db.insert_api_key(
                    id="key_" + secrets.token_hex(6),
                    key_hash=hash_key(reviewer_key),
                    name="cli reviewer",
                    scopes=list(REVIEWER_SCOPES),
                    now=now,
                )
            key = api_key or _present(db.get_setting("api_key"), "the api_key setting")
            reviewer = reviewer_key or _present(db.get_setting("reviewer_key"), "the reviewer_key setting")
            approver = _present(
                db.get_approver(_present(db.get_setting("approver"), "the approver setting")), "approver"
            )
            agent = _present(db.get_agent(_present(db.get_setting("agent"), "the agent setting")), "agent")
        return Bootstrap(
            api_key=key,
            reviewer_key=reviewer,
            approver_public_key=approver["public_key"],
            approver_secret=approver["secret"],
            agent_id=agent["id"],
            agent_name=agent["name"],
            registration_token=agent["registration_token"],
        )

    def create_api_key(self, *, scopes: list[str] | tuple[str, ...] = SCOPES, name: str = "extra") -> str:
        unknown = set(scopes) - set(SCOPES)
        if unknown:
            raise ValueError(f"unknown scopes: {sorted(unknown)}")
        key = new_api_key()
        with self.store.tx() as db:
            db.insert_api_key(
                id="key_" + secrets.token_hex(6),
                key_hash=hash_key(key),
                name=name,
                scopes=list(scopes),
                now=self.clock.now(),
            )
        return key

    def revoke_api_key(self, api_key: str) -> None:
        with self.store.tx() as db:
            if not db.revoke_api_key(hash_key(api_key), self.clock.now()):
                raise KeyError("no such active API key")

    def add_approver(self, name: str = "approver", secret_hex: str | None = None) -> tuple[str, str]:
        """Let the server hold (and sign with) another approver key; returns (secret, public)."""
        if secret_hex is None:
            secret, public = signing.generate_key()
        else:
            secret, public = secret_hex.lower(), signing.public_hex(secret_hex)
        with self.store.tx() as db:
            db.insert_approver(public_key=public, name=name, secret=secret, now=self.clock.now())
        return secret, public

    def approvers(self) -> list[dict[str, Any]]:
        with self.store.tx() as db:
            return [{"public_key": a["public_key"], "name": a["name"]} for a in db.list_approvers()]

    def add_agent(self, name: str) -> dict[str, Any]:
        agent_id = "agt_" + secrets.token_hex(6)
        token = "reg_" + secrets.token_urlsafe(18)
        with self.store.tx() as db:
            db.insert_agent(id=agent_id, name=name, registration_token=token, now=self.clock.now())
            return _present(db.get_agent(agent_id), "agent")

    def get_agent(self, agent_id: str) -> dict[str, Any] | None:
        with self.store.tx() as db:
            return db.get_agent(agent_id)

    def add_policy(
        self, policy_id: str, name: str, *, threshold: int = 1, approver_keys: list[str] | None = None
    ) -> None:
        with self.store.tx() as db:
            db.insert_policy(
                id=policy_id, name=name, threshold=threshold, approver_keys=[k.lower() for k in approver_keys or []]
            )

    # -- scripting -----------------------------------------------------------
    def add_script(self, script: DecisionScript) -> None:
        with self._script_lock:
            self._scripts.append(script)

    def clear_scripts(self) -> None:
        with self._script_lock:
            self._scripts.clear()

    def add_fault(self, fault: Fault) -> None:
        with self._script_lock:
            self._faults.append(fault)

    def clear_faults(self) -> None:
        with self._script_lock:
            self._faults.clear()

    def take_fault(self, op: str, request_id: str | None = None) -> Fault | None:
        """The first armed fault for this call, spending one of its uses."""
        with self._script_lock:
            for fault in self._faults:
                if fault.matches(op, request_id):
                    fault.hits += 1
                    if fault.times is not None:
                        fault.times -= 1
                        if fault.times <= 0:
                            self._faults.remove(fault)
                    return fault
        return None

    def _take_script(self, tool: str) -> DecisionScript | None:
        with self._script_lock:
            for script in self._scripts:
                if script.tool is None or script.tool == tool:
                    if script.times is not None:
                        script.times -= 1
                        if script.times <= 0:
                            self._scripts.remove(script)
                    return script
        return None

    # -- authentication ------------------------------------------------------
    def authenticate(self, authorization: str | None) -> dict[str, Any]:
        if not authorization:
            raise ApiError(
                401, "invalid_api_key", "missing API key: send Authorization: Bearer <api key>", remediation=_KEY_HINT
            )
        scheme, _, token = authorization.partition(" ")
        token = token.strip()
        if scheme.lower() != "bearer" or not token:
            raise ApiError(
                401,
                "invalid_api_key",
                "malformed Authorization header: expected Bearer <api key>",
                remediation=_KEY_HINT,
            )
        with self.store.tx() as db:
            key = db.find_api_key(hash_key(token))
        if key is None:
            raise ApiError(401, "invalid_api_key", "invalid API key", remediation=_KEY_HINT)
        if key["revoked_at"] is not None:
            raise ApiError(401, "api_key_revoked", "this API key has been revoked", remediation=_KEY_HINT)
        return key

    @staticmethod
    def require_scope(key: dict[str, Any], scope: str) -> None:
        if scope not in key["scopes"]:
            raise ApiError(
                403,
                "forbidden",
                f"this API key lacks the {scope} permission",
                remediation=f"Use an API key with the {scope} scope.",
            )

    # -- tenant and policies -------------------------------------------------
    def tenant(self) -> dict[str, Any]:
        return dict(TENANT)

    def list_policies(self, limit: int) -> dict[str, Any]:
        with self.store.tx() as db:
            rows = db.list_policies(limit + 1)
        return {"items": rows[:limit], "has_more": len(rows) > limit}

    # -- approval requests ---------------------------------------------------
    def create_request(self, body: Any, *, header_key: str | None = None) -> tuple[dict[str, Any], bool]:
        """Create a request, or find the one made earlier under the same idempotency key.

        Returns (request object, created).
        """
        fields = _validate_create(body)
        fingerprint = _fingerprint(fields)
        idem = fields.pop("idempotency_key")
        if header_key is not None:
            header_key = header_key.strip()
            if idem is not None and header_key and idem != header_key:
                raise ApiError(422, "invalid_request", "Idempotency-Key header and body idempotency_key differ")
            idem = idem or header_key or None
        now = self.clock.now()
        with self.store.tx() as db:
            if idem is not None:
                prior = db.find_request_by_idempotency_key(idem)
                if prior is not None:
                    if not hmac.compare_digest(prior["fingerprint"], fingerprint):
                        raise ApiError(
                            409,
                            "idempotency_conflict",
                            "this idempotency key was already used for a request with a different body",
                        )
                    prior = self._refresh(db, prior, now)
                    return self._view(db, prior), False
            approver_keys = fields["approver_keys"]
            threshold = fields["threshold"]
            policy_id = fields["policy_id"]
            if policy_id is not None:
                policy = db.get_policy(policy_id)
                if policy is None:
                    raise ApiError(422, "invalid_request", f"unknown policy_id {policy_id!r}")
                if approver_keys is None:
                    approver_keys = policy["approver_keys"]
                if threshold is None:
                    threshold = policy["threshold"]
            approver_keys = approver_keys or []
            # A minimum of zero approvals would grant without any human: count it as one.
            threshold = max(threshold or 1, 1)
            if approver_keys and threshold > len(approver_keys):
                raise ApiError(
                    422,
                    "invalid_request",
                    f"threshold {threshold} cannot be met by {len(approver_keys)} approver key(s)",
                )
            ttl = fields["ttl_seconds"] or self.default_ttl
            script = self._take_script(fields["tool"])
            rec = {
                "id": "apr_" + secrets.token_hex(10),
                "idempotency_key": idem,
                "fingerprint": fingerprint,
                "status": "pending",
                "tool": fields["tool"],
                "warrant_id": fields["warrant_id"],
                "request_hash": fields["request_hash"],
                "holder_key": fields["holder_key"],
                "args_cbor_b64": fields["args_canonical_cbor_b64"],
                "attestation": fields["approval_context_attestation"],
                "metadata": fields["metadata"],
                "policy_id": policy_id,
                "threshold": threshold,
                "approver_keys": approver_keys,
                "ttl_seconds": ttl,
                "created_at": now,
                "expires_at": now + ttl,
                "script": None
                if script is None
                else {"action": script.action, "after_polls": script.after_polls, "reason": script.reason},
            }
            db.insert_request(rec)
            req = _present(db.get_request(rec["id"]), "approval request")
            req = self._run_script(db, req, now)
            logger.info("approval request %s created for %s", req["id"], req["tool"])
            return self._view(db, req), True

    def get_request(self, request_id: str, *, poll: bool = False) -> dict[str, Any]:
        """The request object; ``poll`` counts this read for scripted decisions."""
        now = self.clock.now()
        with self.store.tx() as db:
            req = self._load(db, request_id, now)
            if poll:
                db.update_request(request_id, polls=req["polls"] + 1)
                req["polls"] += 1
                req = self._run_script(db, req, now)
            return self._view(db, req)

    def list_requests(
        self, *, status: str | None = None, limit: int = 50, newest_first: bool = True, max_bytes: int | None = None
    ) -> dict[str, Any]:
        """A page of requests; ``max_bytes`` bounds the stored data it carries (``has_more`` then says so)."""
        if status is not None and status not in STATUSES:
            raise ApiError(422, "invalid_request", f"status must be one of {', '.join(STATUSES)}")
        with self.store.tx() as db:
            db.expire_due(self.clock.now())
            rows, cut = db.list_requests(status=status, limit=limit + 1, newest_first=newest_first, max_bytes=max_bytes)
            items = [self._view(db, r) for r in rows[:limit]]
        return {"items": items, "has_more": cut or len(rows) > limit}

    def approve(
        self,
        request_id: str,
        *,
        approver_key: str | None = None,
        signed_approval: str | None = None,
    ) -> dict[str, Any]:
        """Record one approval; the request is approved once ``threshold`` approvers agree.

        Without a ``signed_approval`` the server signs with the approver key it
        holds (``approver_key``, or its default approver when that is None).
        """
        now = self.clock.now()
        with self.store.tx() as db:
            req = self._load(db, request_id, now)
            self._require_pending(req)
            if signed_approval is not None:
                raw = _decode_signed_approval_text(signed_approval)
                approver = _verify_submitted(raw, req, now)
            else:
                approver = (approver_key or db.get_setting("approver") or "").lower()
                held = db.get_approver(approver)
                if held is None:
                    raise ApiError(422, "invalid_request", "the server holds no signing key for this approver_key")
                secret = held["secret"]
                raw = None
            self._require_allowed(req, approver)
            if any(r["approver_key"] == approver for r in db.list_responses(request_id)):
                raise ApiError(409, "already_approved", "this approver has already approved the request")
            if raw is None:
                raw = signing.sign_approval(
                    secret,
                    request_hash=bytes.fromhex(req["request_hash"]),
                    warrant_id=req["warrant_id"],
                    tool=req["tool"],
                    ttl_seconds=None,
                    now=now,
                )
            req = self._record_approval(db, req, approver, raw, now)
            return self._view(db, req)

    def deny(self, request_id: str, *, reason: str | None = None, approver_key: str | None = None) -> dict[str, Any]:
        now = self.clock.now()
        with self.store.tx() as db:
            req = self._load(db, request_id, now)
            self._require_pending(req)
            if approver_key is not None:
                approver_key = approver_key.lower()
                self._require_allowed(req, approver_key)
            req = self._record_denial(db, req, approver_key, reason, now)
            return self._view(db, req)

    def expire(self, request_id: str) -> dict[str, Any]:
        """End a pending request as if its lifetime had run out."""
        now = self.clock.now()
        with self.store.tx() as db:
            req = self._load(db, request_id, now)
            self._require_pending(req)
            db.update_request(request_id, status="expired", decided_at=now, expires_at=min(now, req["expires_at"]))
            return self._view(db, _present(db.get_request(request_id), "approval request"))

    # -- agents --------------------------------------------------------------
    def claim_agent(self, body: Any) -> dict[str, Any]:
        if not isinstance(body, dict):
            raise ApiError(422, "invalid_request", "body must be a JSON object")
        agent_id = _required_text(body, "agent_id")
        public_key = _hex_member(body, "public_key")
        token = body.get("registration_token")
        if not isinstance(token, str):
            raise ApiError(422, "invalid_request", "registration_token must be a string")
        now = self.clock.now()
        with self.store.tx() as db:
            agent = db.get_agent(agent_id)
            if agent is None:
                raise ApiError(404, "not_found", f"no agent {agent_id!r}")
            if not hmac.compare_digest(agent["registration_token"].encode(), token.encode()):
                raise ApiError(403, "invalid_registration_token", "the registration token does not match this agent")
            if agent["status"] == "claimed":
                if agent["public_key"] != public_key:
                    raise ApiError(409, "already_claimed", "this agent was already claimed with a different key")
            else:
                db.claim_agent(agent_id, public_key, now)
                logger.info("agent %s claimed", agent_id)
            agent = _present(db.get_agent(agent_id), "agent")
        return {
            "agent_id": agent["id"],
            "name": agent["name"],
            "status": "claimed",
            "public_key": agent["public_key"],
            "claimed_at": rfc3339(agent["claimed_at"]),
        }

    # -- internals -----------------------------------------------------------
    def _load(self, db: Store, request_id: str, now: float) -> dict[str, Any]:
        req = db.get_request(request_id)
        if req is None:
            raise ApiError(404, "not_found", f"no approval request {request_id!r}")
        return self._refresh(db, req, now)

    @staticmethod
    def _refresh(db: Store, req: dict[str, Any], now: float) -> dict[str, Any]:
        if req["status"] == "pending" and now >= req["expires_at"]:
            db.update_request(req["id"], status="expired", decided_at=req["expires_at"])
            req = dict(req, status="expired", decided_at=req["expires_at"])
        return req

    @staticmethod
    def _require_pending(req: dict[str, Any]) -> None:
        if req["status"] == "expired":
            raise ApiError(410, "approval_expired", f"approval request {req['id']} has expired")
        if req["status"] != "pending":
            raise ApiError(409, "already_decided", f"approval request {req['id']} is already {req['status']}")

    @staticmethod
    def _require_allowed(req: dict[str, Any], approver: str) -> None:
        if req["approver_keys"] and approver not in req["approver_keys"]:
            raise ApiError(403, "forbidden", "this approver is not among the request's approver_keys")

    def _record_approval(self, db: Store, req: dict[str, Any], approver: str, raw: bytes, now: float) -> dict[str, Any]:
        db.insert_response(
            request_id=req["id"], approver_key=approver, decision="approved", signed_approval=raw, now=now
        )
        count = sum(1 for r in db.list_responses(req["id"]) if r["decision"] == "approved")
        if count >= req["threshold"]:
            db.update_request(req["id"], status="approved", decided_at=now)
            logger.info("approval request %s approved", req["id"])
        return _present(db.get_request(req["id"]), "approval request")

    def _record_denial(
        self, db: Store, req: dict[str, Any], approver: str | None, reason: str | None, now: float
    ) -> dict[str, Any]:
        if approver is not None:
            db.insert_response(
                request_id=req["id"], approver_key=approver, decision="denied", signed_approval=None, now=now
            )
        db.update_request(req["id"], status="denied", decided_at=now, denied_reason=reason or None)
        logger.info("approval request %s denied", req["id"])
        return _present(db.get_request(req["id"]), "approval request")

    def _run_script(self, db: Store, req: dict[str, Any], now: float) -> dict[str, Any]:
        script = req["script"]
        if not script or req["status"] != "pending" or req["polls"] < script["after_polls"]:
            return req
        action = script["action"]
        if action == "deny":
            return self._record_denial(db, req, None, script.get("reason") or "denied (scripted)", now)
        if action == "expire":
            db.update_request(req["id"], status="expired", decided_at=now)
            return _present(db.get_request(req["id"]), "approval request")
        # Approve with as many held approvers as the threshold needs.
        done = {r["approver_key"] for r in db.list_responses(req["id"])}
        eligible = [
            a
            for a in db.list_approvers()
            if a["public_key"] not in done and (not req["approver_keys"] or a["public_key"] in req["approver_keys"])
        ]
        for approver in eligible:
            raw = signing.sign_approval(
                approver["secret"],
                request_hash=bytes.fromhex(req["request_hash"]),
                warrant_id=req["warrant_id"],
                tool=req["tool"],
                ttl_seconds=None,
                now=now,
            )
            req = self._record_approval(db, req, approver["public_key"], raw, now)
            if req["status"] == "approved":
                return req
        logger.warning(
            "scripted approval of %s stays pending: the server holds too few of its approver keys", req["id"]
        )
        return req

    def _view(self, db: Store, req: dict[str, Any]) -> dict[str, Any]:
        responses = []
        for r in db.list_responses(req["id"]):
            signed = r["signed_approval"]
            if signed is not None:
                signed = bytes(signed).hex() if self._encoding == "hex" else base64.b64encode(signed).decode("ascii")
            responses.append(
                {
                    "approver_key": r["approver_key"],
                    "decision": r["decision"],
                    "signed_approval": signed,
                    "decided_at": rfc3339(r["decided_at"]),
                }
            )
        return {
            "id": req["id"],
            "status": req["status"],
            "tool": req["tool"],
            "warrant_id": req["warrant_id"],
            "request_hash": req["request_hash"],
            "holder_key": req["holder_key"],
            "args_canonical_cbor_b64": req["args_cbor_b64"],
            "approval_context_attestation": req["attestation"],
            "metadata": req["metadata"],
            "policy_id": req["policy_id"],
            "threshold": req["threshold"],
            "approver_keys": req["approver_keys"],
            "ttl_seconds": req["ttl_seconds"],
            "idempotency_key": req["idempotency_key"],
            "created_at": rfc3339(req["created_at"]),
            "expires_at": rfc3339(req["expires_at"]),
            "decided_at": rfc3339(req["decided_at"]),
            "denied_reason": req["denied_reason"],
            "responses": responses,
        }


# -- validation helpers ------------------------------------------------------
def _fingerprint(fields: dict[str, Any]) -> str:
    """What makes two creates "the same request" for an idempotency key.

    The attestation is left out: a retry re-attests the same call (same
    request hash) with a fresh timestamp, and must still find its request.
    """
    rest = {k: v for k, v in fields.items() if k not in ("idempotency_key", "approval_context_attestation")}
    return hashlib.sha256(json.dumps(rest, sort_keys=True, separators=(",", ":")).encode()).hexdigest()


def _required_text(body: dict[str, Any], name: str) -> str:
    value = body.get(name)
    if not isinstance(value, str) or not value:
        raise ApiError(422, "invalid_request", f"{name} is required and must be a non-empty string")
    return value


def _hex_member(body: dict[str, Any], name: str) -> str:
    value = _required_text(body, name)
    if len(value) % 2 or len(value) > MAX_HEX_CHARS or not _HEX.fullmatch(value):
        raise ApiError(422, "invalid_request", f"{name} must be hex text")
    return value.lower()


def _optional(body: dict[str, Any], name: str, kind: type, what: str) -> Any:
    value = body.get(name)
    if value is None:
        return None
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise ApiError(422, "invalid_request", f"{name} must be {what}")
    return value


def _validate_create(body: Any) -> dict[str, Any]:
    if not isinstance(body, dict):
        raise ApiError(422, "invalid_request", "body must be a JSON object")
    missing = [
        name
        for name in (
            "warrant_id",
            "tool",
            "request_hash",
            "holder_key",
            "args_canonical_cbor_b64",
            "approval_context_attestation",
        )
        if name not in body
    ]
    if missing:
        raise ApiError(422, "invalid_request", f"missing required member(s): {', '.join(missing)}")
    out: dict[str, Any] = {
        "warrant_id": _required_text(body, "warrant_id"),
        "tool": _required_text(body, "tool"),
        "request_hash": _hex_member(body, "request_hash"),
        "holder_key": _hex_member(body, "holder_key"),
    }
    args = body["args_canonical_cbor_b64"]
    if not isinstance(args, str):
        raise ApiError(422, "invalid_request", "args_canonical_cbor_b64 must be base64 text")
    try:
        base64.b64decode(args, validate=True)
    except (binascii.Error, ValueError):
        raise ApiError(422, "invalid_request", "args_canonical_cbor_b64 is not valid base64") from None
    out["args_canonical_cbor_b64"] = args
    if not isinstance(body["approval_context_attestation"], dict):
        raise ApiError(422, "invalid_request", "approval_context_attestation must be an object")
    out["approval_context_attestation"] = body["approval_context_attestation"]
    out["metadata"] = _optional(body, "metadata", dict, "an object")
    out["policy_id"] = _optional(body, "policy_id", str, "a string") or None
    threshold = _optional(body, "threshold", int, "an integer")
    if threshold is not None and threshold < 0:
        raise ApiError(422, "invalid_request", "threshold must not be negative")
    if threshold is not None and threshold > MAX_APPROVER_KEYS:
        raise ApiError(422, "invalid_request", f"threshold must be at most {MAX_APPROVER_KEYS}")
    out["threshold"] = threshold
    keys = _optional(body, "approver_keys", list, "a list of hex strings")
    if keys is not None:
        if len(keys) > MAX_APPROVER_KEYS:
            raise ApiError(422, "invalid_request", f"approver_keys may list at most {MAX_APPROVER_KEYS} keys")
        for key in keys:
            if (
                not isinstance(key, str)
                or not key
                or len(key) % 2
                or len(key) > MAX_HEX_CHARS
                or not _HEX.fullmatch(key)
            ):
                raise ApiError(422, "invalid_request", "approver_keys must be a list of hex strings")
        # First occurrence wins, case aside; a dict keeps the order at set speed.
        keys = list(dict.fromkeys(key.lower() for key in keys))
    out["approver_keys"] = keys
    ttl = _optional(body, "ttl_seconds", int, "an integer")
    if ttl is not None and not 0 <= ttl <= MAX_TTL_SECONDS:
        raise ApiError(422, "invalid_request", f"ttl_seconds must be between 0 and {MAX_TTL_SECONDS}")
    out["ttl_seconds"] = ttl
    idem = _optional(body, "idempotency_key", str, "a string")
    out["idempotency_key"] = idem or None
    return out


def _decode_signed_approval_text(text: Any) -> bytes:
    if not isinstance(text, str) or not text:
        raise ApiError(422, "invalid_request", "signed_approval must be base64 (or hex) text")
    if len(text) % 2 == 0 and _HEX.fullmatch(text):
        return bytes.fromhex(text)
    try:
        return base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        raise ApiError(422, "invalid_request", "signed_approval is neither hex nor base64") from None


def _verify_submitted(raw: bytes, req: dict[str, Any], now: float) -> str:
    """Check an approval signed elsewhere against this request; returns the approver's key."""
    try:
        return signing.verify_approval(
            raw,
            request_hash=bytes.fromhex(req["request_hash"]),
            warrant_id=req["warrant_id"],
            tool=req["tool"],
            now=now,
        )
    except signing.RejectedApproval as exc:
        raise ApiError(422, "invalid_request", f"signed_approval rejected: {exc}") from None
