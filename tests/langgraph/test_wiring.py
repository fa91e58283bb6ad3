"""VorelMiddleware / VorelToolNode: subclasses of the core classes that wire a
cloud handler in when an API key is in the environment, or placeholders when
the core SDK's LangGraph module is missing."""

from __future__ import annotations

import importlib
import inspect
import sys
import types
from typing import Any, Optional

import pytest
import vorel.langgraph as core

import vorel_cloud
import vorel_cloud.langgraph as lg

pytest.importorskip("langgraph")
from langchain_core.tools import tool

MISSING = "vorel_cloud.langgraph requires vorel[langgraph]. Install with: pip install 'vorel[langgraph]'"


@tool
def lookup(term: str) -> str:
    """Look a term up."""
    return term


TOOLS = [lookup]


async def explicit_handler(request):
    raise AssertionError("not called in these tests")


def is_cloud_handler(handler) -> bool:
    return (
        handler is not None
        and handler.__qualname__ == "langgraph_cloud_approval.<locals>._handle"
        and inspect.iscoroutinefunction(handler)
    )


@pytest.fixture
def api_key(monkeypatch):
    monkeypatch.setenv("VOREL_API_KEY", "vk_env_key")
    return "vk_env_key"


@pytest.fixture
def auto_calls(monkeypatch):
    """Records each call of the auto-wiring hook (which still builds real handlers)."""
    calls = []
    original = lg._auto_approval_handler

    def spy(**overrides):
        calls.append(overrides)
        return original(**overrides)

    monkeypatch.setattr(lg, "_auto_approval_handler", spy)
    return calls


# ---- the classes ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cloud_cls, core_cls",
    [(lg.VorelMiddleware, core.VorelMiddleware), (lg.VorelToolNode, core.VorelToolNode)],
    ids=["middleware", "tool-node"],
)
def test_cloud_classes_are_renamed_subclasses_with_the_core_metaclass(cloud_cls, core_cls):
    name = core_cls.__name__
    assert issubclass(cloud_cls, core_cls) and cloud_cls.__bases__ == (core_cls,)
    assert type(cloud_cls) is type(core_cls)
    assert (cloud_cls.__name__, cloud_cls.__qualname__, cloud_cls.__module__) == (name, name, "vorel_cloud.langgraph")
    doc = cloud_cls.__doc__
    assert "Same constructor, same behaviour." in doc and "VOREL_API_KEY" in doc and "approval_handler" in doc
    assert f"from vorel.langgraph import {name}" in doc and f"from vorel_cloud.langgraph import {name}" in doc
    assert set(vars(cloud_cls)) - {"__module__", "__qualname__", "__doc__", "__init__"} <= {
        "__abstractmethods__",
        "_abc_impl",
        "__parameters__",
        "__dict__",
        "__weakref__",
        "__orig_bases__",
    }


def test_constructor_signatures():
    assert str(inspect.signature(lg.VorelMiddleware.__init__)) == "(self, *args, **kwargs)"
    assert str(inspect.signature(lg.VorelToolNode.__init__)) == "(self, tools, **kwargs)"

    # typing writes Optional[Any] as "Any | None" from 3.14 on; the native
    # signature holds the same objects as this Python one.
    def _auto_approval_handler(**overrides: Any) -> Optional[Any]: ...

    py = inspect.signature(_auto_approval_handler, eval_str=True)
    assert inspect.signature(lg._auto_approval_handler) == py
    assert str(inspect.signature(lg._auto_approval_handler)) == str(py)
    assert lg.VorelToolNode.__init__.__qualname__ == "_make_cloud_tool_node_class.<locals>._CloudVorelToolNode.__init__"


def test_factories_build_a_fresh_class_on_each_call():
    again = lg._make_cloud_middleware_class()
    assert again is not lg.VorelMiddleware and issubclass(again, core.VorelMiddleware)
    assert again.__name__ == "VorelMiddleware"
    assert again(approval_handler=explicit_handler).approval_handler is explicit_handler


def test_tool_node_requires_tools():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'tools'"):
        lg.VorelToolNode(approval_handler=explicit_handler)


# ---- auto-wiring -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "build",
    [
        lambda: lg.VorelMiddleware(),
        lambda: lg.VorelMiddleware(approval_handler=None),
        lambda: lg.VorelMiddleware(gated_tools=["lookup"]),
        lambda: lg.VorelToolNode(TOOLS),
        lambda: lg.VorelToolNode(tools=TOOLS),
        lambda: lg.VorelToolNode(TOOLS, approval_handler=None, gated_tools="lookup"),
    ],
    ids=["mw", "mw-none", "mw-options", "node", "node-tools-keyword", "node-none"],
)
def test_api_key_in_environment_wires_a_cloud_handler(api_key, auto_calls, build):
    obj = build()
    assert is_cloud_handler(obj.approval_handler)
    assert auto_calls == [{}]  # no overrides: defaults and environment only


@pytest.mark.parametrize(
    "build, handler",
    [
        (lambda: lg.VorelMiddleware(approval_handler=explicit_handler), explicit_handler),
        (lambda: lg.VorelMiddleware(explicit_handler), explicit_handler),
        (lambda: lg.VorelMiddleware(None), None),
        (lambda: lg.VorelToolNode(TOOLS, approval_handler=explicit_handler), explicit_handler),
        (lambda: lg.VorelToolNode(tools=TOOLS, approval_handler=explicit_handler), explicit_handler),
    ],
    ids=["mw-keyword", "mw-positional", "mw-positional-none", "node", "node-tools-keyword"],
)
def test_explicit_handler_or_positional_arguments_are_kept(api_key, auto_calls, build, handler):
    assert build().approval_handler is handler
    assert auto_calls == []


@pytest.mark.parametrize("env", [None, ""], ids=["unset", "empty"])
@pytest.mark.parametrize(
    "build",
    [
        lambda: lg.VorelMiddleware(),
        lambda: lg.VorelMiddleware(approval_handler=None),
        lambda: lg.VorelToolNode(TOOLS),
        lambda: lg.VorelToolNode(tools=TOOLS, approval_handler=None),
    ],
    ids=["mw", "mw-none", "node", "node-none"],
)
def test_without_api_key_arguments_pass_through(monkeypatch, build, env):
    if env is not None:
        monkeypatch.setenv("VOREL_API_KEY", env)
    assert build().approval_handler is None


def test_arguments_reach_the_core_constructor(api_key, monkeypatch):
    seen = []

    def core_init(self, tools, **kwargs):
        seen.append((tools, kwargs))

    monkeypatch.setattr(core.VorelToolNode, "__init__", core_init)
    lg.VorelToolNode(tools=TOOLS, gated_tools="lookup", warrant_id="w-9")
    ((tools, kwargs),) = seen
    assert tools is TOOLS
    assert list(kwargs) == ["gated_tools", "warrant_id", "approval_handler"]
    assert kwargs["warrant_id"] == "w-9" and is_cloud_handler(kwargs["approval_handler"])


def test_unparsable_timeout_fails_construction_before_the_core_constructor(api_key, monkeypatch):
    monkeypatch.setenv("VOREL_APPROVAL_TIMEOUT", "soon")
    called = []
    monkeypatch.setattr(core.VorelToolNode, "__init__", lambda self, *a, **k: called.append(a))
    with pytest.raises(ValueError):
        lg.VorelToolNode(TOOLS)
    assert called == []


def test_auto_wired_handler_is_built_from_the_environment_key_only(api_key, monkeypatch):
    built = []
    monkeypatch.setattr(lg, "langgraph_cloud_approval", lambda **kw: built.append(kw) or explicit_handler)
    node = lg.VorelToolNode(TOOLS)
    assert node.approval_handler is explicit_handler
    assert built == [{"api_key": "vk_env_key"}]


@pytest.mark.parametrize(
    "build", [lambda: lg.VorelMiddleware(), lambda: lg.VorelToolNode(TOOLS)], ids=["middleware", "tool-node"]
)
def test_auto_wired_handler_sends_the_key_to_the_environment_endpoint(api_key, cloud, monkeypatch, build):
    # connect() exports the key together with its endpoint; the key must not
    # go to the hosted default instead.
    monkeypatch.setenv("VOREL_CONTROL_PLANE_URL", "http://127.0.0.1:8787")
    handler = build().approval_handler
    monkeypatch.setenv("VOREL_CONTROL_PLANE_URL", "http://elsewhere.example")  # read at construction only
    assert cloud.run(handler, cloud.request()) is cloud.signed
    assert (cloud.script.client.api_key, cloud.script.client.base_url) == ("vk_env_key", "http://127.0.0.1:8787")


# ---- _auto_approval_handler -------------------------------------------------------------


@pytest.fixture
def builds(monkeypatch):
    calls = []

    def fake(**kwargs):
        calls.append(kwargs)
        return "handler"

    monkeypatch.setattr(lg, "langgraph_cloud_approval", fake)
    return calls


@pytest.mark.parametrize("override", [{}, {"api_key": None}, {"api_key": ""}], ids=["absent", "none", "empty"])
def test_auto_handler_falls_back_to_the_environment(api_key, builds, override):
    assert lg._auto_approval_handler(**override, timeout=5) == "handler"
    assert builds == [{"api_key": "vk_env_key", "timeout": 5}]


@pytest.mark.parametrize(
    "url, override, expected",
    [
        ("http://cp.example", {}, {"base_url": "http://cp.example"}),
        ("", {}, {}),
        (None, {}, {}),
        ("http://cp.example", {"base_url": "http://explicit.example"}, {"base_url": "http://explicit.example"}),
        ("http://cp.example", {"base_url": ""}, {"base_url": "http://cp.example"}),
    ],
    ids=["set", "empty", "unset", "explicit-wins", "empty-explicit"],
)
def test_auto_handler_endpoint_comes_with_the_environment_key(api_key, builds, monkeypatch, url, override, expected):
    if url is not None:
        monkeypatch.setenv("VOREL_CONTROL_PLANE_URL", url)
    lg._auto_approval_handler(**override)
    assert builds == [{"api_key": "vk_env_key", **expected}]


def test_auto_handler_explicit_key_wins_and_options_keep_their_order(api_key, builds, monkeypatch):
    monkeypatch.setattr(lg, "os", types.SimpleNamespace(environ=None))  # reading it would fail
    lg._auto_approval_handler(poll_interval=1.0, api_key="vk_explicit", dashboard_url="https://d.example")
    assert builds == [{"api_key": "vk_explicit", "poll_interval": 1.0, "dashboard_url": "https://d.example"}]
    assert list(builds[0]) == ["api_key", "poll_interval", "dashboard_url"]


@pytest.mark.parametrize("override", [{}, {"api_key": None}, {"api_key": ""}])
def test_auto_handler_without_any_key_is_none(builds, override):
    assert lg._auto_approval_handler(**override, not_an_option=1) is None
    assert builds == []


def test_auto_handler_rejects_unknown_options_when_a_key_is_set(api_key):
    with pytest.raises(TypeError, match="unexpected keyword argument 'not_an_option'"):
        lg._auto_approval_handler(not_an_option=1)
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        lg._auto_approval_handler("vk_positional")


# ---- without the core LangGraph module ------------------------------------------------


@pytest.fixture
def reimport(monkeypatch):
    """Import vorel_cloud.langgraph afresh with ``sys.modules`` prepared by the test."""
    monkeypatch.delitem(sys.modules, "vorel_cloud.langgraph")
    monkeypatch.setattr(vorel_cloud, "langgraph", lg)

    def load(core_module):
        monkeypatch.setitem(sys.modules, "vorel.langgraph", core_module)
        sys.modules.pop("vorel_cloud.langgraph", None)
        return importlib.import_module("vorel_cloud.langgraph")

    return load


@pytest.mark.parametrize("name", ["VorelMiddleware", "VorelToolNode"])
def test_placeholders_when_the_core_module_is_blocked(reimport, api_key, name):
    fresh = reimport(None)
    assert fresh is not lg
    placeholder = getattr(fresh, name)
    assert (placeholder.__name__, placeholder.__qualname__, placeholder.__module__) == (
        name,
        name,
        "vorel_cloud.langgraph",
    )
    assert placeholder.__bases__ == (object,) and placeholder.__doc__ is None
    for args, kwargs in [((), {}), ((TOOLS,), {"approval_handler": explicit_handler})]:
        with pytest.raises(ImportError) as info:
            placeholder(*args, **kwargs)
        assert str(info.value) == MISSING
        cause = info.value.__cause__
        assert isinstance(cause, ModuleNotFoundError) and "vorel.langgraph" in str(cause)
        assert info.value.__suppress_context__
    # The handler factory stays usable without LangGraph.
    assert inspect.iscoroutinefunction(fresh.langgraph_cloud_approval("vk"))


def test_each_factory_keeps_its_own_import_error(reimport):
    partial = types.ModuleType("vorel.langgraph")
    partial.VorelMiddleware = core.VorelMiddleware
    fresh = reimport(partial)
    assert issubclass(fresh.VorelMiddleware, core.VorelMiddleware)
    with pytest.raises(ImportError) as info:
        fresh.VorelToolNode(TOOLS)
    assert "cannot import name 'VorelToolNode'" in str(info.value.__cause__)


def test_the_module_import_fails_on_other_errors(reimport):
    broken = types.ModuleType("vorel.langgraph")

    def __getattr__(name):
        raise RuntimeError(f"broken core module ({name})")

    broken.__getattr__ = __getattr__
    with pytest.raises(RuntimeError, match="broken core module"):
        reimport(broken)
    assert "vorel_cloud.langgraph" not in sys.modules
