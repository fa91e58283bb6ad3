"""Parameter defaults and annotations are made from their texts without
compiling the common forms; every form must still equal what Python makes of
the same text (and an unusual one must still go through the compiler)."""

from __future__ import annotations

import typing

import _vorel_layer_testing as lt
import pytest


def outcome(fn, text):
    try:
        v = fn(text)
    except Exception as e:
        return ("raises", type(e))
    return (type(v), repr(v))


@pytest.mark.parametrize(
    "text",
    [
        "None",
        "True",
        "False",
        "()",
        "0",
        "3",
        "-3",
        "300.0",
        "2.",
        "-0.0",
        "1e3",
        "''",
        "'https://api.example'",
        '"it\'s"',
        "'é'",
        "'a\\nb'",
        "b'x'",
        "1_000",
        "007",
        "(1, 2)",
        "0x1f",
        "'open",
        "nothing",
    ],
)
def test_literal_matches_eval(text):
    assert outcome(lt.literal, text) == outcome(lambda t: eval(t, {}), text)


TYPING = {
    n: getattr(typing, n)
    for n in ("Any", "Dict", "List", "Optional", "Union", "Tuple", "Callable", "Awaitable", "Sequence")
}


@pytest.mark.parametrize(
    "text",
    [
        "Any",
        "str",
        "Optional[str]",
        "Dict[str, Any]",
        "Tuple[Optional[List[str]], Optional[int], Optional[int]]",
        "Callable[[Any], Awaitable[Any]]",
        "Callable[[], Any]",
        "Optional['SignedApproval']",
        "Union[Any, None]",
        "Union[VorelCloudError, List[VorelCloudError]]",
        "logging.Logger",
        "Tuple[int,]",
        "List[int] | None",
        "Optional[str",
        "Undefined",
        "Optional[Undefined]",
        "Dict[str]",
    ],
)
def test_annotation_matches_eval(text):
    assert outcome(lt.annotation, text) == outcome(lambda t: eval(t, vars(lt), dict(TYPING)), text)


def test_annotation_names_resolve_like_the_compiled_expression(monkeypatch):
    # typing's names come before the module's globals; other names are read
    # from the globals at evaluation time.
    monkeypatch.setattr(lt, "Any", int, raising=False)
    monkeypatch.setattr(lt, "VorelCloudError", KeyError)
    assert lt.annotation("Optional[Any]") == typing.Optional[typing.Any]
    assert lt.annotation("List[VorelCloudError]") == typing.List[KeyError]
