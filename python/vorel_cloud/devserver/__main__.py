"""``vorel-cloud dev`` / ``python -m vorel_cloud.devserver``: run the local control plane."""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys

from .guard import (
    DEFAULT_BODY_TIMEOUT,
    DEFAULT_HEADER_TIMEOUT,
    DEFAULT_KEEP_ALIVE_TIMEOUT,
    DEFAULT_MAX_BODY_BYTES,
    DEFAULT_MAX_CONNECTIONS,
)
from .plane import DEFAULT_TTL_SECONDS, OPERATIONS, DecisionScript, Fault

DEFAULT_PORT = 8787
DEFAULT_DB = ".vorel-dev.sqlite3"


# The core SDK and its signing core ship apart from this package.
_CORE_SDK = ("vorel_core", "vorel")
_MISSING_CORE = (
    "{prog}: the core SDK is not installed (no module named '{name}'). The local control plane "
    "signs approvals with its signing core, vorel_core, which is distributed separately from "
    "vorel_cloud: install the core SDK into this environment (in a checkout of this repository, "
    "its stand-in: pip install -e devkit) and start again."
)


def build_parser(prog: str = "vorel-cloud dev") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=prog,
        description="Run the local Vorel control plane: the approvals API, the dashboard and an agent to claim.",
    )
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    p.add_argument("--port", type=int, default=DEFAULT_PORT, help="port; 0 takes a free one (default: %(default)s)")
    store = p.add_mutually_exclusive_group()
    store.add_argument(
        "--db", default=DEFAULT_DB, metavar="PATH", help="SQLite file that keeps the state (default: %(default)s)"
    )
    store.add_argument("--memory", action="store_true", help="keep all state in memory; nothing survives exit")
    p.add_argument(
        "--api-key",
        metavar="KEY",
        help="accept this agent API key (no approvals:decide) and print it instead of the stored one",
    )
    p.add_argument(
        "--reviewer-key",
        metavar="KEY",
        help="accept this reviewer API key (approves and denies) and print it instead of the stored one",
    )
    p.add_argument(
        "--dashboard-token", metavar="TOKEN", help="token the dashboard's forms must carry (default: random per start)"
    )
    p.add_argument(
        "--default-ttl",
        type=int,
        default=DEFAULT_TTL_SECONDS,
        metavar="SECONDS",
        help="lifetime of requests that give no ttl_seconds (default: %(default)s)",
    )
    p.add_argument(
        "--signed-approval-encoding",
        choices=("hex", "base64"),
        default="hex",
        help="how responses[].signed_approval is rendered (default: %(default)s)",
    )
    p.add_argument("--tls-cert", metavar="PEM", help="serve HTTPS with this certificate (chain) file")
    p.add_argument("--tls-key", metavar="PEM", help="the private key of --tls-cert")
    p.add_argument("--info-file", metavar="PATH", help="also write the URL, keys and tokens as JSON to this file")
    p.add_argument(
        "--access-log",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="log one line per HTTP request (paths only, never credentials)",
    )
    p.add_argument("--log-level", default="info", choices=("debug", "info", "warning", "error"))

    lim = p.add_argument_group("what the server accepts")
    lim.add_argument(
        "--allowed-host",
        action="append",
        default=[],
        metavar="HOST[:PORT]",
        help="also answer requests whose Host is this (any port unless given); repeatable. "
        "Loopback names and the listen address are always accepted",
    )
    lim.add_argument(
        "--max-body-bytes",
        type=int,
        default=DEFAULT_MAX_BODY_BYTES,
        metavar="N",
        help="refuse request bodies above N bytes with 413 (default: %(default)s)",
    )
    lim.add_argument(
        "--max-connections",
        type=int,
        default=DEFAULT_MAX_CONNECTIONS,
        metavar="N",
        help="answer connections beyond N open ones 503 (default: %(default)s)",
    )
    lim.add_argument(
        "--header-timeout",
        type=float,
        default=DEFAULT_HEADER_TIMEOUT,
        metavar="SECONDS",
        help="close connections that send no complete request head in time (default: %(default)s)",
    )
    lim.add_argument(
        "--keep-alive-timeout",
        type=float,
        default=DEFAULT_KEEP_ALIVE_TIMEOUT,
        metavar="SECONDS",
        help="close idle keep-alive connections after this (default: %(default)s)",
    )
    lim.add_argument(
        "--body-timeout",
        type=float,
        default=DEFAULT_BODY_TIMEOUT,
        metavar="SECONDS",
        help="answer 408 when a request body takes longer (default: %(default)s)",
    )

    s = p.add_argument_group("scripted behaviour (for tests and demos)")
    s.add_argument(
        "--auto-approve-after", type=int, metavar="N", help="approve every new request on its N-th poll (0: at once)"
    )
    s.add_argument("--auto-deny-after", type=int, metavar="N", help="deny every new request on its N-th poll")
    s.add_argument(
        "--deny-reason", default="denied (scripted)", metavar="TEXT", help="reason given by --auto-deny-after"
    )
    s.add_argument("--auto-expire-after", type=int, metavar="N", help="expire every new request on its N-th poll")
    s.add_argument("--rate-limit", type=int, metavar="N", help="answer the first N API calls with 429")
    s.add_argument(
        "--retry-after",
        type=float,
        default=1.0,
        metavar="SECONDS",
        help="Retry-After of --rate-limit (default: %(default)s)",
    )
    s.add_argument("--fail", type=int, metavar="N", help="answer the first N API calls with a 5xx status")
    s.add_argument(
        "--fail-status", type=int, default=503, metavar="STATUS", help="status of --fail (default: %(default)s)"
    )
    s.add_argument("--fault-op", choices=OPERATIONS, help="limit --rate-limit and --fail to one operation")
    return p


def _scripts(args: argparse.Namespace) -> list[DecisionScript]:
    chosen = [
        (name, value)
        for name, value in (
            ("approve", args.auto_approve_after),
            ("deny", args.auto_deny_after),
            ("expire", args.auto_expire_after),
        )
        if value is not None
    ]
    if len(chosen) > 1:
        raise SystemExit("choose one of --auto-approve-after, --auto-deny-after and --auto-expire-after")
    return [
        DecisionScript(action, after_polls=n, reason=args.deny_reason if action == "deny" else None)
        for action, n in chosen
    ]


def _faults(args: argparse.Namespace) -> list[Fault]:
    faults = []
    if args.rate_limit:
        faults.append(Fault(429, times=args.rate_limit, op=args.fault_op, retry_after=args.retry_after))
    if args.fail:
        if not 500 <= args.fail_status <= 599:
            raise SystemExit("--fail-status must be a 5xx status")
        faults.append(Fault(args.fail_status, times=args.fail, op=args.fault_op))
    return faults


def main(argv: list[str] | None = None, *, prog: str = "vorel-cloud dev") -> int:
    """Run the local control plane until interrupted; returns the exit status."""
    args = build_parser(prog).parse_args(argv)
    try:
        scripts, faults = _scripts(args), _faults(args)
    except ValueError as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        return 2

    from uvicorn.config import LOGGING_CONFIG

    from .server import DevServer

    logging.basicConfig(level=args.log_level.upper(), format="%(levelname)s %(name)s: %(message)s")
    log_config = json.loads(json.dumps(LOGGING_CONFIG))
    for name in ("uvicorn", "uvicorn.error", "uvicorn.access"):
        log_config["loggers"][name]["level"] = args.log_level.upper()

    try:
        server = DevServer(
            db_path=None if args.memory else os.path.abspath(args.db),
            host=args.host,
            port=args.port,
            api_key=args.api_key,
            reviewer_key=args.reviewer_key,
            allowed_hosts=args.allowed_host,
            max_body_bytes=args.max_body_bytes,
            max_connections=args.max_connections,
            header_timeout=args.header_timeout,
            keep_alive_timeout=args.keep_alive_timeout,
            body_timeout=args.body_timeout,
            tls_cert=args.tls_cert,
            tls_key=args.tls_key,
            default_ttl=args.default_ttl,
            signed_approval_encoding=args.signed_approval_encoding,
            dashboard_token=args.dashboard_token,
            scripts=scripts,
            faults=faults,
            access_log=args.access_log,
            log_config=log_config,
        )
    except ValueError as exc:
        print(f"{prog}: {exc}", file=sys.stderr)
        return 2
    try:
        server.prepare()
    except ImportError as exc:
        server.stop()
        if (exc.name or "").partition(".")[0] not in _CORE_SDK:
            raise
        print(_MISSING_CORE.format(prog=prog, name=exc.name), file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"{prog}: cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        server.stop()
        return 1
    except Exception as exc:  # a broken database file, a missing signing core, ...
        print(f"{prog}: {exc}", file=sys.stderr)
        server.stop()
        return 1
    print(server.banner(), flush=True)
    if args.info_file:
        # The file holds the API keys: readable by its owner only, also when
        # it existed before with a wider mode (os.open keeps that one).
        fd = os.open(args.info_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        os.fchmod(fd, 0o600)
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            json.dump(server.info(), fh, indent=2)
            fh.write("\n")
    try:
        server.serve()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(prog="python -m vorel_cloud.devserver"))
