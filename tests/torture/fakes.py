"""Answers of the fake cloud and the fake core SDK shared by the torture tests."""
from __future__ import annotations

import sys
import types

PENDING = {"id": "r-1", "status": "pending"}
APPROVED = {"id": "r-1", "status": "approved", "responses": [{"signed_approval": "00ff"}]}
DENIED = {"id": "r-1", "status": "denied", "denied_reason": "no"}


class ApprovalDenied(Exception):
    def __init__(self, request, reason=""):
        super().__init__(reason)
        self.request = request
        self.reason = reason


def fake_core() -> dict[str, types.ModuleType]:
    """`vorel.approval` and `vorel.cp_approval` whose decoder hands the base64
    texts back, so an approval is the text itself ("00ff" -> "AP8=")."""
    vorel = types.ModuleType("vorel")
    approval = types.ModuleType("vorel.approval")
    approval.ApprovalDenied = ApprovalDenied
    cp = types.ModuleType("vorel.cp_approval")
    cp.ControlPlaneApprovalResponseV1 = lambda **kw: types.SimpleNamespace(**kw)
    cp.signed_approvals_from_response = lambda resp: list(resp.signed_approvals_b64 or [])
    vorel.approval, vorel.cp_approval = approval, cp
    return {"vorel": vorel, "vorel.approval": approval, "vorel.cp_approval": cp}


def install(monkeypatch) -> None:
    for name, mod in fake_core().items():
        monkeypatch.setitem(sys.modules, name, mod)
