import pytest

from . import fakes


@pytest.fixture
def core_modules(monkeypatch):
    fakes.install(monkeypatch)
    return fakes
