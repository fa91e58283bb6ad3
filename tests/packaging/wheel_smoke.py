"""Smoke run of an installed wheel, as a user would meet it.

Run with the environment's interpreter, isolated from any checkout
(``python -I wheel_smoke.py [--source-tree CHECKOUT]``), in an environment
where the wheel (with its ``dev`` extra), pytest and the core-SDK stand-in are
installed:

1. the package and its four native modules load from the environment, not
   from a source tree, and the distribution's version is the package's;
2. ``vorel-cloud dev`` (the installed command) serves on a free loopback port;
3. a tool call gated by ``cloud_approval`` waits, a reviewer approves it, and
   the signed approval it returns verifies with the core SDK;
4. ``vorel-cloud doctor --json`` answers about that server;
5. pytest finds ``vorel_dev_server`` through the package's entry point, and
   ``-p no:vorel_cloud.testing`` turns it off.

Prints one line per step; exits 0 when all passed. Every wait is bounded and
the server is stopped on every way out.
"""

from __future__ import annotations

import contextlib
import html
import importlib
import importlib.metadata
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Iterator

import httpx

NATIVE_MODULES = ("parvex", "approval", "connect", "langgraph")
SERVER_START_TIMEOUT = 60.0
GATE_TIMEOUT = 60.0
COMMAND_TIMEOUT = 120.0

_DENY_FORM = re.compile(r'action="/approvals/([^"/]+)/deny"')


class SmokeFailure(Exception):
    pass


def step(text: str) -> None:
    print(f"wheel-smoke: {text}", flush=True)


def command(name: str) -> str:
    """An installed console script of this environment."""
    beside = Path(sys.executable).with_name(name)
    found = str(beside) if beside.exists() else shutil.which(name)
    if not found:
        raise SmokeFailure(f"the {name!r} command is not installed beside {sys.executable}")
    return found


# -- 1. the installed package -----------------------------------------------------------


def check_installed_package(source_tree: Path | None) -> None:
    prefix = Path(sys.prefix).resolve()
    if source_tree is not None:
        # The environment may live inside the checkout (a build folder); apart
        # from it, nothing of the checkout may be importable.
        for entry in sys.path:
            where = Path(entry or ".").resolve()
            if where.is_relative_to(source_tree) and not where.is_relative_to(prefix):
                raise SmokeFailure(f"{entry or '.'} (in the source tree {source_tree}) is on sys.path")
    import vorel_cloud

    files = {"vorel_cloud": vorel_cloud.__file__}
    for name in NATIVE_MODULES:
        module = importlib.import_module(f"vorel_cloud.{name}")
        files[module.__name__] = module.__file__
        if not str(module.__file__).endswith(".so"):
            raise SmokeFailure(f"{module.__name__} is not a native module: {module.__file__}")
    for name, file in files.items():
        if not Path(str(file)).resolve().is_relative_to(prefix):
            raise SmokeFailure(f"{name} was loaded from {file}, outside the environment {prefix}")
    installed = importlib.metadata.version("vorel_cloud")
    if installed != vorel_cloud.__version__:
        raise SmokeFailure(f"distribution version {installed} != vorel_cloud.__version__ {vorel_cloud.__version__}")
    step(f"vorel_cloud {installed} and its native modules {', '.join(NATIVE_MODULES)} load from {prefix}")


# -- 2. the local control plane -----------------------------------------------------------


@contextlib.contextmanager
def local_control_plane(workdir: Path) -> Iterator[dict[str, Any]]:
    """`vorel-cloud dev` with in-memory state on a free port; yields its info file's contents."""
    info_path = workdir / "server.json"
    log_path = workdir / "server.log"
    cmd = [
        command("vorel-cloud"),
        "dev",
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
        process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, cwd=workdir)
    try:
        deadline = time.monotonic() + SERVER_START_TIMEOUT
        while True:
            text = info_path.read_text() if info_path.exists() else ""
            if text.endswith("\n"):  # written whole, then a newline
                info = json.loads(text)
                with contextlib.suppress(httpx.HTTPError):
                    httpx.get(info["base_url"] + "/v1/health", timeout=2).raise_for_status()
                    break
            if process.poll() is not None:
                raise SmokeFailure(
                    f"vorel-cloud dev exited with {process.returncode}:\n{log_path.read_text(errors='replace')}"
                )
            if time.monotonic() > deadline:
                raise SmokeFailure(f"vorel-cloud dev did not serve within {SERVER_START_TIMEOUT:.0f}s")
            time.sleep(0.1)
        step(f"vorel-cloud dev serves at {info['base_url']}")
        yield info
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# -- 3. one approval gate ---------------------------------------------------------------------


def decide(info: dict[str, Any], request_id: str) -> None:
    """The reviewer approves ``request_id``: the dashboard's Approve form, as a person would submit it.

    The form is only accepted together with the dashboard's cookie, so the page is opened first in
    the same session, as a browser would have it."""
    with httpx.Client(base_url=info["base_url"], timeout=10) as browser:
        browser.get("/approvals", params={"request": request_id}).raise_for_status()
        resp = browser.post(
            f"/approvals/{request_id}/approve",
            data={"dashboard_token": info["dashboard_token"], "next": "request"},
        )
    if resp.status_code != 303:
        raise SmokeFailure(f"approving {request_id} in the dashboard answered {resp.status_code}: {resp.text[:200]}")


def wait_for_pending(info: dict[str, Any], timeout: float) -> str:
    """The id of the first pending request the dashboard lists."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        listing = httpx.get(f"{info['base_url']}/approvals", timeout=10)
        listing.raise_for_status()
        found = _DENY_FORM.findall(listing.text)
        if found:
            return html.unescape(found[0])
        time.sleep(0.1)
    raise SmokeFailure(f"no pending request appeared in the dashboard within {timeout:.0f}s")


def approve_one_gate(info: dict[str, Any]) -> None:
    from vorel.decorators import guard, warrant_scope
    from vorel_core import SignedApproval, SigningKey

    from vorel_cloud.approval import cloud_approval

    handler = cloud_approval(info["api_key"], base_url=info["base_url"], poll_interval=0.1, timeout=GATE_TIMEOUT)
    seen: dict[str, Any] = {}

    def recording_handler(request: Any) -> Any:
        seen["request"] = request
        seen["result"] = handler(request)
        return seen["result"]

    @guard(approval_handler=recording_handler)
    def send_report(to: str) -> str:
        return f"report sent to {to}"

    reviewer_error: list[BaseException] = []

    def reviewer() -> None:
        try:
            decide(info, wait_for_pending(info, GATE_TIMEOUT))
        except BaseException as exc:  # reported below, on the main thread
            reviewer_error.append(exc)

    thread = threading.Thread(target=reviewer, name="reviewer", daemon=True)
    thread.start()
    with warrant_scope("w-wheel-smoke", signing_key=SigningKey.generate()):
        outcome = send_report("ops@example.com")
    thread.join(GATE_TIMEOUT)
    if reviewer_error:
        raise SmokeFailure(f"reviewer: {reviewer_error[0]!r}")
    if outcome != "report sent to ops@example.com":
        raise SmokeFailure(f"the gated tool returned {outcome!r}")
    approvals = seen["result"] if isinstance(seen["result"], list) else [seen["result"]]
    if not approvals or not all(isinstance(a, SignedApproval) for a in approvals):
        raise SmokeFailure(f"cloud_approval returned {seen['result']!r}, not signed approvals")
    for approval in approvals:
        approval.verify(seen["request"].request_hash, trusted_approvers=[info["approver_key"]])
    step(f"a gated tool call was approved in the dashboard and its signed approval verified ({outcome})")


# -- 4. doctor --------------------------------------------------------------------------------


def run_doctor(info: dict[str, Any]) -> None:
    proc = subprocess.run(
        [command("vorel-cloud"), "doctor", "--json", "--token", info["connect_token"]],
        capture_output=True,
        text=True,
        timeout=COMMAND_TIMEOUT,
        stdin=subprocess.DEVNULL,
    )
    try:
        report = json.loads(proc.stdout)
    except ValueError:
        raise SmokeFailure(
            f"doctor --json printed no JSON (exit {proc.returncode}): {proc.stdout[:300]!r} {proc.stderr[:300]!r}"
        ) from None
    checks = report.get("checks") or []
    failed = [c for c in checks if c.get("status") == "error"]
    if proc.returncode != 0 or not checks or failed:
        raise SmokeFailure(f"doctor --json exited {proc.returncode} with checks {checks!r}")
    step(f"vorel-cloud doctor --json: {len(checks)} checks, none failed")


# -- 5. the pytest plugin -----------------------------------------------------------------------

PLUGIN_TEST = """
import httpx

def test_fixture_serves(vorel_dev_server):
    assert httpx.get(vorel_dev_server.base_url + "/v1/health", timeout=5).status_code == 200
"""


def check_pytest_plugin(workdir: Path) -> None:
    suite = workdir / "suite"
    suite.mkdir()
    (suite / "test_plugin.py").write_text(PLUGIN_TEST)

    def pytest(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-I", "-m", "pytest", "-q", "-p", "no:cacheprovider", *args],
            cwd=suite,
            capture_output=True,
            text=True,
            timeout=COMMAND_TIMEOUT,
            stdin=subprocess.DEVNULL,
        )

    found = pytest()
    if found.returncode != 0 or "1 passed" not in found.stdout:
        raise SmokeFailure(f"vorel_dev_server was not available through the entry point:\n{found.stdout}{found.stderr}")
    # A conftest written for an older install names the module itself.
    (suite / "conftest.py").write_text('pytest_plugins = ["vorel_cloud.testing"]\n')
    listed = pytest()
    if listed.returncode != 0 or "1 passed" not in listed.stdout:
        raise SmokeFailure(f"a conftest listing vorel_cloud.testing broke the run:\n{listed.stdout}{listed.stderr}")
    (suite / "conftest.py").unlink()
    off = pytest("-p", "no:vorel_cloud.testing")
    if off.returncode == 0 or "fixture 'vorel_dev_server' not found" not in off.stdout:
        raise SmokeFailure(f"-p no:vorel_cloud.testing did not turn the plugin off:\n{off.stdout}{off.stderr}")
    step("pytest: vorel_dev_server comes with the package; -p no:vorel_cloud.testing turns it off")


def main(argv: list[str]) -> int:
    source_tree = Path(argv[argv.index("--source-tree") + 1]).resolve() if "--source-tree" in argv else None
    try:
        check_installed_package(source_tree)
        with tempfile.TemporaryDirectory(prefix="vorel-wheel-smoke-") as tmp:
            workdir = Path(tmp)
            os.chdir(workdir)
            with local_control_plane(workdir) as info:
                approve_one_gate(info)
                run_doctor(info)
            check_pytest_plugin(workdir)
    except SmokeFailure as exc:
        print(f"wheel-smoke: FAILED: {exc}", file=sys.stderr, flush=True)
        return 1
    step("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
