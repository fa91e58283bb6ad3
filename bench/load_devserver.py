"""Load on the local control plane: many agents and reviewers at once, over loopback.

Starts ``python -m vorel_cloud.devserver --memory`` on a free loopback port and
runs CLIENTS concurrent keep-alive connections for DURATION seconds (or until
MAX_REQUESTS answers, whichever comes first). Each client repeats one approval
round trip as an agent and a reviewer make it:

    create (agent key) -> get -> get -> approve or deny (reviewer key) -> list (limit 20)

plus a health check every tenth round. It reports the number of answers, the
errors (a transport failure or an unexpected status), throughput and latency
percentiles per operation and overall, then stops the server.

Everything stays on 127.0.0.1 and ends by itself: the run is bounded in time
and in requests, each request has a timeout, and the server is killed if it
does not stop.

Run: .venv/bin/python bench/load_devserver.py [--clients 200] [--duration 30] [--json]
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import hashlib
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from collections import defaultdict

HOST = "127.0.0.1"


class Stats:
    def __init__(self) -> None:
        self.latency: dict[str, list[float]] = defaultdict(list)
        self.errors: dict[str, int] = defaultdict(int)
        self.samples: list[str] = []
        self.sent = 0

    def error(self, op: str, what: str) -> None:
        self.errors[op] += 1
        if len(self.samples) < 5:
            self.samples.append(f"{op}: {what}")


class Connection:
    """One keep-alive HTTP/1.1 connection with just enough of a client to time the server."""

    def __init__(self, port: int, timeout: float) -> None:
        self.port = port
        self.timeout = timeout
        self.reader: asyncio.StreamReader | None = None
        self.writer: asyncio.StreamWriter | None = None

    async def request(self, method: str, path: str, key: str | None, body: object = None) -> tuple[int, bytes]:
        if self.writer is None:
            self.reader, self.writer = await asyncio.open_connection(HOST, self.port)
        payload = b"" if body is None else json.dumps(body).encode()
        head = [f"{method} {path} HTTP/1.1", f"Host: {HOST}:{self.port}", f"Content-Length: {len(payload)}"]
        if key:
            head.append(f"Authorization: Bearer {key}")
        if body is not None:
            head.append("Content-Type: application/json")
        self.writer.write(("\r\n".join(head) + "\r\n\r\n").encode() + payload)
        return await asyncio.wait_for(self._response(), self.timeout)

    async def _response(self) -> tuple[int, bytes]:
        assert self.reader is not None
        head = await self.reader.readuntil(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split(" ", 2)[1])
        length, close = 0, False
        for line in lines[1:]:
            name, _, value = line.partition(":")
            name = name.strip().lower()
            if name == "content-length":
                length = int(value)
            elif name == "connection" and value.strip().lower() == "close":
                close = True
        body = await self.reader.readexactly(length)
        if close:
            await self.close()
        return status, body

    async def close(self) -> None:
        if self.writer is not None:
            self.writer.close()
            try:
                await self.writer.wait_closed()
            except OSError:
                pass
        self.reader = self.writer = None


def _create_body(client: int, round_no: int) -> dict:
    digest = hashlib.sha256(f"{client}/{round_no}".encode()).hexdigest()
    return {
        "warrant_id": f"w-{client}",
        "tool": "send_email",
        "request_hash": digest,
        "holder_key": hashlib.sha256(b"holder").hexdigest(),
        "args_canonical_cbor_b64": base64.b64encode(b"\xa1bto\x63bob").decode(),
        "approval_context_attestation": {"version": 1},
        "metadata": {"to": "bob@example.com", "subject": f"report {round_no}"},
        "idempotency_key": f"bench/{client}/{round_no}",
    }


async def _client(
    n: int, port: int, keys: tuple[str, str], stats: Stats, stop_at: float, budget: list[int], timeout: float
) -> None:
    agent, reviewer = keys
    conn = Connection(port, timeout)

    async def call(op: str, method: str, path: str, key: str | None, body: object, ok: tuple[int, ...]) -> dict | None:
        if budget[0] <= 0 or time.monotonic() >= stop_at:
            return None
        budget[0] -= 1
        stats.sent += 1
        started = time.perf_counter()
        try:
            status, raw = await conn.request(method, path, key, body)
        except (TimeoutError, OSError, asyncio.IncompleteReadError, ValueError) as exc:
            stats.error(op, f"{type(exc).__name__}: {exc}")
            await conn.close()
            return None
        stats.latency[op].append(time.perf_counter() - started)
        if status not in ok:
            stats.error(op, f"HTTP {status} {raw[:120]!r}")
            return None
        return json.loads(raw) if raw else {}

    round_no = 0
    try:
        while budget[0] > 0 and time.monotonic() < stop_at:
            round_no += 1
            created = await call("create", "POST", "/v1/approvals/requests", agent, _create_body(n, round_no), (201,))
            if created is None:
                continue
            path = f"/v1/approvals/requests/{created['id']}"
            for _ in range(2):
                await call("get", "GET", path, agent, None, (200,))
            if round_no % 2:
                await call("approve", "POST", path + "/approve", reviewer, {}, (200,))
            else:
                await call("deny", "POST", path + "/deny", reviewer, {"reason": "bench"}, (200,))
            await call("list", "GET", "/v1/approvals/requests?status=pending&limit=20", agent, None, (200,))
            if round_no % 10 == 0:
                await call("health", "GET", "/v1/health", None, None, (200,))
    finally:
        await conn.close()


def _percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] * 1000


def _start_server(info_file: str, extra: list[str]) -> tuple[subprocess.Popen, dict]:
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "vorel_cloud.devserver",
            "--memory",
            "--host",
            HOST,
            "--port",
            "0",
            "--info-file",
            info_file,
            "--no-access-log",
            "--log-level",
            "warning",
            *extra,
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 30
    while True:
        if proc.poll() is not None:
            raise SystemExit(f"the server exited: {proc.stderr.read()}")
        if os.path.getsize(info_file) and open(info_file, encoding="utf-8").read().endswith("\n"):
            break
        if time.monotonic() > deadline:
            proc.kill()
            raise SystemExit("the server did not start within 30 s")
        time.sleep(0.05)
    with open(info_file, encoding="utf-8") as fh:
        info = json.load(fh)
    time.sleep(0.5)  # the info file is written just before the port serves
    return proc, info


def _stop_server(proc: subprocess.Popen) -> None:
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


async def _run(args: argparse.Namespace, port: int, keys: tuple[str, str]) -> tuple[Stats, float]:
    stats = Stats()
    budget = [args.max_requests]
    started = time.monotonic()
    stop_at = started + args.duration
    await asyncio.wait_for(
        asyncio.gather(*(_client(n, port, keys, stats, stop_at, budget, args.timeout) for n in range(args.clients))),
        args.duration + args.timeout + 30,
    )
    return stats, time.monotonic() - started


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--clients", type=int, default=200)
    p.add_argument("--duration", type=float, default=30.0, help="seconds of load (default: %(default)s)")
    p.add_argument(
        "--max-requests", type=int, default=200_000, help="stop after this many requests (default: %(default)s)"
    )
    p.add_argument("--timeout", type=float, default=30.0, help="per-request timeout in seconds (default: %(default)s)")
    p.add_argument("--json", action="store_true", help="print the figures as JSON")
    p.add_argument("server_args", nargs="*", help="extra options for the server (after --)")
    args = p.parse_args()
    if not (1 <= args.clients <= 1000 and 0 < args.duration <= 600 and 0 < args.max_requests <= 10_000_000):
        p.error("clients 1..1000, duration up to 600 s, max-requests up to 10,000,000")

    with tempfile.TemporaryDirectory() as tmp:
        info_file = os.path.join(tmp, "info.json")
        open(info_file, "w").close()
        proc, info = _start_server(info_file, args.server_args)
        try:
            keys = (info["api_key"], info.get("reviewer_key") or info["api_key"])
            port = int(info["base_url"].rsplit(":", 1)[1])
            stats, elapsed = asyncio.run(_run(args, port, keys))
        finally:
            _stop_server(proc)

    everything = [v for values in stats.latency.values() for v in values]
    total_errors = sum(stats.errors.values())
    figures = {
        "clients": args.clients,
        "seconds": round(elapsed, 1),
        "requests": stats.sent,
        "answers": len(everything),
        "errors": total_errors,
        "req_per_s": round(len(everything) / elapsed, 1),
        "p50_ms": round(_percentile(everything, 0.50), 1) if everything else None,
        "p99_ms": round(_percentile(everything, 0.99), 1) if everything else None,
        "ops": {
            op: {
                "count": len(values),
                "errors": stats.errors.get(op, 0),
                "p50_ms": round(_percentile(values, 0.50), 1),
                "p99_ms": round(_percentile(values, 0.99), 1),
                "mean_ms": round(statistics.fmean(values) * 1000, 1),
            }
            for op, values in sorted(stats.latency.items())
        },
        "error_samples": stats.samples,
    }
    if args.json:
        print(json.dumps(figures, indent=2))
    else:
        print(
            f"{figures['clients']} clients, {figures['seconds']} s: {figures['requests']} requests, "
            f"{figures['errors']} errors, {figures['req_per_s']} req/s, "
            f"p50 {figures['p50_ms']} ms, p99 {figures['p99_ms']} ms"
        )
        for op, row in figures["ops"].items():
            print(
                f"  {op:<8} {row['count']:>7}  errors {row['errors']:>4}  p50 {row['p50_ms']:>7} ms  "
                f"p99 {row['p99_ms']:>7} ms  mean {row['mean_ms']:>7} ms"
            )
        for sample in stats.samples:
            print(f"  error: {sample}")
    return 1 if total_errors else 0


if __name__ == "__main__":
    sys.exit(main())
