"""The README's main job: the demo program run as scripts/demo.sh runs it, in a subprocess."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DEMO = ROOT / "examples" / "demo.py"


def run_demo(*args: str) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("VOREL_")}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, str(DEMO), *args],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        env=env,
        cwd=ROOT,
        timeout=120,
    )


@pytest.mark.parametrize("args", [(), ("--interactive",)], ids=["scripted", "interactive-without-a-terminal"])
def test_demo_runs_every_step_and_exits_zero(args):
    done = run_demo(*args)
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    if args:
        assert "--interactive needs a terminal" in out  # no TTY: the clicks are scripted after all
    for step in range(1, 7):
        assert f"[{step}/6]" in out
    assert "FAIL" not in out
    # Two approvals through the dashboard, verified; one denial; the agent claimed; doctor green.
    assert out.count("human: clicks Approve") == 2
    assert out.count("signed approval verified by the core SDK") == 2
    assert 'human: clicks Deny with the reason "production repositories are off limits"' in out
    assert "the call was refused and the tool did not run" in out
    assert re.search(r"connect\(\) claimed agent agt_\S+ \(status claimed\)", out)
    for check in ("config", "cloud_reachable", "tenant_access", "approval_policy_access", "agent_claim"):
        assert re.search(rf"^\s+ok\s+{check}\s", out, re.M), check
    assert out.rstrip().endswith("Demo passed: 2 approvals verified, 1 denial; doctor() all green.")
    # The API key appears nowhere in the demo's own output.
    assert "vk_" not in out
