"""An approval gate end to end, against a local control plane.

Starts ``vorel-cloud dev`` (in-memory state, a free loopback port), runs agent
tool calls gated by the blocking and the asyncio cloud approval handlers, lets
a human approve them through the dashboard, shows a denial, verifies the
signed approvals with the core SDK, claims the agent with Quick Connect and
runs ``doctor()`` against the same server.

    python examples/demo.py                 # the "human" is scripted: it uses the dashboard's forms
    python examples/demo.py --interactive   # you click Approve / Deny in your browser

Exits 0 when every step did what it should, 1 otherwise.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import html
import json
import logging
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import httpx

POLL_INTERVAL = 0.1  # seconds between the handlers' status polls
AUTO_TIMEOUT = 30.0  # how long a handler waits for the scripted human
INTERACTIVE_TIMEOUT = 600.0  # how long it waits for a person
SERVER_START_TIMEOUT = 30.0

_DENY_FORM = re.compile(r'action="/approvals/([^"/]+)/deny"')
_TOKEN_FIELD = re.compile(r'name="dashboard_token" value="([^"]+)"')
_TOOL_ROW = re.compile(r"<th>Tool</th><td>([^<]*)</td>")
_STATUS_ROW = re.compile(r'<th>Status</th><td><span class="status status-[^"]*">([^<]*)</span>')


class DemoFailure(Exception):
    """A step did not do what it should."""


# -- output ----------------------------------------------------------------------


class Report:
    """Numbered steps with indented detail lines; remembers failures."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.number = 0
        self.failures: list[str] = []
        self._lock = threading.Lock()

    def step(self, title: str) -> None:
        self.number += 1
        self._print(f"\n[{self.number}/{self.total}] {title}")

    def line(self, text: str) -> None:
        self._print(f"      {text}")

    def ok(self, text: str) -> None:
        self._print(f"  ok  {text}")

    def fail(self, text: str) -> None:
        self.failures.append(f"step {self.number}: {text}")
        self._print(f"  FAIL {text}")

    def _print(self, text: str) -> None:
        with self._lock:
            print(text, flush=True)


def short(key_hex: str) -> str:
    return f"{key_hex[:12]}…"


# -- the local control plane -------------------------------------------------------


@dataclass
class Server:
    process: subprocess.Popen[bytes]
    info: dict[str, Any]
    log_path: Path

    @property
    def base_url(self) -> str:
        return self.info["base_url"]

    def log_tail(self, lines: int = 20) -> str:
        """The end of the server's output, without its start-up banner (it shows the API key)."""
        try:
            output = self.log_path.read_text(errors="replace").splitlines()
        except OSError:
            return ""
        for i, line in enumerate(output):
            if line.lstrip().startswith("export VOREL_DASHBOARD_URL="):
                output = output[i + 1 :]
                break
        return "\n".join(line for line in output[-lines:] if line.strip())


@contextlib.contextmanager
def local_control_plane(workdir: Path) -> Iterator[Server]:
    """Run ``python -m vorel_cloud.devserver`` with throw-away state until the block ends."""
    info_path = workdir / "server.json"
    log_path = workdir / "server.log"
    cmd = [
        sys.executable,
        "-m",
        "vorel_cloud.devserver",
        "--memory",
        "--host",
        "127.0.0.1",
        "--port",
        "0",
        "--info-file",
        str(info_path),
        "--no-access-log",
        "--log-level",
        "warning",
    ]
    with open(log_path, "wb") as log:
        process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    server = None
    try:
        deadline = time.monotonic() + SERVER_START_TIMEOUT
        while True:
            text = info_path.read_text() if info_path.exists() else ""
            if text.endswith("\n"):  # the server writes the file whole, then a newline
                info = json.loads(text)
                server = Server(process, info, log_path)
                try:
                    httpx.get(info["base_url"] + "/v1/health", timeout=1).raise_for_status()
                    break
                except httpx.HTTPError:
                    pass  # bound but not serving yet
            if process.poll() is not None:
                log = log_path.read_text(errors="replace")
                raise DemoFailure(f"the local control plane exited with status {process.returncode}:\n{log}")
            if time.monotonic() > deadline:
                raise DemoFailure(f"the local control plane did not start within {SERVER_START_TIMEOUT:.0f}s")
            time.sleep(0.05)
        yield server
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# -- the human at the dashboard ------------------------------------------------------


class Dashboard:
    """What a person does with the dashboard: look at pending requests, click a button.

    Uses only the pages and their forms; no API key. The dashboard token comes
    from the page, as it does for a browser.
    """

    def __init__(self, base_url: str) -> None:
        self.base_url = base_url
        self.http = httpx.Client(base_url=base_url, timeout=10, follow_redirects=False)
        self.seen: set[str] = set()

    def close(self) -> None:
        self.http.close()

    def link(self, request_id: str) -> str:
        return f"{self.base_url}/approvals?request={request_id}"

    def page(self, request_id: str) -> str:
        resp = self.http.get("/approvals", params={"request": request_id})
        resp.raise_for_status()
        return resp.text

    def status(self, request_id: str) -> str:
        match = _STATUS_ROW.search(self.page(request_id))
        return html.unescape(match.group(1)) if match else "?"

    def wait_for_new_request(self, tool: str, timeout: float) -> str:
        """The id of the first pending request for ``tool`` that this dashboard has not shown before."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            listing = self.http.get("/approvals")
            listing.raise_for_status()
            for request_id in _DENY_FORM.findall(listing.text):
                if request_id in self.seen:
                    continue
                match = _TOOL_ROW.search(self.page(request_id))
                if match and html.unescape(match.group(1)) == tool:
                    self.seen.add(request_id)
                    return request_id
            time.sleep(0.05)
        raise DemoFailure(f"no pending request for {tool} appeared in the dashboard within {timeout:.0f}s")

    def click(self, request_id: str, action: str, reason: str | None = None) -> None:
        """Submit the request page's Approve or Deny form."""
        token = _TOKEN_FIELD.search(self.page(request_id))
        if token is None:
            raise DemoFailure(f"the dashboard page of {request_id} offers no decision form")
        form = {"dashboard_token": html.unescape(token.group(1)), "next": "request"}
        if reason is not None:
            form["reason"] = reason
        resp = self.http.post(f"/approvals/{request_id}/{action}", data=form)
        if resp.status_code != 303:
            raise DemoFailure(f"the dashboard answered {resp.status_code} to {action} of {request_id}")


class Human(threading.Thread):
    """Waits for the gate's request to show up in the dashboard, then decides (or lets the user decide)."""

    def __init__(
        self, dashboard: Dashboard, report: Report, tool: str, action: str, reason: str | None, interactive: bool
    ) -> None:
        super().__init__(name=f"human:{tool}", daemon=True)
        self.dashboard, self.report = dashboard, report
        self.tool, self.action, self.reason, self.interactive = tool, action, reason, interactive
        self.request_id: str | None = None
        self.error: BaseException | None = None

    def run(self) -> None:
        try:
            timeout = INTERACTIVE_TIMEOUT if self.interactive else AUTO_TIMEOUT
            self.request_id = self.dashboard.wait_for_new_request(self.tool, timeout)
            link = self.dashboard.link(self.request_id)
            self.report.line(f"approval request {self.request_id} is pending in the dashboard")
            if self.interactive:
                button = "Approve" if self.action == "approve" else f'Deny (with a reason, for example "{self.reason}")'
                self.report.line(f">>> open {link} and click {button}; the agent waits for you")
                return
            self.report.line(f"human: opens {link}")
            self.dashboard.click(self.request_id, self.action, self.reason)
            what = "Approve" if self.action == "approve" else f'Deny with the reason "{self.reason}"'
            self.report.line(f"human: clicks {what}")
        except BaseException as exc:  # reported by the step that started us
            self.error = exc


# -- the agent's tools and the checks on what the handlers returned ----------------------


class _Capture(logging.Handler):
    """Keeps the log records of one call, to show what a library reported."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


class Recorder:
    """Wraps an approval handler to keep the request and what the handler returned."""

    def __init__(self, handler: Callable[[Any], Any]) -> None:
        self.handler = handler
        self.request: Any = None
        self.result: Any = None

    def __call__(self, request: Any) -> Any:
        self.request = request
        self.result = self.handler(request)
        return self.result


class AsyncRecorder(Recorder):
    async def __call__(self, request: Any) -> Any:  # type: ignore[override]
        self.request = request
        self.result = await self.handler(request)
        return self.result


def verify_signed_approvals(report: Report, recorder: Recorder, approver_key: str, tool: str) -> None:
    """Check what the handler returned with the core SDK: signed for this call, by the dashboard's approver."""
    from vorel_core import SignedApproval

    result = recorder.result
    approvals = result if isinstance(result, list) else [result]
    if not approvals or not all(isinstance(a, SignedApproval) for a in approvals):
        raise DemoFailure(f"the handler returned {result!r}, not signed approvals")
    for approval in approvals:
        approval.verify(recorder.request.request_hash, trusted_approvers=[approver_key])
        if approval.tool != tool or approval.warrant_id != recorder.request.warrant_id:
            raise DemoFailure(f"signed approval is for {approval.tool}/{approval.warrant_id}, not this call")
    first = approvals[0]
    report.ok(
        f"signed approval verified by the core SDK: approver {short(first.approver_key.hex())}, "
        f"tool {first.tool}, warrant {first.warrant_id}, request hash {short(first.request_hash.hex())}"
    )


# -- the steps ---------------------------------------------------------------------------


class Demo:
    WARRANT = "w-demo-inbox-assistant"

    def __init__(self, server: Server, report: Report, interactive: bool) -> None:
        from vorel_core import SigningKey

        self.server, self.report, self.interactive = server, report, interactive
        self.info = server.info
        self.dashboard = Dashboard(server.base_url)
        # The agent's own key: it attests each approval request, and the agent
        # identity claimed through Quick Connect below is bound to it.
        self.agent_key = SigningKey.generate()
        self.timeout = INTERACTIVE_TIMEOUT if interactive else AUTO_TIMEOUT
        self.approved = 0
        self.denied = 0

    def _human(self, tool: str, action: str, reason: str | None = None) -> Human:
        human = Human(self.dashboard, self.report, tool, action, reason, self.interactive)
        human.start()
        return human

    def _finish_human(self, human: Human) -> None:
        human.join(self.timeout + 5)
        if human.error is not None:
            raise DemoFailure(f"at the dashboard: {human.error}")

    def _check_server_state(self, human: Human, expected: str) -> None:
        if human.request_id is None:
            raise DemoFailure("the request never showed up in the dashboard")
        status = self.dashboard.status(human.request_id)
        if status != expected:
            raise DemoFailure(f"the dashboard shows {human.request_id} as {status}, expected {expected}")

    def blocking_gate(self) -> None:
        from vorel.decorators import guard, warrant_scope

        from vorel_cloud.approval import cloud_approval

        handler = Recorder(
            cloud_approval(
                self.info["api_key"], base_url=self.server.base_url, poll_interval=POLL_INTERVAL, timeout=self.timeout
            )
        )
        sent: list[str] = []

        @guard(approval_handler=handler)
        def send_email(to: str, subject: str) -> str:
            sent.append(to)
            return f"email to {to} queued"

        self.report.line('agent: send_email(to="finance@example.com", subject="Q3 numbers") needs a human\'s approval')
        human = self._human("send_email", "approve")
        with warrant_scope(self.WARRANT, signing_key=self.agent_key):
            outcome = send_email("finance@example.com", "Q3 numbers")
        self._finish_human(human)
        self._check_server_state(human, "approved")
        self.report.ok(f"cloud_approval returned; the tool ran: {outcome}")
        verify_signed_approvals(self.report, handler, self.info["approver_key"], "send_email")
        self.approved += 1

    def async_gate(self) -> None:
        from vorel.decorators import guard, warrant_scope

        from vorel_cloud.approval import async_cloud_approval

        handler = AsyncRecorder(
            async_cloud_approval(
                self.info["api_key"], base_url=self.server.base_url, poll_interval=POLL_INTERVAL, timeout=self.timeout
            )
        )

        @guard(approval_handler=handler)
        async def transfer_funds(amount_eur: int, to_account: str) -> str:
            await asyncio.sleep(0)
            return f"{amount_eur} EUR sent to {to_account}"

        async def agent() -> str:
            with warrant_scope(self.WARRANT, signing_key=self.agent_key):
                return await transfer_funds(250, "DE89 3704 0044 0532 0130 00")

        self.report.line("agent (asyncio): transfer_funds(amount_eur=250, ...) needs a human's approval")
        human = self._human("transfer_funds", "approve")
        outcome = asyncio.run(agent())
        self._finish_human(human)
        self._check_server_state(human, "approved")
        self.report.ok(f"async_cloud_approval returned; the tool ran: {outcome}")
        verify_signed_approvals(self.report, handler, self.info["approver_key"], "transfer_funds")
        self.approved += 1

    def denial(self) -> None:
        from vorel.approval import ApprovalDenied
        from vorel.decorators import guard, warrant_scope

        from vorel_cloud.approval import cloud_approval

        reason = "production repositories are off limits"
        handler = cloud_approval(
            self.info["api_key"], base_url=self.server.base_url, poll_interval=POLL_INTERVAL, timeout=self.timeout
        )
        ran: list[str] = []

        @guard(approval_handler=handler)
        def delete_repository(name: str) -> str:
            ran.append(name)
            return f"{name} deleted"

        self.report.line('agent: delete_repository(name="payments-prod") needs a human\'s approval')
        human = self._human("delete_repository", "deny", reason)
        try:
            with warrant_scope(self.WARRANT, signing_key=self.agent_key):
                outcome = delete_repository("payments-prod")
        except ApprovalDenied as denied:
            self._finish_human(human)
            self._check_server_state(human, "denied")
            if ran:
                raise DemoFailure("the tool ran although the call was denied") from None
            if not self.interactive and denied.reason != reason:
                raise DemoFailure(f"denied with the reason {denied.reason!r}, expected {reason!r}") from None
            self.report.ok(f"the call was refused and the tool did not run: {denied}")
            self.denied += 1
            return
        self._finish_human(human)
        if self.interactive:
            self.report.line(f"you approved it instead; the tool ran: {outcome}")
            return
        raise DemoFailure(f"the denied call went through: {outcome}")

    def quick_connect(self) -> None:
        from vorel_cloud.connect import connect

        token = self.info["connect_token"]
        self.report.line(f"Quick Connect token {token[:18]}… (printed by the server on start)")
        claims = _Capture()
        log = logging.getLogger("vorel_cloud.connect")
        log.addHandler(claims)
        previous_level = log.level
        log.setLevel(logging.INFO)
        try:
            client = connect(token, public_key_hex=self.agent_key.public_key.to_hex(), apply_env=False)
        finally:
            log.removeHandler(claims)
            log.setLevel(previous_level)
        try:
            tenant = client.get_tenant()
        finally:
            client.close()
        claimed = [r for r in claims.records if r.getMessage() == "agent claimed"]
        if not claimed:
            raise DemoFailure("connect() did not claim the agent bound in the token")
        record = claimed[-1]
        self.report.ok(
            f"connect() claimed agent {getattr(record, 'agent_id', '?')} (status {getattr(record, 'status', '?')}) "
            f"for the agent's key {short(self.agent_key.public_key.to_hex())}"
        )
        self.report.ok(f'the client it returned reads tenant "{tenant.get("name")}"')

    def doctor(self) -> None:
        from vorel_cloud.connect import doctor

        report = doctor(self.info["connect_token"], public_key_hex=self.agent_key.public_key.to_hex(), claim=True)
        for check in report.checks:
            self.report.line(f"{check.status:<8} {check.name:<24} {check.message}")
        not_ok = [c.name for c in report.checks if c.status != "ok"]
        if not report.ok or not_ok:
            raise DemoFailure(f"doctor() is not all green: {', '.join(not_ok) or 'report not ok'}")
        bound = (report.claimed_agent.raw or {}).get("public_key") if report.claimed_agent else None
        if bound != self.agent_key.public_key.to_hex():
            raise DemoFailure(f"the control plane binds the agent to {bound!r}, not to the agent's key")
        self.report.ok(f"doctor(): all {len(report.checks)} checks ok")


def run(interactive: bool) -> int:
    report = Report(total=6)
    print("Vorel Cloud demo: an approval gate end to end, against a local control plane", flush=True)
    with contextlib.ExitStack() as stack:
        tmp = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="vorel-demo-")))
        report.step("Start the local control plane (vorel-cloud dev, in-memory state)")
        try:
            server = stack.enter_context(local_control_plane(tmp))
        except DemoFailure as exc:
            report.fail(str(exc))
            return finish(report)
        report.line(f"API        {server.base_url}/v1")
        report.line(f"dashboard  {server.info['dashboard_url']}")
        report.line(f"approver   {short(server.info['approver_key'])} (the key the dashboard signs approvals with)")
        if interactive:
            report.line("interactive: open the dashboard links below in your browser and decide there")
        demo = Demo(server, report, interactive)
        stack.callback(demo.dashboard.close)
        steps = [
            ("A tool call gated by cloud_approval (blocking handler); the human approves", demo.blocking_gate),
            ("A tool call gated by async_cloud_approval (asyncio handler); the human approves", demo.async_gate),
            ("A tool call the human denies", demo.denial),
            ("connect(): Quick Connect bootstrap with agent claim", demo.quick_connect),
            ("doctor() against the same server", demo.doctor),
        ]
        for title, action in steps:
            report.step(title)
            try:
                action()
            except DemoFailure as exc:
                report.fail(str(exc))
            except Exception as exc:
                report.fail(f"{type(exc).__name__}: {exc}")
        if report.failures and server.log_tail():
            print("\nlast lines of the server's log:\n" + server.log_tail(), flush=True)
        return finish(report, f"{demo.approved} approvals verified, {demo.denied} denial")


def finish(report: Report, summary: str = "") -> int:
    if report.failures:
        print(f"\nDemo FAILED ({len(report.failures)} of {report.number} steps):", flush=True)
        for failure in report.failures:
            print(f"  - {failure}", flush=True)
        return 1
    print(f"\nDemo passed: {summary}; doctor() all green.", flush=True)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--interactive", action="store_true", help="wait for your clicks in the dashboard (needs a terminal)"
    )
    args = parser.parse_args(argv)
    interactive = args.interactive
    if interactive and not sys.stdin.isatty():
        print("--interactive needs a terminal on standard input; the dashboard clicks are scripted instead", flush=True)
        interactive = False
    return run(interactive)


if __name__ == "__main__":
    sys.exit(main())
