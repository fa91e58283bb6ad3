"""End-to-end fixtures: the local control plane on loopback, an agent key, attested requests.

Everything here talks real HTTP to a server started by ``vorel_cloud.testing``;
nothing is mocked.
"""

from __future__ import annotations

from typing import Any, Callable

import pytest

from e2e_support import Background
from support.fakes import clean_vorel_env  # noqa: F401  (no VOREL_* variable leaks into a test or out of it)
from vorel_cloud.testing import pytest_configure, vorel_dev_server, vorel_dev_server_factory  # noqa: F401


@pytest.fixture
def agent_key():
    """The agent's (holder's) signing key: it attests the approval requests."""
    from vorel_core import SigningKey

    return SigningKey.generate()


@pytest.fixture
def make_request(agent_key) -> Callable[..., Any]:
    """An attested ``vorel.approval.ApprovalRequest`` for one tool call, as a gate builds it."""
    from vorel.approval import build_approval_request

    def make(tool: str = "send_email", arguments: Any = None, **options: Any) -> Any:
        options.setdefault("warrant_id", "w-e2e")
        options.setdefault("signing_key", agent_key)
        return build_approval_request(tool, {"to": "bob@example.com"} if arguments is None else arguments, **options)

    return make


@pytest.fixture
def background():
    return Background
