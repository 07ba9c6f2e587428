"""Misbehaviour switches, so tests can watch the nodes meet a bad service.

Read once from the environment when the service starts; tools/service/README.md
describes each switch.
"""

from __future__ import annotations

import base64
import dataclasses
import io
import os
import tempfile
import time
from typing import Any, Callable

import torch

ENDPOINTS = ("text_encode", "sampler", "vae_decode", "vae_encode")
FAULTS = ("none", "slow", "status400", "status500", "missing_fields", "bad_base64",
          "not_image", "fallback_images", "bad_tensor", "pickle_payload", "huge")
IMAGE_FIELDS = ("image_binary", "images", "both")

# The fields each endpoint's callers rely on; missing_fields drops them.
CONTRACTED = {
    "text_encode": ("conditioning",),
    "sampler": ("samples",),
    "vae_decode": ("image_binary", "images"),
    "vae_encode": ("samples",),
}
_TENSOR_KEYS = ("samples", "__tensor__")
_IMAGE_KEYS = ("image_binary", "images")

# Drops to a length one more than a multiple of 4 once the decoder has
# discarded the characters outside the alphabet, so even a lenient
# b64decode fails on it.
BAD_BASE64 = "not-base64!"
NOT_AN_IMAGE = base64.b64encode(b"this is text, not an image").decode()
NOT_A_TENSOR = base64.b64encode(b"this is text, not a torch.save stream").decode()


class StatusFault(Exception):
    """Raised by an endpoint to answer with `status`."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


@dataclasses.dataclass(frozen=True)
class Behaviour:
    fault: str = "none"
    fault_on: frozenset = frozenset(ENDPOINTS)
    delay: float = 5.0
    huge_mb: float = 64.0
    image_field: str = "image_binary"
    marker: str = os.path.join(tempfile.gettempdir(), "vorna_standin_pickle_ran")

    @classmethod
    def from_env(cls, env=os.environ) -> "Behaviour":
        fault = env.get("VORNA_STANDIN_FAULT", "none").strip() or "none"
        if fault not in FAULTS:
            raise ValueError(f"VORNA_STANDIN_FAULT={fault!r}: choose one of {', '.join(FAULTS)}")
        image_field = env.get("VORNA_STANDIN_IMAGE_FIELD", "image_binary").strip()
        if image_field not in IMAGE_FIELDS:
            raise ValueError(f"VORNA_STANDIN_IMAGE_FIELD={image_field!r}: "
                             f"choose one of {', '.join(IMAGE_FIELDS)}")
        fault_on = frozenset(n.strip() for n in
                             env.get("VORNA_STANDIN_FAULT_ON", ",".join(ENDPOINTS)).split(",")
                             if n.strip())
        unknown = fault_on - set(ENDPOINTS)
        if unknown:
            raise ValueError(f"VORNA_STANDIN_FAULT_ON: unknown endpoints {sorted(unknown)}")
        return cls(
            fault=fault,
            fault_on=fault_on,
            delay=float(env.get("VORNA_STANDIN_DELAY", cls.delay)),
            huge_mb=float(env.get("VORNA_STANDIN_HUGE_MB", cls.huge_mb)),
            image_field=image_field,
            marker=env.get("VORNA_STANDIN_MARKER", cls.marker),
        )

    def active(self, endpoint: str) -> str:
        return self.fault if endpoint in self.fault_on else "none"

    def answer(self, endpoint: str, compute: Callable[[], dict]) -> dict:
        """Run `compute` and bend its answer as the switch for `endpoint` says."""
        fault = self.active(endpoint)
        if fault == "slow":
            time.sleep(self.delay)
        elif fault == "status400":
            raise StatusFault(400, f"stand-in fault status400 on {endpoint}")
        elif fault == "status500":
            raise StatusFault(500, f"stand-in fault status500 on {endpoint}")
        resp = compute()
        if fault == "missing_fields":
            return {k: v for k, v in resp.items() if k not in CONTRACTED[endpoint]}
        if fault == "bad_base64":
            return _replace(resp, _TENSOR_KEYS + _IMAGE_KEYS, BAD_BASE64)
        if fault == "not_image":
            return _replace(resp, _IMAGE_KEYS, NOT_AN_IMAGE)
        if fault == "fallback_images" and "image_binary" in resp:
            good = resp.get("images", resp["image_binary"])
            return {**resp, "image_binary": NOT_AN_IMAGE, "images": good}
        if fault == "bad_tensor":
            return _replace(resp, _TENSOR_KEYS, NOT_A_TENSOR)
        if fault == "pickle_payload":
            return _replace(resp, _TENSOR_KEYS, pickle_payload(self.marker))
        if fault == "huge":
            return {**resp, "padding": "A" * int(self.huge_mb * 1024 * 1024)}
        return resp


def _replace(value: Any, keys: tuple, text: str) -> Any:
    """Copy of `value` with every text under one of `keys` replaced, at any depth
    (the conditioning holds its tensors two lists down)."""
    if isinstance(value, list):
        return [_replace(v, keys, text) for v in value]
    if isinstance(value, dict):
        return {k: text if k in keys and isinstance(v, str) else _replace(v, keys, text)
                for k, v in value.items()}
    return value


class _MakeMarker:
    # Unpickling this calls os.mkdir(marker): harmless, but it leaves a trace
    # that shows the reader ran code from the stream.
    def __init__(self, marker: str) -> None:
        self.marker = marker

    def __reduce__(self):
        return (os.mkdir, (self.marker,))


def pickle_payload(marker: str) -> str:
    """A real torch.save stream that a weights-only load refuses and a full
    load turns into a call of os.mkdir(marker)."""
    buf = io.BytesIO()
    torch.save(_MakeMarker(marker), buf)
    return base64.b64encode(buf.getvalue()).decode()
