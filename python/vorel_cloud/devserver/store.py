"""SQLite persistence of the local control plane.

One connection serves every thread: the API runs on the server's event loop
while tests and the dashboard's operator helpers call in from other threads,
and an in-memory database only exists inside the connection that made it.
A lock serialises all access; every unit of work runs in ``Store.tx()`` so a
decision (status change plus its response row) is written atomically.
"""

from __future__ import annotations

import json
import os
import sqlite3
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE IF NOT EXISTS settings (
    name  TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS api_keys (
    id         TEXT PRIMARY KEY,
    key_hash   TEXT NOT NULL UNIQUE,
    name       TEXT NOT NULL,
    scopes     TEXT NOT NULL,
    created_at REAL NOT NULL,
    revoked_at REAL
);
CREATE TABLE IF NOT EXISTS approvers (
    public_key TEXT PRIMARY KEY,
    name       TEXT NOT NULL,
    secret     TEXT NOT NULL,
    created_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS agents (
    id                 TEXT PRIMARY KEY,
    name               TEXT NOT NULL,
    registration_token TEXT NOT NULL,
    public_key         TEXT,
    status             TEXT NOT NULL,
    created_at         REAL NOT NULL,
    claimed_at         REAL
);
CREATE TABLE IF NOT EXISTS policies (
    id            TEXT PRIMARY KEY,
    name          TEXT NOT NULL,
    threshold     INTEGER NOT NULL,
    approver_keys TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS requests (
    seq             INTEGER PRIMARY KEY AUTOINCREMENT,
    id              TEXT NOT NULL UNIQUE,
    idempotency_key TEXT UNIQUE,
    fingerprint     TEXT NOT NULL,
    status          TEXT NOT NULL,
    tool            TEXT NOT NULL,
    warrant_id      TEXT NOT NULL,
    request_hash    TEXT NOT NULL,
    holder_key      TEXT NOT NULL,
    args_cbor_b64   TEXT NOT NULL,
    attestation     TEXT NOT NULL,
    metadata        TEXT,
    policy_id       TEXT,
    threshold       INTEGER NOT NULL,
    approver_keys   TEXT NOT NULL,
    ttl_seconds     INTEGER NOT NULL,
    created_at      REAL NOT NULL,
    expires_at      REAL NOT NULL,
    decided_at      REAL,
    denied_reason   TEXT,
    polls           INTEGER NOT NULL DEFAULT 0,
    script          TEXT
);
CREATE INDEX IF NOT EXISTS requests_status ON requests (status, seq);
CREATE TABLE IF NOT EXISTS responses (
    seq             INTEGER PRIMARY KEY AUTOINCREMENT,
    request_id      TEXT NOT NULL REFERENCES requests (id),
    approver_key    TEXT,
    decision        TEXT NOT NULL,
    signed_approval BLOB,
    decided_at      REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS responses_request ON responses (request_id, seq);
"""

# Columns of ``requests`` that hold JSON text rather than scalars.
_JSON_COLUMNS = ("attestation", "metadata", "approver_keys", "script")


class Store:
    """A SQLite file (or an in-memory database when ``path`` is None)."""

    def __init__(self, path: str | None = None) -> None:
        self.path = path
        if path is not None:
            _private_file(path)
        self._conn = sqlite3.connect(
            path if path is not None else ":memory:",
            check_same_thread=False,
            isolation_level=None,  # transactions are explicit, see tx()
        )
        self._conn.row_factory = sqlite3.Row
        self._lock = threading.RLock()
        self._depth = 0
        with self._lock:
            self._conn.execute("PRAGMA foreign_keys = ON")
            if path is not None:
                self._conn.execute("PRAGMA journal_mode = WAL")
                self._conn.execute("PRAGMA synchronous = NORMAL")
            version = self._conn.execute("PRAGMA user_version").fetchone()[0]
            if version > SCHEMA_VERSION:
                raise RuntimeError(
                    f"database {path!r} was written by a newer version "
                    f"(schema {version}, this server knows {SCHEMA_VERSION})"
                )
            self._conn.executescript(_SCHEMA)
            self._conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        if path is not None:
            # SQLite gives -wal and -shm the mode of the database; ones left by
            # an older run may still be readable by others.
            for suffix in ("-wal", "-shm"):
                if os.path.exists(path + suffix):
                    _private_file(path + suffix)

    def close(self) -> None:
        with self._lock:
            self._conn.close()

    @contextmanager
    def tx(self) -> Iterator[Store]:
        """Hold the lock and one transaction for the duration of the block.

        Nested use joins the outer transaction.
        """
        with self._lock:
            if self._depth:
                self._depth += 1
                try:
                    yield self
                finally:
                    self._depth -= 1
                return
            self._conn.execute("BEGIN IMMEDIATE")
            self._depth = 1
            try:
                yield self
            except BaseException:
                self._conn.execute("ROLLBACK")
                raise
            else:
                self._conn.execute("COMMIT")
            finally:
                self._depth = 0

    def _one(self, sql: str, params: tuple[Any, ...] = ()) -> sqlite3.Row | None:
        row: sqlite3.Row | None = self._conn.execute(sql, params).fetchone()
        return row

    def _all(self, sql: str, params: tuple[Any, ...] = ()) -> list[sqlite3.Row]:
        return self._conn.execute(sql, params).fetchall()

    # -- settings ------------------------------------------------------------
    def get_setting(self, name: str) -> str | None:
        row = self._one("SELECT value FROM settings WHERE name = ?", (name,))
        return None if row is None else row["value"]

    def set_setting(self, name: str, value: str) -> None:
        self._conn.execute(
            "INSERT INTO settings (name, value) VALUES (?, ?) ON CONFLICT (name) DO UPDATE SET value = excluded.value",
            (name, value),
        )

    # -- API keys ------------------------------------------------------------
    def insert_api_key(self, *, id: str, key_hash: str, name: str, scopes: list[str], now: float) -> None:
        self._conn.execute(
            "INSERT INTO api_keys (id, key_hash, name, scopes, created_at) VALUES (?, ?, ?, ?, ?)",
            (id, key_hash, name, json.dumps(sorted(scopes)), now),
        )

    def find_api_key(self, key_hash: str) -> dict[str, Any] | None:
        row = self._one("SELECT * FROM api_keys WHERE key_hash = ?", (key_hash,))
        if row is None:
            return None
        out = dict(row)
        out["scopes"] = json.loads(out["scopes"])
        return out

    def set_scopes(self, names: tuple[str, ...], scopes: list[str]) -> None:
        """Give every key with one of these names exactly ``scopes``."""
        marks = ", ".join("?" for _ in names)
        self._conn.execute(
            f"UPDATE api_keys SET scopes = ? WHERE name IN ({marks})", (json.dumps(sorted(scopes)), *names)
        )

    def revoke_api_key(self, key_hash: str, now: float) -> bool:
        cur = self._conn.execute(
            "UPDATE api_keys SET revoked_at = ? WHERE key_hash = ? AND revoked_at IS NULL",
            (now, key_hash),
        )
        return cur.rowcount > 0

    # -- approvers -----------------------------------------------------------
    def insert_approver(self, *, public_key: str, name: str, secret: str, now: float) -> None:
        self._conn.execute(
            "INSERT OR IGNORE INTO approvers (public_key, name, secret, created_at) VALUES (?, ?, ?, ?)",
            (public_key, name, secret, now),
        )

    def get_approver(self, public_key: str) -> dict[str, Any] | None:
        row = self._one("SELECT * FROM approvers WHERE public_key = ?", (public_key,))
        return None if row is None else dict(row)

    def list_approvers(self) -> list[dict[str, Any]]:
        return [dict(r) for r in self._all("SELECT * FROM approvers ORDER BY created_at, public_key")]

    # -- agents --------------------------------------------------------------
    def insert_agent(self, *, id: str, name: str, registration_token: str, now: float) -> None:
        self._conn.execute(
            "INSERT INTO agents (id, name, registration_token, status, created_at) VALUES (?, ?, ?, 'unclaimed', ?)",
            (id, name, registration_token, now),
        )

    def get_agent(self, agent_id: str) -> dict[str, Any] | None:
        row = self._one("SELECT * FROM agents WHERE id = ?", (agent_id,))
        return None if row is None else dict(row)

    def claim_agent(self, agent_id: str, public_key: str, now: float) -> None:
        self._conn.execute(
            "UPDATE agents SET public_key = ?, status = 'claimed', claimed_at = ? WHERE id = ?",
            (public_key, now, agent_id),
        )

    # -- policies ------------------------------------------------------------
    def insert_policy(self, *, id: str, name: str, threshold: int, approver_keys: list[str]) -> None:
        self._conn.execute(
            "INSERT OR IGNORE INTO policies (id, name, threshold, approver_keys) VALUES (?, ?, ?, ?)",
            (id, name, threshold, json.dumps(approver_keys)),
        )

    def get_policy(self, policy_id: str) -> dict[str, Any] | None:
        row = self._one("SELECT * FROM policies WHERE id = ?", (policy_id,))
        if row is None:
            return None
        out = dict(row)
        out["approver_keys"] = json.loads(out["approver_keys"])
        return out

    def list_policies(self, limit: int) -> list[dict[str, Any]]:
        rows = self._all("SELECT id, name FROM policies ORDER BY id LIMIT ?", (limit,))
        return [dict(r) for r in rows]

    # -- approval requests ---------------------------------------------------
    def insert_request(self, rec: dict[str, Any]) -> None:
        rec = _encode_json_columns(rec)
        cols = ", ".join(rec)
        marks = ", ".join("?" for _ in rec)
        self._conn.execute(f"INSERT INTO requests ({cols}) VALUES ({marks})", tuple(rec.values()))

    def get_request(self, request_id: str) -> dict[str, Any] | None:
        row = self._one("SELECT * FROM requests WHERE id = ?", (request_id,))
        return None if row is None else _decode_request(row)

    def find_request_by_idempotency_key(self, key: str) -> dict[str, Any] | None:
        row = self._one("SELECT * FROM requests WHERE idempotency_key = ?", (key,))
        return None if row is None else _decode_request(row)

    def update_request(self, request_id: str, **fields: Any) -> None:
        fields = _encode_json_columns(fields)
        sets = ", ".join(f"{k} = ?" for k in fields)
        self._conn.execute(f"UPDATE requests SET {sets} WHERE id = ?", (*fields.values(), request_id))

    def expire_due(self, now: float) -> None:
        self._conn.execute(
            "UPDATE requests SET status = 'expired', decided_at = expires_at "
            "WHERE status = 'pending' AND expires_at <= ?",
            (now,),
        )

    def list_requests(
        self, *, status: str | None, limit: int, newest_first: bool = True, max_bytes: int | None = None
    ) -> tuple[list[dict[str, Any]], bool]:
        """Up to ``limit`` requests, and whether ``max_bytes`` cut the list short.

        ``max_bytes`` bounds the stored text (arguments, attestation, metadata)
        decoded for one list, the first request aside, which is always given.
        """
        order = "DESC" if newest_first else "ASC"
        if status is None:
            cursor = self._conn.execute(f"SELECT * FROM requests ORDER BY seq {order} LIMIT ?", (limit,))
        else:
            cursor = self._conn.execute(
                f"SELECT * FROM requests WHERE status = ? ORDER BY seq {order} LIMIT ?", (status, limit)
            )
        out: list[dict[str, Any]] = []
        total = 0
        for row in cursor:
            if max_bytes is not None:
                total += len(row["args_cbor_b64"]) + len(row["attestation"]) + len(row["metadata"] or "")
                if out and total > max_bytes:
                    return out, True
            out.append(_decode_request(row))
        return out, False

    # -- responses -----------------------------------------------------------
    def insert_response(
        self,
        *,
        request_id: str,
        approver_key: str | None,
        decision: str,
        signed_approval: bytes | None,
        now: float,
    ) -> None:
        self._conn.execute(
            "INSERT INTO responses (request_id, approver_key, decision, signed_approval, decided_at) "
            "VALUES (?, ?, ?, ?, ?)",
            (request_id, approver_key, decision, signed_approval, now),
        )

    def list_responses(self, request_id: str) -> list[dict[str, Any]]:
        rows = self._all("SELECT * FROM responses WHERE request_id = ? ORDER BY seq", (request_id,))
        return [dict(r) for r in rows]


def _private_file(path: str) -> None:
    """Create ``path`` readable by its owner only, or take other users' access away.

    The database holds API keys and the approvers' secret keys.
    """
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        if os.fstat(fd).st_mode & 0o077:
            os.fchmod(fd, 0o600)
    finally:
        os.close(fd)


def _encode_json_columns(rec: dict[str, Any]) -> dict[str, Any]:
    out = dict(rec)
    for col in _JSON_COLUMNS:
        if col in out and out[col] is not None:
            out[col] = json.dumps(out[col])
    return out


def _decode_request(row: sqlite3.Row) -> dict[str, Any]:
    out = dict(row)
    for col in _JSON_COLUMNS:
        if out[col] is not None:
            out[col] = json.loads(out[col])
    return out
