"""Poll loops (blocking and coroutine) and the decoding of signed approvals."""

from __future__ import annotations

import asyncio
import base64
import binascii
import logging
import string

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vorel_cloud import approval
from vorel_cloud.exceptions import ApprovalTimeoutError, VorelCloudError

from .conftest import FakeAsyncClient, FakeClient, Script

MALFORMED = "malformed signed_approval in cloud response: not valid hex or base64"
NO_RESPONSES = "approved request has no approval responses"


def run_poll(kind, polls, *, poll_interval, timeout, script=None):
    script = script or Script(polls=polls)
    if kind == "sync":
        return script, approval._poll_until_resolved(
            FakeClient(script, "k"), "r-1", poll_interval=poll_interval, timeout=timeout
        )
    coro = approval._async_poll_until_resolved(
        FakeAsyncClient(script, "k"), "r-1", poll_interval=poll_interval, timeout=timeout
    )
    return script, asyncio.run(coro)


both = pytest.mark.parametrize("kind", ["sync", "async"])
PENDING = {"status": "pending"}


@both
@pytest.mark.parametrize(
    "final",
    [{"status": "approved"}, {"status": "denied"}, {"status": "Pending"}, {"status": "weird"}, {}],
)
def test_first_non_pending_answer_ends_the_loop_without_sleeping(clock, kind, final, caplog):
    caplog.set_level(logging.DEBUG, "vorel_cloud.approval")
    script, result = run_poll(kind, [final], poll_interval=2, timeout=10)
    assert result is final
    assert clock.sleeps == [] and caplog.records == []
    assert script.calls == [("get", "r-1")]


@both
def test_sleeps_are_cut_to_the_time_left_and_logged(clock, kind, caplog):
    caplog.set_level(logging.DEBUG, "vorel_cloud.approval")
    _script, result = run_poll(kind, [PENDING] * 4 + [{"status": "approved"}], poll_interval=2, timeout=7)
    assert result == {"status": "approved"}
    assert clock.sleeps == [2, 2, 2, 1]
    assert [(r.levelname, r.getMessage(), r.request_id, r.sleep) for r in caplog.records] == [
        ("DEBUG", "approval still pending, polling again", "r-1", s) for s in (2, 2, 2, 1)
    ]


@both
@pytest.mark.parametrize("timeout, polls, sleeps", [(0, 1, []), (3, 3, [2, 1]), (2, 2, [2])])
def test_timeout_raises_after_a_pending_answer(clock, kind, timeout, polls, sleeps):
    script = Script(polls=[PENDING] * 10)
    with pytest.raises(ApprovalTimeoutError) as info:
        run_poll(kind, None, poll_interval=2, timeout=timeout, script=script)
    assert info.value.args == ("r-1", timeout)
    assert clock.sleeps == sleeps
    assert len(script.calls) == polls


@both
def test_client_errors_propagate_at_once(clock, kind):
    err = VorelCloudError("boom", status_code=503)
    with pytest.raises(VorelCloudError) as info:
        run_poll(kind, [PENDING, err, PENDING], poll_interval=1, timeout=10)
    assert info.value is err and clock.sleeps == [1]


def test_async_poll_uses_monotonic_clock_not_the_loop_clock(clock):
    # The loop's own clock never advances here; only the patched monotonic one does.
    _script, result = run_poll("async", [PENDING, PENDING, {"status": "expired"}], poll_interval=5, timeout=6)
    assert result == {"status": "expired"} and clock.sleeps == [5, 1]


# ---- decoding ----------------------------------------------------------------


def hex_rule(text: str) -> bool:
    """The hex test as stated: hex digits only (one trailing newline allowed), even length overall."""
    body = text[:-1] if text.endswith("\n") else text
    return bool(body) and all(ch in string.hexdigits for ch in body) and len(text) % 2 == 0


def expected_normalisation(text: str):
    if hex_rule(text):
        try:
            return base64.b64encode(bytes.fromhex(text)).decode("ascii")
        except ValueError:
            pass
    try:
        base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        return MALFORMED
    return text


signed_texts = st.one_of(
    st.text(alphabet="0123456789abcdefABCDEF", min_size=1, max_size=24),
    st.text(alphabet="0123456789abcdefABCDEF", min_size=1, max_size=24).map(lambda s: s + "\n"),
    st.binary(min_size=1, max_size=18).map(lambda b: base64.b64encode(b).decode()),
    st.binary(min_size=1, max_size=18).map(lambda b: base64.urlsafe_b64encode(b).decode()),
    st.text(alphabet=string.ascii_letters + string.digits + "+/=-_\n ", min_size=1, max_size=24),
)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(raw=signed_texts)
def test_hex_or_base64_rule(core, raw):
    expected = expected_normalisation(raw)
    if expected == MALFORMED:
        with pytest.raises(VorelCloudError, match=r"^malformed signed_approval") as info:
            approval._extract_signed_approvals({"responses": [{"signed_approval": raw}]})
        assert info.value.__cause__ is None and isinstance(info.value.__context__, ValueError)
    else:
        assert approval._extract_signed_approvals({"responses": [{"signed_approval": raw}]}) == ("signed", expected)


@pytest.mark.parametrize(
    "raw, normalised",
    [
        ("deadbeef", "3q2+7w=="),  # also valid base64: hex wins
        ("DEADBEEF", "3q2+7w=="),
        ("3q2+7w==", "3q2+7w=="),
        ("abc\n", MALFORMED),  # matches the pattern, even length, but not hex: base64 rejects the newline
        ("abcdef1", MALFORMED),  # odd length
        ("3q2-7w==", MALFORMED),  # URL-safe alphabet
    ],
)
def test_signed_approval_examples(core, raw, normalised):
    if normalised == MALFORMED:
        with pytest.raises(VorelCloudError, match=MALFORMED):
            approval._extract_signed_approvals({"responses": [{"signed_approval": raw}]})
    else:
        assert approval._extract_signed_approvals({"responses": [{"signed_approval": raw}]}) == ("signed", normalised)


def test_empty_entries_are_skipped_and_several_come_back_as_a_list(core):
    result = {"responses": [{"signed_approval": ""}, {}, {"signed_approval": "00ff"}, {"signed_approval": "AP8="}]}
    assert approval._extract_signed_approvals(result) == [("signed", "AP8="), ("signed", "AP8=")]
    assert core.responses[-1].status == "approved"


@pytest.mark.parametrize("result", [{}, {"responses": None}, {"responses": []}])
def test_no_responses_fails_before_importing_the_core_sdk(monkeypatch, result):
    import sys

    monkeypatch.setitem(sys.modules, "vorel.cp_approval", None)
    with pytest.raises(VorelCloudError, match=NO_RESPONSES):
        approval._extract_signed_approvals(result)


def test_only_empty_entries_hand_none_to_the_core_sdk_and_fail(core):
    with pytest.raises(VorelCloudError, match=NO_RESPONSES):
        approval._extract_signed_approvals({"responses": [{"signed_approval": None}]})
    assert core.responses[-1].signed_approvals_b64 is None


def test_a_malformed_entry_stops_the_scan(core):
    with pytest.raises(VorelCloudError, match=MALFORMED):
        approval._extract_signed_approvals({"responses": [{"signed_approval": "!!"}, {"signed_approval": 5}]})
    assert core.responses == []


@pytest.mark.parametrize("entry, error", [("not a mapping", AttributeError), ({"signed_approval": b"00"}, TypeError)])
def test_unexpected_shapes_propagate(core, entry, error):
    with pytest.raises(error):
        approval._extract_signed_approvals({"responses": [entry]})


def test_missing_core_sdk_is_an_import_error(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "vorel.cp_approval", None)
    with pytest.raises(ImportError):
        approval._extract_signed_approvals({"responses": [{"signed_approval": "00"}]})


def test_real_signed_approvals_decode(request):
    """With the core SDK stand-in: hex and base64 texts of real signed approvals."""
    from vorel_core import SignedApproval, SigningKey

    key = SigningKey.generate()
    made = [SignedApproval.create(key, request_hash=bytes(32), warrant_id="w", tool="t") for _ in range(2)]
    one = approval._extract_signed_approvals({"responses": [{"signed_approval": made[0].to_bytes().hex()}]})
    assert isinstance(one, SignedApproval) and one.to_bytes() == made[0].to_bytes()
    two = approval._extract_signed_approvals(
        {"responses": [{"signed_approval": made[0].to_bytes().hex()}, {"signed_approval": made[1].to_base64()}]}
    )
    assert [a.to_bytes() for a in two] == [m.to_bytes() for m in made]
