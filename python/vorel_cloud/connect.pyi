"""Quick Connect bootstrap, agent claim and doctor() diagnostics for Vorel Cloud."""

import logging
from typing import Final, Literal, overload

from .client import AsyncVorelCloudClient, VorelCloudClient
from .exceptions import AuthenticationError as AuthenticationError
from .exceptions import ConfigurationError as ConfigurationError
from .exceptions import VorelCloudError as VorelCloudError
from .models import BootstrapCheck, BootstrapReport, ClaimAgentResult, ConnectConfig, ConnectTokenPayload

_CONNECT_PREFIX: Final[str]
_ENV_CONNECT_TOKEN: Final[str]
_ENV_API_KEY: Final[str]
_ENV_CONTROL_PLANE_URL: Final[str]
_DEFAULT_API_BASE_URL: Final[str]
logger: logging.Logger

def parse_connect_token(token: str) -> ConnectTokenPayload: ...
def connect_config_from_token(token: str) -> ConnectConfig: ...
def apply_connect_config(config: ConnectConfig, *, overwrite: bool = False) -> None: ...
@overload
def connect(
    token: str | None = None,
    *,
    public_key_hex: str | None = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: Literal[False] = False,
    verify: bool = False,
) -> VorelCloudClient: ...
@overload
def connect(
    token: str | None = None,
    *,
    public_key_hex: str | None = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: Literal[True],
    verify: bool = False,
) -> AsyncVorelCloudClient: ...
@overload
def connect(
    token: str | None = None,
    *,
    public_key_hex: str | None = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: bool = False,
    verify: bool = False,
) -> VorelCloudClient | AsyncVorelCloudClient: ...
def claim_agent(
    client: VorelCloudClient, *, agent_id: str, public_key_hex: str, registration_token: str
) -> ClaimAgentResult: ...
def doctor(
    token: str | None = None,
    *,
    api_key: str | None = None,
    base_url: str | None = None,
    public_key_hex: str | None = None,
    claim: bool = False,
    apply_env: bool = False,
) -> BootstrapReport: ...
def _resolve_public_key_hex() -> str | None: ...
def _resolve_doctor_config(
    token: str | None, *, api_key: str | None, base_url: str | None, checks: list[BootstrapCheck]
) -> ConnectConfig: ...
def _probe_health(client: VorelCloudClient, checks: list[BootstrapCheck]) -> None: ...
def _probe_tenant(client: VorelCloudClient, checks: list[BootstrapCheck]) -> None: ...
def _probe_approval_policies(client: VorelCloudClient, checks: list[BootstrapCheck]) -> None: ...
def _probe_agent_claim(
    client: VorelCloudClient,
    config: ConnectConfig,
    *,
    public_key_hex: str | None,
    claim: bool,
    checks: list[BootstrapCheck],
) -> ClaimAgentResult | None: ...
def _report(
    config: ConnectConfig, checks: list[BootstrapCheck], *, claimed_agent: ClaimAgentResult | None = None
) -> BootstrapReport: ...
