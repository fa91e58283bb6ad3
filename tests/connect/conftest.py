"""Fixtures of the connect tests: a clean VOREL_* environment and a fake cloud."""
from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from connect_fakes import Cloud  # noqa: E402
from vorel_cloud import connect as connect_mod  # noqa: E402


@pytest.fixture(autouse=True)
def clean_env():
    """Each test starts without VOREL_* variables and leaves the environment as it found it."""
    saved = dict(os.environ)
    for key in [k for k in os.environ if k.startswith("VOREL_")]:
        del os.environ[key]
    yield
    os.environ.clear()
    os.environ.update(saved)


@pytest.fixture
def cloud(monkeypatch):
    fake = Cloud()
    monkeypatch.setattr(connect_mod, "VorelCloudClient", fake.factory("sync"))
    monkeypatch.setattr(connect_mod, "AsyncVorelCloudClient", fake.factory("async"))
    return fake
