import pytest

from support.fakes import CoreSDK


@pytest.fixture
def core(monkeypatch):
    """The signing core and the core SDK's key_scope."""
    return CoreSDK().install(monkeypatch, "vorel.decorators", "vorel_core")
