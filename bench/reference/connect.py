"""Plain-Python rendering of vorel_cloud.connect's token functions (benchmark baseline)."""

import base64
import json
import logging
import os
from typing import Any, List, Optional, Union

from vorel_cloud.client import AsyncVorelCloudClient, VorelCloudClient
from vorel_cloud.exceptions import AuthenticationError, VorelCloudError
from vorel_cloud.models import BootstrapCheck, BootstrapReport, ClaimAgentResult, ConnectConfig, ConnectTokenPayload

logger = logging.getLogger("vorel_cloud.connect")

_CONNECT_PREFIX = "vorel_ct_"
_ENV_CONNECT_TOKEN = "VOREL_CONNECT_TOKEN"
_ENV_API_KEY = "VOREL_API_KEY"
_ENV_CONTROL_PLANE_URL = "VOREL_CONTROL_PLANE_URL"
_DEFAULT_API_BASE_URL = "https://api.vorel.cloud"


def parse_connect_token(token):
    if not token.startswith(_CONNECT_PREFIX):
        raise VorelCloudError(f"invalid connect token: expected prefix {_CONNECT_PREFIX!r}")
    # A token read from a .env file or a mounted secret often ends in a line
    # break: no part of the encoding, and it must not count towards the fill.
    encoded = token[len(_CONNECT_PREFIX) :].rstrip(" \t\n\r\x0b\x0c")
    pad = "=" * (-len(encoded) % 4)
    try:
        raw = base64.urlsafe_b64decode(encoded + pad)
    except Exception as e:
        raise VorelCloudError(f"invalid connect token encoding: {e}") from e
    try:
        data = json.loads(raw.decode("utf-8"))
    except Exception as e:
        raise VorelCloudError(f"invalid connect token JSON: {e}") from e
    payload = ConnectTokenPayload.from_dict(data)
    if not payload.endpoint or not payload.api_key:
        raise VorelCloudError("incomplete connect token: endpoint and api_key are required")
    return payload


def connect_config_from_token(token):
    payload = parse_connect_token(token)
    return ConnectConfig(
        api_base_url=payload.endpoint.rstrip("/"),
        api_key=payload.api_key,
        agent_id=payload.agent_id or None,
        registration_token=payload.registration_token or None,
    )


def apply_connect_config(config, *, overwrite=False):
    env_map = {_ENV_API_KEY: config.api_key, _ENV_CONTROL_PLANE_URL: config.api_base_url}
    if config.agent_id:
        env_map["VOREL_AGENT_ID"] = config.agent_id
    for key, value in env_map.items():
        if overwrite or not os.environ.get(key):
            os.environ[key] = value
