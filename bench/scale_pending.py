"""Many approvals pending at once, as a user with many agents on one event loop has them.

Each row starts the local control plane in a process of its own on a free
loopback port (``--memory --auto-approve-after 6``: every request is approved
on its sixth poll; ``--keep-alive-timeout 60``: idle connections are kept a
minute, as hosted APIs keep them), then, in this process:

- ``async``: N ``async_cloud_approval`` gates awaited at once on one event
  loop, polling every INTERVAL seconds, with the core SDK's attested requests
  built beforehand;
- ``threads``: N threads, each waiting in its own ``cloud_approval`` call;
- ``httpx``: the baseline of the same run, 2,000 GETs of one request, 20 at a
  time, through one plain ``httpx.AsyncClient`` with its defaults, against a
  server started the same way;
- ``unpooled``: the ``async`` row with the shared pools turned off, so every
  handler call's client has an ``httpx.AsyncClient`` of its own (the client
  before the pools).

Per row: approved / failed, the peak of this process's open sockets (sampled
every 20 ms), the connections the server accepted (over HTTPS each one is a
TLS handshake; the server reports them when it stops), the client's CPU time
per HTTP request, and the growth of its resident memory per pending approval
while all of them wait (sampled once every gate has been created and polled
once; the core SDK's request objects are built before the baseline). HTTPS rows use a throw-away CA from ``trustme``,
trusted through SSL_CERT_FILE.

Everything stays on 127.0.0.1 and ends by itself: each row is bounded by its
gates' timeout, and the server is killed if it does not stop.

Run: .venv/bin/python bench/scale_pending.py [--rows default|quick] [--json]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
APPROVE_AFTER = 6
BASELINE_REQUESTS = 2000
BASELINE_CONCURRENCY = 20


@dataclass
class Row:
    what: str
    n: int
    interval: float
    scheme: str
    approved: int = 0
    failed: int = 0
    http_requests: int = 0
    peak_sockets: int = 0
    server_connections: int = 0
    cpu_us_per_request: float = 0.0
    rss_bytes_per_pending: float = 0.0
    latency_ms: tuple[float, float] = (0.0, 0.0)  # median and 99th percentile of one HTTP request
    seconds: float = 0.0
    errors: tuple[str, ...] = ()


# -- the server --------------------------------------------------------------


@contextmanager
def control_plane(folder: str, tls: tuple[str, str] | None) -> Iterator[tuple[dict[str, Any], list[int]]]:
    """The local control plane in its own process; yields (info, [connections accepted, known at exit])."""
    info_file = os.path.join(folder, f"info-{time.monotonic_ns()}.json")
    log_file = open(os.path.join(folder, "server.log"), "w+")  # read back after the stop
    args = [sys.executable, "-m", "vorel_cloud.devserver", "--memory", "--port", "0", "--info-file", info_file]
    # Idle connections kept a minute, as hosted APIs keep them (the local
    # plane's own default, 5 s, would close them between two poll waves).
    args += ["--auto-approve-after", str(APPROVE_AFTER), "--keep-alive-timeout", "60", "--log-level", "info"]
    if tls:
        args += ["--tls-cert", tls[0], "--tls-key", tls[1]]
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=log_file, cwd=folder)
    accepted: list[int] = []
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists(info_file) or not os.path.getsize(info_file):
            if proc.poll() is not None or time.monotonic() > deadline:
                log_file.seek(0)
                raise RuntimeError(f"the control plane did not start:\n{log_file.read()}")
            time.sleep(0.05)
        time.sleep(0.1)  # the file is written just before serving starts
        yield json.loads(Path(info_file).read_text()), accepted
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log_file.seek(0)
        found = re.findall(r"served (\d+) connections", log_file.read())
        accepted.append(int(found[-1]) if found else -1)
        log_file.close()


# -- what this process holds --------------------------------------------------


def open_sockets() -> int:
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                count += 1
        except OSError:
            pass
    return count


def rss_bytes() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * resource.getpagesize()


class Sampler:
    """Peak sockets of this process every 20 ms, in a thread, and its resident
    memory at the first sample where ``waiting()`` holds (every gate created
    and polled once: all of them pending, none in the creation queue)."""

    def __init__(self, waiting: Callable[[], bool] = lambda: False) -> None:
        self.peak_sockets = 0
        self.waiting_rss = 0
        self._waiting = waiting
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.wait(0.02):
            self.peak_sockets = max(self.peak_sockets, open_sockets())
            if not self.waiting_rss and self._waiting():
                self.waiting_rss = rss_bytes()

    def __enter__(self) -> Sampler:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


@contextmanager
def counted_requests() -> Iterator[list[float]]:
    """The time each HTTP request the shared pools send takes (creates, polls and retries), wait for a
    free connection included."""
    from vorel_cloud import _pool

    times: list[float] = []
    sync_send, async_send = _pool.sync_send, _pool.async_send
    clock = time.perf_counter

    def counting_sync(*args: Any) -> Any:
        start = clock()
        try:
            return sync_send(*args)
        finally:
            times.append(clock() - start)

    async def counting_async(*args: Any) -> Any:
        start = clock()
        try:
            return await async_send(*args)
        finally:
            times.append(clock() - start)

    _pool.sync_send, _pool.async_send = counting_sync, counting_async  # type: ignore[assignment]
    try:
        yield times
    finally:
        _pool.sync_send, _pool.async_send = sync_send, async_send


def make_requests(n: int) -> list[Any]:
    from vorel.approval import build_approval_request
    from vorel_core import SigningKey

    key = SigningKey.generate()
    return [
        build_approval_request("send_email", {"to": f"user{i}@example.com"}, warrant_id="w-scale", signing_key=key)
        for i in range(n)
    ]


def summarize(row: Row, outcomes: list[Any], cpu: float, times: list[float], rss0: int, sampler: Sampler) -> None:
    from vorel_core import SignedApproval

    failures = [o for o in outcomes if not isinstance(o, SignedApproval)]
    row.approved = len(outcomes) - len(failures)
    row.failed = len(failures)
    row.errors = tuple(sorted({f"{type(o).__name__}: {o}"[:160] for o in failures}))[:3]
    count = row.http_requests = len(times)
    row.cpu_us_per_request = cpu / max(count, 1) * 1e6
    ordered = sorted(times) or [0.0]
    row.latency_ms = (ordered[len(ordered) // 2] * 1e3, ordered[min(len(ordered) - 1, len(ordered) * 99 // 100)] * 1e3)
    row.peak_sockets = sampler.peak_sockets
    row.rss_bytes_per_pending = (sampler.waiting_rss - rss0) / row.n


# -- the rows ---------------------------------------------------------------------


def run_async(row: Row, info: dict[str, Any], times: list[float] | None = None) -> None:
    from vorel_cloud.approval import async_cloud_approval

    requests = make_requests(row.n)
    handler = async_cloud_approval(
        info["api_key"], base_url=info["base_url"], poll_interval=row.interval, timeout=row.interval * 20 + 300
    )

    async def gates() -> list[Any]:
        return await asyncio.gather(*(handler(r) for r in requests), return_exceptions=True)

    gc.collect()
    rss0 = rss_bytes()
    with counted_requests() as pooled:
        times = pooled if times is None else times
        with Sampler(lambda: len(times) >= 2 * row.n) as sampler:
            start, cpu0 = time.monotonic(), time.process_time()
            outcomes = asyncio.run(gates())
            cpu = time.process_time() - cpu0
            row.seconds = time.monotonic() - start
    summarize(row, outcomes, cpu, times, rss0, sampler)


def run_unpooled(row: Row, info: dict[str, Any]) -> None:
    from vorel_cloud import _pool

    standard = _pool.httpx_is_standard
    _pool.httpx_is_standard = lambda: False  # type: ignore[assignment]
    try:
        with counted_httpx() as times:
            run_async(row, info, times)
    finally:
        _pool.httpx_is_standard = standard  # type: ignore[assignment]


@contextmanager
def counted_httpx() -> Iterator[list[float]]:
    """counted_requests() for clients that send through httpx."""
    from vorel_cloud.client import AsyncVorelCloudClient

    times: list[float] = []
    exchange = AsyncVorelCloudClient._exchange
    clock = time.perf_counter

    async def timed(self: Any, request: Any) -> Any:
        start = clock()
        try:
            return await exchange(self, request)
        finally:
            times.append(clock() - start)

    AsyncVorelCloudClient._exchange = timed  # type: ignore[method-assign]
    try:
        yield times
    finally:
        AsyncVorelCloudClient._exchange = exchange  # type: ignore[method-assign]


def run_threads(row: Row, info: dict[str, Any]) -> None:
    from vorel_cloud.approval import cloud_approval

    requests = make_requests(row.n)
    handler = cloud_approval(info["api_key"], base_url=info["base_url"], poll_interval=row.interval, timeout=300.0)
    outcomes: list[Any] = [None] * row.n

    def gate(i: int) -> None:
        try:
            outcomes[i] = handler(requests[i])
        except Exception as exc:
            outcomes[i] = exc

    gc.collect()
    rss0 = rss_bytes()
    with counted_requests() as times, Sampler(lambda: len(times) >= 2 * row.n) as sampler:
        start, cpu0 = time.monotonic(), time.process_time()
        threads = [threading.Thread(target=gate, args=(i,)) for i in range(row.n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        cpu = time.process_time() - cpu0
        row.seconds = time.monotonic() - start
    summarize(row, outcomes, cpu, times, rss0, sampler)


def run_httpx(row: Row, info: dict[str, Any]) -> None:
    import httpx

    from vorel_cloud.client import VorelCloudClient

    with VorelCloudClient(info["api_key"], base_url=info["base_url"]) as client:
        (request,) = make_requests(1)
        created = client.create_request(
            warrant_id=request.warrant_id,
            tool=request.tool,
            request_hash=request.request_hash,
            holder_key=request.holder_key,
            args_canonical_cbor_b64=request.args_canonical_cbor_b64,
            approval_context_attestation=request.approval_context_attestation,
        )
    url = f"{info['base_url']}/v1/approvals/requests/{created['id']}"
    headers = {"Authorization": f"Bearer {info['api_key']}", "Accept": "application/json"}

    async def gets() -> list[Any]:
        async with httpx.AsyncClient() as http:
            slots = asyncio.Semaphore(BASELINE_CONCURRENCY)

            async def one() -> Any:
                async with slots:
                    answer = await http.get(url, headers=headers)
                    answer.raise_for_status()
                    return answer.json()

            for _ in range(20):  # connections open and warm before the clock starts
                await one()
            cpu0 = time.process_time()
            out = await asyncio.gather(*(one() for _ in range(row.n)), return_exceptions=True)
            row.cpu_us_per_request = (time.process_time() - cpu0) / row.n * 1e6
            return out

    with Sampler() as sampler:
        start = time.monotonic()
        outcomes = asyncio.run(gets())
        row.seconds = time.monotonic() - start
    row.failed = sum(isinstance(o, BaseException) for o in outcomes)
    row.approved = row.n - row.failed
    row.http_requests = row.n
    row.peak_sockets = sampler.peak_sockets


RUNNERS: dict[str, Callable[[Row, dict[str, Any]], None]] = {
    "async": run_async,
    "threads": run_threads,
    "httpx": run_httpx,
    "unpooled": run_unpooled,
}

THOUSAND = [
    ("httpx", BASELINE_REQUESTS, 0.0, "http"),
    ("unpooled", 1000, 2.0, "http"),
    ("async", 1000, 2.0, "http"),
    ("httpx", BASELINE_REQUESTS, 0.0, "https"),
    ("async", 1000, 2.0, "https"),
]
THREADS = [("threads", 200, 2.0, "http")]
ROWS = {
    "default": [*THOUSAND, ("async", 10000, 20.0, "http"), ("async", 10000, 20.0, "https"), *THREADS],
    "1000": [*THOUSAND, *THREADS],
    "quick": [
        ("httpx", 500, 0.0, "http"),
        ("unpooled", 200, 0.5, "http"),
        ("async", 200, 0.5, "http"),
        ("async", 200, 0.5, "https"),
        ("threads", 50, 0.5, "http"),
    ],
}


def run(rows: list[tuple[str, int, float, str]]) -> list[Row]:
    import trustme

    results = []
    with tempfile.TemporaryDirectory(prefix="vorel-scale-") as folder:
        ca = trustme.CA()
        issued = ca.issue_cert("127.0.0.1", "localhost")
        cert, key, ca_file = (os.path.join(folder, n) for n in ("cert.pem", "key.pem", "ca.pem"))
        issued.private_key_and_cert_chain_pem.write_to_path(cert)
        issued.private_key_pem.write_to_path(key)
        ca.cert_pem.write_to_path(ca_file)
        os.environ["SSL_CERT_FILE"] = ca_file  # trusted by the client's pools and by plain httpx alike
        for what, n, interval, scheme in rows:
            row = Row(what, n, interval, scheme)
            with control_plane(folder, (cert, key) if scheme == "https" else None) as (info, accepted):
                RUNNERS[what](row, info)
            row.server_connections = accepted[0]
            results.append(row)
            print(format_row(row), flush=True)
    return results


def format_row(row: Row) -> str:
    label = {
        "async": f"{row.n:,} async gates, poll {row.interval:g} s",
        "unpooled": f"{row.n:,} async gates, poll {row.interval:g} s, a connection pool per client (before)",
        "threads": f"{row.n} threads in cloud_approval, poll {row.interval:g} s",
        "httpx": f"plain httpx.AsyncClient, {row.n:,} GETs, {BASELINE_CONCURRENCY} at a time",
    }[row.what]
    rss = f"{row.rss_bytes_per_pending / 1024:.1f} KB" if row.what != "httpx" else "-"
    latency = f"{row.latency_ms[0]:.1f} / {row.latency_ms[1]:.0f} ms" if row.what != "httpx" else "-"
    text = (
        f"| {label} | {row.scheme} | {row.approved:,} / {row.failed:,} | {row.peak_sockets} | "
        f"{row.server_connections} | {row.http_requests:,} | {latency} | {row.cpu_us_per_request:.0f} µs | {rss} | "
        f"{row.seconds:.1f} s |"
    )
    if row.errors:
        text += "\n    errors: " + "; ".join(row.errors)
    return text


HEADER = (
    "| row | scheme | ok / failed | peak client sockets | server connections (TLS handshakes) "
    "| HTTP requests | request time p50 / p99 | client CPU per request | RSS per pending | wall |\n"
    "|---|---|---|---|---|---|---|---|---|---|"
)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", choices=sorted(ROWS), default="default")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON at the end")
    parser.add_argument("--max-connections", type=int, help="the shared pools' cap (default: the client's)")
    parser.add_argument("--interval", type=float, help="poll interval of the 10,000-gate rows (default: 20 s)")
    args = parser.parse_args()
    if args.max_connections:
        os.environ["VOREL_HTTP_MAX_CONNECTIONS"] = str(args.max_connections)
    rows = [
        (what, n, args.interval if args.interval and n >= 10000 else interval, scheme)
        for what, n, interval, scheme in ROWS[args.rows]
    ]
    print(HEADER, flush=True)
    results = run(rows)
    for scheme in ("http", "https"):
        base = next((r for r in results if r.what == "httpx" and r.scheme == scheme), None)
        for r in results:
            if base and r.scheme == scheme and r.what in ("async", "unpooled"):
                print(
                    f"{r.n:,} async gates ({'shared pools' if r.what == 'async' else 'a pool per client'}) "
                    f"over {scheme}: client CPU per request "
                    f"{r.cpu_us_per_request / base.cpu_us_per_request:.2f} x plain httpx's"
                )
    if args.json:
        print(json.dumps([asdict(r) for r in results], indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
