"""The API key never shows in a repr, a log record or an exception message."""

from __future__ import annotations

import asyncio
import json
import logging
import pickle
from urllib.parse import quote

import httpx
import pytest

from vorel_cloud.client import AsyncVorelCloudClient, VorelCloudClient
from vorel_cloud.exceptions import (
    AuthenticationError,
    ConfigurationError,
    TransportError,
    VorelCloudError,
)
from vorel_cloud.models import redact_secrets

from .conftest import API_KEY


@pytest.mark.parametrize("cls", [VorelCloudClient, AsyncVorelCloudClient])
def test_repr_masks_the_key(cls, api_key):
    client = cls(api_key, "http://cp.test")
    text = repr(client)
    assert api_key not in text
    assert text == f"{cls.__name__}(base_url='http://cp.test', api_key='***')"
    assert api_key not in str(client)


@pytest.mark.parametrize("cls", [VorelCloudClient, AsyncVorelCloudClient])
@pytest.mark.parametrize(
    "key, problem",
    [
        (API_KEY + "\n", "a line break at its end"),  # sent, it was quoted back escaped and retried
        (" " + API_KEY, "a space or tab at its start"),
        (API_KEY[:8] + "\u200b" + API_KEY[8:], "a control character inside it"),
        (API_KEY + "\u00e9", "a non-ASCII character at its end"),
    ],
)
def test_unusable_key_is_refused_at_construction(cls, key, problem):
    with pytest.raises(ConfigurationError) as info:
        cls(key, "http://cp.test")
    assert isinstance(info.value, ValueError) and problem in str(info.value) and info.value.remediation
    assert API_KEY[:8] not in str(info.value) + repr(info.value)


ODD_KEY = "vk_live_a\\b\"c'd_0123456789"  # valid, but its escaped forms differ from it


@pytest.mark.parametrize(
    "shown", [ODD_KEY, repr(ODD_KEY), repr(f"Bearer {ODD_KEY}".encode()), json.dumps(ODD_KEY), quote(ODD_KEY, safe="")]
)
def test_escaped_forms_of_the_key_are_masked_along_the_chain(server, shown):
    cause = httpx.ConnectError(f"refused: {shown}")
    cause.__context__ = ValueError(f"header {shown}")
    server.fail(cause)
    with VorelCloudClient(ODD_KEY, "http://cp.test", max_retries=0, transport=server.transport) as client:
        with pytest.raises(TransportError) as info:
            client.health()
    chain = [info.value, info.value.__cause__, info.value.__cause__.__context__]
    texts = [str(err) for err in chain] + [repr(err) for err in chain] + [str(redact_secrets([shown], ODD_KEY))]
    assert chain[1] is cause and all("***" in text and "0123456789" not in text for text in texts)


def test_server_message_echoing_the_key_is_masked(api, server, api_key):
    server.error(401, "invalid_api_key", f"API key {api_key} is not valid")
    with pytest.raises(AuthenticationError) as info:
        api.call("get_tenant")
    err = info.value
    assert str(err) == "API key *** is not valid"
    assert api_key not in repr(err)
    assert api_key not in str(err.body)
    assert api_key not in str(pickle.loads(pickle.dumps(err)).body)


def test_transport_error_text_is_masked(api, server, api_key):
    server.fail(httpx.ConnectError(f"proxy refused Bearer {api_key}"))
    with pytest.raises(TransportError) as info:
        api.configure(max_retries=0).call("create_request", **_create())
    assert api_key not in str(info.value)
    assert "Bearer ***" in str(info.value)


def test_invalid_base_url_message_is_masked(api, server, api_key):
    with pytest.raises(VorelCloudError) as info:
        api.configure(base_url=f"ftp://{api_key}@cp.test").call("health")
    assert api_key not in str(info.value)


def test_non_json_error_body_is_masked(api, server, api_key):
    server.reply(500, text=f"<pre>Authorization: Bearer {api_key}</pre>")
    with pytest.raises(VorelCloudError) as info:
        api.configure(max_retries=0).call("deny", "apr_1")
    assert api_key not in str(info.value.body)


def test_no_log_record_carries_the_key(api, server, api_key, sleeps, caplog):
    caplog.set_level(logging.DEBUG)
    server.error(503, "unavailable", "busy", headers={"Retry-After": "1"})
    server.fail(httpx.ConnectError("refused"))
    server.reply(200, {"status": "ok"})
    server.error(401, "invalid_api_key", "bad key")
    api.call("health")
    with pytest.raises(AuthenticationError):
        api.call("get_tenant")
    assert caplog.records, "the client logs its calls"
    for record in caplog.records:
        assert api_key not in record.getMessage()
        assert api_key not in repr(record.args)
        assert api_key not in repr(vars(record))


def test_secrets_in_short_keys_do_not_mangle_messages(server):
    server.error(404, "not_found", "Unknown agent.")
    with VorelCloudClient("k", "http://cp.test", transport=server.transport) as client:
        with pytest.raises(VorelCloudError) as info:
            client.get_request("agt")
    assert str(info.value) == "Unknown agent."


def test_async_repr_while_open(server, api_key):
    async def run() -> str:
        async with AsyncVorelCloudClient(api_key, "http://cp.test", transport=server.transport) as c:
            await c.health()
            return repr(c) + repr(vars(c).get("_http"))

    assert api_key not in asyncio.run(run())


def _create() -> dict:
    return {
        "warrant_id": "w",
        "tool": "t",
        "request_hash": b"\x01",
        "holder_key": b"\x02",
        "args_canonical_cbor_b64": "oA==",
        "approval_context_attestation": {},
    }
