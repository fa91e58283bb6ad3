"""The request builder: the core SDK's approval request -> create-request body."""

from __future__ import annotations

import logging
import sys
import types

import pytest

from support.frames import python_frames
from support.leaks import assert_no_leak
from vorel_cloud import parvex
from vorel_cloud.exceptions import VorelCloudError

HOLDER_ERR = "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement"
ATTEST_ERR = (
    "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant "
    "is bound so key_scope() resolves the holder key"
)
HASH_ERR = "request_hash could not be resolved for approval request"
TYPE_ERR = "request.request_hash must be bytes or hex string"


class Request:
    """An approval request that records which attributes were read, in order."""

    def __init__(self, **attrs):
        object.__setattr__(self, "reads", [])
        for k, v in attrs.items():
            object.__setattr__(self, k, v)

    def __getattribute__(self, name):
        if name not in ("reads", "__dict__", "__class__"):
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


class FakeKey:
    def __init__(self, pub=b"\x01" * 32):
        self.public_key = pub


DROP = object()  # leaves the attribute off the request


def full_request(**over):
    attrs = dict(
        holder_key=b"\xaa" * 4,
        request_hash=b"\x01\x02",
        args_canonical_cbor_b64="YXJncw==",
        approval_context_attestation={"request_hash": "ffff", "sig": "01"},
        warrant_id="w-1",
        tool="send_email",
        arguments={"to": "a@b"},
    )
    attrs.update(over)
    return Request(**{k: v for k, v in attrs.items() if v is not DROP})


def test_prepopulated_pair_is_reused_without_signing_core(core, monkeypatch):
    monkeypatch.setitem(sys.modules, "vorel_core", None)  # any import of it would fail
    req = full_request(idempotency_key="idem-1", policy_ref="pol-1", min_approvals=2)
    p = parvex.build_approval_request_payload(req)
    assert p.request_hash == b"\x01\x02"
    assert p.holder_key == b"\xaa" * 4
    assert p.args_canonical_cbor_b64 == "YXJncw=="
    assert p.approval_context_attestation == {"request_hash": "ffff", "sig": "01"}
    assert p.approval_context_attestation is not req.approval_context_attestation
    assert p.metadata is req.arguments
    assert (p.policy_id, p.threshold, p.idempotency_key) == ("pol-1", 2, "idem-1")
    assert core.scope_calls == 1  # consulted even though the pair is complete


@pytest.mark.parametrize(
    "attested, expected",
    [("0a0B", b"\x0a\x0b"), (None, VorelCloudError), ("", VorelCloudError), ("zz", ValueError)],
)
def test_request_hash_falls_back_to_attestation(core, attested, expected):
    att = {"sig": "01"} if attested is None else {"sig": "01", "request_hash": attested}
    req = full_request(request_hash=None, approval_context_attestation=att)
    if isinstance(expected, bytes):
        assert parvex.build_approval_request_payload(req).request_hash == expected
    else:
        with pytest.raises(expected) as exc:
            parvex.build_approval_request_payload(req)
        if expected is VorelCloudError:
            assert str(exc.value) == HASH_ERR


def test_half_populated_request_is_rebuilt_by_signing_core(core):
    key = FakeKey()
    req = full_request(approval_context_attestation=None, request_hash=DROP, args_canonical_cbor_b64="b2xk")
    p = parvex.build_approval_request_payload(req, signing_key=key)
    assert core.built == [(key, "w-1", "send_email", {"to": "a@b"}, key.public_key)]
    assert p.args_canonical_cbor_b64 == "Y2Jvcg=="
    assert p.approval_context_attestation == {"request_hash": "aabb", "sig": "00"}
    assert p.request_hash == b"\xaa\xbb"
    # the signing core's public key read comes before the three request reads
    reads = [r for r in req.reads if r in ("warrant_id", "tool", "arguments")]
    assert reads[:3] == ["warrant_id", "tool", "arguments"]


def test_key_scope_failure_is_logged_and_attestation_required(core, caplog):
    core.scope_error = RuntimeError("no warrant bound")
    req = full_request(approval_context_attestation=None)
    with caplog.at_level(logging.DEBUG, logger="vorel_cloud.parvex"):
        with pytest.raises(VorelCloudError) as exc:
            parvex.build_approval_request_payload(req)
    assert str(exc.value) == ATTEST_ERR
    rec = [r for r in caplog.records if r.name == "vorel_cloud.parvex"]
    assert [(r.levelno, r.msg, r.args[0]) for r in rec] == [
        (logging.DEBUG, "key_scope unavailable: %s", core.scope_error)
    ]


def test_failing_debug_log_keeps_the_key_scope_error_as_context(core, monkeypatch):
    core.scope_error = RuntimeError("no warrant bound")
    broken = types.SimpleNamespace(debug=lambda *a, **k: 1 / 0)
    monkeypatch.setattr(parvex, "logger", broken)
    with pytest.raises(ZeroDivisionError) as exc:
        parvex._resolve_signing_key()
    assert exc.value.__context__ is core.scope_error


@pytest.mark.parametrize("missing", ["module", "name"])
def test_key_scope_import_failure_is_silent(core, monkeypatch, caplog, missing):
    if missing == "module":
        monkeypatch.setitem(sys.modules, "vorel.decorators", None)
    else:
        monkeypatch.delattr(sys.modules["vorel.decorators"], "key_scope")
    with caplog.at_level(logging.DEBUG, logger="vorel_cloud.parvex"):
        assert parvex._resolve_signing_key() is None
    assert not caplog.records


def test_key_scope_base_exceptions_propagate(core):
    core.scope_error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        parvex._resolve_signing_key(None)


def test_empty_holder_key_fails_before_anything_else(core):
    req = full_request(holder_key=b"")
    with pytest.raises(VorelCloudError) as exc:
        parvex.build_approval_request_payload(req)
    assert str(exc.value) == HOLDER_ERR
    assert req.reads == ["holder_key"]
    assert core.scope_calls == 0


@pytest.mark.parametrize(
    "kwargs, attrs, field, expected",
    [
        ({"policy_id": ""}, {"policy_id": "", "policy_ref": "ref-1"}, "policy_id", "ref-1"),
        ({"policy_id": "explicit"}, {"policy_id": "own"}, "policy_id", "explicit"),
        ({"idempotency_key": ""}, {"idempotency_key": "own-key"}, "idempotency_key", "own-key"),
        ({"idempotency_key": ""}, {}, "idempotency_key", None),
        ({"idempotency_key": "k"}, {"idempotency_key": "own"}, "idempotency_key", "k"),
        ({}, {"arguments": [1, 2]}, "metadata", None),
        ({}, {"warrant_id": 7, "tool": None}, "warrant_id", "7"),
        ({}, {"warrant_id": 7, "tool": None}, "tool", "None"),
    ],
)
def test_builder_options(core, kwargs, attrs, field, expected):
    p = parvex.build_approval_request_payload(full_request(**attrs), **kwargs)
    assert getattr(p, field) == expected


def test_missing_optional_attributes_use_defaults(core):
    req = Request(
        holder_key="aa", request_hash="01", args_canonical_cbor_b64="eA==", approval_context_attestation={"x": 1}
    )
    p = parvex.build_approval_request_payload(req)
    assert (p.warrant_id, p.tool, p.metadata, p.policy_id, p.approver_keys, p.ttl_seconds) == (
        "",
        "",
        None,
        None,
        None,
        None,
    )


def test_malformed_hex_propagates_unchanged(core):
    with pytest.raises(ValueError) as exc:
        parvex.build_approval_request_payload(full_request(holder_key="not hex"))
    assert exc.value.__context__ is None and exc.value.__cause__ is None


def test_signing_core_errors_propagate(core):
    core.result = ("only-one",)
    with pytest.raises(ValueError, match="not enough values to unpack"):
        parvex.build_approval_request_payload(full_request(approval_context_attestation=None), signing_key=FakeKey())


def test_to_create_request_kwargs_minimal_order():
    p = parvex.ApprovalRequestPayload(
        "w",
        "t",
        b"h",
        b"k",
        "YQ==",
        {},
        metadata=None,
        policy_id="",
        threshold=0,
        approver_keys=[],
        ttl_seconds=None,
        idempotency_key=None,
    )
    kw = p.to_create_request_kwargs()
    assert list(kw) == [
        "warrant_id",
        "tool",
        "request_hash",
        "holder_key",
        "args_canonical_cbor_b64",
        "approval_context_attestation",
        "threshold",
        "approver_keys",
    ]
    assert kw["approver_keys"] is p.approver_keys


def test_to_create_request_kwargs_full_order():
    p = parvex.ApprovalRequestPayload("w", "t", b"h", b"k", "YQ==", {"a": 1}, {}, "pol", 1, ["ab"], 0, "idem")
    assert list(p.to_create_request_kwargs())[6:] == [
        "metadata",
        "policy_id",
        "threshold",
        "approver_keys",
        "ttl_seconds",
        "idempotency_key",
    ]


# ---- field resolution -----------------------------------------------------


class ToBytes:
    def to_bytes(self):
        return bytearray(b"\x01\x02")


@pytest.mark.parametrize(
    "value, expected",
    [
        ("AABB", b"\xaa\xbb"),
        ("aa bb", b"\xaa\xbb"),
        (bytearray(b"\x01"), b"\x01"),
        (ToBytes(), b"\x01\x02"),
        (object(), b""),
        (None, b""),
        (4.5, b""),
    ],
)
def test_resolve_holder_key(value, expected):
    got = parvex._resolve_holder_key(types.SimpleNamespace(holder_key=value))
    assert got == expected and type(got) is bytes


# int.to_bytes() works without arguments, so a number would silently become a
# one-byte key; a bare text or bytes value would be split into one approver per
# character.
@pytest.mark.parametrize(
    "name, value",
    [
        ("holder_key", 42),
        ("holder_key", True),
        ("required_approvers", "abcd"),
        ("required_approvers", b"\xab\xcd"),
        ("required_approvers", bytearray(b"\xab")),
    ],
)
def test_scalar_keys_are_refused(core, name, value):
    with pytest.raises(VorelCloudError) as exc:
        parvex.build_approval_request_payload(full_request(**{name: value}))
    assert (
        str(exc.value)
        == {
            "holder_key": "request.holder_key must be bytes, hex string or a key with to_bytes()",
            "required_approvers": "request.required_approvers must be a list of keys, not str or bytes",
        }[name]
    )


def test_resolve_holder_key_absent_attribute():
    assert parvex._resolve_holder_key(object()) == b""


def test_explicit_falsy_signing_key_wins(core):
    assert parvex._resolve_signing_key(0) == 0
    assert core.scope_calls == 0


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"\x01\x02", b"\x01\x02"),
        (bytearray(b"\x01\x02"), b"\x01\x02"),
        ("0102", b"\x01\x02"),
        (None, VorelCloudError),
        (12, VorelCloudError),
    ],
)
def test_normalize_request_hash(value, expected):
    if expected is VorelCloudError:
        with pytest.raises(VorelCloudError) as exc:
            parvex._normalize_request_hash(value)
        assert str(exc.value) == TYPE_ERR
    else:
        assert parvex._normalize_request_hash(value) == expected


@pytest.mark.parametrize(
    "attrs, override, expected",
    [
        ({"policy_id": "", "policy_ref": "ref"}, "", "ref"),
        ({"policy_id": 5}, None, None),
        ({"policy_id": "p", "policy_ref": "r"}, None, "p"),
        ({}, 0, None),
        ({}, 7, 7),
    ],
)
def test_extract_policy_id(attrs, override, expected):
    assert parvex._extract_policy_id(types.SimpleNamespace(**attrs), override) == expected


@pytest.mark.parametrize(
    "attrs, expected",
    [
        ({"required_approvers": [b"\xab", "cd", b"\xab"]}, (["ab", "cd", "ab"], None, None)),
        ({"required_approvers": []}, (None, None, None)),
        ({"min_approvals": "2", "ttl_seconds": None, "gate_ttl": 90.9}, (None, "2", 90)),
        ({"ttl_seconds": 0, "gate_ttl": 60}, (None, None, 0)),
        ({"gate_ttl": "45"}, (None, None, 45)),
    ],
)
def test_extract_inline_rules(attrs, expected):
    assert parvex._extract_inline_rules(types.SimpleNamespace(**attrs)) == expected


def test_extract_inline_rules_bad_gate_ttl():
    with pytest.raises(ValueError):
        parvex._extract_inline_rules(types.SimpleNamespace(gate_ttl="soon"))


@pytest.mark.parametrize("attested, expected", [("abc", b"\x09"), ("0x12", b"\x09"), ("beef", b"\xbe\xef")])
def test_build_attestation_fields_hash_rule(core, attested, expected):
    core.result = ("YQ==", [("request_hash", attested)])
    req = types.SimpleNamespace(warrant_id="w", tool="t", arguments=None, request_hash=b"\x09")
    args_b64, att, rh = parvex._build_attestation_fields(req, signing_key=FakeKey(), holder_key=b"")
    assert (args_b64, att, rh) == ("YQ==", {"request_hash": attested}, expected)


@pytest.mark.parametrize("attested, expected", [("aabb", b"\xaa\xbb"), (None, b"")])
def test_none_request_hash_counts_as_absent_on_the_signing_core_path(core, attested, expected):
    core.result = ("YQ==", {"sig": "00"} if attested is None else {"request_hash": attested})
    req = types.SimpleNamespace(warrant_id="w", tool="t", arguments=None, request_hash=None)
    assert parvex._build_attestation_fields(req, signing_key=FakeKey(), holder_key=b"")[2] == expected
    # The builder takes the same road; without any hash it ends at its own error.
    req = full_request(request_hash=None, approval_context_attestation=None)
    if expected:
        assert parvex.build_approval_request_payload(req, signing_key=FakeKey()).request_hash == expected
    else:
        with pytest.raises(VorelCloudError, match=HASH_ERR):
            parvex.build_approval_request_payload(req, signing_key=FakeKey())


@pytest.mark.parametrize("result", [("", {"request_hash": "aabb"}), ("YQ==", {}), ("YQ==", [])])
def test_empty_attestation_from_signing_core_is_refused(core, result):
    core.result = result
    with pytest.raises(VorelCloudError) as exc:
        parvex.build_approval_request_payload(full_request(approval_context_attestation=None), signing_key=FakeKey())
    assert str(exc.value) == ATTEST_ERR


def test_build_attestation_fields_without_signing_core(monkeypatch):
    monkeypatch.setitem(sys.modules, "vorel_core", None)
    with pytest.raises(ImportError):
        parvex._build_attestation_fields(object(), signing_key=FakeKey(), holder_key=b"")


# ---- against the core SDK stand-in -----------------------------------------


def test_real_signing_core_attestation_verifies():
    vorel_core = pytest.importorskip("vorel_core")
    from vorel.decorators import bound_key
    from vorel_core.attestation import verify_approval_context_attestation

    key = vorel_core.SigningKey.generate()
    req = types.SimpleNamespace(
        holder_key=key.public_key.to_bytes(),
        warrant_id="w-9",
        tool="transfer",
        arguments={"amount": 10},
    )
    with bound_key(key):
        p = parvex.build_approval_request_payload(req)
    assert (
        verify_approval_context_attestation(p.approval_context_attestation, p.args_canonical_cbor_b64) == p.request_hash
    )
    assert len(p.request_hash) == 32


# One leaked reference per call would show as >= 2000 blocks; the interpreter's
# free lists settle by a few hundred blocks over the first rounds.
LEAK = dict(runs=2000, warmup=2000, block_tolerance=400)


class _Sink(list):
    def append(self, item):
        pass


# ---- leaks -------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, expect",
    [
        (lambda: full_request(), None),
        (lambda: full_request(holder_key=None), VorelCloudError),
        (lambda: full_request(approval_context_attestation=None), VorelCloudError),
        (lambda: full_request(request_hash=None, approval_context_attestation={"x": 1}), VorelCloudError),
        (lambda: full_request(request_hash=3.5), VorelCloudError),
        (lambda: full_request(holder_key="zz"), ValueError),
        (lambda: full_request(required_approvers=[b"\x01"], gate_ttl="x", ttl_seconds=None), ValueError),
    ],
)
def test_builder_does_not_leak(core, make, expect):
    req = types.SimpleNamespace(**make().__dict__)  # the recording request would grow by itself
    del req.reads
    assert_no_leak(lambda: parvex.build_approval_request_payload(req), expect=expect, **LEAK)


def test_builder_with_signing_core_does_not_leak(core):
    req = types.SimpleNamespace(**full_request(approval_context_attestation=None).__dict__)
    key = FakeKey()
    core.built = _Sink()
    core.scope_error = RuntimeError  # a fresh exception each call: a reused one grows its traceback
    assert_no_leak(lambda: parvex.build_approval_request_payload(req, signing_key=key), **LEAK)
    assert_no_leak(lambda: parvex.build_approval_request_payload(req), expect=VorelCloudError, **LEAK)


# ---- native short cuts against what they stand for ---------------------------


class Hex(str):
    pass


@pytest.mark.parametrize(
    "text", ["0A0b", "", "00ff" * 16, "abc", "zz", "a" + "g", "aa bb", "\u00e90", Hex("0102"), "0x12"]
)
def test_hex_text_decodes_as_bytes_fromhex(text):
    def outcome(fn):
        try:
            return fn(text)
        except ValueError as e:
            return (ValueError, str(e))

    got = outcome(parvex._normalize_request_hash)
    assert got == outcome(bytes.fromhex) and type(got) in (bytes, tuple)


def test_built_payload_is_laid_out_as_a_constructed_one(core):
    # The guarded construction must leave the instance as the class's own
    # __init__ would: same attribute values, stored the same way.
    import gc

    p = parvex.build_approval_request_payload(full_request())
    q = parvex.ApprovalRequestPayload(**{f: getattr(p, f) for f in p.__dataclass_fields__})
    assert [type(r) for r in gc.get_referents(p)] == [type(r) for r in gc.get_referents(q)]
    assert p == q


def test_the_guarded_construction_runs_no_generated_init(core):
    # On every supported interpreter the build makes the instance without the
    # dataclass's generated __init__ (the guard holds), and a subclass in the
    # module's place gets its __init__ run.
    request = full_request()
    direct, q = python_frames(
        lambda: parvex.ApprovalRequestPayload(**vars(parvex.build_approval_request_payload(request)))
    )
    inits = {f for f in direct if f.endswith("__init__")}
    assert inits  # the generated __init__ is Python code: a frame of its own
    built, p = python_frames(lambda: parvex.build_approval_request_payload(request))
    assert not inits & built and p == q
    sub = type("Sub", (parvex.ApprovalRequestPayload,), {})
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(parvex, "ApprovalRequestPayload", sub)
        through, p = python_frames(lambda: parvex.build_approval_request_payload(request))
    assert inits <= through and type(p) is sub


@pytest.mark.parametrize("replacement", ["python", "native"])
def test_helpers_are_read_from_the_module_at_each_call(core, monkeypatch, replacement):
    # The builder reaches its helpers through the module globals: a patched
    # one runs instead, whether Python code or another native function.
    if replacement == "python":
        monkeypatch.setattr(parvex, "_resolve_holder_key", lambda request: b"\x07")
        monkeypatch.setattr(parvex, "_extract_policy_id", lambda request, override: "patched")
        p = parvex.build_approval_request_payload(full_request())
        assert (p.holder_key, p.policy_id) == (b"\x07", "patched")
    else:
        monkeypatch.setattr(parvex, "_resolve_holder_key", parvex._normalize_request_hash)
        with pytest.raises(VorelCloudError, match=TYPE_ERR):
            parvex.build_approval_request_payload(full_request())


@pytest.mark.parametrize(
    "change", ["class property", "subclass property", "deleted with default", "deleted required", "reordered"]
)
def test_to_create_request_kwargs_reads_fields_as_attributes(core, monkeypatch, change):
    # The members are read as `self.<field>` would read them, whatever the
    # class or the instance has become since the payload was built.
    p = parvex.build_approval_request_payload(full_request(), policy_id="pol", idempotency_key="k")
    expected = dict(p.to_create_request_kwargs())
    if change == "class property":
        monkeypatch.setattr(parvex.ApprovalRequestPayload, "tool", property(lambda self: "shadowed"), raising=False)
        expected["tool"] = "shadowed"
    elif change == "subclass property":
        sub = type("Sub", (parvex.ApprovalRequestPayload,), {"policy_id": property(lambda self: "sub")})
        q = object.__new__(sub)
        q.__dict__.update(vars(p))
        p = q
        expected["policy_id"] = "sub"
    elif change == "deleted with default":
        del p.policy_id  # the class default (None) shows through
        del expected["policy_id"]
    elif change == "deleted required":
        del p.tool
        with pytest.raises(AttributeError):
            p.to_create_request_kwargs()
        return
    else:
        del p.warrant_id
        p.warrant_id = "again"  # now last in the instance's own order
        expected["warrant_id"] = "again"
    assert list(p.to_create_request_kwargs().items()) == list(expected.items())
