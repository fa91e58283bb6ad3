"""Local control plane for development and tests (``vorel-cloud dev``).

It serves the same HTTP contract as the hosted control plane, an approval
dashboard at ``/approvals``, and can script decisions and failures for tests.
Needs the ``dev`` extra (Starlette, uvicorn, python-multipart).
"""

from .clock import Clock
from .plane import SCOPES, ApiError, ControlPlane, DecisionScript, Fault
from .server import Agent, DevServer, make_connect_token

__all__ = [
    "SCOPES",
    "Agent",
    "ApiError",
    "Clock",
    "ControlPlane",
    "DecisionScript",
    "DevServer",
    "Fault",
    "make_connect_token",
]
