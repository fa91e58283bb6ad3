"""Canonical CBOR helpers shared by the signing core.

Everything that gets signed or hashed goes through :func:`canonical_dumps`, so
two parties that agree on a value agree on its bytes. Decoding is strict on
purpose: a signed structure is only accepted when re-encoding it reproduces
the input exactly, which rules out trailing data, indefinite-length items,
duplicate keys, non-minimal integers and every other alternative spelling.
"""

from __future__ import annotations

import math
from typing import Any

import cbor2

__all__ = ["canonical_dumps", "check_encodable", "strict_loads"]

# Arguments of a tool call are shallow in practice; the cap keeps a hostile
# value from exhausting the interpreter stack in the recursive check.
_MAX_DEPTH = 64


def check_encodable(value: Any, path: str = "$", _depth: int = 0) -> None:
    """Raise ``TypeError`` unless ``value`` maps onto plain CBOR data.

    Accepted: ``dict`` (keys ``str``, ``int`` or ``bytes``), ``list``,
    ``tuple`` (encoded as an array), ``str``, ``int``, finite ``float``,
    ``bool``, ``None``, ``bytes`` and ``bytearray``. cbor2 alone would accept
    far more (sets, datetimes, decimals...) through semantic tags, which a
    verifier in another language would not read back the same way.
    """
    if _depth > _MAX_DEPTH:
        raise TypeError(f"value at {path} is nested deeper than {_MAX_DEPTH} levels")
    if value is None or isinstance(value, (bool, int, str, bytes, bytearray)):
        return
    if isinstance(value, float):
        if not math.isfinite(value):
            raise TypeError(f"value at {path} is a non-finite float ({value!r}) and cannot be encoded")
        return
    if isinstance(value, dict):
        for key, item in value.items():
            if not isinstance(key, (str, int, bytes)) or isinstance(key, bool):
                raise TypeError(
                    f"mapping key {key!r} at {path} has type {type(key).__name__}; "
                    "only str, int and bytes keys can be encoded"
                )
            check_encodable(item, f"{path}.{key}", _depth + 1)
        return
    if isinstance(value, (list, tuple)):
        for index, item in enumerate(value):
            check_encodable(item, f"{path}[{index}]", _depth + 1)
        return
    raise TypeError(
        f"value at {path} has type {type(value).__name__}, which cannot be encoded as "
        "canonical CBOR (use dict, list, str, int, float, bool, None or bytes)"
    )


def canonical_dumps(value: Any) -> bytes:
    """Encode ``value`` as canonical CBOR after checking that it is plain data."""
    check_encodable(value)
    return cbor2.dumps(value, canonical=True)


def strict_loads(raw: bytes, *, max_size: int) -> Any:
    """Decode one canonical CBOR item, raising ``ValueError`` on anything else."""
    if not isinstance(raw, (bytes, bytearray, memoryview)):
        raise ValueError(f"expected bytes, got {type(raw).__name__}")
    raw = bytes(raw)
    if not raw:
        raise ValueError("empty input")
    if len(raw) > max_size:
        raise ValueError(f"input of {len(raw)} bytes exceeds the limit of {max_size}")
    try:
        value = cbor2.loads(
            raw,
            max_depth=16,
            allow_indefinite=False,
            allow_duplicate_keys=False,
        )
    except Exception as exc:  # cbor2 raises several unrelated types on bad input
        raise ValueError(f"not valid CBOR: {exc}") from exc
    try:
        check_encodable(value)
        again = cbor2.dumps(value, canonical=True)
    except TypeError as exc:
        raise ValueError(f"unsupported CBOR content: {exc}") from exc
    if again != raw:
        raise ValueError("not canonical CBOR (trailing data or a non-canonical encoding)")
    return value
