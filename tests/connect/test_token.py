"""Quick Connect tokens: decoding, configuration and export to the environment."""

from __future__ import annotations

import base64
import binascii
import json
import os
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference import connect as python_connect
from support.fakes import API_KEY, ENDPOINT, make_token
from support.frames import python_frames
from vorel_cloud import connect as connect_mod
from vorel_cloud.exceptions import VorelCloudError
from vorel_cloud.models import ConnectConfig

PREFIX_ERR = "invalid connect token: expected prefix 'vorel_ct_'"
INCOMPLETE_ERR = "incomplete connect token: endpoint and api_key are required"


def raw_token(data: bytes) -> str:
    return "vorel_ct_" + base64.urlsafe_b64encode(data).decode().rstrip("=")


def test_module_constants():
    assert connect_mod._CONNECT_PREFIX == "vorel_ct_"
    assert connect_mod._ENV_CONNECT_TOKEN == "VOREL_CONNECT_TOKEN"
    assert connect_mod._ENV_API_KEY == "VOREL_API_KEY"
    assert connect_mod._ENV_CONTROL_PLANE_URL == "VOREL_CONTROL_PLANE_URL"
    assert connect_mod._DEFAULT_API_BASE_URL == "https://api.vorel.cloud"
    assert connect_mod.logger.name == "vorel_cloud.connect"


# ---- decoding ------------------------------------------------------------------


@pytest.mark.parametrize("api_key", ["k", "ke", "key", "key4"])  # every length of the last base64 quantum
@pytest.mark.parametrize("fill", [False, True])
def test_decodes_with_or_without_fill(api_key, fill):
    token = make_token({"endpoint": "https://e.test", "api_key": api_key, "extra": 1}, fill=fill)
    payload = connect_mod.parse_connect_token(token)
    assert (payload.endpoint, payload.api_key, payload.agent_id, payload.registration_token) == (
        "https://e.test",
        api_key,
        None,
        None,
    )


def test_alphabet_is_lenient():
    data = json.dumps({"endpoint": "https://e.test/??>>", "api_key": "k~~~"}).encode()
    standard = base64.b64encode(data).decode().rstrip("=")
    urlsafe = base64.urlsafe_b64encode(data).decode().rstrip("=")
    assert standard != urlsafe  # the sample really exercises "+" and "/"
    # Characters outside the alphabet are dropped (four keep the fill count unchanged).
    noisy = urlsafe[:5] + "!*\n " + urlsafe[5:]
    decoded = {t: connect_mod.parse_connect_token("vorel_ct_" + t).api_key for t in (standard, urlsafe, noisy)}
    assert set(decoded.values()) == {"k~~~"}


@pytest.mark.parametrize("api_key", ["k", "ke", "key", "key4"])
@pytest.mark.parametrize("tail", ["\n", "\r\n", " \t"], ids=["lf", "crlf", "blanks"])
def test_trailing_whitespace_is_dropped(api_key, tail):
    # As read from a .env file or a mounted secret; the fill count must not
    # include it.
    token = make_token({"endpoint": "https://e.test", "api_key": api_key})
    assert connect_mod.parse_connect_token(token + tail).api_key == api_key


@pytest.mark.parametrize(
    "token",
    ["", " vorel_ct_e30", "\tvorel_ct_e30", "VOREL_CT_e30", "Vorel_ct_e30", "vorel-ct_e30", "vorel_c", "e30"],
)
def test_prefix_check(token):
    with pytest.raises(VorelCloudError) as info:
        connect_mod.parse_connect_token(token)
    err = info.value
    assert str(err) == PREFIX_ERR
    assert err.__cause__ is None and err.__context__ is None


def stdlib_failure(encoded):
    """What fails first when the stdlib reads `encoded` with its fill put back."""
    try:
        base64.urlsafe_b64decode(encoded + "=" * (-len(encoded) % 4))
    except (binascii.Error, ValueError) as e:
        return type(e)
    return json.JSONDecodeError


@pytest.mark.parametrize(
    "encoded, cause",
    [
        ("e", binascii.Error),  # 1 more than a multiple of 4: three "=" cannot help
        ("e30ab", binascii.Error),
        # Junk dropped: up to 3.14 the fill no longer adds up; 3.15 needs no
        # fill and decodes "a", which is no JSON.
        ("YQ!!", binascii.Error if sys.version_info < (3, 15) else json.JSONDecodeError),
        ("e30é", ValueError),  # non-ASCII text
    ],
)
def test_encoding_errors(encoded, cause):
    assert stdlib_failure(encoded) is cause  # the case is what it says on this interpreter
    with pytest.raises(VorelCloudError) as info:
        connect_mod.parse_connect_token("vorel_ct_" + encoded)
    err = info.value
    assert type(err.__cause__) is cause
    assert err.__suppress_context__ and err.__context__ is err.__cause__
    what = "JSON" if cause is json.JSONDecodeError else "encoding"
    assert str(err) == f"invalid connect token {what}: {err.__cause__}"


@pytest.mark.parametrize(
    "data, cause",
    [
        (b"", json.JSONDecodeError),  # the prefix alone
        (b"\xff\xfe{}", UnicodeDecodeError),
        (b'{"endpoint": "\xed\xa0\x80"}', UnicodeDecodeError),  # encoded surrogate: strict UTF-8 refuses it
        (b"{'endpoint': 'x'}", json.JSONDecodeError),
        (b'{"endpoint": "x"} trailing', json.JSONDecodeError),
    ],
)
def test_text_and_json_errors(data, cause):
    with pytest.raises(VorelCloudError) as info:
        connect_mod.parse_connect_token(raw_token(data))
    err = info.value
    assert type(err.__cause__) is cause
    assert err.__suppress_context__ and err.__context__ is err.__cause__
    assert str(err) == f"invalid connect token JSON: {err.__cause__}"


@pytest.mark.parametrize(
    "payload",
    [
        {"endpoint": "", "api_key": "k"},
        {"endpoint": "https://e.test"},
        {"endpoint": "https://e.test", "api_key": ""},
        {"endpoint": None, "api_key": "k"},
        {"api_key": "k", "agent_id": "a", "registration_token": "r"},
        {},
    ],
)
def test_incomplete_payloads(payload):
    with pytest.raises(VorelCloudError) as info:
        connect_mod.parse_connect_token(make_token(payload))
    assert str(info.value) == INCOMPLETE_ERR
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize("value", [[1], "text", 3, None])
def test_from_dict_rejections_propagate_unchanged(value):
    # The model refuses non-objects with its own error; nothing wraps it.
    with pytest.raises(VorelCloudError, match=r"^invalid connect token payload") as info:
        connect_mod.parse_connect_token(make_token(value))
    assert info.value.__cause__ is None


def test_foreign_from_dict_error_is_not_converted(monkeypatch):
    boom = KeyError("endpoint")

    def from_dict(data):
        assert data == {"x": 1}
        raise boom

    monkeypatch.setattr(connect_mod, "ConnectTokenPayload", types.SimpleNamespace(from_dict=from_dict))
    with pytest.raises(KeyError) as info:
        connect_mod.parse_connect_token(make_token({"x": 1}))
    assert info.value is boom


def test_names_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(connect_mod, "_CONNECT_PREFIX", "tok_")
    with pytest.raises(VorelCloudError, match=r"^invalid connect token: expected prefix 'tok_'$"):
        connect_mod.parse_connect_token(make_token({"endpoint": "e", "api_key": "k"}))
    token = "tok_" + make_token({"endpoint": "e", "api_key": "k"})[len("vorel_ct_") :]
    assert connect_mod.parse_connect_token(token).endpoint == "e"

    class Boom(Exception):
        pass

    def decode(_):
        raise Boom("no decoder")

    monkeypatch.setattr(connect_mod, "base64", types.SimpleNamespace(urlsafe_b64decode=decode))
    with pytest.raises(VorelCloudError, match=r"^invalid connect token encoding: no decoder$") as info:
        connect_mod.parse_connect_token(token)
    assert isinstance(info.value.__cause__, Boom)


def test_interrupts_pass_through_the_decoder(monkeypatch):
    def decode(_):
        raise KeyboardInterrupt

    monkeypatch.setattr(connect_mod, "base64", types.SimpleNamespace(urlsafe_b64decode=decode))
    with pytest.raises(KeyboardInterrupt):
        connect_mod.parse_connect_token(make_token({}))


# ---- configuration -------------------------------------------------------------------


@pytest.mark.parametrize(
    "endpoint, expected",
    [
        ("https://e.test", "https://e.test"),
        ("https://e.test/", "https://e.test"),
        ("https://e.test///", "https://e.test"),
        ("https://e.test/base/", "https://e.test/base"),
        ("https://e.test/ ", "https://e.test/ "),
    ],
)
def test_config_strips_trailing_slashes(endpoint, expected):
    config = connect_mod.connect_config_from_token(make_token({"endpoint": endpoint, "api_key": "k"}))
    assert config.api_base_url == expected


@pytest.mark.parametrize(
    "binding, agent_id, registration_token",
    [
        ({}, None, None),
        ({"agent_id": "", "registration_token": ""}, None, None),
        ({"agent_id": "agt_1"}, "agt_1", None),
        ({"agent_id": "agt_1", "registration_token": "reg"}, "agt_1", "reg"),
        ({"registration_token": "reg"}, None, "reg"),
    ],
)
def test_config_agent_binding(binding, agent_id, registration_token):
    config = connect_mod.connect_config_from_token(make_token({"endpoint": ENDPOINT, "api_key": API_KEY, **binding}))
    assert isinstance(config, ConnectConfig)
    assert (config.api_base_url, config.api_key, config.agent_id, config.registration_token) == (
        ENDPOINT.rstrip("/"),
        API_KEY,
        agent_id,
        registration_token,
    )


def test_config_uses_the_patched_parser(monkeypatch):
    seen = []
    payload = types.SimpleNamespace(endpoint="https://p.test//", api_key="pk", agent_id="", registration_token="r")

    def parse(token):
        seen.append(token)
        return payload

    monkeypatch.setattr(connect_mod, "parse_connect_token", parse)
    config = connect_mod.connect_config_from_token(token="anything")
    assert seen == ["anything"]
    assert (config.api_base_url, config.agent_id, config.registration_token) == ("https://p.test", None, "r")


# ---- environment export -----------------------------------------------------------------


def config(**kw):
    base = {"api_base_url": "https://e.test", "api_key": "key", "agent_id": None, "registration_token": "reg"}
    base.update(kw)
    return ConnectConfig(**base)


@pytest.mark.parametrize(
    "before, overwrite, after",
    [
        ({}, False, {"VOREL_API_KEY": "key", "VOREL_CONTROL_PLANE_URL": "https://e.test"}),
        (
            {"VOREL_API_KEY": "mine", "VOREL_CONTROL_PLANE_URL": ""},
            False,
            {"VOREL_API_KEY": "mine", "VOREL_CONTROL_PLANE_URL": "https://e.test"},
        ),
        (
            {"VOREL_API_KEY": "mine", "VOREL_CONTROL_PLANE_URL": "https://old.test"},
            True,
            {"VOREL_API_KEY": "key", "VOREL_CONTROL_PLANE_URL": "https://e.test"},
        ),
        (
            {"VOREL_AGENT_ID": "stale"},
            True,
            {"VOREL_API_KEY": "key", "VOREL_CONTROL_PLANE_URL": "https://e.test", "VOREL_AGENT_ID": "stale"},
        ),
    ],
)
def test_apply_precedence(before, overwrite, after):
    os.environ.update(before)
    assert connect_mod.apply_connect_config(config(agent_id=""), overwrite=overwrite) is None
    assert {k: v for k, v in os.environ.items() if k.startswith("VOREL_")} == after
    assert "reg" not in os.environ.values()


@pytest.mark.parametrize(
    "field, value, cause",
    [
        ("api_key", "k\0ey", ValueError),
        ("api_base_url", "https://e.test/\ud800", UnicodeEncodeError),
        ("agent_id", "agt_\0", ValueError),
        ("api_key", 7, TypeError),
    ],
)
def test_apply_checks_every_value_before_the_first_write(field, value, cause):
    # Refused half-way, a new key would be left beside an old endpoint.
    before = {"VOREL_API_KEY": "old-key", "VOREL_CONTROL_PLANE_URL": "https://old.test"}
    os.environ.update(before)
    with pytest.raises(VorelCloudError) as info:
        connect_mod.apply_connect_config(config(**{"agent_id": "agt_1", field: value}), overwrite=True)
    name = {"api_key": "VOREL_API_KEY", "api_base_url": "VOREL_CONTROL_PLANE_URL", "agent_id": "VOREL_AGENT_ID"}[field]
    assert type(info.value.__cause__) is cause
    assert str(info.value) == f"invalid connect token value for {name}: {info.value.__cause__}"
    assert {k: v for k, v in os.environ.items() if k.startswith("VOREL_")} == before


def test_connect_with_an_unexportable_token_writes_and_claims_nothing(cloud):
    token = make_token({"endpoint": "https://e.test", "api_key": "k", "agent_id": "agt_1\u0000"})
    with pytest.raises(VorelCloudError, match=r"^invalid connect token value for VOREL_AGENT_ID: "):
        connect_mod.connect(token, public_key_hex="ab" * 32)
    assert not [k for k in os.environ if k.startswith("VOREL_")]
    assert cloud.events == []


def test_apply_agent_id_and_order(monkeypatch):
    writes = []

    class Environ(dict):
        def __setitem__(self, key, value):
            writes.append((key, value))
            super().__setitem__(key, value)

    environ = Environ(VOREL_AGENT_ID="")
    monkeypatch.setattr(connect_mod, "os", types.SimpleNamespace(environ=environ))
    connect_mod.apply_connect_config(config(agent_id="agt_1"))
    assert writes == [
        ("VOREL_API_KEY", "key"),
        ("VOREL_CONTROL_PLANE_URL", "https://e.test"),
        ("VOREL_AGENT_ID", "agt_1"),
    ]
    assert "VOREL_API_KEY" not in os.environ  # only the patched `os` was touched


# ---- properties ---------------------------------------------------------------------------

texts = st.text(min_size=1, max_size=40)
optional_texts = st.one_of(st.none(), st.text(max_size=20))


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    endpoint=texts,
    api_key=texts,
    agent_id=optional_texts,
    registration_token=optional_texts,
    extra=st.dictionaries(st.text(max_size=5), st.integers(), max_size=3),
    fill=st.booleans(),
)
def test_any_payload_round_trips(endpoint, api_key, agent_id, registration_token, extra, fill):
    payload = {**extra, "endpoint": endpoint, "api_key": api_key}
    for key, value in (("agent_id", agent_id), ("registration_token", registration_token)):
        if value is not None:
            payload[key] = value
    token = make_token(payload, fill=fill)
    decoded = connect_mod.parse_connect_token(token)
    assert (decoded.endpoint, decoded.api_key, decoded.agent_id, decoded.registration_token) == (
        endpoint,
        api_key,
        agent_id,
        registration_token,
    )
    config = connect_mod.connect_config_from_token(token)
    assert config.api_base_url == endpoint.rstrip("/")
    assert config.agent_id == (agent_id or None)
    assert config.registration_token == (registration_token or None)


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=10),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=12), inner, max_size=4),
    max_leaves=8,
)
payload_keys = st.sampled_from(["endpoint", "api_key", "agent_id", "registration_token", "other"])
almost_payloads = st.dictionaries(payload_keys, json_values, max_size=5)


def only_documented_errors(token):
    try:
        connect_mod.parse_connect_token(token)
    except VorelCloudError as err:
        message = str(err)
        assert message.startswith(
            (
                "invalid connect token: expected prefix 'vorel_ct_'",
                "invalid connect token encoding: ",
                "invalid connect token JSON: ",
                "incomplete connect token: ",
                "invalid connect token payload: ",  # the model's own refusal
            )
        ), message


any_tokens = st.one_of(
    st.text(max_size=60),
    st.text(max_size=60).map(lambda s: "vorel_ct_" + s),
    st.text(alphabet="ABCDEFabcdef0123456789-_+/=!", max_size=60).map(lambda s: "vorel_ct_" + s),
    st.binary(max_size=60).map(raw_token),
    json_values.map(make_token),
    almost_payloads.map(make_token),
)


@settings(max_examples=400, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(token=any_tokens)
def test_no_input_raises_anything_else(token):
    only_documented_errors(token)


# ---- the stdlib stand-ins: same results, and patches still win ----------------------------

TOKEN = make_token({"endpoint": "https://e.test", "api_key": "k"})


def outcome_of(parse, token):
    try:
        p = parse(token)
        return p.endpoint, p.api_key, p.agent_id, p.registration_token
    except Exception as err:
        return type(err), str(err), type(err.__cause__), err.__context__ is err.__cause__


def outcome(token):
    return outcome_of(connect_mod.parse_connect_token, token)


# Texts the scanner and the decoder treat specially, and one past the stack buffer.
edge_payloads = st.sampled_from(
    [
        b"\xef\xbb\xbf{}",
        b' \n{"endpoint": "e", "api_key": "k"}\r\t',
        b'{"endpoint": "e"} {}',
        b"[1",
        b'{"a": NaN}',
        json.dumps({"endpoint": "https://e.test", "api_key": "k" * 2000}).encode(),
    ]
)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    token=st.one_of(
        any_tokens,
        edge_payloads.map(raw_token),
        st.tuples(json_values, st.booleans(), st.sampled_from(["", "\n", "=", "=\n", "==="])).map(
            lambda t: make_token(t[0], fill=t[1]) + t[2]
        ),
    )
)
def test_stand_ins_match_the_stdlib(token):
    native = outcome(token)
    with pytest.MonkeyPatch.context() as mp:  # other objects: the stdlib is called
        mp.setattr(connect_mod, "base64", types.SimpleNamespace(urlsafe_b64decode=base64.urlsafe_b64decode))
        mp.setattr(connect_mod, "json", types.SimpleNamespace(loads=json.loads))
        assert outcome(token) == native


@pytest.mark.parametrize(
    "owner, name",
    [
        (base64, "urlsafe_b64decode"),
        (base64, "b64decode"),
        (json, "loads"),
        (json.JSONDecoder, "decode"),
        (json.JSONDecoder, "raw_decode"),
        ("module", "base64.urlsafe_b64decode"),
        ("module", "json.loads"),
    ],
)
def test_patched_stdlib_is_called(monkeypatch, owner, name):
    calls = []
    if owner == "module":  # the module global replaced by another object
        module, name = name.split(".")
        owner = types.SimpleNamespace(**{name: getattr(globals()[module], name)})
        monkeypatch.setattr(connect_mod, module, owner)
        monkeypatch.setattr(python_connect, module, owner)
    original = getattr(owner, name)
    monkeypatch.setattr(owner, name, lambda *a, **kw: calls.append(a) or original(*a, **kw))
    assert python_connect.parse_connect_token(TOKEN + "\n").api_key == "k"
    in_python = len(calls)
    # 3.15's urlsafe_b64decode no longer goes through b64decode; every other
    # piece is called once by the Python steps.
    assert in_python == (0 if name == "b64decode" and sys.version_info >= (3, 15) else 1)
    calls.clear()
    assert connect_mod.parse_connect_token(TOKEN + "\n").api_key == "k"
    assert len(calls) == in_python


def standard_alphabet_token(char):
    """A token written in the standard alphabet, with `char` ("+" or "/") in it."""
    for n in range(64):
        text = base64.b64encode(json.dumps({"endpoint": "https://e.test", "api_key": "k" + "~?" * n}).encode())
        if char in text.decode():
            return "vorel_ct_" + text.decode().rstrip("=")
    raise AssertionError(f"no token with {char!r}")


@pytest.mark.parametrize("char", ["+", "/"])
def test_standard_alphabet_characters_decode_as_the_stdlib_does(char, recwarn):
    # The urlsafe decoder reads "+" and "/" too; from 3.15 on it warns that
    # they will be dropped, and the parse must warn alike.
    token = standard_alphabet_token(char)
    native = outcome(token)
    assert native[1].startswith("k~?")  # decoded: the characters are data
    native_warnings = [(w.category, str(w.message)) for w in recwarn]
    recwarn.clear()
    assert outcome_of(python_connect.parse_connect_token, token) == native
    assert [(w.category, str(w.message)) for w in recwarn] == native_warnings
    assert bool(native_warnings) is (sys.version_info >= (3, 15))


def test_replaced_default_decoder_is_used(monkeypatch):
    hooked = json.JSONDecoder(object_hook=lambda obj: {**obj, "api_key": "hooked"})
    monkeypatch.setattr(json, "_default_decoder", hooked)
    assert connect_mod.parse_connect_token(TOKEN).api_key == "hooked"


def test_unpatched_stdlib_runs_no_python_frame():
    frames, _ = python_frames(lambda: connect_mod.parse_connect_token(TOKEN))
    called = {q.rsplit(".", 1)[-1] for q in frames}
    assert "from_dict" in called
    assert not called & {"urlsafe_b64decode", "b64decode", "loads", "decode", "raw_decode"}
