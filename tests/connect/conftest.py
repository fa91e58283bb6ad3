"""Fixtures of the connect tests: a clean VOREL_* environment and a fake cloud."""

from support.fakes import clean_vorel_env, connect_cloud  # noqa: F401
