"""The command-line tests share the connect tests' fakes and fixtures."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "connect"))

from connect_fakes import clean_env, cloud  # noqa: E402,F401
