"""`pip install .` into a fresh environment of the running interpreter gives a working package.

Slow (a full native build), so it runs once per suite and only when
VOREL_SKIP_INSTALL_TEST is not set.
"""

from __future__ import annotations

import os
import subprocess
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(os.environ.get("VOREL_SKIP_INSTALL_TEST") == "1", reason="VOREL_SKIP_INSTALL_TEST=1")

PROBE = r"""
import inspect, json, sys
import vorel_cloud.parvex as parvex, vorel_cloud.approval as approval
import vorel_cloud.connect as connect, vorel_cloud.langgraph as langgraph
print(json.dumps({
    "files": [m.__file__ for m in (parvex, approval, connect, langgraph)],
    "signature": str(inspect.signature(parvex.build_approval_request_payload)),
}))
"""


def test_pip_install_in_fresh_venv(tmp_path):
    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    py = env_dir / "bin" / "python"
    # Build from a copy of the tracked sources: the working tree's in-place
    # build products must not be what gets installed.
    src = tmp_path / "src"
    src.mkdir()
    archive = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True, capture_output=True).stdout
    for rel in filter(None, archive.decode().split("\0")):
        if not (ROOT / rel).is_file():
            continue
        dest = src / rel
        dest.parent.mkdir(parents=True, exist_ok=True)
        dest.write_bytes((ROOT / rel).read_bytes())
    subprocess.run([str(py), "-m", "pip", "install", "-q", str(src)], check=True, cwd=tmp_path, timeout=900)
    out = subprocess.run([str(py), "-I", "-c", PROBE], check=True, capture_output=True, text=True, cwd=tmp_path).stdout
    import json

    info = json.loads(out)
    assert all(f.startswith(str(env_dir)) and f.endswith(".so") for f in info["files"]), info["files"]
    assert info["signature"].startswith("(request: Any, *, signing_key: Any = None")
