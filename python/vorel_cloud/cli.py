"""The ``vorel-cloud`` command: Quick Connect and diagnostics from a shell.

A thin presentation layer over :mod:`vorel_cloud.connect`::

    vorel-cloud doctor [--token T] [--api-key K] [--base-url U] [--claim] [--json] [--strict]
    vorel-cloud connect [--token T] [--print-env [--show-secrets]]
    vorel-cloud token decode T
    vorel-cloud dev ...            (the local control plane; needs vorel_cloud[dev])

Exit statuses: 0 success; 1 a check failed, the token is invalid or the cloud
refused (``doctor --strict``: warnings too); 2 the command could not run
(usage, missing token, unexpected error); 141 the reader of standard output
went away (``| head``), quietly. Nothing printed ever contains the
API key, the registration token or the token itself, unless ``connect
--print-env --show-secrets`` is asked for exactly that; nothing printed for a
person to read carries a terminal control character either.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import sys
from collections.abc import Sequence
from typing import Any

from . import __version__
from . import connect as _connect
from .exceptions import VorelCloudError
from .models import redact_secrets

__all__ = ["build_parser", "main"]

PROG = "vorel-cloud"
EXIT_OK, EXIT_FAILED, EXIT_UNUSABLE = 0, 1, 2
EXIT_BROKEN_PIPE = 128 + 13  # as a shell reports a command ended by SIGPIPE

_ENV_TOKEN = "VOREL_CONNECT_TOKEN"
_ENV_API_KEY = "VOREL_API_KEY"
_MARKS = {"ok": "ok", "warning": "warn", "warn": "warn", "skip": "skip", "error": "FAIL", "fail": "FAIL"}
_WARNINGS = frozenset({"warning", "warn"})
_DEV_EXTRA = "pip install 'vorel_cloud[dev]'"
_NO_KEY_HINT = "pass --public-key-hex, or set VOREL_AGENT_PUBLIC_KEY or VOREL_SIGNING_KEY"


class _Secrets:
    """The secrets a run has seen; every text that leaves the process is masked with them."""

    def __init__(self, *values: str | None) -> None:
        self.values: list[str] = []
        self.add(*values)

    def add(self, *values: str | None) -> None:
        self.values.extend(v for v in values if v)

    def mask(self, value: Any) -> Any:
        return redact_secrets(value, *self.values)

    def line(self, text: Any) -> str:
        # One line per item: server messages may carry newlines of their own.
        return _shown(" ".join(str(self.mask(str(text))).split()))


def _shown(text: str) -> str:
    """Text that cannot drive the terminal it is printed on.

    A token or a server chooses these texts: escape sequences could rewrite
    what was printed before them (show another endpoint than the real one),
    and bidirectional overrides or zero-width characters could disguise it.
    Every character that is not printable is written as its escape instead.
    """
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else char.encode("unicode_escape").decode("ascii") for char in text)


def _environment_secrets() -> _Secrets:
    return _Secrets(os.environ.get(_ENV_TOKEN), os.environ.get(_ENV_API_KEY))


def _token_secrets(secrets: _Secrets, token: str | None) -> None:
    """Adds a token and, when it decodes, the secrets inside it."""
    if not token:
        return
    secrets.add(token)
    try:
        payload = _connect.parse_connect_token(token)
    except Exception:  # an undecodable token has no inner secrets to know about
        return
    secrets.add(payload.api_key, payload.registration_token)


def _read_token(value: str | None) -> str | None:
    """``-`` reads the token from standard input (surrounding blanks dropped)."""
    if value == "-":
        return sys.stdin.read().strip()
    return value


def _fail(command: str, message: str, secrets: _Secrets, *, hint: str | None = None) -> None:
    print(f"{PROG} {command}: error: {secrets.line(message)}", file=sys.stderr)
    if hint:
        print(f"  hint: {secrets.line(hint)}", file=sys.stderr)


def _dump_json(data: Any) -> None:
    print(json.dumps(data, indent=2, default=str))


# ---- doctor ------------------------------------------------------------------------


def _check_line(check: Any, secrets: _Secrets) -> str:
    status = str(getattr(check, "status", "?"))
    mark = _MARKS.get(status, status)
    name = secrets.line(getattr(check, "name", "?"))
    line = f"[{secrets.line(mark):<4}] {name}: {secrets.line(getattr(check, 'message', ''))}"
    remediation = getattr(check, "remediation", None)
    if remediation:
        line += f" -- hint: {secrets.line(remediation)}"
    return line


def _failed(report: Any, strict: bool) -> bool:
    return not report.ok or (strict and any(c.status in _WARNINGS for c in report.checks))


def _summary(report: Any, strict: bool) -> str:
    errors = sum(1 for c in report.checks if c.status in ("error", "fail"))
    warnings = sum(1 for c in report.checks if c.status in _WARNINGS)
    counts = f"{errors} error{'s' if errors != 1 else ''}, {warnings} warning{'s' if warnings != 1 else ''}"
    verdict = "FAILED" if _failed(report, strict) else "ok"
    if strict and warnings and report.ok:
        verdict += " (--strict counts warnings)"
    return f"doctor: {verdict} - {counts}"


def _cmd_doctor(ns: argparse.Namespace) -> int:
    token = _read_token(ns.token)
    secrets = _environment_secrets()
    secrets.add(ns.api_key)
    _token_secrets(secrets, token or os.environ.get(_ENV_TOKEN))
    try:
        report = _connect.doctor(
            token,
            api_key=ns.api_key,
            base_url=ns.base_url,
            public_key_hex=ns.public_key_hex,
            claim=ns.claim,
        )
    except Exception as exc:  # doctor records expected failures; anything else means it could not run
        message = f"doctor could not run: {type(exc).__name__}: {exc}"
        if ns.json:
            _dump_json({"ok": False, "error": secrets.line(message)})
        _fail("doctor", message, secrets, hint=getattr(exc, "remediation", None))
        return EXIT_UNUSABLE
    secrets.add(report.config.api_key, report.config.registration_token)

    if ns.json:
        _dump_json(secrets.mask(report.to_dict()))
    else:
        config = report.config
        target = f"Vorel Cloud API: {config.api_base_url or '(none)'}"
        if config.agent_id:
            target += f" - agent {config.agent_id}"
        print(secrets.line(target))
        for check in report.checks:
            print(_check_line(check, secrets))
        print(_summary(report, ns.strict))
    return EXIT_FAILED if _failed(report, ns.strict) else EXIT_OK


# ---- connect ---------------------------------------------------------------------------


def _export_lines(config: Any, show_secrets: bool) -> list[str]:
    """The ``export`` lines, or VorelCloudError when a value holds a character
    that is not printable: quoting keeps it from the shell, not from the
    terminal that shows the lines, and no sound value contains one."""
    # Same variables, same order as apply_connect_config; the registration
    # token is single-use and never exported.
    values = [("VOREL_API_KEY", config.api_key if show_secrets else None)]
    values.append(("VOREL_CONTROL_PLANE_URL", config.api_base_url))
    if config.agent_id:
        values.append(("VOREL_AGENT_ID", config.agent_id))
    lines = []
    for name, value in values:
        if value is None:
            lines.append(f"# {name} withheld (secret): add --show-secrets to include it")
        elif not value.isprintable():
            raise VorelCloudError(f"refusing to export {name}: its value holds control characters")
        else:
            lines.append(f"export {name}={shlex.quote(value)}")
    return lines


def _cmd_connect(ns: argparse.Namespace) -> int:
    token = _read_token(ns.token) or os.environ.get(_ENV_TOKEN, "")
    secrets = _environment_secrets()
    _token_secrets(secrets, token)
    if not token:
        _fail("connect", f"no Quick Connect token: pass --token or set {_ENV_TOKEN}", secrets)
        return EXIT_UNUSABLE
    # With --print-env, standard output is for the shell to evaluate.
    out = sys.stderr if ns.print_env else sys.stdout
    try:
        config = _connect.connect_config_from_token(token)
        # Refused before anything is claimed, not after.
        exports = _export_lines(config, ns.show_secrets) if ns.print_env else []
        client = _connect.connect(
            token,
            public_key_hex=ns.public_key_hex,
            claim=not ns.no_claim,
            apply_env=False,  # this process ends here: --print-env hands the values to the shell
            verify=not ns.no_verify,
        )
    except VorelCloudError as exc:
        _fail("connect", str(exc), secrets, hint=getattr(exc, "remediation", None))
        return EXIT_FAILED
    except Exception as exc:
        _fail("connect", f"could not connect: {type(exc).__name__}: {exc}", secrets)
        return EXIT_UNUSABLE
    client.close()

    verified = "" if ns.no_verify else " (verified)"
    print(secrets.line(f"Connected to {config.api_base_url}{verified}."), file=out)
    if config.is_agent_mode:
        agent = config.agent_id or "(bound by registration token)"
        if ns.no_claim:
            status = "not claimed (--no-claim)"
        elif ns.public_key_hex or _connect._resolve_public_key_hex():
            status = "claimed"
        else:
            status = f"not claimed - no public key ({_NO_KEY_HINT})"
        print(secrets.line(f"Agent {agent}: {status}."), file=out)
    for line in exports:
        print(line)
    return EXIT_OK


# ---- token decode -----------------------------------------------------------------------


def _cmd_token_decode(ns: argparse.Namespace) -> int:
    token = _read_token(ns.token) or ""
    secrets = _Secrets(token)
    try:
        payload = _connect.parse_connect_token(token)
        config = _connect.connect_config_from_token(token)
    except VorelCloudError as exc:
        _fail("token decode", str(exc), secrets)
        return EXIT_FAILED
    secrets.add(payload.api_key, payload.registration_token)
    if ns.json:
        _dump_json(secrets.mask({"endpoint": payload.endpoint, **config.to_dict()}))
        return EXIT_OK
    rows = [
        ("endpoint", payload.endpoint),
        ("api base url", config.api_base_url),
        ("api key", "*** (set)"),
        ("agent id", config.agent_id or "(none)"),
        ("registration token", "*** (set)" if config.registration_token else "(none)"),
        ("agent mode", "yes" if config.is_agent_mode else "no"),
    ]
    for label, value in rows:
        print(f"{label + ':':<20} {secrets.line(value)}")
    return EXIT_OK


# ---- dev ------------------------------------------------------------------------------------


def _cmd_dev(argv: list[str]) -> int:
    try:
        from .devserver.__main__ import main as dev_main
    except ImportError as exc:
        print(
            f"{PROG} dev: the local control plane needs the dev extra ({_DEV_EXTRA}): {exc}",
            file=sys.stderr,
        )
        return EXIT_UNUSABLE
    return int(dev_main(argv) or 0)


# ---- parser ---------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Vorel Cloud Quick Connect and diagnostics.",
        epilog="Exit status: 0 ok, 1 a check failed or the cloud refused, 2 the command could not run, "
        "141 the reader of the output went away.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    token_help = f"Quick Connect token ('-' reads it from standard input; default: ${_ENV_TOKEN})"
    key_help = "agent public key as hex (default: $VOREL_AGENT_PUBLIC_KEY, or derived from $VOREL_SIGNING_KEY)"

    doctor = commands.add_parser(
        "doctor",
        help="check configuration, reachability, credential, permissions and agent claim",
        description="Check the cloud bootstrap without changing anything (unless --claim).",
    )
    doctor.add_argument("--token", metavar="T", help=token_help)
    doctor.add_argument(
        "--api-key", metavar="K", help=f"API key, used when there is no token (default: ${_ENV_API_KEY})"
    )
    doctor.add_argument(
        "--base-url",
        metavar="U",
        help="API base URL, used when there is no token "
        "(default: $VOREL_CONTROL_PLANE_URL, else the hosted control plane)",
    )
    doctor.add_argument("--public-key-hex", metavar="HEX", help=key_help)
    doctor.add_argument(
        "--claim", action="store_true", help="claim the token's agent identity when a public key is at hand"
    )
    doctor.add_argument("--json", action="store_true", help="print the report as JSON")
    doctor.add_argument("--strict", action="store_true", help="exit 1 on warnings too")
    doctor.set_defaults(handler=_cmd_doctor)

    connect = commands.add_parser(
        "connect",
        help="verify a Quick Connect token, claim its agent, print the environment",
        description="Resolve and verify a Quick Connect token and claim its agent identity when a public key "
        "is available.",
    )
    connect.add_argument("--token", metavar="T", help=token_help)
    connect.add_argument("--public-key-hex", metavar="HEX", help=key_help)
    connect.add_argument(
        "--print-env", action="store_true", help="print the shell 'export' lines for the configuration"
    )
    connect.add_argument("--show-secrets", action="store_true", help="with --print-env: include VOREL_API_KEY")
    connect.add_argument("--no-claim", action="store_true", help="do not claim the agent identity")
    connect.add_argument("--no-verify", action="store_true", help="skip the doctor checks before connecting")
    connect.set_defaults(handler=_cmd_connect)

    token = commands.add_parser("token", help="inspect Quick Connect tokens")
    token_commands = token.add_subparsers(dest="token_command", metavar="ACTION", required=True)
    decode = token_commands.add_parser(
        "decode",
        help="show a token's endpoint and agent binding (secrets masked)",
        description="Show the endpoint and agent binding of a Quick Connect token; the secrets are masked.",
    )
    decode.add_argument("token", metavar="T", help="the token ('-' reads it from standard input)")
    decode.add_argument("--json", action="store_true", help="print the decoded fields as JSON")
    decode.set_defaults(handler=_cmd_token_decode)

    commands.add_parser(
        "dev",
        help=f"run the local control plane; needs the dev extra ({_DEV_EXTRA}); "
        "vorel-cloud dev --help lists its options",
        add_help=False,
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        status = _run(list(sys.argv[1:] if argv is None else argv))
        sys.stdout.flush()  # here, not at exit, so that a closed pipe is seen below
    except BrokenPipeError:
        # The reader went away (`vorel-cloud ... | head`): stop quietly, with
        # the status a shell reports for a command ended by SIGPIPE.
        _detach_stdout()
        return EXIT_BROKEN_PIPE
    return status


def _run(args: list[str]) -> int:
    if args and args[0] == "dev":
        return _cmd_dev(args[1:])
    parser = build_parser()
    try:
        ns = parser.parse_args(args)
    except SystemExit as exc:  # usage errors and --help
        return exc.code if isinstance(exc.code, int) else EXIT_UNUSABLE
    try:
        return int(ns.handler(ns))
    except KeyboardInterrupt:
        return 130


def _detach_stdout() -> None:
    """Point standard output at /dev/null, so that the interpreter's last
    flush does not fail on the closed pipe again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):  # no real descriptor behind sys.stdout
        pass


if __name__ == "__main__":
    sys.exit(main())
