"""Quick Connect bootstrap, agent claim and doctor() diagnostics for Vorel Cloud."""

import logging
from typing import Final, List, Literal, Optional, Union, overload

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
    token: Optional[str] = None,
    *,
    public_key_hex: Optional[str] = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: Literal[False] = False,
    verify: bool = False,
) -> VorelCloudClient: ...
@overload
def connect(
    token: Optional[str] = None,
    *,
    public_key_hex: Optional[str] = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: Literal[True],
    verify: bool = False,
) -> AsyncVorelCloudClient: ...
@overload
def connect(
    token: Optional[str] = None,
    *,
    public_key_hex: Optional[str] = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: bool = False,
    verify: bool = False,
) -> Union[VorelCloudClient, AsyncVorelCloudClient]: ...
def claim_agent(
    client: VorelCloudClient, *, agent_id: str, public_key_hex: str, registration_token: str
) -> ClaimAgentResult: ...
def doctor(
    token: Optional[str] = None,
    *,
    api_key: Optional[str] = None,
    base_url: Optional[str] = None,
    public_key_hex: Optional[str] = None,
    claim: bool = False,
    apply_env: bool = False,
) -> BootstrapReport: ...
def _resolve_public_key_hex() -> Optional[str]: ...
def _resolve_doctor_config(
    token: Optional[str], *, api_key: Optional[str], base_url: Optional[str], checks: List[BootstrapCheck]
) -> ConnectConfig: ...
def _probe_health(client: VorelCloudClient, checks: List[BootstrapCheck]) -> None: ...
def _probe_tenant(client: VorelCloudClient, checks: List[BootstrapCheck]) -> None: ...
def _probe_approval_policies(client: VorelCloudClient, checks: List[BootstrapCheck]) -> None: ...
def _probe_agent_claim(
    client: VorelCloudClient,
    config: ConnectConfig,
    *,
    public_key_hex: Optional[str],
    claim: bool,
    checks: List[BootstrapCheck],
) -> Optional[ClaimAgentResult]: ...
def _report(
    config: ConnectConfig, checks: List[BootstrapCheck], *, claimed_agent: Optional[ClaimAgentResult] = None
) -> BootstrapReport: ...
