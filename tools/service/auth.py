"""Bearer-token check in front of the stand-in's endpoints.

Open-source BentoML checks no token, so the stand-in does it itself. Health,
metrics and the schema stay open: the client polls /readyz and reads
/schema.json before it sends anything, and a locked /readyz would turn a bad
key into a long readiness wait instead of a clear 401.
"""

from __future__ import annotations

import hmac
import json
import os

KEY_ENV = "VORNA_STANDIN_API_KEY"
OPEN_PATHS = frozenset({"/readyz", "/livez", "/healthz", "/metrics", "/schema.json"})

_DENIED = json.dumps({"error": "missing or invalid bearer token"}).encode()


class BearerAuth:
    """ASGI middleware; the key is read from the environment when the app is
    built, and an empty or unset key turns the check off."""

    def __init__(self, app, key: str | None = None) -> None:
        self.app = app
        key = os.environ.get(KEY_ENV, "") if key is None else key
        self._key = key.encode("utf-8") if key else None

    def _authorised(self, headers) -> bool:
        for name, value in headers:
            if name == b"authorization":
                scheme, _, token = value.partition(b" ")
                # compare_digest of bytes: no early exit on the first mismatch
                ok = hmac.compare_digest(token.strip(), self._key)
                return ok and scheme.lower() == b"bearer"
        return False

    async def __call__(self, scope, receive, send) -> None:
        if (self._key is None or scope["type"] not in ("http", "websocket")
                or scope["path"] in OPEN_PATHS
                or self._authorised(scope.get("headers", ()))):
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
