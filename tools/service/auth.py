"""Bearer-token check in front of the stand-in's endpoints.

Open-source BentoML checks no token, so the stand-in does it itself. Health,
metrics and the schema stay open: the client polls /readyz and reads
/schema.json before it sends anything, and a locked /readyz would turn a bad
key into a long readiness wait instead of a clear 401.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import threading

KEY_ENV = "VORNA_STANDIN_API_KEY"
# More keys accepted beside it, comma-separated (one service, several users).
KEYS_ENV = "VORNA_STANDIN_API_KEYS"
# A file that gets one JSON line per request to an endpoint: which key came.
KEY_LOG_ENV = "VORNA_STANDIN_KEY_LOG"
OPEN_PATHS = frozenset({"/readyz", "/livez", "/healthz", "/metrics", "/schema.json"})

_DENIED = json.dumps({"error": "missing or invalid bearer token"}).encode()


def fingerprint(key: str | bytes | None) -> str | None:
    """What the key log records of a key: enough to tell keys apart, not the key."""
    if key is None:
        return None
    return hashlib.sha256(key.encode("utf-8") if isinstance(key, str) else key).hexdigest()[:16]


def read_key_log(path) -> list[dict]:
    """The key log's records: {"path", "key" (fingerprint or None), "accepted"}."""
    try:
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


class BearerAuth:
    """ASGI middleware; the keys are read from the environment when the app
    is built, and no key at all turns the check off."""

    def __init__(self, app, key: str | None = None) -> None:
        self.app = app
        keys = [os.environ.get(KEY_ENV, "") if key is None else key]
        if key is None:
            keys += os.environ.get(KEYS_ENV, "").split(",")
        self._keys = [k.encode("utf-8") for k in keys if k]
        self._log = os.environ.get(KEY_LOG_ENV) or None
        self._log_lock = threading.Lock()

    def _token(self, headers) -> bytes | None:
        for name, value in headers:
            if name == b"authorization":
                scheme, _, token = value.partition(b" ")
                return token.strip() if scheme.lower() == b"bearer" else None
        return None

    def _authorised(self, token: bytes | None) -> bool:
        # compare_digest of bytes: no early exit on the first mismatch
        return token is not None and any([hmac.compare_digest(token, key) for key in self._keys])

    def _record(self, path: str, token: bytes | None, accepted: bool) -> None:
        if self._log is None:
            return
        line = json.dumps({"path": path, "key": fingerprint(token), "accepted": accepted}) + "\n"
        with self._log_lock, open(self._log, "a", encoding="utf-8") as f:
            f.write(line)

    async def __call__(self, scope, receive, send) -> None:
        if scope["type"] not in ("http", "websocket") or scope["path"] in OPEN_PATHS:
            await self.app(scope, receive, send)
            return
        token = self._token(scope.get("headers", ()))
        accepted = not self._keys or self._authorised(token)
        self._record(scope["path"], token, accepted)
        if accepted:
            await self.app(scope, receive, send)
            return
        if scope["type"] == "websocket":
            await send({"type": "websocket.close", "code": 1008})
            return
        await send({
            "type": "http.response.start",
            "status": 401,
            "headers": [(b"content-type", b"application/json"),
                        (b"content-length", str(len(_DENIED)).encode()),
                        (b"www-authenticate", b"Bearer")],
        })
        await send({"type": "http.response.body", "body": _DENIED})
