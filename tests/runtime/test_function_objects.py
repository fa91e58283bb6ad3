"""Native functions behave like Python functions to everything that looks at
them: inspect, functools, typing, copy and pickle, method binding, and the
TypeError texts of a bad call.

Every native function of every module is checked (module level, class
members, and the closures the handler factories return), against a Python
function with the same signature where a comparison is possible.
"""

# No `from __future__ import annotations`: the Python twins below must carry
# evaluated annotations, as the native functions do.
import copy
import functools
import inspect
import pickle
import re
import types
import typing
import weakref

import pytest

from vorel_cloud import approval, connect, langgraph, parvex

MODULES = [parvex, approval, connect, langgraph]


def is_native(obj) -> bool:
    return type(obj).__name__ == "native_function"


def native_functions():
    """(owner description, function, expected qualname) for every native function."""
    out = []
    for mod in MODULES:
        for name, obj in sorted(vars(mod).items()):
            if is_native(obj) and obj.__module__ == mod.__name__:
                out.append((f"{mod.__name__}.{name}", obj, name))
            elif isinstance(obj, type) and obj.__module__ == mod.__name__:
                for mname, member in sorted(vars(obj).items()):
                    if is_native(member):
                        # A class made inside a factory and renamed keeps the
                        # qualified names its methods were defined with.
                        out.append((f"{mod.__name__}.{name}.{mname}", member, member.__qualname__))
    return out


def closures():
    return [
        ("approval.cloud_approval()", approval.cloud_approval("k"), "cloud_approval.<locals>._handle"),
        (
            "approval.async_cloud_approval()",
            approval.async_cloud_approval("k"),
            "async_cloud_approval.<locals>._handle",
        ),
        (
            "langgraph.langgraph_cloud_approval()",
            langgraph.langgraph_cloud_approval("k", timeout=1.0),
            "langgraph_cloud_approval.<locals>._handle",
        ),
    ]


ALL = native_functions()
IDS = [d for d, _, _ in ALL]


def test_every_module_has_native_functions():
    owners = {d.split(".")[1] for d, _, _ in ALL}
    assert owners == {"parvex", "approval", "connect", "langgraph"}


@pytest.mark.parametrize("desc, fn, qualname", ALL + closures(), ids=IDS + [d for d, _, _ in closures()])
def test_names_module_doc_and_repr(desc, fn, qualname):
    assert fn.__qualname__ == qualname
    if desc.count(".") == 3:  # a class member
        assert qualname.endswith("." + desc.rsplit(".", 1)[1])
    assert fn.__name__ == qualname.rsplit(".", 1)[-1]
    owner = ".".join(desc.split(".")[:2]) if desc.startswith("vorel_cloud.") else "vorel_cloud." + desc.split(".")[0]
    assert fn.__module__ == owner
    assert fn.__doc__ is None or (isinstance(fn.__doc__, str) and fn.__doc__.strip())
    assert re.fullmatch(rf"<function {re.escape(qualname)} at 0x[0-9a-f]+>", repr(fn))
    assert inspect.isroutine(fn) and callable(fn)
    assert inspect.getdoc(fn) == (inspect.cleandoc(fn.__doc__) if fn.__doc__ else None)


# ---- signatures and the TypeError texts of bad calls -------------------------


def twin(fn):
    """A Python function with the same signature and qualified name."""
    sig = inspect.signature(fn)
    params = []
    star_done = False
    for p in sig.parameters.values():
        if p.kind is p.KEYWORD_ONLY and not star_done:
            params.append("*")
            star_done = True
        if p.kind is p.VAR_POSITIONAL:
            params.append(f"*{p.name}")
            star_done = True
        elif p.kind is p.VAR_KEYWORD:
            params.append(f"**{p.name}")
        else:
            params.append(p.name + ("=None" if p.default is not p.empty else ""))
    ns: dict = {}
    exec(f"def {fn.__name__}({', '.join(params)}): return 'ran'", ns)
    f = ns[fn.__name__]
    f.__qualname__ = fn.__qualname__
    return f


def bad_calls(sig: inspect.Signature):
    """(args, kwargs) that fail in argument binding, with dummy values."""
    ps = list(sig.parameters.values())
    pos = [p for p in ps if p.kind is p.POSITIONAL_OR_KEYWORD]
    required_pos = [p for p in pos if p.default is p.empty]
    kwonly = [p for p in ps if p.kind is p.KEYWORD_ONLY]
    required_kw = {p.name: 0 for p in kwonly if p.default is p.empty}
    has_var = any(p.kind is p.VAR_POSITIONAL for p in ps)
    has_varkw = any(p.kind is p.VAR_KEYWORD for p in ps)
    calls = []
    if required_pos:
        calls.append(((), dict(required_kw)))  # positional ones missing
        if len(required_pos) > 1:
            calls.append(((0,), {}))
    if required_kw:
        calls.append((tuple(range(len(required_pos))), {}))  # keyword-only ones missing
    if not has_var:
        calls.append((tuple(range(len(pos) + 1)), dict(required_kw)))  # one positional too many
        calls.append((tuple(range(len(pos) + 2)), {}))
        if kwonly:
            calls.append((tuple(range(len(pos) + 1)), {kwonly[0].name: 0}))
    if not has_varkw:
        calls.append((tuple(range(len(required_pos))), {**required_kw, "bogus": 1}))
        calls.append((tuple(range(len(required_pos))), {**required_kw, "bogus": 1, "other": 2}))
    if pos:
        calls.append(((0,) * max(1, len(required_pos)), {**required_kw, pos[0].name: 1}))  # given twice
    return calls


@pytest.mark.parametrize("desc, fn, qualname", ALL + closures(), ids=IDS + [d for d, _, _ in closures()])
def test_bad_calls_raise_pythons_type_errors(desc, fn, qualname):
    py = twin(fn)
    assert inspect.signature(py).parameters.keys() == inspect.signature(fn).parameters.keys()
    calls = bad_calls(inspect.signature(fn))
    assert calls
    for args, kwargs in calls:
        with pytest.raises(TypeError) as want:
            py(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            fn(*args, **kwargs)
        assert str(got.value) == str(want.value), (args, kwargs)


def test_messages_follow_a_changed_qualname(monkeypatch):
    monkeypatch.setattr(parvex._extract_policy_id, "__qualname__", "Renamed.policy")
    with pytest.raises(
        TypeError, match=r"^Renamed\.policy\(\) takes from 1 to 2 positional arguments but 3 were given$"
    ):
        parvex._extract_policy_id(1, 2, 3)


def test_signature_annotations_and_type_hints():
    from typing import Any, Optional

    def build_approval_request_payload(
        request: Any,
        *,
        signing_key: Any = None,
        policy_id: Optional[str] = None,
        idempotency_key: Optional[str] = None,
    ) -> parvex.ApprovalRequestPayload:
        pass

    f = parvex.build_approval_request_payload
    assert inspect.signature(f) == inspect.signature(build_approval_request_payload)
    assert typing.get_type_hints(f) == typing.get_type_hints(build_approval_request_payload)
    assert f.__annotations__ == build_approval_request_payload.__annotations__


# ---- functools, copy, pickle, weak references ---------------------------------


def test_functools_wraps_and_partial():
    f = parvex._extract_policy_id

    @functools.wraps(f)
    def wrapper(*a, **k):
        return f(*a, **k)

    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
        f.__name__,
        f.__qualname__,
        f.__module__,
        f.__doc__,
    )
    assert wrapper.__wrapped__ is f
    assert inspect.signature(wrapper) == inspect.signature(f)
    p = functools.partial(f, override="pol")
    assert p(object()) == "pol"
    assert list(inspect.signature(p).parameters) == ["request", "override"]


@pytest.mark.parametrize("desc, fn, qualname", ALL, ids=IDS)
def test_copy_and_pickle_by_reference(desc, fn, qualname):
    # Python functions are atomic for copy and pickled by qualified name, so
    # copying or pickling a structure that holds one works.
    assert copy.copy(fn) is fn
    assert copy.deepcopy({"handler": fn})["handler"] is fn
    if "<locals>" in qualname:  # defined inside a factory: not reachable by name
        with pytest.raises((pickle.PicklingError, AttributeError)):
            pickle.dumps(fn)
    else:
        assert pickle.loads(pickle.dumps(fn)) is fn


def test_closures_copy_like_python_closures():
    handler = approval.cloud_approval("k")
    assert copy.deepcopy([handler])[0] is handler
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(handler)  # a local object, as with Python closures


def test_weak_references_and_instance_dict():
    f = parvex._normalize_request_hash
    r = weakref.ref(f)
    assert r() is f
    f.extra_marker = 1
    try:
        assert vars(f)["extra_marker"] == 1
    finally:
        del f.extra_marker


# ---- binding as a method --------------------------------------------------------


def payload_fields(**over):
    """The required fields of a payload, and any others given."""
    return dict(
        warrant_id="w",
        tool="t",
        request_hash=b"\x01",
        holder_key=b"\x02",
        args_canonical_cbor_b64="YQ==",
        approval_context_attestation={"k": 1},
        **over,
    )


def payload(**over):
    return parvex.ApprovalRequestPayload(**payload_fields(**over))


def test_method_binds_to_the_instance():
    cls = parvex.ApprovalRequestPayload
    p = payload(threshold=0)
    raw = vars(cls)["to_create_request_kwargs"]
    assert cls.to_create_request_kwargs is raw  # no binding through the class
    m = p.to_create_request_kwargs
    assert isinstance(m, types.MethodType) and m.__self__ is p and m.__func__ is raw
    assert m() == raw(p) == cls.to_create_request_kwargs(p)
    assert str(inspect.signature(m)) == "() -> Dict[str, Any]"
    assert raw.__get__(None, cls) is raw


def test_method_bad_calls_match_python():
    class ApprovalRequestPayload:
        def to_create_request_kwargs(self):
            pass

    ApprovalRequestPayload.__qualname__ = "ApprovalRequestPayload"
    ApprovalRequestPayload.to_create_request_kwargs.__qualname__ = "ApprovalRequestPayload.to_create_request_kwargs"
    p, twin_p = payload(), ApprovalRequestPayload()
    for call, twin_call in [
        (lambda: p.to_create_request_kwargs(1), lambda: twin_p.to_create_request_kwargs(1)),
        (lambda: p.to_create_request_kwargs(x=1), lambda: twin_p.to_create_request_kwargs(x=1)),
        (lambda: type(p).to_create_request_kwargs(), lambda: ApprovalRequestPayload.to_create_request_kwargs()),
    ]:
        with pytest.raises(TypeError) as want:
            twin_call()
        with pytest.raises(TypeError) as got:
            call()
        assert str(got.value) == str(want.value)


def test_a_module_function_binds_in_any_class():
    class Holder:
        policy_id = "from-self"
        policy = parvex._extract_policy_id

    assert Holder().policy() == "from-self"  # the instance became `request`
    assert Holder.policy(Holder(), "explicit") == "explicit"


def test_coroutine_function_markers():
    handler = approval.async_cloud_approval("k")
    assert inspect.iscoroutinefunction(handler)
    import asyncio

    assert asyncio.iscoroutinefunction(handler)
    assert not inspect.iscoroutinefunction(approval.cloud_approval("k"))


# ---- the dataclass ----------------------------------------------------------------


def test_dataclass_matches_a_python_dataclass():
    import dataclasses
    from typing import Any, Dict, List, Optional

    @dataclasses.dataclass
    class ApprovalRequestPayload:
        warrant_id: str
        tool: str
        request_hash: bytes
        holder_key: bytes
        args_canonical_cbor_b64: str
        approval_context_attestation: Dict[str, Any]
        metadata: Optional[Dict[str, Any]] = None
        policy_id: Optional[str] = None
        threshold: Optional[int] = None
        approver_keys: Optional[List[str]] = None
        ttl_seconds: Optional[int] = None
        idempotency_key: Optional[str] = None

    ApprovalRequestPayload.__qualname__ = "ApprovalRequestPayload"
    cls = parvex.ApprovalRequestPayload
    assert dataclasses.is_dataclass(cls)
    got = [(f.name, f.type, f.default) for f in dataclasses.fields(cls)]
    want = [(f.name, f.type, f.default) for f in dataclasses.fields(ApprovalRequestPayload)]
    assert got == want
    assert inspect.signature(cls) == inspect.signature(ApprovalRequestPayload)
    values = payload_fields(threshold=2)
    a, b = cls(**values), ApprovalRequestPayload(**values)
    assert repr(a) == repr(b)
    assert a == cls(**values) and a != cls(**{**values, "threshold": 3}) and a != b
    assert cls.__hash__ is None  # eq without frozen: unhashable, like the Python one
    a.tool = "changed"  # not frozen
    with pytest.raises(TypeError):
        a < a  # noqa: B015 - not ordered
    assert (cls.__module__, cls.__qualname__) == ("vorel_cloud.parvex", "ApprovalRequestPayload")
    assert dataclasses.asdict(a)["tool"] == "changed"
    assert dataclasses.replace(a, tool="x").tool == "x"
