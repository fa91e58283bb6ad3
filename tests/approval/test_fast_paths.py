"""The decoder and the Temporal key do their library work natively only while the library is unpatched."""

from __future__ import annotations

import base64
import hashlib
import re
import types

import pytest

from vorel_cloud import approval
from vorel_cloud.exceptions import VorelCloudError

from .conftest import Request

MALFORMED = "malformed signed_approval in cloud response: not valid hex or base64"
NEVER = re.compile("(?!)")


def refuse(*args, **kwargs):
    raise ValueError("refused by the patch")


def patched_digest(data):
    return types.SimpleNamespace(hexdigest=lambda: "patched:" + data.decode("utf-8"))


@pytest.mark.parametrize(
    "module, name, replacement, raw, expected",
    [
        (base64, "b64encode", lambda data: b"patched", "deadbeef", "patched"),
        (base64, "b64decode", refuse, "3q2+7w==", MALFORMED),
        (re, "compile", lambda pattern: NEVER, "deadbeef", "deadbeef"),  # no hex match: checked as base64
    ],
)
def test_a_patched_library_function_decides_the_decoding(core, monkeypatch, module, name, replacement, raw, expected):
    monkeypatch.setattr(module, name, replacement)
    result = {"responses": [{"signed_approval": raw}]}
    if expected == MALFORMED:
        with pytest.raises(VorelCloudError, match=MALFORMED) as info:
            approval._extract_signed_approvals(result)
        assert isinstance(info.value.__context__, ValueError)
    else:
        assert approval._extract_signed_approvals(result) == ("signed", expected)


def test_a_patched_sha256_makes_the_key(monkeypatch):
    monkeypatch.setattr(hashlib, "sha256", patched_digest)
    key = approval._build_temporal_approval_idempotency_key(Request(tool="wire"), workflow_id="wf", request_hash="ab")
    assert key == "appr_patched:wire|wf|||ab"


@pytest.mark.parametrize("size", [0, 52, 53, 60, 61, 116, 117, 200])
@pytest.mark.parametrize("char", ["a", "é", "😀"])
def test_key_digest_across_block_boundaries(size, char):
    # With "|||" the ASCII texts are 55, 56, 63, 64, 119 and 120 bytes: both
    # sides of the length at which the padding needs a block of its own.
    tool = char * size
    expected = "appr_" + hashlib.sha256(f"{tool}|||".encode("utf-8")).hexdigest()
    assert approval._build_temporal_approval_idempotency_key(Request(tool=tool)) == expected


def test_key_of_a_text_without_utf8_fails_as_the_encoding_does():
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        approval._build_temporal_approval_idempotency_key(Request(tool="\ud800"))
