"""Keys, signed approvals and their encoding."""

from __future__ import annotations

import cbor2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from vorel_core import (
    ApprovalVerificationError,
    InvalidSignatureError,
    PublicKey,
    SignedApproval,
    SigningKey,
)
from vorel_core._cbor import canonical_dumps

NOW = 1_700_000_000
SEED_HEX = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"
# Public key of SEED_HEX (first test vector of RFC 8032, section 7.1).
PUBLIC_HEX = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"


@pytest.fixture
def approver() -> SigningKey:
    return SigningKey.generate()


@pytest.fixture
def approval(approver: SigningKey) -> SignedApproval:
    return SignedApproval.create(
        approver, request_hash=bytes(range(32)), warrant_id="w-1", tool="send_email", ttl_seconds=300, now=NOW
    )


def _fields(approval: SignedApproval) -> dict:
    return cbor2.loads(approval.to_bytes())


# -- keys -----------------------------------------------------------------


def test_known_seed_gives_known_public_key_and_valid_signature():
    key = SigningKey.from_hex(SEED_HEX.upper())
    assert key.public_key.to_hex() == PUBLIC_HEX
    assert key.public_key == PublicKey.from_hex(PUBLIC_HEX)
    assert key.to_hex() == SEED_HEX
    # RFC 8032 test 1 signs the empty message.
    assert key.sign(b"").hex().startswith("e5564300c360ac729086e2cc806e828a")
    key.public_key.verify(key.sign(b"msg"), b"msg")


@pytest.mark.parametrize(
    "text",
    ["", "00", SEED_HEX[:-2], SEED_HEX + "00", SEED_HEX[:-1] + "g", " " + SEED_HEX[1:], "0x" + SEED_HEX[2:]],
)
def test_from_hex_rejects_wrong_length_or_bad_digits(text):
    with pytest.raises(ValueError, match="64 hex digits"):
        SigningKey.from_hex(text)


def test_repr_and_str_never_show_the_seed():
    key = SigningKey.from_hex(SEED_HEX)
    assert SEED_HEX not in repr(key) and SEED_HEX not in str(key)
    assert PUBLIC_HEX in repr(key)


@pytest.mark.parametrize(
    "signature, message",
    [
        ("flip-signature", b"hello"),
        ("ok", b"hellO"),
        ("short", b"hello"),
    ],
)
def test_public_key_verify_raises_on_any_mismatch(signature, message):
    key = SigningKey.generate()
    sig = key.sign(b"hello")
    if signature == "flip-signature":
        sig = bytes([sig[0] ^ 1]) + sig[1:]
    elif signature == "short":
        sig = sig[:-1]
    with pytest.raises(InvalidSignatureError):
        key.public_key.verify(sig, message)


def test_key_equality():
    a = SigningKey.from_hex(SEED_HEX)
    assert a == SigningKey.from_hex(SEED_HEX)
    assert a != SigningKey.generate()
    assert {a.public_key, SigningKey.from_hex(SEED_HEX).public_key} == {a.public_key}


# -- signed approvals: round trip, tampering, canonical form -------------------


def test_round_trip_keeps_every_field(approval, approver):
    again = SignedApproval.from_bytes(approval.to_bytes())
    assert again == approval
    assert again.approver_key == approver.public_key.to_bytes()
    assert (again.approved_at, again.expires_at, again.decision) == (NOW, NOW + 300, "approved")
    assert again.to_bytes() == approval.to_bytes()


@pytest.mark.parametrize(
    "field, new_value",
    [
        ("request_hash", bytes(32)),
        ("warrant_id", "w-2"),
        ("tool", "delete_everything"),
        ("approved_at", NOW + 1),
        ("expires_at", None),
        ("expires_at", NOW + 10_000),
        ("approver_key", SigningKey.from_hex(SEED_HEX).public_key.to_bytes()),
    ],
)
def test_changing_any_signed_field_breaks_the_signature(approval, field, new_value):
    fields = _fields(approval)
    fields[field] = new_value
    with pytest.raises(ValueError, match="signature"):
        SignedApproval.from_bytes(cbor2.dumps(fields, canonical=True))


def test_encoding_is_independent_of_map_insertion_order(approval):
    fields = _fields(approval)
    reversed_map = dict(reversed(list(fields.items())))
    assert list(reversed_map) != list(fields)
    assert canonical_dumps(reversed_map) == approval.to_bytes()
    assert canonical_dumps({"b": 1, "a": {"y": 2, "x": 3}}) == canonical_dumps({"a": {"x": 3, "y": 2}, "b": 1})


def _malformed_cases(approval: SignedApproval) -> dict[str, bytes]:
    good = approval.to_bytes()
    fields = _fields(approval)

    def with_(**changes):
        return cbor2.dumps({**fields, **changes}, canonical=True)

    missing = dict(fields)
    del missing["tool"]
    return {
        "empty": b"",
        "trailing byte": good + b"\x00",
        "truncated": good[:-1],
        "array not map": cbor2.dumps(list(fields.values()), canonical=True),
        "missing field": cbor2.dumps(missing, canonical=True),
        "extra field": with_(note="x"),
        "hash as text": with_(request_hash=fields["request_hash"].hex()),
        "time as float": with_(approved_at=float(NOW)),
        "time as bool": with_(expires_at=True),
        "short key": with_(approver_key=b"\x01" * 31),
        "denied decision": with_(decision="denied"),
        "unknown version": with_(version=2),
        "expiry before approval": with_(expires_at=NOW - 1),
        "not canonical (key order)": cbor2.dumps(dict(reversed(list(fields.items())))),
        "tagged datetime": with_(approved_at=cbor2.CBORTag(1, NOW)),
    }


@pytest.mark.parametrize(
    "case",
    [
        "empty",
        "trailing byte",
        "truncated",
        "array not map",
        "missing field",
        "extra field",
        "hash as text",
        "time as float",
        "time as bool",
        "short key",
        "denied decision",
        "unknown version",
        "expiry before approval",
        "not canonical (key order)",
        "tagged datetime",
    ],
)
def test_from_bytes_rejects_malformed_input(approval, case):
    with pytest.raises(ValueError):
        SignedApproval.from_bytes(_malformed_cases(approval)[case])


@pytest.mark.parametrize("raw", ["text", None, 42])
def test_from_bytes_rejects_non_bytes(raw):
    with pytest.raises(ValueError):
        SignedApproval.from_bytes(raw)


_KEY = SigningKey.from_hex(SEED_HEX)
_GOOD = SignedApproval.create(_KEY, request_hash=b"\x07" * 32, warrant_id="w", tool="t", now=NOW).to_bytes()


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=400))
def test_from_bytes_raises_only_value_error_on_arbitrary_bytes(raw):
    try:
        SignedApproval.from_bytes(raw)
    except ValueError:
        pass


@settings(max_examples=300, deadline=None)
@given(st.integers(min_value=0, max_value=len(_GOOD) - 1), st.integers(min_value=1, max_value=255))
def test_every_single_byte_change_is_rejected(position, xor):
    mutated = bytearray(_GOOD)
    mutated[position] ^= xor
    with pytest.raises(ValueError):
        SignedApproval.from_bytes(bytes(mutated))


# -- signed approvals: verify ------------------------------------------------


def test_verify_accepts_matching_request(approval, approver):
    assert approval.verify(bytes(range(32)), trusted_approvers=[approver.public_key], now=NOW + 300) is approval
    assert approval.verify(bytes(range(32)).hex(), trusted_approvers=[approver.public_key.to_hex()], now=NOW)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"expected_request_hash": bytes(32)}, "different request"),
        ({"trusted_approvers": []}, "not among the trusted"),
        ({"trusted_approvers": [SigningKey.from_hex(SEED_HEX).public_key]}, "not among the trusted"),
        ({"now": NOW + 301}, "expired"),
        ({"now": NOW - 3600}, "future"),
    ],
)
def test_verify_refuses(approval, kwargs, message):
    kwargs.setdefault("now", NOW)
    with pytest.raises(ApprovalVerificationError, match=message):
        approval.verify(**kwargs)


def test_verify_rechecks_the_signature_of_an_altered_object(approval):
    object.__setattr__(approval, "tool", "other")
    with pytest.raises(ApprovalVerificationError, match="signature"):
        approval.verify(now=NOW)


def test_constructor_refuses_a_forged_signature(approval):
    with pytest.raises(InvalidSignatureError):
        SignedApproval(
            request_hash=approval.request_hash,
            approver_key=approval.approver_key,
            warrant_id=approval.warrant_id,
            tool="other",
            approved_at=approval.approved_at,
            expires_at=approval.expires_at,
            signature=approval.signature,
        )
