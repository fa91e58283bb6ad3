"""What every fuzz target shares: the value generator, the fake core SDK, the
outcome comparison and the atheris entry point.

Each target is differential: it runs the native function and the plain-Python
rendering of the same documented algorithm (the benchmark's, bench/reference,
importable as `reference`) on inputs made twice from the same fuzz bytes, and
requires the same outcome: equal
results, or the same exception type (with the same text for the package's own
errors) and the same chaining. The exception type must also be one the
function documents; anything else (SystemError, a crash, a sanitizer report)
is a finding.

Targets run as programs under atheris (`scripts/fuzz.sh`), and their corpora
are replayed by `tests/runtime/test_fuzz_corpus.py` in every test run.
"""

from __future__ import annotations

import importlib
import math
import os
import re
import sys
import types
from typing import Any, Callable

# The oracles are the benchmark's renderings, imported under the name the
# benchmark gives them; the test suite has bench/ on its path already.
_BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
if _BENCH not in sys.path:
    sys.path.append(_BENCH)


class Boom(Exception):
    """Raised by odd objects from their special methods."""


class BoomBase(BaseException):
    """Like Boom, outside the Exception hierarchy (swallowing it is a bug)."""


class Skip(Exception):
    """The function under test does not exist (yet)."""


def native(module: str, name: str) -> Callable:
    mod = importlib.import_module(module)
    fn = getattr(mod, name, None)
    if fn is None:
        raise Skip(f"{module}.{name} is not there yet")
    return fn


# ---- values ------------------------------------------------------------------


class Source:
    """Decisions drawn from the fuzz bytes; the same bytes give the same values.

    Works with atheris's FuzzedDataProvider when it is there, and with a small
    stand-in over the raw bytes otherwise (corpus replay in the test suite)."""

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def int(self, n: int) -> int:
        """0 <= value < n."""
        if n <= 1:
            return 0
        v = 0
        for _ in range(4 if n > 256 else 1):
            v = (v << 8) | self.byte()
        return v % n

    def bool(self) -> bool:
        return self.byte() & 1 == 1

    def pick(self, items):
        return items[self.int(len(items))]

    def blob(self, limit: int = 48) -> bytes:
        n = self.int(limit + 1)
        out = self.data[self.pos : self.pos + n]
        self.pos += len(out)
        return bytes(out)

    def text(self, limit: int = 32, alphabet: str | None = None) -> str:
        n = self.int(limit + 1)
        if alphabet is not None:
            return "".join(alphabet[self.int(len(alphabet))] for _ in range(n))
        kind = self.int(4)
        if kind == 0:  # ASCII
            return "".join(chr(32 + self.int(95)) for _ in range(n))
        if kind == 1:  # any code point, lone surrogates included
            return "".join(chr(self.int(0x110000)) for _ in range(n))
        if kind == 2:  # Latin-1
            return "".join(chr(self.int(256)) for _ in range(n))
        return self.blob(n).decode("utf-8", "replace")


HEX = "0123456789abcdefABCDEF"
B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="
B64URL = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_="


class Odd:
    """An object whose special methods may raise or answer strangely.

    `tag` names it in comparisons (two runs make two equal-tagged objects)."""

    def __init__(self, tag: str, behaviour: dict[str, Any]):
        self.tag = tag
        self._b = behaviour
        for k, v in behaviour.get("attrs", {}).items():
            object.__setattr__(self, k, v)

    def _do(self, name, default):
        b = self._b.get(name, default)
        if b is Boom:
            raise Boom(f"{self.tag}.{name}")
        if b is BoomBase:
            raise BoomBase(f"{self.tag}.{name}")
        return b

    def __bool__(self):
        return self._do("bool", True)

    def __str__(self):
        return self._do("str", f"odd-{self.tag}")

    def __repr__(self):
        return f"Odd({self.tag})"

    def __iter__(self):
        return iter(self._do("iter", []))

    def __index__(self):
        return self._do("index", 7)

    def __int__(self):
        return self._do("int", 7)

    def __getattr__(self, name):
        attrs = self._b.get("getattr", {})
        if name in attrs:
            v = attrs[name]
            if v is Boom:
                raise Boom(f"{self.tag}.{name}")
            return v
        raise AttributeError(name)


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class RaisingGetDict(dict):
    """A mapping whose .get() raises."""

    def get(self, *args):
        raise Boom("get")


def _behaviour(src: Source, depth: int) -> dict:
    out: dict[str, Any] = {}
    for name in ("bool", "str", "iter", "index", "int"):
        r = src.int(8)
        if r == 0:
            out[name] = Boom
        elif r == 1 and name in ("bool",):
            out[name] = False
        elif r == 2 and name == "str":
            out[name] = src.text(8)
        elif r == 3 and name == "iter":
            out[name] = [value(src, depth + 1) for _ in range(src.int(3))]
        elif r == 4 and name in ("index", "int"):
            out[name] = src.int(1000) - 500
        elif r == 5 and depth < 2 and src.int(4) == 0:
            out[name] = BoomBase
    if src.int(3) == 0:
        out["attrs"] = {"to_bytes": _callable(src, depth)}
    if src.int(3) == 0:
        out["getattr"] = {src.pick(["public_key", "approval_request_id", "hex", "get"]): Boom}
    return out


def _callable(src: Source, depth: int):
    r = src.int(4)
    if r == 0:
        v = value(src, depth + 1)
        return lambda: v
    if r == 1:

        def boom():
            raise Boom("to_bytes")

        return boom
    if r == 2:
        return src.blob(8)  # not callable
    b = src.blob(8)
    return lambda: bytearray(b)


def value(src: Source, depth: int = 0) -> Any:
    """Any of the values an untrusted attribute or entry may hold."""
    kinds = 24 if depth < 3 else 17
    k = src.int(kinds)
    if k == 0:
        return None
    if k == 1:
        return src.bool()
    if k == 2:
        return src.int(1 << 16) - (1 << 15)
    if k == 3:
        return src.pick([0, -1, 2**63, -(2**100), 10**30, 255, 256])
    if k == 4:
        return src.pick([0.0, -0.0, 90.9, -1.5, float("inf"), float("-inf"), float("nan"), 1e300])
    if k == 5:
        return src.text()
    if k == 6:
        return src.text(24, HEX)
    if k == 7:
        return src.text(24, HEX + " \n\t")
    if k == 8:
        return src.text(24, B64)
    if k == 9:
        return src.blob(24)
    if k == 10:
        return bytearray(src.blob(16))
    if k == 11:
        return StrSub(src.text(16, HEX))
    if k == 12:
        return BytesSub(src.blob(16))
    if k == 13:
        return memoryview(src.blob(8))
    if k == 14:
        return ""
    if k == 15:
        return b""
    if k == 16:
        return Odd(f"o{src.pos}", _behaviour(src, depth))
    if k == 17:
        return [value(src, depth + 1) for _ in range(src.int(4))]
    if k == 18:
        return tuple(value(src, depth + 1) for _ in range(src.int(4)))
    if k == 19:
        return {
            src.pick(["request_hash", "sig", "x", "approval_request_id"]): value(src, depth + 1)
            for _ in range(src.int(3))
        }
    if k == 20:
        return DictSub({"request_hash": value(src, depth + 1)})
    if k == 21:
        return ListSub(value(src, depth + 1) for _ in range(src.int(3)))
    if k == 22:
        return object()
    return RaisingGetDict()


# ---- the fake core SDK and signing core ---------------------------------------


class CoreError(Exception):
    """Raised by the fake core SDK or signing core when the input asks for it."""


class FakeKey:
    def __init__(self, public_key):
        self.public_key = public_key

    def __repr__(self):
        return f"FakeKey({self.public_key!r})"


class Core:
    """Fake `vorel` and `vorel_core` whose answers the fuzz input decides."""

    def __init__(self):
        self.scope: Callable[[], Any] = lambda: None
        self.attest: Callable[..., Any] = lambda *a: ("", {})
        self.decode: Callable[[Any], Any] = lambda resp: list(resp.signed_approvals_b64 or [])
        self.calls: list = []

    def modules(self) -> dict[str, types.ModuleType]:
        vorel = types.ModuleType("vorel")
        decorators = types.ModuleType("vorel.decorators")
        decorators.key_scope = lambda: self.scope()
        cp = types.ModuleType("vorel.cp_approval")

        class ControlPlaneApprovalResponseV1:
            def __init__(self, *, status, signed_approvals_b64):
                self.status = status
                self.signed_approvals_b64 = signed_approvals_b64

        cp.ControlPlaneApprovalResponseV1 = ControlPlaneApprovalResponseV1
        cp.signed_approvals_from_response = lambda resp: self.decode(resp)
        approval = types.ModuleType("vorel.approval")

        class ApprovalDenied(Exception):
            def __init__(self, request, reason=""):
                super().__init__(reason)
                self.request = request
                self.reason = reason

        approval.ApprovalDenied = ApprovalDenied
        vorel.decorators, vorel.cp_approval, vorel.approval = decorators, cp, approval
        vorel_core = types.ModuleType("vorel_core")
        vorel_core.py_build_approval_context_attestation = lambda *a: self.attest(*a)
        return {
            "vorel": vorel,
            "vorel.decorators": decorators,
            "vorel.cp_approval": cp,
            "vorel.approval": approval,
            "vorel_core": vorel_core,
        }

    def install(self) -> None:
        sys.modules.update(self.modules())


CORE = Core()


# ---- outcomes ----------------------------------------------------------------


_ADDRESS = re.compile(r" at 0x[0-9a-f]+")


def canon(v: Any, depth: int = 0) -> Any:
    """A structural form of a value, equal for the two runs' equal inputs."""
    if depth > 6:
        return "..."
    if isinstance(v, Odd):
        return ("odd", v.tag)
    if isinstance(v, float):
        return ("float", "nan" if math.isnan(v) else repr(v))
    if isinstance(v, str):  # str() of a plain object shows its address
        return (type(v).__name__, _ADDRESS.sub(" at 0x?", v))
    if isinstance(v, (bytes, int, type(None))):
        return (type(v).__name__, v)
    if isinstance(v, bytearray):
        return ("bytearray", bytes(v))
    if isinstance(v, memoryview):
        return ("memoryview", v.tobytes())
    if isinstance(v, (list, tuple)):
        return (type(v).__name__, tuple(canon(x, depth + 1) for x in v))
    if isinstance(v, dict):
        return (type(v).__name__, tuple((canon(k, depth + 1), canon(x, depth + 1)) for k, x in v.items()))
    if hasattr(v, "__dataclass_fields__"):
        return (type(v).__name__, tuple((f, canon(getattr(v, f), depth + 1)) for f in v.__dataclass_fields__))
    if isinstance(v, FakeKey):
        return ("key", canon(v.public_key, depth + 1))
    return ("object", type(v).__name__)


def chain(e: BaseException | None, depth: int = 0) -> Any:
    if e is None or depth > 4:
        return None
    return (type(e).__name__, chain(e.__cause__, depth + 1), chain(e.__context__, depth + 1), e.__suppress_context__)


def outcome(fn: Callable[[], Any], own_errors: tuple[type, ...]) -> tuple:
    """("ok", canon(result)) or ("err", type, text of own errors, chain)."""
    try:
        r = fn()
    except BaseException as e:
        if isinstance(e, (KeyboardInterrupt, SystemExit)) and not isinstance(e, BoomBase):
            raise
        text = str(e) if isinstance(e, own_errors) else None
        return ("err", type(e), text, chain(e)), e
    return ("ok", canon(r)), None


class Mismatch(AssertionError):
    pass


def compare(
    native_fn: Callable[[], Any],
    reference_fn: Callable[[], Any],
    *,
    allowed: tuple[type, ...],
    own_errors: tuple[type, ...],
    describe: Callable[[], str],
    same_text: Callable[[BaseException, BaseException], bool] | None = None,
) -> tuple:
    got, got_exc = outcome(native_fn, own_errors)
    want, want_exc = outcome(reference_fn, own_errors)
    if got_exc is not None and not isinstance(got_exc, allowed):
        raise Mismatch(f"undocumented exception escaped: {got_exc!r}\ninput: {describe()}") from got_exc
    if same_text is not None and got_exc is not None and want_exc is not None:
        if type(got_exc) is type(want_exc) and same_text(got_exc, want_exc):
            got, want = got[:2] + got[3:], want[:2] + want[3:]
    if got != want:
        raise Mismatch(
            f"native and reference differ\n native:    {got}\n reference: {want}\ninput: {describe()}"
        ) from got_exc
    return got


# ---- running -------------------------------------------------------------------


def main(name: str, one_input: Callable[[bytes], None], prepare: Callable[[], None]) -> None:
    """Entry point of a target program: libFuzzer's arguments pass through."""
    try:
        prepare()
    except Skip as e:
        print(f"fuzz {name}: skipped: {e}", flush=True)
        sys.exit(0)
    import atheris

    here = (os.path.dirname(os.path.abspath(__file__)) + os.sep, os.path.join(_BENCH, "reference") + os.sep)
    # Coverage feedback comes from the Python side: the renderings mirror the
    # native branches, and the models and stand-ins are Python too.
    for modname, mod in list(sys.modules.items()):
        f = getattr(mod, "__file__", None) or ""
        if f.startswith(here) or modname in ("vorel_cloud.models", "__main__"):
            _instrument_module(atheris, mod)
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


def _instrument_module(atheris, mod) -> None:
    for obj in list(vars(mod).values()):
        if isinstance(obj, types.FunctionType) and obj.__module__ == mod.__name__:
            try:
                atheris.instrument_func(obj)
            except Exception:
                pass
        elif isinstance(obj, type) and obj.__module__ == mod.__name__:
            for attr in list(vars(obj).values()):
                if isinstance(attr, types.FunctionType):
                    try:
                        atheris.instrument_func(attr)
                    except Exception:
                        pass
