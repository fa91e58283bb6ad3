import base64
import hashlib
import itertools

import pytest

_counter = itertools.count()


@pytest.fixture
def api(vorel_dev_server):
    with vorel_dev_server.http() as client:
        yield client


@pytest.fixture
def reviewer(vorel_dev_server):
    """An HTTP client holding the reviewer's key, the one that may approve and deny."""
    with vorel_dev_server.http(vorel_dev_server.reviewer_key) as client:
        yield client


@pytest.fixture
def make_body():
    """Create-request bodies that differ from call to call unless told otherwise."""

    def make(**overrides):
        n = next(_counter)
        body = {
            "warrant_id": f"w-{n}",
            "tool": "send_email",
            "request_hash": hashlib.sha256(f"call-{n}".encode()).hexdigest(),
            "holder_key": hashlib.sha256(b"holder").hexdigest(),
            "args_canonical_cbor_b64": base64.b64encode(b"\xa1bto\x63bob").decode(),
            "approval_context_attestation": {"version": 1},
            "metadata": {"to": "bob"},
        }
        body.update(overrides)
        return {k: v for k, v in body.items() if v is not ...}

    return make
