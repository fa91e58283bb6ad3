"""Fixtures of the LangGraph handler tests.

``cloud`` patches the names the handler looks up at each call: the async
client (a scripted fake), the payload builder, the ``asyncio`` the handler
sees (whose running loop has a clock that only sleeping moves) and the
signed-approval decoder of ``vorel_cloud.approval`` (see
`support.fakes.LangGraphCloud`).
"""

from __future__ import annotations

import pytest

from support.fakes import LangGraphCloud


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in ("VOREL_API_KEY", "VOREL_APPROVAL_TIMEOUT", "VOREL_DASHBOARD_URL", "VOREL_CONTROL_PLANE_URL"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def cloud(monkeypatch: pytest.MonkeyPatch) -> LangGraphCloud:
    return LangGraphCloud(monkeypatch)


@pytest.fixture
def quiet_cloud(monkeypatch: pytest.MonkeyPatch) -> LangGraphCloud:
    """The same fake cloud without its records, which would grow over leak-check runs."""
    return LangGraphCloud(monkeypatch, record=False)
