"""The command-line tests share the connect tests' fakes and fixtures."""

from support.fakes import clean_vorel_env, connect_cloud  # noqa: F401
