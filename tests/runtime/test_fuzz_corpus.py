"""The fuzz targets' corpora, replayed: every input the fuzzer kept (the seeds
in fuzz/corpus and, after a local or CI fuzzing run, build/fuzz/corpus) must
give the native function the same outcome as the documented algorithm.

Under scripts/test-asan.sh this also runs every input under ASan and UBSan.
"""

from __future__ import annotations

import importlib
import os
import sys

import pytest

from fuzz import common

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

TARGETS = ["connect_token", "signed_approvals", "request_builder", "heartbeat_details"]


@pytest.fixture
def fake_core(monkeypatch):
    core = common.CORE
    saved = (core.scope, core.attest, core.decode)
    for name, mod in core.modules().items():
        monkeypatch.setitem(sys.modules, name, mod)
    yield core
    core.scope, core.attest, core.decode = saved


def corpus(target: str) -> list[str]:
    files = []
    for base in (os.path.join(ROOT, "fuzz", "corpus"), os.path.join(ROOT, "build", "fuzz", "corpus")):
        d = os.path.join(base, target)
        if os.path.isdir(d):
            files += sorted(os.path.join(d, f) for f in os.listdir(d))
    return files


def replay(target: str) -> None:
    mod = importlib.import_module(f"fuzz.{target}")
    files = corpus(target)
    assert len(files) >= 20, f"seed corpus of {target} is missing"
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        try:
            mod.one_input(data)
        except common.Mismatch as e:
            raise AssertionError(f"{os.path.relpath(path, ROOT)}: {e}") from None


@pytest.mark.parametrize("target", TARGETS)
def test_corpus_gives_the_documented_outcomes(target, fake_core):
    replay(target)


# The harness must be able to fail: a native function that deviates from the
# documented algorithm in one small way, or lets an undocumented exception
# out, is caught by the committed seeds alone.


def _token_loses_the_cause(token):
    from fuzz.connect_token import reference
    from vorel_cloud.exceptions import VorelCloudError

    try:
        return reference(token)
    except VorelCloudError as e:
        raise VorelCloudError(str(e)) from None


def _lenient_base64(result):
    # The documented steps, except that base64 is checked without validate=True
    # (characters outside the alphabet would be dropped instead of refused).
    import base64
    import re

    from vorel.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response

    from fuzz.signed_approvals import MALFORMED, NO_RESPONSES
    from vorel_cloud.exceptions import VorelCloudError

    responses = result.get("responses", [])
    if not responses:
        raise VorelCloudError(NO_RESPONSES)
    texts = []
    for r in responses:
        raw = r.get("signed_approval")
        if not raw:
            continue
        if re.match(r"^[0-9a-fA-F]+$", raw) and len(raw) % 2 == 0:
            try:
                texts.append(base64.b64encode(bytes.fromhex(raw)).decode("ascii"))
                continue
            except (ValueError, TypeError):
                pass
        try:
            base64.b64decode(raw)
            texts.append(raw)
        except Exception:
            raise VorelCloudError(MALFORMED)
    approvals = signed_approvals_from_response(
        ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=texts or None)
    )
    if not approvals:
        raise VorelCloudError(NO_RESPONSES)
    return approvals[0] if len(approvals) == 1 else approvals


def _builder_hash_error_type(request, **kw):
    from fuzz.request_builder import reference
    from vorel_cloud.exceptions import VorelCloudError

    try:
        return reference(request, **kw)
    except VorelCloudError as e:
        if "request_hash must be" in str(e):
            raise TypeError(str(e)) from None
        raise


def _heartbeat_system_error(details):
    from fuzz.heartbeat_details import reference

    if isinstance(details, tuple) and details:
        raise SystemError("error return without exception set")
    return reference(details)


@pytest.mark.parametrize(
    "target, module, name, deviant",
    [
        ("connect_token", "vorel_cloud.connect", "parse_connect_token", _token_loses_the_cause),
        ("signed_approvals", "vorel_cloud.approval", "_extract_signed_approvals", _lenient_base64),
        ("request_builder", "vorel_cloud.parvex", "build_approval_request_payload", _builder_hash_error_type),
        (
            "heartbeat_details",
            "vorel_cloud.approval",
            "_extract_temporal_heartbeat_request_id",
            _heartbeat_system_error,
        ),
    ],
)
def test_a_deviating_implementation_is_caught(target, module, name, deviant, fake_core, monkeypatch):
    mod = importlib.import_module(module)
    if not hasattr(mod, name):
        pytest.skip(f"{module}.{name} is not there yet")
    monkeypatch.setattr(mod, name, deviant)
    with pytest.raises(AssertionError):
        replay(target)
