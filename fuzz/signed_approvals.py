#!/usr/bin/env python3
"""Fuzz target: `vorel_cloud.approval._extract_signed_approvals` on arbitrary
approval results: `responses` lists of mappings whose `signed_approval` is
hex text, base64 text, anything else, or of entries that are no mappings.

Documented escapes: `VorelCloudError` (no responses, malformed entry, nothing
decoded), `AttributeError` / `TypeError` from entries that are not mappings or
values that are not text, and whatever the core SDK or an odd object raises.
"""

from __future__ import annotations

import base64
import sys

if __package__ in (None, ""):
    sys.path.append(
        __import__("os").path.dirname(__import__("os").path.dirname(__import__("os").path.abspath(__file__)))
    )

from fuzz import common
from reference.approval import _extract_signed_approvals as reference

NAME = "signed_approvals"
# The texts of the function's own errors (the corpus tests build a deviant on them).
NO_RESPONSES = "approved request has no approval responses"
MALFORMED = "malformed signed_approval in cloud response: not valid hex or base64"


def _signed(src: common.Source):
    k = src.int(10)
    if k == 0:
        return src.text(32, common.HEX)
    if k == 1:
        return src.text(32, common.HEX) + src.pick(["\n", "\n\n", " ", "g", "\r\n"])
    if k == 2:
        return base64.b64encode(src.blob(24)).decode()
    if k == 3:
        return base64.urlsafe_b64encode(src.blob(24)).decode()
    if k == 4:
        return src.text(32, common.B64)
    if k == 5:
        return common.StrSub(src.text(16, common.HEX))
    if k == 6:
        return src.blob(16)  # bytes: not text
    return common.value(src, 1)


def _entry(src: common.Source):
    k = src.int(10)
    if k < 6:
        return {"signed_approval": _signed(src)} if src.int(8) else {}
    if k == 6:
        return common.DictSub(signed_approval=_signed(src))
    if k == 7:
        return common.RaisingGetDict()
    return common.value(src, 1)


def make_result(data: bytes):
    src = common.Source(data)
    # How the fake core SDK answers: the texts it got, fewer, none, or an error.
    mode = src.int(6)
    if mode == 0:
        common.CORE.decode = lambda resp: []
    elif mode == 1:

        def fail(resp):
            raise common.CoreError("cannot decode")

        common.CORE.decode = fail
    elif mode == 2:
        common.CORE.decode = lambda resp: tuple((resp.signed_approvals_b64 or [])[:1])
    else:
        common.CORE.decode = lambda resp: [("approval", t) for t in (resp.signed_approvals_b64 or [])]
    shape = src.int(8)
    if shape == 0:
        return {}
    if shape == 1:
        return {"responses": common.value(src)}
    responses = [_entry(src) for _ in range(src.int(5))]
    if shape == 2:
        return common.DictSub(responses=tuple(responses))
    return {"responses": responses, "status": "approved"}


def prepare():
    common.CORE.install()
    common.native("vorel_cloud.approval", "_extract_signed_approvals")


def one_input(data: bytes) -> None:
    from vorel_cloud.exceptions import VorelCloudError

    extract = common.native("vorel_cloud.approval", "_extract_signed_approvals")
    common.compare(
        lambda: extract(make_result(data)),
        lambda: reference(make_result(data)),
        allowed=(VorelCloudError, AttributeError, TypeError, common.CoreError, common.Boom, common.BoomBase),
        own_errors=(VorelCloudError,),
        describe=lambda: repr(make_result(data)),
    )


if __name__ == "__main__":
    common.main(NAME, one_input, prepare)
