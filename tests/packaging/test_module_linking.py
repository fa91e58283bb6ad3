"""The product modules load with little for the dynamic linker to do (the
interpreter loads extensions with RTLD_NOW, so every symbol an extension
exports is paid for at import), and they ask nothing of glibc that an old
distribution lacks, so the repaired wheel keeps a widely installable tag."""

from __future__ import annotations

import os
import re
import shutil
import subprocess

import pytest

import vorel_cloud

MODULES = ("parvex", "approval", "connect", "langgraph")


def dynamic(path: str, what: str) -> str:
    return subprocess.run(["readelf", "--wide", what, path], capture_output=True, text=True, check=True).stdout


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_init_and_needs_an_old_glibc(name):
    module = __import__(f"vorel_cloud.{name}", fromlist=["_"])
    if "asan" in (module.__file__ or "") or "build-asan" in vorel_cloud.__file__:
        pytest.skip("the sanitizer build links the C++ runtime dynamically on purpose")
    wanted = set(re.findall(r"GLIBC_(\d+)\.(\d+)", dynamic(module.__file__, "--version-info")))
    assert max((int(a), int(b)) for a, b in wanted) <= (2, 17), sorted(wanted)
    exported = {
        line.split()[-1].split("@")[0]
        for line in dynamic(module.__file__, "--dyn-syms").splitlines()
        if " UND " not in line and (" FUNC " in line or " OBJECT " in line) and " GLOBAL " in line
    }
    assert exported == {f"PyInit_{name}"}


# The compiler and C++ library each leg builds with: g++ and libstdc++, except
# in the clang leg (scripts/test-clang.sh), which says so. An in-place g++
# module loaded there by mistake, or a clang build that still linked libstdc++
# (clang's default on Linux), fails here.
CXX_RUNTIMES = {
    # the library the module needs, the other one, and whether clang built it against libc++ (then the
    # module imports libc++'s std::__1 symbols and .comment carries clang's mark)
    "libstdc++": ("libstdc++.so.6", "libc++.so.1", False),
    "libc++": ("libc++.so.1", "libstdc++.so.6", True),
}


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
@pytest.mark.parametrize("name", MODULES)
def test_module_is_built_by_the_leg_s_compiler_against_its_cxx_library(name):
    wanted, other, clang = CXX_RUNTIMES[os.environ.get("VOREL_CXX_RUNTIME", "libstdc++")]
    path = __import__(f"vorel_cloud.{name}", fromlist=["_"]).__file__
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dynamic(path, "--dynamic")))
    assert wanted in needed and other not in needed, sorted(needed)
    imported = [line.split()[-1] for line in dynamic(path, "--dyn-syms").splitlines() if " UND " in line]
    assert any(symbol.startswith("_ZNSt3__1") for symbol in imported) == clang, imported
    assert ("clang version" in dynamic(path, "--string-dump=.comment")) == clang
