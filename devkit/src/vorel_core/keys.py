"""Ed25519 signing and public keys."""

from __future__ import annotations

import hmac
import re
from typing import Any

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import (
    Ed25519PrivateKey,
    Ed25519PublicKey,
)

__all__ = ["InvalidSignatureError", "PublicKey", "SigningKey", "coerce_public_key_bytes"]

KEY_SIZE = 32
SIGNATURE_SIZE = 64

# bytes.fromhex would also take embedded blanks; a key is exactly 64 digits.
_HEX_KEY = re.compile(r"[0-9a-fA-F]{64}")


class InvalidSignatureError(ValueError):
    """A signature does not verify under the given public key."""


def _parse_hex_key(text: Any, what: str) -> bytes:
    if not isinstance(text, str):
        raise TypeError(f"{what} must be given as hex text, got {type(text).__name__}")
    if not _HEX_KEY.fullmatch(text):
        raise ValueError(
            f"{what} must be exactly {KEY_SIZE * 2} hex digits ({KEY_SIZE} bytes), "
            f"got {len(text)} characters"
            + ("" if re.fullmatch(r"[0-9a-fA-F]*", text) else " including non-hex characters")
        )
    return bytes.fromhex(text)


class PublicKey:
    """An Ed25519 public key; compares and hashes by its 32 raw bytes."""

    __slots__ = ("_key", "_raw")

    def __init__(self, raw: bytes | bytearray) -> None:
        raw = bytes(raw)
        if len(raw) != KEY_SIZE:
            raise ValueError(f"public key must be {KEY_SIZE} bytes, got {len(raw)}")
        try:
            self._key = Ed25519PublicKey.from_public_bytes(raw)
        except ValueError as exc:
            raise ValueError(f"not a valid Ed25519 public key: {exc}") from exc
        self._raw = raw

    @classmethod
    def from_bytes(cls, raw: bytes | bytearray) -> PublicKey:
        """Load a public key from its 32 raw bytes."""
        return cls(raw)

    @classmethod
    def from_hex(cls, text: str) -> PublicKey:
        """Load a public key from 64 hex digits."""
        return cls(_parse_hex_key(text, "public key"))

    def to_bytes(self) -> bytes:
        """The 32 raw key bytes."""
        return self._raw

    def to_hex(self) -> str:
        """The key as 64 lower-case hex digits."""
        return self._raw.hex()

    def verify(self, signature: bytes, message: bytes) -> None:
        """Check ``signature`` over ``message``; raise :class:`InvalidSignatureError` if it fails.

        Raising rather than returning a flag means a forgotten check cannot
        silently pass.
        """
        if not isinstance(signature, (bytes, bytearray)) or len(signature) != SIGNATURE_SIZE:
            raise InvalidSignatureError(f"signature must be {SIGNATURE_SIZE} bytes")
        try:
            self._key.verify(bytes(signature), bytes(message))
        except InvalidSignature:
            raise InvalidSignatureError("signature does not verify") from None

    def __eq__(self, other: object) -> bool:
        if isinstance(other, PublicKey):
            return self._raw == other._raw
        return NotImplemented

    def __hash__(self) -> int:
        return hash((PublicKey, self._raw))

    def __repr__(self) -> str:
        return f"PublicKey({self.to_hex()})"


class SigningKey:
    """An Ed25519 signing key made from a 32-byte seed.

    The seed never appears in ``repr`` or ``str``; use :meth:`to_hex` to
    export it deliberately.
    """

    __slots__ = ("_key", "_seed", "public_key")

    public_key: PublicKey

    def __init__(self, seed: bytes | bytearray) -> None:
        seed = bytes(seed)
        if len(seed) != KEY_SIZE:
            raise ValueError(f"signing key seed must be {KEY_SIZE} bytes, got {len(seed)}")
        self._seed = seed
        self._key = Ed25519PrivateKey.from_private_bytes(seed)
        self.public_key = PublicKey(
            self._key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
        )

    @classmethod
    def generate(cls) -> SigningKey:
        """A fresh random key."""
        private = Ed25519PrivateKey.generate()
        return cls(
            private.private_bytes(
                serialization.Encoding.Raw,
                serialization.PrivateFormat.Raw,
                serialization.NoEncryption(),
            )
        )

    @classmethod
    def from_bytes(cls, seed: bytes | bytearray) -> SigningKey:
        """Load a key from its 32-byte seed."""
        return cls(seed)

    @classmethod
    def from_hex(cls, text: str) -> SigningKey:
        """Load a key from its seed as 64 hex digits (either case, no blanks)."""
        return cls(_parse_hex_key(text, "signing key"))

    def to_bytes(self) -> bytes:
        """The 32-byte seed (secret)."""
        return self._seed

    def to_hex(self) -> str:
        """The seed as 64 lower-case hex digits (secret)."""
        return self._seed.hex()

    def sign(self, message: bytes) -> bytes:
        """Ed25519 signature (64 bytes) over ``message``."""
        if not isinstance(message, (bytes, bytearray, memoryview)):
            raise TypeError(f"message must be bytes, got {type(message).__name__}")
        return self._key.sign(bytes(message))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, SigningKey):
            return hmac.compare_digest(self._seed, other._seed)
        return NotImplemented

    # Keys are compared but deliberately not hashable: hashing a secret into
    # dict or set buckets invites accidental long-lived copies.
    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"SigningKey(public_key={self.public_key.to_hex()})"

    __str__ = __repr__

    def __reduce__(self) -> Any:
        raise TypeError("SigningKey cannot be pickled; export it with to_hex() deliberately")


def coerce_public_key_bytes(value: Any, what: str = "public key") -> bytes:
    """Accept a :class:`PublicKey`, a :class:`SigningKey`, raw bytes or hex text; return 32 bytes."""
    if isinstance(value, PublicKey):
        return value.to_bytes()
    if isinstance(value, SigningKey):
        return value.public_key.to_bytes()
    if isinstance(value, (bytes, bytearray)):
        raw = bytes(value)
    elif isinstance(value, str):
        raw = _parse_hex_key(value, what)
    elif isinstance(value, int):  # ints have a to_bytes() of their own
        raise TypeError(f"{what} must be a PublicKey, bytes or hex text, got {type(value).__name__}")
    else:
        to_bytes = getattr(value, "to_bytes", None)
        if not callable(to_bytes):
            raise TypeError(f"{what} must be a PublicKey, bytes or hex text, got {type(value).__name__}")
        raw = bytes(to_bytes())
    if len(raw) != KEY_SIZE:
        raise ValueError(f"{what} must be {KEY_SIZE} bytes, got {len(raw)}")
    return raw
