"""The runtime layer's test module lives in the build folder, not the package."""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The legs on a build of their own (another interpreter, the sanitizer and
# clang builds) name its folder.
BUILD = os.environ.get("VOREL_BUILD_DIR") or os.path.join(ROOT, "build")
sys.path.insert(0, os.path.join(BUILD, "testing"))
