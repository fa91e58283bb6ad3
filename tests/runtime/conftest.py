"""The runtime layer's test module lives in the build folder, not the package."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = "build-asan" if os.environ.get("VOREL_SANITIZER") == "address" else "build"
sys.path.insert(0, os.path.join(ROOT, BUILD, "testing"))
