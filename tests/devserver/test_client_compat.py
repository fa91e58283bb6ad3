"""The package's own client against the local control plane."""

import hashlib

import pytest
from vorel_core import SignedApproval

from vorel_cloud.exceptions import AuthenticationError, ConflictError, PermissionDeniedError


def test_client_creates_polls_through_faults_and_reads_the_approval(vorel_dev_server):
    vorel_dev_server.auto_approve(after_polls=2)
    fields = dict(
        warrant_id="w-client",
        tool="send_email",
        request_hash=hashlib.sha256(b"client").digest(),
        holder_key=hashlib.sha256(b"holder").digest(),
        args_canonical_cbor_b64="oA==",
        approval_context_attestation={"version": 1},
        approver_keys=[vorel_dev_server.approver.public_key.to_bytes()],
        idempotency_key="client-1",
    )
    with vorel_dev_server.client(max_retries=2) as client:
        created = client.create_request(**fields)
        assert client.create_request(**fields)["id"] == created["id"]
        assert created["request_hash"] == fields["request_hash"].hex()

        vorel_dev_server.rate_limit(times=1, retry_after=0, op="get")
        vorel_dev_server.fail(times=1, op="get", retry_after=0)
        assert client.get_request(created["id"])["status"] == "pending"  # retried past 429 and 503
        done = client.get_request(created["id"])
        assert done["status"] == "approved"
        approval = SignedApproval.from_bytes(bytes.fromhex(done["responses"][0]["signed_approval"]))
        approval.verify(fields["request_hash"], trusted_approvers=[vorel_dev_server.approver_key])

        with pytest.raises(ConflictError):
            client.create_request(**dict(fields, tool="other"))
        vorel_dev_server.revoke_api_key()
        with pytest.raises(AuthenticationError) as err:
            client.get_tenant()
        assert err.value.status_code == 401 and not isinstance(err.value, PermissionDeniedError)
