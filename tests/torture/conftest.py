import pytest

from support.fakes import CoreSDK


@pytest.fixture
def core_modules(monkeypatch):
    """The core SDK's approval modules; the decoder hands the base64 texts back,
    so an approval is the text itself ("00ff" -> "AP8=")."""
    return CoreSDK(signed=lambda text: text).install(monkeypatch, "vorel.approval", "vorel.cp_approval")
