"""The product modules load with little for the dynamic linker to do: the
interpreter loads extensions with RTLD_NOW, so every shared library an
extension needs and every symbol it exports is paid for at import."""

from __future__ import annotations

import shutil
import subprocess

import pytest

import vorel_cloud

MODULES = ("parvex", "approval", "connect", "langgraph")


def dynamic(path: str, what: str) -> str:
    return subprocess.run(["readelf", "--wide", what, path], capture_output=True, text=True, check=True).stdout


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
@pytest.mark.parametrize("name", MODULES)
def test_module_needs_no_cxx_runtime_and_exports_only_its_init(name):
    module = __import__(f"vorel_cloud.{name}", fromlist=["_"])
    if "asan" in (module.__file__ or "") or "build-asan" in vorel_cloud.__file__:
        pytest.skip("the sanitizer build links the C++ runtime dynamically on purpose")
    needed = [line for line in dynamic(module.__file__, "--dynamic").splitlines() if "(NEEDED)" in line]
    assert not [line for line in needed if "libstdc++" in line or "libgcc_s" in line], needed
    exported = {
        line.split()[-1].split("@")[0]
        for line in dynamic(module.__file__, "--dyn-syms").splitlines()
        if " UND " not in line and (" FUNC " in line or " OBJECT " in line) and " GLOBAL " in line
    }
    assert exported == {f"PyInit_{name}"}
