"""Fakes shared by both sides of every benchmark row.

The clients answer at once and the core SDK stand-ins do no cryptography, so
what is measured is the handler's own work plus the calls it makes, the same
calls on both sides.
"""

from __future__ import annotations

import base64
import json
import sys
import types

SIGNED_HEX = "a1" * 96  # one signed approval as hex; the fake decoder returns its base64 text
SIGNED_B64 = base64.b64encode(bytes.fromhex(SIGNED_HEX)).decode("ascii")


class FakeClient:
    __slots__ = ("polls",)
    approve_after = 1  # the poll that answers "approved"

    def __init__(self, api_key, base_url=None, timeout=None):
        self.polls = 0

    def create_request(self, **kwargs):
        return {"id": "r-1", "status": "pending"}

    def _answer(self):
        self.polls += 1
        if self.polls >= self.approve_after:
            return {"status": "approved", "responses": [{"signed_approval": SIGNED_HEX}]}
        return {"status": "pending"}

    def get_request(self, request_id):
        return self._answer()

    def close(self):
        pass


class FakeAsyncClient(FakeClient):
    __slots__ = ()

    async def create_request(self, **kwargs):
        return {"id": "r-1", "status": "pending"}

    async def get_request(self, request_id):
        return self._answer()

    async def close(self):
        pass


class FakePublicKey:
    __slots__ = ()

    def to_bytes(self):
        return b"\x01" * 32


class FakeSigningKey:
    __slots__ = ("public_key",)

    def __init__(self):
        self.public_key = FakePublicKey()


ATTESTATION = {"request_hash": "02" * 32, "v": 1, "holder": "01" * 32}


def install_fake_core() -> None:
    """`vorel` and `vorel_core` stand-ins in sys.modules (no crypto, no real SDK)."""

    class ApprovalDenied(Exception):
        def __init__(self, request=None, reason=""):
            super().__init__(request, reason)

    class Response:
        __slots__ = ("signed_approvals_b64", "status")

        def __init__(self, status, signed_approvals_b64=None):
            self.status, self.signed_approvals_b64 = status, signed_approvals_b64

    class CoreMiddleware:
        def __init__(self, *args, approval_handler=None, **kwargs):
            self.approval_handler = approval_handler

    class CoreToolNode:
        def __init__(self, tools, *, approval_handler=None, **kwargs):
            self.tools, self.approval_handler = tools, approval_handler

    vorel = types.ModuleType("vorel")
    vorel.__path__ = []  # a package, so `vorel.langgraph` resolves through sys.modules
    mod_approval = types.ModuleType("vorel.approval")
    mod_approval.ApprovalDenied = ApprovalDenied
    cp = types.ModuleType("vorel.cp_approval")
    cp.ControlPlaneApprovalResponseV1 = Response
    cp.signed_approvals_from_response = lambda response: list(response.signed_approvals_b64 or ())
    decorators = types.ModuleType("vorel.decorators")
    decorators.key_scope = lambda: None  # no warrant context
    lg = types.ModuleType("vorel.langgraph")
    lg.VorelMiddleware, lg.VorelToolNode = CoreMiddleware, CoreToolNode
    vorel.approval, vorel.cp_approval, vorel.decorators, vorel.langgraph = mod_approval, cp, decorators, lg

    core = types.ModuleType("vorel_core")
    args_b64 = "oWJ0b2Nib2I="
    core.py_build_approval_context_attestation = lambda key, warrant_id, tool, arguments, holder: (
        args_b64,
        ATTESTATION,
    )
    core.SigningKey = FakeSigningKey
    sys.modules.update(
        {
            "vorel": vorel,
            "vorel.approval": mod_approval,
            "vorel.cp_approval": cp,
            "vorel.decorators": decorators,
            "vorel.langgraph": lg,
            "vorel_core": core,
        }
    )


class Request:
    """The attributes the builder reads, as the core SDK's approval request carries them."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def attested_request() -> Request:
    """A request that already carries its canonical arguments and attestation."""
    return Request(
        tool="send_email",
        warrant_id="w-bench",
        arguments={"to": "bob"},
        holder_key=b"\x01" * 32,
        request_hash=b"\x02" * 32,
        args_canonical_cbor_b64="oWJ0b2Nib2I=",
        approval_context_attestation={"request_hash": "02" * 32, "v": 1},
        idempotency_key=None,
        request_id=b"\x03" * 16,
    )


def bare_request() -> Request:
    """A request without attestation: the signing core builds it from the signing key."""
    return Request(
        tool="send_email",
        warrant_id="w-bench",
        arguments={"to": "bob"},
        holder_key=b"\x01" * 32,
        request_id=b"\x03" * 16,
    )


def approved_result(n: int = 3) -> dict:
    """An approval result with `n` responses, hex and base64 mixed."""
    responses = []
    for i in range(n):
        responses.append({"signed_approval": SIGNED_HEX if i % 2 == 0 else SIGNED_B64})
    return {"status": "approved", "responses": responses}


def connect_token(agent: bool = True) -> str:
    data = {"endpoint": "https://api.vorel.test/", "api_key": "vc_test_key"}
    if agent:
        data.update(agent_id="agent-1", registration_token="reg-1")
    raw = base64.urlsafe_b64encode(json.dumps(data).encode()).decode().rstrip("=")
    return "vorel_ct_" + raw
