"""Reference leaks of the module's functions, on success and on error paths.

The fakes and the models warm up slowly (ABC caches, specialised bytecode, the
logging cache): the allocation count settles only after a few thousand calls
and then wobbles by a few dozen blocks, so these checks use a long warm-up and
a tolerance of 100 blocks over 2000 runs; a leak of one object per call, or
even per twenty calls, is still far above it.
"""

from __future__ import annotations

import os

import pytest

from support.fakes import AGENT_TOKEN, PLAIN_TOKEN, PUB_HEX, make_token
from support.leaks import assert_no_leak
from vorel_cloud import connect as connect_mod
from vorel_cloud.exceptions import AuthenticationError, TransportError, VorelCloudError
from vorel_cloud.models import ConnectConfig

WARM = 6000
SLACK = dict(runs=2000, warmup=WARM, block_tolerance=100)


def forgetful(cloud, fn):
    """Runs `fn` and drops what the fake cloud remembered, so only the module can grow."""

    def run():
        try:
            return fn()
        finally:
            cloud.events.clear()
            cloud.clients.clear()

    return run


@pytest.mark.parametrize(
    "token",
    [
        PLAIN_TOKEN,
        AGENT_TOKEN,
        PLAIN_TOKEN + "\r\n",
        "nope",
        "vorel_ct_e",
        "vorel_ct_",
        "vorel_ct_" + "_w",  # 0xff: not UTF-8
        make_token({"endpoint": ""}),
        make_token([1]),
    ],
)
def test_token_functions(token):
    try:
        connect_mod.parse_connect_token(token)
    except VorelCloudError:
        expect = VorelCloudError
    else:
        expect = None
    assert_no_leak(lambda: connect_mod.parse_connect_token(token), expect=expect, **SLACK)
    assert_no_leak(lambda: connect_mod.connect_config_from_token(token), expect=expect, **SLACK)


@pytest.mark.parametrize("agent_id, expect", [("a", None), ("a\0", VorelCloudError)])
def test_apply_connect_config(agent_id, expect):
    config = ConnectConfig(api_base_url="https://e.test", api_key="k", agent_id=agent_id)
    assert_no_leak(lambda: connect_mod.apply_connect_config(config, overwrite=True), expect=expect, **SLACK)


def test_connect_with_claim(cloud):
    assert_no_leak(forgetful(cloud, lambda: connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX)), **SLACK)


def test_connect_errors(cloud):
    assert_no_leak(lambda: connect_mod.connect(), expect=VorelCloudError, **SLACK)
    cloud.claim = lambda: AuthenticationError("claim refused", status_code=401)
    assert_no_leak(
        forgetful(cloud, lambda: connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX)),
        **SLACK,
        expect=AuthenticationError,
    )


def test_close_error_path(cloud):
    cloud.claim = lambda: VorelCloudError("claim refused")
    cloud.close_error = None

    def close_fails():
        cloud.close_error = OSError("close failed")  # a fresh one each run
        connect_mod.connect(AGENT_TOKEN, public_key_hex=PUB_HEX)

    assert_no_leak(forgetful(cloud, close_fails), **SLACK, expect=OSError)


def test_doctor_paths(cloud):
    os.environ["VOREL_AGENT_PUBLIC_KEY"] = PUB_HEX
    assert_no_leak(forgetful(cloud, lambda: connect_mod.doctor(AGENT_TOKEN, claim=True)), **SLACK)
    cloud.health = lambda: TransportError("unreachable")
    cloud.tenant = lambda: AuthenticationError("bad key", status_code=401, body={"e": 1})
    cloud.policies = lambda: VorelCloudError("odd")
    cloud.claim = lambda: VorelCloudError("claim refused")
    assert_no_leak(forgetful(cloud, lambda: connect_mod.doctor(AGENT_TOKEN, claim=True)), **SLACK)
    assert_no_leak(lambda: connect_mod.doctor("garbage"), **SLACK)
    cloud.tenant = None
    assert_no_leak(forgetful(cloud, lambda: connect_mod.doctor(PLAIN_TOKEN)), **SLACK, expect=AttributeError)


def test_public_key_lookup():
    os.environ["VOREL_SIGNING_KEY"] = "11" * 32
    assert_no_leak(connect_mod._resolve_public_key_hex, **SLACK)
    os.environ["VOREL_SIGNING_KEY"] = "not hex"
    assert_no_leak(connect_mod._resolve_public_key_hex, **SLACK)
