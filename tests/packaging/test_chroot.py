"""The chroot that carries CPython 3.14 and 3.15 (scripts/chroot.sh): a command
runs inside it on the checkout, and however it ends, no mount is left behind
on the host."""

from __future__ import annotations

import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "chroot.sh"


def chroot_dir() -> str:
    return subprocess.run([SCRIPT, "path"], capture_output=True, text=True, check=True).stdout.strip()


pytestmark = pytest.mark.skipif(
    os.environ.get("VOREL_IN_CHROOT") == "1"
    or os.geteuid() != 0
    or not os.path.exists(os.path.join(chroot_dir(), ".vorel-packages")),
    reason="needs root, on the host, and the chroot made by scripts/chroot.sh ensure",
)


def mounts_under(path: str) -> list[str]:
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    return [p for p in points if p == path or p.startswith(path + "/")]


# The checkout and /proc are there, and so is the interpreter.
INSIDE = (
    "test -f pyproject.toml && test -r /proc/self/status && python3.15 -c 'import sys; print(sys.version_info[:2])'"
)


@pytest.mark.parametrize("ending", ["exit 0", "exit 3"])
def test_a_command_runs_on_the_checkout_and_leaves_no_mount(ending):
    where = chroot_dir()
    proc = subprocess.run(
        [SCRIPT, "run", "sh", "-c", f"{INSIDE} && {ending}"], cwd=ROOT, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == int(ending.split()[1]), proc.stderr
    assert proc.stdout.strip() == "(3, 15)"
    assert mounts_under(where) == []


def test_a_killed_command_leaves_no_mount():
    where = chroot_dir()
    proc = subprocess.Popen(
        [SCRIPT, "run", "sh", "-c", f"{INSIDE} && sleep 60"],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        assert proc.stdout is not None
        assert proc.stdout.readline().strip() == "(3, 15)"  # inside, with its mounts
        assert mounts_under(where) == []  # which the host does not see
    finally:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout=30)
    deadline = time.monotonic() + 10  # the namespace goes with its last process
    while mounts_under(where) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert mounts_under(where) == []
