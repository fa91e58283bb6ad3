"""The runtime layer's test module lives in the build folder, not the package."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if os.environ.get("VOREL_SANITIZER") == "address":
    BUILD = os.path.join(ROOT, "build-asan")
else:
    # scripts/test-python.sh builds another interpreter's modules in a folder of their own.
    BUILD = os.environ.get("VOREL_BUILD_DIR") or os.path.join(ROOT, "build")
sys.path.insert(0, os.path.join(BUILD, "testing"))
