"""Fixtures of the connect tests: a clean VOREL_* environment and a fake cloud."""
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from connect_fakes import clean_env, cloud  # noqa: E402,F401
