"""What loading vorel_cloud.connect provides: imports, globals and signatures."""

from __future__ import annotations

import inspect
import subprocess
import sys
import textwrap

import pytest

from vorel_cloud import client, exceptions, models
from vorel_cloud import connect as connect_mod


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_loads_without_the_other_modules_or_the_core():
    result = run_python(
        """
        import sys
        import vorel_cloud.connect
        loaded = sorted(m for m in ("vorel_cloud.approval", "vorel_cloud.parvex", "vorel_cloud.langgraph",
                                    "vorel_core", "vorel") if m in sys.modules)
        print(loaded)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_a_missing_model_fails_the_import():
    result = run_python(
        """
        import sys
        sys.modules["vorel_cloud.models"] = None
        try:
            import vorel_cloud.connect
        except ImportError:
            print("ImportError")
        """
    )
    assert result.stdout.strip() == "ImportError", result.stderr


def test_imported_names_are_module_globals():
    for name in ("VorelCloudClient", "AsyncVorelCloudClient"):
        assert getattr(connect_mod, name) is getattr(client, name)
    for name in ("AuthenticationError", "VorelCloudError"):
        assert getattr(connect_mod, name) is getattr(exceptions, name)
    for name in ("BootstrapCheck", "BootstrapReport", "ClaimAgentResult", "ConnectConfig", "ConnectTokenPayload"):
        assert getattr(connect_mod, name) is getattr(models, name)
    import os

    assert connect_mod.os is os
    assert connect_mod._DEFAULT_API_BASE_URL == client.DEFAULT_API_BASE_URL


P, K = inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY
REQ = inspect.Parameter.empty


@pytest.mark.parametrize(
    "name, params",
    [
        ("parse_connect_token", [("token", P, REQ)]),
        ("connect_config_from_token", [("token", P, REQ)]),
        ("apply_connect_config", [("config", P, REQ), ("overwrite", K, False)]),
        (
            "connect",
            [
                ("token", P, None),
                ("public_key_hex", K, None),
                ("claim", K, True),
                ("apply_env", K, True),
                ("async_client", K, False),
                ("verify", K, False),
            ],
        ),
        (
            "claim_agent",
            [("client", P, REQ), ("agent_id", K, REQ), ("public_key_hex", K, REQ), ("registration_token", K, REQ)],
        ),
        ("_resolve_public_key_hex", []),
        (
            "doctor",
            [
                ("token", P, None),
                ("api_key", K, None),
                ("base_url", K, None),
                ("public_key_hex", K, None),
                ("claim", K, False),
                ("apply_env", K, False),
            ],
        ),
        (
            "_resolve_doctor_config",
            [("token", P, REQ), ("api_key", K, REQ), ("base_url", K, REQ), ("checks", K, REQ)],
        ),
        ("_probe_health", [("client", P, REQ), ("checks", P, REQ)]),
        ("_probe_tenant", [("client", P, REQ), ("checks", P, REQ)]),
        ("_probe_approval_policies", [("client", P, REQ), ("checks", P, REQ)]),
        (
            "_probe_agent_claim",
            [("client", P, REQ), ("config", P, REQ), ("public_key_hex", K, REQ), ("claim", K, REQ), ("checks", K, REQ)],
        ),
        ("_report", [("config", P, REQ), ("checks", P, REQ), ("claimed_agent", K, None)]),
    ],
)
def test_signatures(name, params):
    fn = getattr(connect_mod, name)
    sig = inspect.signature(fn)
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == params
    assert fn.__name__ == name and fn.__module__ == "vorel_cloud.connect"
