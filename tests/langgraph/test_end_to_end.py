"""A real LangGraph graph gated by the cloud: VorelToolNode from vorel_cloud.langgraph,
the real HTTP client and the local control plane on loopback. No model: the
agent step is a scripted AIMessage that calls the gated tool."""

from __future__ import annotations

import asyncio
import logging

import pytest

pytest.importorskip("langgraph")

from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.tools import tool
from langgraph.graph import END, START, MessagesState, StateGraph
from vorel_core import SigningKey

import vorel_cloud.client
import vorel_cloud.langgraph as lg
from vorel_cloud.testing import vorel_dev_server, vorel_dev_server_factory  # noqa: F401


@pytest.fixture
def sent():
    return []


def gated_graph(sent, vorel_dev_server, **node_options):  # noqa: F811
    @tool
    def send_email(to: str, subject: str) -> str:
        """Send an email."""
        sent.append((to, subject))
        return f"sent '{subject}' to {to}"

    def agent(state: MessagesState) -> dict:
        call = {"name": "send_email", "args": {"to": "cfo@example.com", "subject": "Q3"}, "id": "call-1"}
        return {"messages": [AIMessage(content="", tool_calls=[call])]}

    node = lg.VorelToolNode(
        [send_email],
        signing_key=SigningKey.generate(),
        warrant_id="w-e2e",
        trusted_approvers=[vorel_dev_server.approver_key],
        **node_options,
    )
    builder = StateGraph(MessagesState)
    builder.add_node("agent", agent)
    builder.add_node("tools", node)
    builder.add_edge(START, "agent")
    builder.add_edge("agent", "tools")
    builder.add_edge("tools", END)
    return builder.compile()


@pytest.fixture
def graph(sent, vorel_dev_server):  # noqa: F811
    handler = lg.langgraph_cloud_approval(
        vorel_dev_server.api_key,
        base_url=vorel_dev_server.base_url,
        dashboard_url=vorel_dev_server.base_url + "/",
        poll_interval=0.02,
        timeout=20,
    )
    return gated_graph(sent, vorel_dev_server, approval_handler=handler)


def run(graph) -> ToolMessage:
    out = asyncio.run(graph.ainvoke({"messages": []}))
    (reply,) = [m for m in out["messages"] if isinstance(m, ToolMessage)]
    return reply


@pytest.mark.parametrize("decision", ["approve", "deny"])
def test_gated_tool_runs_only_after_cloud_approval(graph, sent, vorel_dev_server, caplog, decision):  # noqa: F811
    assert lg.AsyncVorelCloudClient is vorel_cloud.client.AsyncVorelCloudClient
    if decision == "approve":
        vorel_dev_server.auto_approve(after_polls=2)
    else:
        vorel_dev_server.auto_deny("not during the quiet period", after_polls=2)
    with caplog.at_level(logging.INFO, logger="vorel_cloud.langgraph"):
        reply = run(graph)

    (request,) = vorel_dev_server.requests()
    assert (request["tool"], request["warrant_id"], request["idempotency_key"]) == ("send_email", "w-e2e", "call-1")
    assert request["metadata"] == {"to": "cfo@example.com", "subject": "Q3"}
    link = f"{vorel_dev_server.base_url}/approvals?request={request['id']}"
    logged = [r.getMessage() for r in caplog.records if r.name == "vorel_cloud.langgraph"]
    assert logged[0] == f"approval gate for 'send_email' - request {request['id']} - {link}"

    if decision == "approve":
        assert request["status"] == "approved"
        assert sent == [("cfo@example.com", "Q3")]
        assert reply.content == "sent 'Q3' to cfo@example.com" and reply.status == "success"
        assert logged[1:] == [f"approval granted for 'send_email' (request {request['id']})"]
    else:
        assert request["status"] == "denied"
        assert sent == []
        assert reply.status == "error"
        assert reply.content == "Tool call 'send_email' was denied: not during the quiet period"
        assert logged[1:] == []


def test_after_connect_the_auto_wired_node_uses_the_token_endpoint(sent, vorel_dev_server, monkeypatch):  # noqa: F811
    from vorel_cloud.connect import connect

    for name in ("VOREL_API_KEY", "VOREL_CONTROL_PLANE_URL", "VOREL_AGENT_ID"):
        monkeypatch.setenv(name, "")  # empty lets connect() export; restored afterwards
    connect(vorel_dev_server.connect_token, claim=False).close()
    vorel_dev_server.auto_approve(after_polls=1)  # decided on the first poll: no 3 s poll interval
    reply = run(gated_graph(sent, vorel_dev_server))
    assert reply.status == "success" and sent == [("cfo@example.com", "Q3")]
    assert [r["status"] for r in vorel_dev_server.requests()] == ["approved"]
