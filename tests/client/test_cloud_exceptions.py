"""Exceptions: messages, attributes, hierarchy, pickling."""

from __future__ import annotations

import pickle

import pytest

from vorel_cloud import exceptions as exc
from vorel_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    AuthenticationError,
    ConflictError,
    NotFoundError,
    PermissionDeniedError,
    RateLimitError,
    ServerError,
    TransportError,
    ValidationError,
    VorelCloudError,
)


def test_str_is_exactly_the_message():
    err = VorelCloudError("tenant not found", status_code=404, remediation="check the id", body={"error": {}})
    assert str(err) == "tenant not found"
    assert err.message == "tenant not found"
    assert err.status_code == 404
    assert err.remediation == "check the id"
    assert err.body == {"error": {}}
    assert err.args == ("tenant not found",)


def test_defaults():
    err = VorelCloudError("boom")
    assert err.status_code is None
    assert err.remediation is None
    assert err.body == {}
    assert err.code is None
    other = VorelCloudError("boom")
    err.body["x"] = 1
    assert other.body == {}


def test_body_is_copied():
    body = {"error": {"code": "x"}}
    err = VorelCloudError("boom", body=body)
    body["extra"] = True
    assert "extra" not in err.body


@pytest.mark.parametrize(
    ("cls", "bases"),
    [
        (AuthenticationError, (VorelCloudError,)),
        (PermissionDeniedError, (AuthenticationError, VorelCloudError)),
        (NotFoundError, (VorelCloudError,)),
        (ConflictError, (VorelCloudError,)),
        (ValidationError, (VorelCloudError,)),
        (RateLimitError, (VorelCloudError,)),
        (ServerError, (VorelCloudError,)),
        (TransportError, (VorelCloudError,)),
        (ApprovalDeniedError, (VorelCloudError,)),
        (ApprovalExpiredError, (VorelCloudError,)),
        (ApprovalTimeoutError, (VorelCloudError,)),
    ],
)
def test_hierarchy(cls, bases):
    for base in bases:
        assert issubclass(cls, base)
    assert issubclass(VorelCloudError, Exception)


def test_causes_are_distinct():
    assert not issubclass(NotFoundError, AuthenticationError)
    assert not issubclass(ServerError, TransportError)
    assert not issubclass(AuthenticationError, PermissionDeniedError)


def test_rate_limit_error():
    err = RateLimitError("slow down", retry_after=2.5)
    assert err.retry_after == 2.5
    assert err.status_code == 429
    assert str(err) == "slow down"
    assert RateLimitError("slow down").retry_after is None


def test_approval_timeout_error():
    err = ApprovalTimeoutError("apr_123", 300.0)
    assert err.request_id == "apr_123"
    assert err.timeout == 300.0
    assert err.args == ("apr_123", 300.0)
    assert "apr_123" in str(err)
    assert "300.0" in str(err)
    assert str(err) == err.message
    assert err.status_code is None
    assert err.remediation


def test_approval_timeout_error_needs_both_arguments():
    with pytest.raises(TypeError):
        ApprovalTimeoutError("apr_1")  # type: ignore[call-arg]


def _examples() -> list[VorelCloudError]:
    return [
        VorelCloudError("base", status_code=418, remediation="tea", body={"a": [1]}, code="teapot"),
        AuthenticationError("bad key", status_code=401, remediation="rotate"),
        PermissionDeniedError("nope", status_code=403, body={"error": {"code": "forbidden"}}),
        NotFoundError("missing", status_code=404),
        ConflictError("twice", status_code=409),
        ValidationError("bad", status_code=422),
        RateLimitError("slow", retry_after=3.0, body={"x": 1}),
        ServerError("down", status_code=503),
        TransportError("unreachable", remediation="check DNS"),
        ApprovalDeniedError("denied", status_code=409),
        ApprovalExpiredError("expired", status_code=410),
        ApprovalTimeoutError("apr_9", 12.5),
    ]


@pytest.mark.parametrize("err", _examples(), ids=lambda e: type(e).__name__)
def test_pickle_round_trip(err):
    copy = pickle.loads(pickle.dumps(err))
    assert type(copy) is type(err)
    assert copy.args == err.args
    assert str(copy) == str(err)
    assert vars(copy) == vars(err)


def test_every_public_name_is_exported():
    for name in exc.__all__:
        assert issubclass(getattr(exc, name), VorelCloudError)
