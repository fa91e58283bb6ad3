"""Core SDK: approval gates for agent tool calls, bound to warrants.

This package is a small local stand-in for the separately distributed core
SDK, serving the cloud add-on's tests and demo. The LangGraph integration
lives in ``vorel.langgraph`` and is imported only on demand.
"""

from .approval import ApprovalDenied, ApprovalGate, ApprovalRequest, build_approval_request, check_approvals
from .cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from .decorators import bound_key, current_warrant, guard, key_scope, warrant_scope

__all__ = [
    "ApprovalDenied",
    "ApprovalGate",
    "ApprovalRequest",
    "ControlPlaneApprovalResponseV1",
    "bound_key",
    "build_approval_request",
    "check_approvals",
    "current_warrant",
    "guard",
    "key_scope",
    "signed_approvals_from_response",
    "warrant_scope",
]
