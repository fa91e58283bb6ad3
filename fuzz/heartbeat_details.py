#!/usr/bin/env python3
"""Fuzz target: `vorel_cloud.approval._extract_temporal_heartbeat_request_id`
on arbitrary heartbeat details (sequences, mappings, objects, odd values).

It answers a non-empty str or None. Documented escapes: only what the details
themselves raise (a mapping's `get`, an attribute read other than a missing
one, truth tests): here `Boom`/`BoomBase` from the odd objects.
"""

from __future__ import annotations

import sys

if __package__ in (None, ""):
    sys.path.append(
        __import__("os").path.dirname(__import__("os").path.dirname(__import__("os").path.abspath(__file__)))
    )

from fuzz import common
from reference.approval import _extract_temporal_heartbeat_request_id as reference

NAME = "heartbeat_details"


class WithId:
    def __init__(self, value):
        self.approval_request_id = value


class RaisingId:
    @property
    def approval_request_id(self):
        raise common.Boom("approval_request_id")


class NonAttributeMissing:
    """An attribute read that fails with something other than AttributeError."""

    def __getattr__(self, name):
        raise LookupError(name)


def _id_value(src: common.Source):
    return src.pick(
        [
            lambda: "r-1",
            lambda: "",
            lambda: None,
            lambda: 42,
            lambda: common.StrSub("s-2"),
            lambda: src.text(12),
            lambda: common.value(src, 2),
        ]
    )()


def _item(src: common.Source):
    k = src.int(10)
    if k == 0:
        return {"approval_request_id": _id_value(src), "approval_status": "pending"}
    if k == 1:
        return common.DictSub(approval_request_id=_id_value(src))
    if k == 2:
        return WithId(_id_value(src))
    if k == 3:
        return RaisingId()
    if k == 4:
        return common.RaisingGetDict()
    if k == 5:
        d = common.DictSub(approval_request_id=_id_value(src))
        d.approval_request_id = _id_value(src)  # the attribute speaks when the key does not
        return d
    if k == 6:
        return NonAttributeMissing()
    return common.value(src, 1)


def make_details(data: bytes):
    src = common.Source(data)
    k = src.int(6)
    items = [_item(src) for _ in range(src.int(4))]
    if k == 0:
        return items
    if k == 1:
        return tuple(items)
    if k == 2:
        return common.ListSub(items)
    if k == 3:
        return common.TupleSub(items)
    if k == 4:
        return _item(src)
    return common.value(src)


def prepare():
    common.native("vorel_cloud.approval", "_extract_temporal_heartbeat_request_id")


def one_input(data: bytes) -> None:
    extract = common.native("vorel_cloud.approval", "_extract_temporal_heartbeat_request_id")
    got = common.compare(
        lambda: extract(make_details(data)),
        lambda: reference(make_details(data)),
        allowed=(common.Boom, common.BoomBase, LookupError),
        own_errors=(),
        describe=lambda: repr(make_details(data)),
    )
    if got[0] == "ok":
        kind, v = got[1]
        assert kind == "NoneType" or (kind in ("str", "StrSub") and v), got


if __name__ == "__main__":
    common.main(NAME, one_input, prepare)
