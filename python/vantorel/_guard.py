"""The metrics endpoint's optional credentials: a bearer token, basic-auth credentials, or both.

The expected credentials are kept as SHA-256 digests and a request's are hashed the same way, so
that ``hmac.compare_digest`` always compares 32 bytes against 32: how long the check takes says
nothing about the secret, not even its length.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
from typing import Optional, Sequence

_REALM = 'realm="metrics"'


def _digest(credentials: bytes) -> bytes:
    return hashlib.sha256(credentials).digest()


def _visible_ascii(text: str) -> bool:
    return text.isascii() and all(" " < c < "\x7f" for c in text)


class Guard:
    """Checks the Authorization header of a scrape. ``challenge`` is what a 401 answers in its
    WWW-Authenticate header."""

    __slots__ = ("_bearer", "_basic", "challenge")

    def __init__(self, bearer_token: Optional[str],
                 basic_auth: Optional[Sequence[str]]) -> None:
        self._bearer: Optional[bytes] = None
        self._basic: Optional[bytes] = None
        challenges = []
        if bearer_token is not None:
            if not isinstance(bearer_token, str):
                raise TypeError("bearer_token must be a str or None")
            if not bearer_token or not _visible_ascii(bearer_token):
                raise ValueError("bearer_token must be visible ASCII characters, without spaces")
            self._bearer = _digest(bearer_token.encode("ascii"))
            challenges.append(f"Bearer {_REALM}")
        if basic_auth is not None:
            if (not isinstance(basic_auth, (tuple, list)) or len(basic_auth) != 2
                    or not all(isinstance(part, str) for part in basic_auth)):
                raise TypeError("basic_auth must be a (username, password) pair of str or None")
            username, password = basic_auth
            if not username or ":" in username:
                raise ValueError("basic_auth's username must be non-empty and without ':'")
            if any(c < " " or c == "\x7f" for c in username + password):
                raise ValueError("basic_auth's username and password must not hold control "
                                 "characters")
            self._basic = _digest(f"{username}:{password}".encode("utf-8"))
            challenges.append(f'Basic {_REALM}, charset="UTF-8"')
        self.challenge = ", ".join(challenges)

    def __bool__(self) -> bool:
        return bool(self.challenge)

    def allows(self, authorization: Optional[str]) -> bool:
        """Whether an Authorization header (None where absent; a WSGI or ASGI header value
        decoded as latin-1) carries the expected credentials."""
        if authorization is None:
            return False
        scheme, _, credentials = authorization.strip().partition(" ")
        scheme = scheme.lower()
        credentials = credentials.strip()
        try:
            given = credentials.encode("latin-1")
        except UnicodeEncodeError:
            return False
        if scheme == "bearer" and self._bearer is not None:
            return hmac.compare_digest(_digest(given), self._bearer)
        if scheme == "basic" and self._basic is not None:
            try:
                decoded = base64.b64decode(given, validate=True)
            except (binascii.Error, ValueError):
                return False
            return hmac.compare_digest(_digest(decoded), self._basic)
        return False
