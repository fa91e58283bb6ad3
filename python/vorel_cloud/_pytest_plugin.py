"""The pytest plugin that pytest loads by itself where the package is installed.

It offers ``vorel_dev_server`` and ``vorel_dev_server_factory`` from
``vorel_cloud.testing``. pytest loads this module in every run of an
environment that has the package, also where the ``dev`` extra (the local
control plane's web server) is not installed: there the fixtures stay
defined and fail with the install command when a test asks for them, instead
of every test run of that environment failing at start-up.

Turn it off with ``pytest -p no:vorel_cloud.testing``.
"""

from __future__ import annotations

from typing import Any

import pytest

# What the local control plane imports from the `dev` extra.
_DEV_EXTRA_MODULES = frozenset({"starlette", "uvicorn", "multipart", "python_multipart"})

try:
    from vorel_cloud.testing import pytest_configure, vorel_dev_server, vorel_dev_server_factory
except ModuleNotFoundError as exc:
    if (exc.name or "").partition(".")[0] not in _DEV_EXTRA_MODULES:
        raise
    _missing = exc.name

    def pytest_configure(config: pytest.Config) -> None:
        config.addinivalue_line(
            "markers",
            "vorel_dev_server(**options): options of the local control plane started by the vorel_dev_server fixture",
        )

    def _needs_dev_extra() -> Any:
        pytest.fail(
            f"the vorel_dev_server fixtures need the local control plane's dependencies (module {_missing!r} "
            "is missing): pip install 'vorel_cloud[dev]'",
            pytrace=False,
        )

    @pytest.fixture
    def vorel_dev_server() -> Any:
        return _needs_dev_extra()

    @pytest.fixture
    def vorel_dev_server_factory() -> Any:
        return _needs_dev_extra()


__all__ = ["pytest_configure", "vorel_dev_server", "vorel_dev_server_factory"]
