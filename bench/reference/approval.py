"""Plain-Python rendering of vorel_cloud.approval (benchmark baseline)."""

import asyncio
import logging
import time
from typing import Any, Dict, List, Optional, Union

from vorel_cloud.client import AsyncVorelCloudClient, VorelCloudClient
from vorel_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    VorelCloudError,
)

from .parvex import build_approval_request_payload

logger = logging.getLogger("vorel_cloud.approval")


def _poll_until_resolved(client, request_id, *, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        sleep_time = remaining if remaining < poll_interval else poll_interval
        logger.debug("approval still pending, polling again", extra={"request_id": request_id, "sleep": sleep_time})
        time.sleep(sleep_time)


async def _async_poll_until_resolved(client, request_id, *, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = await client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        sleep_time = remaining if remaining < poll_interval else poll_interval
        logger.debug("approval still pending, polling again", extra={"request_id": request_id, "sleep": sleep_time})
        await asyncio.sleep(sleep_time)


def _extract_signed_approvals(result):
    responses = result.get("responses", [])
    if not responses:
        raise VorelCloudError("approved request has no approval responses")
    import base64
    from vorel.cp_approval import ControlPlaneApprovalResponseV1
    from vorel.cp_approval import signed_approvals_from_response
    import re

    hex_re = re.compile("^[0-9a-fA-F]+$")
    signed_b64 = []
    for r in responses:
        raw = r.get("signed_approval")
        if not raw:
            continue
        if hex_re.match(raw) and len(raw) % 2 == 0:
            try:
                signed_b64.append(base64.b64encode(bytes.fromhex(raw)).decode("ascii"))
                continue
            except (ValueError, TypeError):
                pass
        try:
            base64.b64decode(raw, validate=True)
        except Exception:
            raise VorelCloudError("malformed signed_approval in cloud response: not valid hex or base64")
        signed_b64.append(raw)
    response = ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=signed_b64 or None)
    approvals = signed_approvals_from_response(response)
    if not approvals:
        raise VorelCloudError("approved request has no approval responses")
    if len(approvals) == 1:
        return approvals[0]
    return approvals


def cloud_approval(api_key, *, signing_key=None, base_url="https://api.vorel.cloud", poll_interval=2.0, timeout=300.0):
    def _handle(request):
        from vorel.approval import ApprovalDenied

        payload = build_approval_request_payload(request, signing_key=signing_key)
        client = VorelCloudClient(api_key, base_url=base_url)
        try:
            created = client.create_request(**payload.to_create_request_kwargs())
            request_id = created["id"]
            logger.info("approval request created in cloud", extra={"request_id": request_id, "tool": request.tool})
            result = _poll_until_resolved(client, request_id, poll_interval=poll_interval, timeout=timeout)
            status = result["status"]
            if status == "approved":
                return _extract_signed_approvals(result)
            if status == "denied":
                raise ApprovalDenied(request, reason=result.get("denied_reason") or "denied in Vorel Cloud")
            if status == "expired":
                raise ApprovalDenied(request, reason="approval request expired")
            raise ApprovalDenied(request, reason=f"unexpected status: {status}")
        except (ApprovalDeniedError, ApprovalExpiredError) as e:
            raise ApprovalDenied(request, reason=str(e)) from e
        except ApprovalTimeoutError:
            raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval")
        finally:
            client.close()

    return _handle


def async_cloud_approval(
    api_key, *, signing_key=None, base_url="https://api.vorel.cloud", poll_interval=2.0, timeout=300.0
):
    import concurrent.futures

    async def _core(request):
        from vorel.approval import ApprovalDenied

        payload = build_approval_request_payload(request, signing_key=signing_key)
        client = AsyncVorelCloudClient(api_key, base_url=base_url)
        try:
            created = await client.create_request(**payload.to_create_request_kwargs())
            request_id = created["id"]
            logger.info("approval request %s created for %s", request_id, request.tool)
            result = await _async_poll_until_resolved(client, request_id, poll_interval=poll_interval, timeout=timeout)
            status = result["status"]
            if status == "approved":
                return _extract_signed_approvals(result)
            if status == "denied":
                raise ApprovalDenied(request, reason=result.get("denied_reason") or "denied in Vorel Cloud")
            if status == "expired":
                raise ApprovalDenied(request, reason="approval request expired")
            raise ApprovalDenied(request, reason=f"unexpected status: {status}")
        except (ApprovalDeniedError, ApprovalExpiredError) as e:
            raise ApprovalDenied(request, reason=str(e)) from e
        except ApprovalTimeoutError:
            raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval")
        finally:
            await client.close()

    async def _handle(request):
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
                return pool.submit(asyncio.run, _core(request)).result()
        return await _core(request)

    return _handle


def _build_temporal_approval_idempotency_key(request, *, workflow_id="", workflow_run_id="", activity_id=""):
    tool = str(getattr(request, "tool", ""))
    source = "|".join([tool, workflow_id, workflow_run_id, activity_id])
    import hashlib

    return "appr_" + hashlib.sha256(source.encode("utf-8")).hexdigest()


def _extract_temporal_heartbeat_request_id(details):
    if not details:
        return None
    entry = details[0] if isinstance(details, (list, tuple)) else details
    if isinstance(entry, dict):
        v = entry.get("approval_request_id")
        if isinstance(v, str) and v:
            return v
    v = getattr(entry, "approval_request_id", None)
    if isinstance(v, str) and v:
        return v
    return None
