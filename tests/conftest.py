"""Suite-wide settings: the helpers in tests/support are importable as `support`."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__)))
