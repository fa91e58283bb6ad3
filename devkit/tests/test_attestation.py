"""Approval-context attestations and the request hash they carry."""

from __future__ import annotations

import base64
import json
import re

import pytest
from vorel_core import (
    InvalidSignatureError,
    SigningKey,
    decode_arguments,
    py_build_approval_context_attestation,
    verify_approval_context_attestation,
)

HOLDER = SigningKey.from_hex("11" * 32)
OTHER = SigningKey.from_hex("22" * 32)
ARGS = {"to": "bob@example.com", "cc": ["a", "b"], "urgent": True, "n": 3, "ratio": 0.5, "blob": b"\x00\x01", "x": None}


def build(key=HOLDER, warrant_id="w-1", tool="send_email", arguments=ARGS, holder=None, issued_at=1_700_000_000):
    return py_build_approval_context_attestation(
        key, warrant_id, tool, arguments, holder if holder is not None else key.public_key, issued_at=issued_at
    )


def test_attestation_is_json_safe_and_verifies():
    args_b64, attestation = build()
    assert json.loads(json.dumps(attestation)) == attestation
    assert set(attestation) == {
        "version",
        "warrant_id",
        "tool",
        "args_hash",
        "holder_key",
        "request_hash",
        "issued_at",
        "signature",
    }
    assert attestation["holder_key"] == HOLDER.public_key.to_hex()
    assert verify_approval_context_attestation(attestation, args_b64) == bytes.fromhex(attestation["request_hash"])
    assert decode_arguments(args_b64) == ARGS


def test_holder_key_may_be_given_as_bytes():
    assert build(holder=HOLDER.public_key.to_bytes()) == build()


def test_arguments_encoding_ignores_key_order():
    reordered = dict(reversed(list(ARGS.items())))
    assert build(arguments=reordered)[0] == build()[0]
    assert build(arguments=reordered)[1]["request_hash"] == build()[1]["request_hash"]


@pytest.mark.parametrize(
    "change",
    [
        {"warrant_id": "w-2"},
        {"tool": "send_emails"},
        {"arguments": {**ARGS, "to": "eve@example.com"}},
        {"arguments": {**ARGS, "n": 3.5}},
        {"arguments": {**ARGS, "extra": ""}},
        {"holder": OTHER.public_key},
    ],
    ids=["warrant", "tool", "argument value", "argument type", "extra argument", "holder key"],
)
def test_request_hash_binds_every_input(change):
    baseline = build()[1]["request_hash"]
    assert build(**change)[1]["request_hash"] != baseline


def test_request_hash_does_not_depend_on_issue_time():
    assert build(issued_at=1)[1]["request_hash"] == build(issued_at=2)[1]["request_hash"]


@pytest.mark.parametrize(
    "value, where",
    [({1, 2}, "$.v"), (object(), "$.v"), (float("nan"), "$.v"), ([{"k": {"z"}}], "$.v[0].k")],
)
def test_unencodable_arguments_raise_type_error_naming_the_value(value, where):
    with pytest.raises(TypeError, match=re.escape(f"at {where} ")):
        build(arguments={"v": value})


@pytest.mark.parametrize(
    "field, value",
    [
        ("tool", "delete_all"),
        ("warrant_id", "w-9"),
        ("issued_at", 1),
        ("args_hash", "00" * 32),
        ("request_hash", "00" * 32),
        ("holder_key", OTHER.public_key.to_hex()),
    ],
)
def test_tampered_attestation_is_rejected(field, value):
    args_b64, attestation = build()
    attestation[field] = value
    with pytest.raises(ValueError):
        verify_approval_context_attestation(attestation, args_b64)


def test_other_arguments_are_rejected():
    _, attestation = build()
    other_b64 = build(arguments={"to": "eve"})[0]
    with pytest.raises(ValueError, match="args_hash"):
        verify_approval_context_attestation(attestation, other_b64)


def test_signature_by_someone_else_is_rejected():
    # OTHER signs an attestation that claims HOLDER's key: hashes are consistent,
    # only the signature gives it away.
    args_b64, attestation = build(key=OTHER, holder=HOLDER.public_key)
    with pytest.raises(InvalidSignatureError):
        verify_approval_context_attestation(attestation, args_b64)
    assert verify_approval_context_attestation(attestation, args_b64, signer_public_key=OTHER.public_key)


@pytest.mark.parametrize("args_b64", ["not base64!", base64.b64encode(b"\xa1").decode(), ""])
def test_malformed_arguments_text_is_rejected(args_b64):
    _, attestation = build()
    with pytest.raises(ValueError):
        verify_approval_context_attestation(attestation, args_b64)
