"""Cost of the native approval handlers, against fakes that answer at once.

1. Per-call overhead of a synchronous and an asynchronous gate: payload build
   (the real builder, on a pre-attested request), client construction, create,
   one poll, decode, close. The same flow written in plain Python, calling the
   same fakes, is timed alongside; the difference is what the native handler
   adds (or saves) on top of the work it delegates.
2. 10,000 concurrent pending approvals on one event loop, each polling every
   2 s (real sleeps) until the third poll approves: memory while all are
   pending, CPU per poll round, wall time.

Run: .venv/bin/python bench/approval_overhead.py [--calls N] [--pending N] [--real-core]
"""
from __future__ import annotations

import argparse
import asyncio
import base64
import gc
import resource
import statistics
import subprocess
import sys
import time
import types

from vorel_cloud import approval

SIGNED_HEX = "a1" * 96  # stands for one signed approval; decoded by the (fake) core SDK


# ---- fakes ---------------------------------------------------------------------------


class FakeClient:
    __slots__ = ("polls",)
    approve_after = 1

    def __init__(self, api_key, base_url=None, timeout=None):
        self.polls = 0

    def create_request(self, **kwargs):
        return {"id": "r-1", "status": "pending"}

    def _answer(self):
        self.polls += 1
        if self.polls >= self.approve_after:
            return {"status": "approved", "responses": [{"signed_approval": SIGNED_HEX}]}
        return {"status": "pending"}

    def get_request(self, request_id):
        return self._answer()

    def close(self):
        pass


class FakeAsyncClient(FakeClient):
    __slots__ = ()

    async def create_request(self, **kwargs):
        return {"id": "r-1", "status": "pending"}

    async def get_request(self, request_id):
        return self._answer()

    async def close(self):
        pass


def install_fake_core() -> None:
    """A core SDK whose decoder does no cryptography, so the handler's own cost shows."""

    class ApprovalDenied(Exception):
        def __init__(self, request=None, reason=""):
            super().__init__(request, reason)

    class Response:
        __slots__ = ("status", "signed_approvals_b64")

        def __init__(self, status, signed_approvals_b64=None):
            self.status, self.signed_approvals_b64 = status, signed_approvals_b64

    vorel = types.ModuleType("vorel")
    mod_approval = types.ModuleType("vorel.approval")
    mod_approval.ApprovalDenied = ApprovalDenied
    cp = types.ModuleType("vorel.cp_approval")
    cp.ControlPlaneApprovalResponseV1 = Response
    cp.signed_approvals_from_response = lambda response: list(response.signed_approvals_b64 or ())
    decorators = types.ModuleType("vorel.decorators")
    decorators.key_scope = lambda: None  # no warrant context: the request's own attestation is used
    vorel.approval, vorel.cp_approval, vorel.decorators = mod_approval, cp, decorators
    sys.modules.update(
        {"vorel": vorel, "vorel.approval": mod_approval, "vorel.cp_approval": cp, "vorel.decorators": decorators}
    )


def make_request():
    """A request that already carries its attestation (the builder reuses it)."""
    return types.SimpleNamespace(
        tool="send_email",
        warrant_id="w-bench",
        arguments={"to": "bob"},
        holder_key=b"\x01" * 32,
        request_hash=b"\x02" * 32,
        args_canonical_cbor_b64="oWJ0b2Nib2I=",
        approval_context_attestation={"request_hash": "02" * 32, "v": 1},
        idempotency_key=None,
    )


# ---- the same flows in plain Python, for comparison ----------------------------------


def python_sync_handler(api_key, *, signing_key=None, base_url="", poll_interval=2.0, timeout=300.0):
    def _handle(request):
        from vorel.approval import ApprovalDenied

        payload = approval.build_approval_request_payload(request, signing_key=signing_key)
        client = approval.VorelCloudClient(api_key, base_url=base_url)
        try:
            created = client.create_request(**payload.to_create_request_kwargs())
            request_id = created["id"]
            approval.logger.info("approval request created in cloud", extra={"request_id": request_id, "tool": request.tool})
            result = python_poll(client, request_id, poll_interval=poll_interval, timeout=timeout)
            status = result["status"]
            if status == "approved":
                return approval._extract_signed_approvals(result)
            raise ApprovalDenied(request, reason=f"unexpected status: {status}")
        finally:
            client.close()

    return _handle


def python_poll(client, request_id, *, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        time.sleep(min(poll_interval, remaining))


def python_async_handler(api_key, *, signing_key=None, base_url="", poll_interval=2.0, timeout=300.0):
    async def _handle(request):
        from vorel.approval import ApprovalDenied

        payload = approval.build_approval_request_payload(request, signing_key=signing_key)
        client = approval.AsyncVorelCloudClient(api_key, base_url=base_url)
        try:
            created = await client.create_request(**payload.to_create_request_kwargs())
            request_id = created["id"]
            approval.logger.info("approval request %s created for %s", request_id, request.tool)
            result = await python_async_poll(client, request_id, poll_interval=poll_interval, timeout=timeout)
            status = result["status"]
            if status == "approved":
                return approval._extract_signed_approvals(result)
            raise ApprovalDenied(request, reason=f"unexpected status: {status}")
        finally:
            await client.close()

    return _handle


async def python_async_poll(client, request_id, *, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = await client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        await asyncio.sleep(min(poll_interval, remaining))


# ---- measurements ----------------------------------------------------------------------


def per_call_us(fns, calls: int, repeats: int = 7) -> list[float]:
    """Median microseconds per call of each runner; runs interleave so drift hits all alike."""
    for fn in fns:
        fn(calls // 10)  # warm-up
    samples = [[] for _ in fns]
    for _ in range(repeats):
        for fn, out in zip(fns, samples):
            start = time.perf_counter()
            fn(calls)
            out.append((time.perf_counter() - start) / calls * 1e6)
    return [statistics.median(s) for s in samples]


def sync_loop(handler, request):
    def run(n):
        for _ in range(n):
            handler(request)

    return run


def async_loop(handler, request):
    loop = asyncio.new_event_loop()

    async def many(n):
        for _ in range(n):
            await handler(request)

    return lambda n: loop.run_until_complete(many(n))


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def pending_approvals(make_handler, count: int) -> dict:
    """`count` handlers awaiting at once; the third poll (after two 2 s sleeps) approves."""
    FakeAsyncClient.approve_after = 3
    handler = make_handler("key", poll_interval=2.0, timeout=60.0)
    request = make_request()
    marks = {}

    async def main():
        gc.collect()
        marks["blocks0"], marks["rss0"] = sys.getallocatedblocks(), rss_kb()
        cpu0, wall0 = time.process_time(), time.perf_counter()
        tasks = [asyncio.ensure_future(handler(request)) for _ in range(count)]
        await asyncio.sleep(1.0)  # all created and polled once, all sleeping
        marks["cpu_start_round"] = time.process_time() - cpu0
        marks["blocks_pending"] = sys.getallocatedblocks() - marks["blocks0"]
        marks["rss_pending"] = rss_kb() - marks["rss0"]
        results = await asyncio.gather(*tasks)
        marks["cpu_total"] = time.process_time() - cpu0
        marks["wall"] = time.perf_counter() - wall0
        expected = base64.b64encode(bytes.fromhex(SIGNED_HEX)).decode("ascii")
        assert len(results) == count and all(r == expected for r in results)

    asyncio.run(main())
    FakeAsyncClient.approve_after = 1
    return marks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--pending", type=int, default=10000)
    parser.add_argument("--real-core", action="store_true", help="decode with the installed core SDK (signature checks)")
    parser.add_argument("--pending-only", choices=["native", "python"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.pending_only:
        report_pending(args.pending_only, args.pending)
        return

    global SIGNED_HEX
    if args.real_core:
        from vorel_core import SignedApproval, SigningKey

        signed = SignedApproval.create(SigningKey.generate(), request_hash=b"\x02" * 32, warrant_id="w-bench", tool="send_email")
        SIGNED_HEX = signed.to_bytes().hex()
    else:
        install_fake_core()
    approval.VorelCloudClient = FakeClient
    approval.AsyncVorelCloudClient = FakeAsyncClient
    request = make_request()

    print(f"per call, median of 7 x {args.calls} calls ({'real' if args.real_core else 'fake'} core SDK decoder)")
    rows = [
        ("sync gate", sync_loop(approval.cloud_approval("key"), request), sync_loop(python_sync_handler("key"), request)),
        (
            "async gate (awaited on a loop)",
            async_loop(approval.async_cloud_approval("key"), request),
            async_loop(python_async_handler("key"), request),
        ),
    ]
    for name, native, python in rows:
        n_us, p_us = per_call_us([native, python], args.calls)
        print(f"  {name:32s} native {n_us:7.2f} us   same flow in Python {p_us:7.2f} us   difference {n_us - p_us:+7.2f} us")

    if args.real_core:
        return
    print(f"\n{args.pending} pending async approvals on one loop, poll every 2 s, approved at the third poll")
    for name in ("native", "python"):
        # A fresh interpreter each, so neither inherits the other's freed memory.
        out = subprocess.run(
            [sys.executable, __file__, "--pending-only", name, "--pending", str(args.pending)],
            check=True, capture_output=True, text=True,
        ).stdout
        print(out.rstrip())


def report_pending(name: str, count: int) -> None:
    install_fake_core()
    approval.AsyncVorelCloudClient = FakeAsyncClient
    factory = approval.async_cloud_approval if name == "native" else python_async_handler
    m = pending_approvals(factory, count)
    label = "native" if name == "native" else "same flow in Python"
    print(
        f"  {label:20s} while pending: {m['blocks_pending'] / count:5.1f} blocks and "
        f"{m['rss_pending'] * 1024 / count:5.0f} B RSS per approval ({m['rss_pending'] / 1024:.1f} MiB); "
        f"CPU: create + first poll {m['cpu_start_round'] * 1e3:4.0f} ms, "
        f"each later poll round {(m['cpu_total'] - m['cpu_start_round']) / 2 * 1e3:4.0f} ms; "
        f"wall {m['wall']:.2f} s"
    )


if __name__ == "__main__":
    main()
