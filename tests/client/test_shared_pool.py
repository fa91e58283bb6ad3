"""The connection pools every client without a transport of its own shares, against the local control plane."""

from __future__ import annotations

import asyncio
import gc
import os
import socket
import threading
import warnings

import httpx
import pytest

from support.fakes import clean_vorel_env  # noqa: F401  (no VOREL_* variable leaks into a test or out of it)
from vorel_cloud import _pool
from vorel_cloud.client import AsyncVorelCloudClient, VorelCloudClient
from vorel_cloud.exceptions import ConfigurationError, TransportError

CAP = 8


@pytest.fixture
def make_request():
    from vorel.approval import build_approval_request
    from vorel_core import SigningKey

    key = SigningKey.generate()
    return lambda i: build_approval_request("send_email", {"to": f"u{i}@example.com"}, warrant_id="w", signing_key=key)


@pytest.mark.parametrize("tls", [False, True], ids=["http", "https"])
def test_concurrent_gates_share_the_capped_pool(tls, vorel_dev_server_factory, make_request, monkeypatch):
    from vorel_core import SignedApproval

    from vorel_cloud.approval import async_cloud_approval

    server = vorel_dev_server_factory(tls=tls)
    if tls:
        monkeypatch.setenv("SSL_CERT_FILE", server.ca_file)
    monkeypatch.setenv(_pool.ENV_MAX_CONNECTIONS, str(CAP))
    server.auto_approve(after_polls=2)
    handler = async_cloud_approval(server.api_key, base_url=server.base_url, poll_interval=0.05, timeout=60.0)

    async def gates():
        return await asyncio.gather(*(handler(make_request(i)) for i in range(200)), return_exceptions=True)

    outcomes = asyncio.run(gates())
    assert all(isinstance(o, SignedApproval) for o in outcomes), {type(o).__name__ for o in outcomes}
    # Over HTTPS every accepted connection is one TLS handshake.
    assert 1 <= server.connections.accepted <= CAP
    assert server.connections.peak_open <= CAP


def test_each_event_loop_has_its_pool_and_closes_it_at_shutdown(vorel_dev_server):
    async def health():
        async with AsyncVorelCloudClient(vorel_dev_server.api_key, base_url=vorel_dev_server.base_url) as client:
            loops.append(asyncio.get_running_loop())
            return await client.health()

    loops: list[asyncio.AbstractEventLoop] = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert asyncio.run(health())["status"] == asyncio.run(health())["status"] == "ok"
        gc.collect()
    assert not [w for w in caught if "nclosed" in str(w.message)], [str(w.message) for w in caught]
    assert not set(loops) & set(_pool._loop_pools)  # both pools went with their loops
    assert vorel_dev_server.connections.accepted == 2  # a pool never crosses into another loop


def test_a_closed_client_leaves_the_shared_pool_serving_the_others(vorel_dev_server):
    first, second = (VorelCloudClient(vorel_dev_server.api_key, base_url=vorel_dev_server.base_url) for _ in "ab")
    assert first.health()["status"] == "ok"
    first.close()
    with pytest.raises(Exception, match="is closed"):
        first.health()
    assert second.health()["status"] == "ok"
    second.close()
    assert vorel_dev_server.connections.accepted == 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() here")
def test_a_forked_child_opens_its_own_connection(vorel_dev_server):
    client = VorelCloudClient(vorel_dev_server.api_key, base_url=vorel_dev_server.base_url)
    assert client.health()["status"] == "ok"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with the server's thread running
        pid = os.fork()
    if pid == 0:  # the child: exits 0 when its call went through a fresh pool
        code = 1
        try:
            code = 0 if not _pool._sync_pools and client.health()["status"] == "ok" else 3
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert client.health()["status"] == "ok"  # the parent's connection survived the child
    client.close()
    assert vorel_dev_server.connections.accepted == 2


@pytest.fixture
def silent_server():
    """A loopback server that accepts connections and never answers."""
    listener = socket.create_server(("127.0.0.1", 0))
    accepted: list[socket.socket] = []
    stop = threading.Event()

    def serve():
        listener.settimeout(0.05)
        while not stop.is_set():
            try:
                accepted.append(listener.accept()[0])
            except TimeoutError:
                pass

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{listener.getsockname()[1]}", accepted
    stop.set()
    thread.join()
    for conn in [*accepted, listener]:
        conn.close()


def wait_for(accepted):
    while not accepted:
        threading.Event().wait(0.01)


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_the_wait_for_a_free_connection_counts_against_the_timeout(kind, silent_server):
    url, accepted = silent_server
    options = dict(base_url=url, max_retries=0, max_connections=1)  # one pool, one connection
    late = r"did not answer GET /v1/health within 0\.3s"
    if kind == "sync":
        holder = VorelCloudClient("vk_test", timeout=1.5, **options)
        held = threading.Thread(target=pytest.raises, args=(TransportError, holder.health))
        held.start()
        wait_for(accepted)
        with VorelCloudClient("vk_test", timeout=0.3, **options) as waiting:
            with pytest.raises(TransportError, match=late) as info:
                waiting.health()
        held.join()
        assert isinstance(info.value.__cause__, httpx.PoolTimeout)
    else:

        async def run():
            holder = AsyncVorelCloudClient("vk_test", timeout=1.5, **options)
            held = asyncio.ensure_future(holder.health())
            await asyncio.to_thread(wait_for, accepted)
            with pytest.raises(TransportError, match=late):
                await AsyncVorelCloudClient("vk_test", timeout=0.3, **options).health()
            with pytest.raises(TransportError, match=r"within 1\.5s"):
                await held

        asyncio.run(run())
    assert len(accepted) == 1  # the second call never had a connection: it timed out in the queue


@pytest.mark.parametrize(
    "setting",
    [{"env": "0"}, {"env": "many"}, {"env": "-3"}, {"arg": 0}, {"arg": True}],
    ids=["env-zero", "env-text", "env-negative", "arg-zero", "arg-bool"],
)
def test_a_bad_connection_cap_is_refused(setting, monkeypatch):
    if "env" in setting:
        monkeypatch.setenv(_pool.ENV_MAX_CONNECTIONS, setting["env"])
        with VorelCloudClient("vk_test", base_url="http://127.0.0.1:9") as client:
            with pytest.raises(ConfigurationError, match=_pool.ENV_MAX_CONNECTIONS):
                client.health()
    else:
        with pytest.raises(ConfigurationError, match="max_connections"):
            VorelCloudClient("vk_test", max_connections=setting["arg"])


@pytest.mark.parametrize(
    "env, root, proxy",
    [
        ({"HTTPS_PROXY": "http://proxy.test:3128"}, "https://api.example.test", "http://proxy.test:3128"),
        ({"HTTPS_PROXY": "http://proxy.test:3128"}, "http://api.example.test", None),
        ({"ALL_PROXY": "http://all.test:1"}, "http://api.example.test", "http://all.test:1"),
        ({"HTTPS_PROXY": "http://p.test:1", "NO_PROXY": "example.test"}, "https://api.example.test", None),
        ({"ALL_PROXY": "socks5://s.test:1080"}, "https://api.example.test", "socks5://s.test:1080"),
    ],
    ids=["https-proxy", "scheme-mismatch", "all-proxy", "no-proxy", "socks"],
)
def test_the_destination_takes_the_proxy_the_environment_names(env, root, proxy, monkeypatch):
    for name in ("https_proxy", "http_proxy", "all_proxy", "no_proxy"):
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.upper(), raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    dest = _pool.destination(root)
    assert (dest.proxy, dest.max_connections) == (proxy, _pool.DEFAULT_MAX_CONNECTIONS)
    assert dest.pooled is not (proxy or "").startswith("socks")  # httpx keeps the SOCKS proxies it reaches
    monkeypatch.setenv("SSL_CERT_FILE", "/etc/ca.pem")
    assert _pool.destination(root) != dest  # other trust settings, another pool


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_patched_httpx_sees_every_request(kind, monkeypatch):
    # How HTTP-mocking libraries work: they replace httpx's transport methods.
    seen = []

    def answer(self, request):
        seen.append((request.method, str(request.url)))
        return httpx.Response(200, json={"status": "mocked"})

    async def answer_async(self, request):
        return answer(self, request)

    monkeypatch.setattr(httpx.HTTPTransport, "handle_request", answer)
    monkeypatch.setattr(httpx.AsyncHTTPTransport, "handle_async_request", answer_async)
    if kind == "sync":
        with VorelCloudClient("vk_test", base_url="http://127.0.0.1:9") as client:
            health = client.health()
    else:

        async def run():
            async with AsyncVorelCloudClient("vk_test", base_url="http://127.0.0.1:9") as client:
                return await client.health()

        health = asyncio.run(run())
    assert health == {"status": "mocked"}
    assert seen == [("GET", "http://127.0.0.1:9/v1/health")]
