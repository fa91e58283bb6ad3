#!/usr/bin/env python3
"""Fuzz target: `vorel_cloud.parvex.build_approval_request_payload` with
requests whose attributes have arbitrary types, and a signing core and
`key_scope()` whose answers the input decides; then `to_create_request_kwargs`
of the record built.

Documented escapes: `VorelCloudError` (holder key, attestation, request hash,
hash type, holder-key or approver-list type), `ValueError` (malformed hex, the signing core's pair), `TypeError`
/ `OverflowError` / `ValueError` of `int()`, `bytes()` and iteration over
attribute values, `AttributeError` of the plain reads in the attestation step,
`ImportError` of a missing signing core, and whatever the signing core or an
odd value raises.

The oracle builds the rendering's own payload record, so records compare by
class name and fields in order (`common.canon`), and `to_create_request_kwargs`
is the rendering's too.
"""

from __future__ import annotations

import sys

if __package__ in (None, ""):
    sys.path.append(
        __import__("os").path.dirname(__import__("os").path.dirname(__import__("os").path.abspath(__file__)))
    )

from fuzz import common
from reference.parvex import _normalize_request_hash as normalize_request_hash  # noqa: F401 (the error tests compare with it)
from reference.parvex import build_approval_request_payload as reference

NAME = "request_builder"

ATTRS = (
    "holder_key",
    "request_hash",
    "args_canonical_cbor_b64",
    "approval_context_attestation",
    "warrant_id",
    "tool",
    "arguments",
    "policy_id",
    "policy_ref",
    "required_approvers",
    "min_approvals",
    "ttl_seconds",
    "gate_ttl",
    "idempotency_key",
)


# ---- inputs ------------------------------------------------------------------


class Request:
    """A core SDK approval request: some attributes set, others absent."""

    def __repr__(self):
        return f"Request({vars(self)!r})"


class RaisingRequest(Request):
    """Attribute reads of one name fail with something other than AttributeError."""

    def __init__(self, name):
        object.__setattr__(self, "_bad", name)

    def __getattribute__(self, name):
        if name == object.__getattribute__(self, "_bad"):
            raise common.Boom(f"read {name}")
        return object.__getattribute__(self, name)


def _typical(src: common.Source, name: str):
    """A value of the type the core SDK usually sets, so that deep steps are reached."""
    if name == "holder_key":
        return src.pick([b"\xaa" * 4, "aabb", "AA BB", common.FakeKey(b"\x01")])
    if name == "request_hash":
        return src.pick([b"\x01\x02", "0102", bytearray(b"\x03"), None])
    if name == "args_canonical_cbor_b64":
        return src.pick(["YXJncw==", "", None])
    if name == "approval_context_attestation":
        return src.pick(
            [{"request_hash": "ffff"}, {"request_hash": "zz"}, {"sig": "01"}, None, [("request_hash", "0a")]]
        )
    if name in ("warrant_id", "tool", "policy_id", "policy_ref", "idempotency_key"):
        return src.text(8)
    if name == "arguments":
        return src.pick([{"to": "a"}, [1, 2], None])
    if name == "required_approvers":
        return [src.pick([b"\xab", "cd", bytearray(b"\x01")]) for _ in range(src.int(3))]
    if name in ("min_approvals", "ttl_seconds"):
        return src.pick([None, 0, 2])
    return src.pick([None, 90.9, 60, "45"])


def make_call(data: bytes):
    """(request, keyword arguments) for one call; the same bytes give equal calls."""
    src = common.Source(data)
    req = RaisingRequest(src.pick(ATTRS)) if src.int(12) == 0 else Request()
    for name in ATTRS:
        r = src.int(8)
        if r == 0:
            continue  # absent
        v = common.value(src) if r < 4 else _typical(src, name)
        object.__setattr__(req, name, v)

    # The signing core and key_scope() of this call.
    scope = src.int(6)
    key = common.FakeKey(common.value(src, 2) if src.int(3) == 0 else b"\x02" * 4)
    if scope == 0:
        common.CORE.scope = lambda: key
    elif scope == 1:

        def scope_fails():
            raise RuntimeError("no warrant bound")

        common.CORE.scope = scope_fails
    elif scope == 2:

        def scope_missing():
            raise ImportError("key_scope")

        common.CORE.scope = scope_missing
    else:
        common.CORE.scope = lambda: None
    attest = src.int(6)
    pair = (
        common.value(src, 1),
        src.pick([{"request_hash": "aabb"}, {"request_hash": "odd"}, {}, common.value(src, 1)]),
    )
    if attest == 0:
        common.CORE.attest = lambda *a: pair + (1,)
    elif attest == 1:

        def core_fails(*a):
            raise common.CoreError("signing core failed")

        common.CORE.attest = core_fails
    elif attest == 2:
        common.CORE.attest = lambda *a: common.value(src, 1)
    else:
        common.CORE.attest = lambda *a: list(pair) if attest == 3 else pair

    kwargs = {}
    if src.int(3) == 0:
        kwargs["signing_key"] = (
            src.pick([None, common.FakeKey(b"\x03" * 4), common.value(src, 2)]) if src.bool() else key
        )
    if src.int(3) == 0:
        kwargs["policy_id"] = src.pick([None, "", "pol", common.value(src, 2)])
    if src.int(3) == 0:
        kwargs["idempotency_key"] = src.pick([None, "", "idem", common.value(src, 2)])
    return req, kwargs


def prepare():
    common.CORE.install()
    common.native("vorel_cloud.parvex", "build_approval_request_payload")


def one_input(data: bytes) -> None:
    from vorel_cloud import parvex
    from vorel_cloud.exceptions import VorelCloudError

    build = common.native("vorel_cloud.parvex", "build_approval_request_payload")
    allowed = (
        VorelCloudError,
        ValueError,
        TypeError,
        OverflowError,
        AttributeError,
        ImportError,
        common.CoreError,
        common.Boom,
        common.BoomBase,
        RuntimeError,
    )

    def native_run():
        req, kw = make_call(data)
        p = build(req, **kw)
        assert isinstance(p, parvex.ApprovalRequestPayload), p
        return p, p.to_create_request_kwargs()

    def reference_run():
        req, kw = make_call(data)
        p = reference(req, **kw)
        return p, p.to_create_request_kwargs()

    common.compare(
        native_run,
        reference_run,
        allowed=allowed,
        own_errors=(VorelCloudError,),
        describe=lambda: repr(make_call(data)),
    )


if __name__ == "__main__":
    common.main(NAME, one_input, prepare)
