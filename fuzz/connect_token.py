#!/usr/bin/env python3
"""Fuzz target: `vorel_cloud.connect.parse_connect_token` on arbitrary strings.

Only `VorelCloudError` may escape (the payload model raises it too for JSON
values it rejects). Inputs are mostly shaped like tokens (prefix, base64url of
a JSON object with the four keys, fill dropped or kept, bytes flipped), so the
decoding and JSON steps are reached, not only the prefix check.
"""

from __future__ import annotations

import base64
import json
import sys

if __package__ in (None, ""):
    sys.path.append(
        __import__("os").path.dirname(__import__("os").path.dirname(__import__("os").path.abspath(__file__)))
    )

from fuzz import common
from reference.connect import parse_connect_token as reference

NAME = "connect_token"
PREFIX = "vorel_ct_"
ERR_ENCODING = "invalid connect token encoding: "
ERR_JSON = "invalid connect token JSON: "


def _json_value(src: common.Source, depth: int = 0):
    k = src.int(7 if depth < 2 else 5)
    if k == 0:
        return src.text(24)
    if k == 1:
        return None
    if k == 2:
        return src.int(1000) - 500
    if k == 3:
        return ""
    if k == 4:
        return src.pick([True, False, 1.5])
    if k == 5:
        return [_json_value(src, depth + 1) for _ in range(src.int(3))]
    return {src.text(6): _json_value(src, depth + 1) for _ in range(src.int(3))}


def make_token(data: bytes) -> str:
    src = common.Source(data)
    shape = src.int(8)
    if shape == 0:
        return src.text(64)  # anything at all
    if shape == 1:
        return PREFIX + src.text(64, common.B64URL + common.B64 + " .\n")
    keys = ["endpoint", "api_key", "agent_id", "registration_token"]
    obj = {k: _json_value(src) if src.int(3) == 0 else src.text(20) for k in keys if src.int(5) != 0}
    if src.int(6) == 0:
        obj = _json_value(src)
    text = json.dumps(obj, ensure_ascii=src.bool())
    encoding = src.pick(["utf-8", "utf-8", "utf-8", "utf-16", "latin-1"])
    try:
        raw = text.encode(encoding)
    except UnicodeEncodeError:  # lone surrogates make invalid UTF-8 on purpose
        raw = text.encode("utf-8", "surrogatepass")
    if src.int(4) == 0 and raw:  # flip a byte
        i = src.int(len(raw))
        raw = raw[:i] + bytes([raw[i] ^ (1 + src.int(255))]) + raw[i + 1 :]
    enc = base64.urlsafe_b64encode(raw).decode("ascii")
    if src.bool():
        enc = enc.rstrip("=")
    if src.int(5) == 0 and enc:  # cut, or add noise
        enc = enc[: src.int(len(enc) + 1)] + src.text(3, common.B64URL + common.B64 + "!\u00e9")
    prefix = PREFIX if src.int(10) else src.pick(["VOREL_CT_", " vorel_ct_", "vorel_ct", ""])
    return prefix + enc


def same_detail(a: BaseException, b: BaseException) -> bool:
    # The decoder's own text after the fixed lead is not part of the contract.
    for lead in (ERR_ENCODING, ERR_JSON):
        if str(a).startswith(lead) and str(b).startswith(lead):
            return True
    return False


def prepare():
    common.native("vorel_cloud.connect", "parse_connect_token")


def one_input(data: bytes) -> None:
    from vorel_cloud.exceptions import VorelCloudError

    parse = common.native("vorel_cloud.connect", "parse_connect_token")
    token = make_token(data)
    common.compare(
        lambda: parse(token),
        lambda: reference(token),
        allowed=(VorelCloudError,),
        own_errors=(VorelCloudError,),
        describe=lambda: repr(token),
        same_text=same_detail,
    )


if __name__ == "__main__":
    common.main(NAME, one_input, prepare)
