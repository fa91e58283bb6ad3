"""Shared test helpers (leak checks, fakes)."""
