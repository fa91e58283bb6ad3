"""The benchmark rows: each pairs a native function with its plain-Python rendering.

A row's `make(side)` returns `run(n)`, which makes the measured call `n`
times; both sides get the same arguments and the same fakes. Only public and
underscore-named functions are used, so the rows keep working whatever the
native modules' internals become.
"""

from __future__ import annotations

import asyncio
import ctypes
import gc
import selectors
import types
from collections.abc import Callable
from dataclasses import dataclass

import fakes

MODULES = ("parvex", "approval", "langgraph", "connect")


def load_side(name: str) -> types.SimpleNamespace:
    """The four modules of one side, with the fake clients patched in where a caller would."""
    import importlib

    package = "vorel_cloud" if name == "native" else "reference"
    mods = {m: importlib.import_module(f"{package}.{m}") for m in MODULES}
    mods["approval"].VorelCloudClient = fakes.FakeClient
    mods["approval"].AsyncVorelCloudClient = fakes.FakeAsyncClient
    mods["langgraph"].AsyncVorelCloudClient = fakes.FakeAsyncClient
    return types.SimpleNamespace(**mods)


@dataclass(frozen=True)
class Row:
    key: str
    title: str
    make: Callable[[types.SimpleNamespace], Callable[[int], None]]
    group: str | None  # threshold group; None: informational only


def _repeating(fn, arg):
    """`run(n)`: fn(arg), n times (the same loop on both sides)."""

    def run(n):
        for _ in range(n):
            fn(arg)

    return run


def _payload_prepopulated(s):
    return _repeating(s.parvex.build_approval_request_payload, fakes.attested_request())


def _payload_with_key(s):
    build, request, key = s.parvex.build_approval_request_payload, fakes.bare_request(), fakes.FakeSigningKey()

    def run(n):
        for _ in range(n):
            build(request, signing_key=key)

    return run


def _to_kwargs(s):
    payload = s.parvex.build_approval_request_payload(fakes.attested_request())
    to_kwargs = payload.to_create_request_kwargs

    def run(n):
        for _ in range(n):
            to_kwargs()

    return run


def _extract(s):
    return _repeating(s.approval._extract_signed_approvals, fakes.approved_result(3))


def _idempotency_key(s):
    key, request = s.approval._build_temporal_approval_idempotency_key, fakes.attested_request()

    def run(n):
        for _ in range(n):
            key(request, workflow_id="wf-1", workflow_run_id="run-1", activity_id="7")

    return run


def _heartbeat_id(s):
    return _repeating(s.approval._extract_temporal_heartbeat_request_id, [{"approval_request_id": "r-1"}])


def _parse_token(s):
    return _repeating(s.connect.parse_connect_token, fakes.connect_token())


def _config_from_token(s):
    return _repeating(s.connect.connect_config_from_token, fakes.connect_token())


def _langgraph_key(s):
    return _repeating(s.langgraph._get_idempotency_key, fakes.attested_request())


def _sync_gate(s):
    return _repeating(s.approval.cloud_approval("key"), fakes.attested_request())


def _on_loop(handler, request):
    loop = asyncio.new_event_loop()

    async def many(n):
        for _ in range(n):
            await handler(request)

    return lambda n: loop.run_until_complete(many(n))


def _async_gate(s):
    return _on_loop(s.approval.async_cloud_approval("key"), fakes.attested_request())


def _langgraph_gate(s):
    return _on_loop(s.langgraph.langgraph_cloud_approval("key", timeout=600.0), fakes.attested_request())


PER_CALL_ROWS = (
    Row("payload_prepopulated", "payload build, pre-populated request", _payload_prepopulated, "payload"),
    Row("payload_signing_key", "payload build, attestation from a signing key", _payload_with_key, "payload"),
    Row("to_kwargs", "ApprovalRequestPayload.to_create_request_kwargs()", _to_kwargs, "to_kwargs"),
    Row("extract", "_extract_signed_approvals (3 responses)", _extract, "decode"),
    Row("idempotency_key", "_build_temporal_approval_idempotency_key", _idempotency_key, "idempotency"),
    Row("parse_token", "parse_connect_token", _parse_token, "token"),
    Row("sync_gate", "sync gate (cloud_approval handler)", _sync_gate, "gate"),
    Row("async_gate", "async gate (awaited on a loop)", _async_gate, "gate"),
    Row("config_from_token", "connect_config_from_token", _config_from_token, None),
    Row("heartbeat_id", "_extract_temporal_heartbeat_request_id", _heartbeat_id, None),
    Row("langgraph_key", "langgraph _get_idempotency_key", _langgraph_key, None),
    Row("langgraph_gate", "langgraph gate (approved at first poll)", _langgraph_gate, None),
)


# ---- pending approvals on one loop, on a virtual clock ---------------------------------


class _VirtualSelector(selectors.DefaultSelector):
    """Never sleeps: a wait for the next timer moves the loop's clock instead.

    The number of loop iterations, and so the instruction count, then no
    longer depends on how fast the machine is.
    """

    loop: VirtualClockLoop

    def select(self, timeout=None):
        events = super().select(0)
        if not events and timeout is not None and timeout > 0:
            self.loop.now += timeout
        return events


class VirtualClockLoop(asyncio.SelectorEventLoop):
    def __init__(self):
        self.now = 0.0
        selector = _VirtualSelector()
        selector.loop = self
        super().__init__(selector)

    def time(self):
        return self.now


def pending_approvals(side, count: int, mark: Callable[[str], None]) -> None:
    """`count` LangGraph gates pending on one loop, polled every 2 s, approved at the 4th poll.

    `mark("start")` runs before the gates exist, `mark("pending")` once each has
    polled once and sleeps, `mark("polled")` after one more poll round.
    """
    fakes.FakeAsyncClient.approve_after = 4
    handler = side.langgraph.langgraph_cloud_approval("key", poll_interval=2.0, timeout=600.0)
    request = fakes.attested_request()
    loop = VirtualClockLoop()
    asyncio.set_event_loop(loop)
    try:
        mark("start")
        tasks = [loop.create_task(handler(request)) for _ in range(count)]
        loop.run_until_complete(asyncio.sleep(1.0))  # created, polled once, all sleeping until t=2
        mark("pending")
        loop.run_until_complete(asyncio.sleep(2.0))  # the t=2 poll round
        mark("polled")
        results = loop.run_until_complete(asyncio.gather(*tasks))
        assert len(results) == count and all(r == fakes.SIGNED_B64 for r in results), "pending gates failed"
    finally:
        fakes.FakeAsyncClient.approve_after = 1
        asyncio.set_event_loop(None)
        loop.close()


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def heap_bytes() -> int:
    """Bytes the C heap has handed out (run with PYTHONMALLOC=malloc, so this is every object)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _Mallinfo2
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


# ---- the renderings must do what the native functions do ---------------------------------


def _outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # compared by type name and text
        return ("raised", type(e).__name__, str(e))


def disagreements(native, python) -> list[str]:
    """Rows whose Python rendering gives another result than the native function (empty: all agree)."""
    attested, bare, key = fakes.attested_request(), fakes.bare_request(), fakes.FakeSigningKey()
    no_holder = fakes.Request(tool="t", warrant_id="w")
    token = fakes.connect_token()

    def run_async(handler, request):
        loop = asyncio.new_event_loop()
        try:
            return loop.run_until_complete(handler(request))
        finally:
            loop.close()

    probes = {
        "payload_prepopulated": lambda s: s.parvex.build_approval_request_payload(attested).to_create_request_kwargs(),
        "payload_signing_key": lambda s: s.parvex.build_approval_request_payload(
            bare, signing_key=key, policy_id="p-1", idempotency_key="k-1"
        ).to_create_request_kwargs(),
        "payload_no_holder_key": lambda s: s.parvex.build_approval_request_payload(no_holder),
        "payload_no_attestation": lambda s: s.parvex.build_approval_request_payload(bare),
        "payload_int_holder_key": lambda s: s.parvex.build_approval_request_payload(
            fakes.Request(tool="t", warrant_id="w", holder_key=7), signing_key=key
        ),
        "payload_bare_approver": lambda s: s.parvex.build_approval_request_payload(
            fakes.Request(**vars(bare), required_approvers="ab"), signing_key=key
        ),
        "payload_none_request_hash": lambda s: s.parvex.build_approval_request_payload(
            fakes.Request(**vars(bare), request_hash=None), signing_key=key
        ).to_create_request_kwargs(),
        "extract": lambda s: s.approval._extract_signed_approvals(fakes.approved_result(3)),
        "extract_one": lambda s: s.approval._extract_signed_approvals(fakes.approved_result(1)),
        "extract_malformed": lambda s: s.approval._extract_signed_approvals({"responses": [{"signed_approval": "%%"}]}),
        "idempotency_key": lambda s: s.approval._build_temporal_approval_idempotency_key(
            attested, workflow_id="wf-1", workflow_run_id="run-1", activity_id="7"
        ),
        "heartbeat_id": lambda s: s.approval._extract_temporal_heartbeat_request_id([{"approval_request_id": "r-1"}]),
        "parse_token": lambda s: s.connect.parse_connect_token(token),
        "parse_token_prefix": lambda s: s.connect.parse_connect_token("nope"),
        "config_from_token": lambda s: s.connect.connect_config_from_token(token),
        "langgraph_key": lambda s: s.langgraph._get_idempotency_key(attested),
        "sync_gate": lambda s: s.approval.cloud_approval("key")(attested),
        "async_gate": lambda s: run_async(s.approval.async_cloud_approval("key"), attested),
        "langgraph_gate": lambda s: run_async(s.langgraph.langgraph_cloud_approval("key", timeout=600.0), attested),
    }
    # _outcome() calls the lambda at once, while `probe` is still this item's.
    return [
        name
        for name, probe in probes.items()
        if _outcome(lambda: probe(native)) != _outcome(lambda: probe(python))  # noqa: B023
    ]
