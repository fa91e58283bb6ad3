"""Approval gates on real LangGraph graphs (no model: the tool calls are scripted)."""

from __future__ import annotations

import asyncio

import pytest

pytest.importorskip("langgraph")

from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.tools import tool
from langgraph.graph import END, START, MessagesState, StateGraph
from vorel.approval import ApprovalDenied
from vorel.decorators import warrant_scope
from vorel.langgraph import VorelMiddleware, VorelToolNode
from vorel_core import SignedApproval, SigningKey, verify_approval_context_attestation

HOLDER = SigningKey.from_hex("77" * 32)
APPROVER = SigningKey.from_hex("88" * 32)


class Recorder:
    """Tools that record their runs, and handlers that record what they were asked."""

    def __init__(self):
        self.ran: list[tuple[str, dict]] = []
        self.asked: list = []

        @tool
        def send_email(to: str) -> str:
            """Send an email."""
            self.ran.append(("send_email", {"to": to}))
            return f"sent to {to}"

        @tool
        def read_inbox() -> str:
            """Read the inbox."""
            self.ran.append(("read_inbox", {}))
            return "2 messages"

        self.tools = [send_email, read_inbox]

    async def approve(self, request):
        self.asked.append(request)
        await asyncio.sleep(0)
        return SignedApproval.create(
            APPROVER, request_hash=request.request_hash, warrant_id=request.warrant_id, tool=request.tool
        )

    async def deny(self, request):
        self.asked.append(request)
        raise ApprovalDenied(request, reason="reviewer declined")


def run_graph(node, *calls, use_async=True):
    graph = StateGraph(MessagesState)
    graph.add_node("tools", node)
    graph.add_edge(START, "tools")
    graph.add_edge("tools", END)
    app = graph.compile()
    message = AIMessage(
        content="",
        tool_calls=[{"name": name, "args": args, "id": f"call-{i}"} for i, (name, args) in enumerate(calls)],
    )
    state = {"messages": [message]}
    out = asyncio.run(app.ainvoke(state)) if use_async else app.invoke(state)
    return {m.tool_call_id: m for m in out["messages"] if isinstance(m, ToolMessage)}


@pytest.mark.parametrize("use_async", [True, False], ids=["ainvoke", "invoke"])
def test_tool_node_runs_an_approved_call(use_async):
    rec = Recorder()
    node = VorelToolNode(
        rec.tools,
        approval_handler=rec.approve,
        signing_key=HOLDER,
        warrant_id="w-1",
        trusted_approvers=[APPROVER.public_key],
    )
    results = run_graph(node, ("send_email", {"to": "bob"}), use_async=use_async)
    assert results["call-0"].content == "sent to bob"
    assert rec.ran == [("send_email", {"to": "bob"})]
    (request,) = rec.asked
    assert (request.tool, request.arguments, request.request_id, request.warrant_id) == (
        "send_email",
        {"to": "bob"},
        "call-0",
        "w-1",
    )
    assert (
        verify_approval_context_attestation(request.approval_context_attestation, request.args_canonical_cbor_b64)
        == request.request_hash
    )


@pytest.mark.parametrize("use_async", [True, False], ids=["ainvoke", "invoke"])
def test_tool_node_refuses_a_denied_call(use_async):
    rec = Recorder()
    node = VorelToolNode(rec.tools, approval_handler=rec.deny, signing_key=HOLDER)
    results = run_graph(node, ("send_email", {"to": "bob"}), use_async=use_async)
    assert rec.ran == []
    message = results["call-0"]
    assert message.status == "error"
    assert message.content == "Tool call 'send_email' was denied: reviewer declined"


def test_only_gated_tools_wait_for_approval():
    rec = Recorder()
    node = VorelToolNode(rec.tools, approval_handler=rec.deny, gated_tools=["send_email"], signing_key=HOLDER)
    results = run_graph(node, ("read_inbox", {}), ("send_email", {"to": "bob"}))
    assert rec.ran == [("read_inbox", {})]
    assert [r.tool for r in rec.asked] == ["send_email"]
    assert results["call-0"].content == "2 messages"
    assert results["call-1"].status == "error"


@pytest.mark.parametrize(
    "answer, reason",
    [
        (
            lambda r: SignedApproval.create(APPROVER, request_hash=b"\x00" * 32, warrant_id=r.warrant_id, tool=r.tool),
            "different request",
        ),
        (lambda r: "ok", "not a SignedApproval"),
    ],
    ids=["approval for another call", "not an approval"],
)
def test_an_answer_that_does_not_approve_this_call_is_a_denial(answer, reason):
    rec = Recorder()

    async def handler(request):
        return answer(request)

    node = VorelToolNode(rec.tools, approval_handler=handler, signing_key=HOLDER)
    results = run_graph(node, ("send_email", {"to": "bob"}))
    assert rec.ran == []
    assert reason in results["call-0"].content


def test_no_handler_means_gated_calls_are_denied():
    rec = Recorder()
    results = run_graph(VorelToolNode(rec.tools), ("send_email", {"to": "bob"}))
    assert rec.ran == [] and "no approval handler" in results["call-0"].content


def test_warrant_scope_around_the_graph_reaches_the_gate():
    rec = Recorder()
    node = VorelToolNode(rec.tools, approval_handler=rec.approve)

    async def main():
        with warrant_scope("w-scoped", signing_key=HOLDER):
            graph = StateGraph(MessagesState)
            graph.add_node("tools", node)
            graph.add_edge(START, "tools")
            graph.add_edge("tools", END)
            msg = AIMessage(content="", tool_calls=[{"name": "send_email", "args": {"to": "x"}, "id": "c"}])
            return await graph.compile().ainvoke({"messages": [msg]})

    asyncio.run(main())
    assert [(r.warrant_id, r.holder_key) for r in rec.asked] == [("w-scoped", HOLDER.public_key.to_bytes())]
    assert rec.ran == [("send_email", {"to": "x"})]


def test_a_callers_wrapper_runs_inside_the_gate():
    rec = Recorder()
    wrapped = []

    async def awrap(request, execute):
        wrapped.append(request.tool_call["name"])
        return await execute(request)

    node = VorelToolNode(
        rec.tools, approval_handler=rec.deny, gated_tools="send_email", signing_key=HOLDER, awrap_tool_call=awrap
    )
    run_graph(node, ("send_email", {"to": "bob"}), ("read_inbox", {}))
    assert wrapped == ["read_inbox"]


def test_subclass_built_with_the_base_metaclass_keeps_the_gate():
    """The cloud package derives same-named subclasses this way and forwards (tools, **kwargs)."""
    rec = Recorder()

    def __init__(self, tools, **kwargs):
        kwargs.setdefault("approval_handler", rec.deny)
        super(cls, self).__init__(tools, **kwargs)

    cls = type(VorelToolNode)("VorelToolNode", (VorelToolNode,), {"__init__": __init__})
    results = run_graph(cls(rec.tools, signing_key=HOLDER), ("send_email", {"to": "bob"}))
    assert rec.ran == [] and results["call-0"].status == "error"

    mw_cls = type(VorelMiddleware)("VorelMiddleware", (VorelMiddleware,), {})
    assert mw_cls(approval_handler=rec.deny).approval_handler == rec.deny


@pytest.mark.parametrize("decide", ["approve", "deny"])
def test_middleware_in_an_agent(decide):
    from langchain.agents import create_agent
    from langchain_core.language_models.fake_chat_models import FakeMessagesListChatModel

    class ScriptedModel(FakeMessagesListChatModel):
        def bind_tools(self, tools, **kwargs):
            return self

    rec = Recorder()
    model = ScriptedModel(
        responses=[
            AIMessage(content="", tool_calls=[{"name": "send_email", "args": {"to": "bob"}, "id": "c1"}]),
            AIMessage(content="done"),
        ]
    )
    middleware = VorelMiddleware(getattr(rec, decide), signing_key=HOLDER, warrant_id="w-agent")
    agent = create_agent(model, rec.tools, middleware=[middleware])
    out = asyncio.run(agent.ainvoke({"messages": [("user", "mail bob")]}))
    (tool_message,) = [m for m in out["messages"] if isinstance(m, ToolMessage)]
    if decide == "approve":
        assert rec.ran == [("send_email", {"to": "bob"})] and tool_message.content == "sent to bob"
    else:
        assert rec.ran == [] and "was denied: reviewer declined" in tool_message.content
    assert out["messages"][-1].content == "done"


def test_module_import_fails_cleanly_without_langgraph(monkeypatch):
    import importlib
    import sys

    monkeypatch.setitem(sys.modules, "langgraph.prebuilt", None)
    monkeypatch.delitem(sys.modules, "vorel.langgraph")
    with pytest.raises(ImportError, match=r"vorel\[langgraph\]"):
        importlib.import_module("vorel.langgraph")
