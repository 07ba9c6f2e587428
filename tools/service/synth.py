"""Synthetic but consistent answers for the four endpoints.

Nothing here runs a model. Every answer is a deterministic function of the
request, so the same graph gives the same picture, a different seed or prompt
gives a different one, and decode/encode roughly undo each other.

All decoding of client data is safe: tensors load weights-only, and pickled
masks go through an unpickler that knows only how to rebuild plain tensors.
"""

from __future__ import annotations

import base64
import binascii
import collections
import hashlib
import io
import json
import math
import pickle
from typing import Any

import numpy as np
import torch
import torch.nn.functional as F
from PIL import Image

# Width of the text encoder's hidden state in the model family the package
# defaults to; the token count is capped to keep answers a few MB at most.
COND_WIDTH = 3584
MAX_TOKENS = 256
LATENT_CHANNELS = 16
VAE_SCALE = 8
# Steepness of the latent <-> pixel mapping; encode uses its inverse.
_GAIN = 1.5


class BadInput(ValueError):
    """The request carries a value the stand-in cannot use."""


# --- text forms -------------------------------------------------------------

def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _unb64(text: Any, what: str) -> bytes:
    if not isinstance(text, str):
        raise BadInput(f"{what}: expected base64 text, got {type(text).__name__}")
    try:
        return base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError) as e:
        raise BadInput(f"{what}: invalid base64 ({e})") from None


def encode_tensor(tensor: torch.Tensor) -> str:
    buf = io.BytesIO()
    # clone: saving a view would write its whole underlying storage
    torch.save(tensor.detach().cpu().contiguous().clone(), buf)
    return _b64(buf.getvalue())


def decode_tensor(text: Any, what: str = "tensor") -> torch.Tensor:
    data = _unb64(text, what)
    try:
        value = torch.load(io.BytesIO(data), map_location="cpu", weights_only=True)
    except Exception as e:  # torch raises several unrelated types here
        raise BadInput(f"{what}: not a tensor stream ({type(e).__name__})") from None
    if not isinstance(value, torch.Tensor):
        raise BadInput(f"{what}: stream holds {type(value).__name__}, not a tensor")
    return value


def encode_png(pixels: torch.Tensor) -> str:
    """pixels: float [H, W, 3] in 0..1."""
    arr = (pixels.clamp(0, 1) * 255).round().to(torch.uint8).numpy()
    buf = io.BytesIO()
    # low compression: a 1024x1024 picture should not cost a second
    Image.fromarray(arr, mode="RGB").save(buf, format="PNG", compress_level=1)
    return _b64(buf.getvalue())


def decode_image(text: Any, what: str = "image") -> torch.Tensor:
    """Returns float [3, H, W] in 0..1."""
    data = _unb64(text, what)
    try:
        with Image.open(io.BytesIO(data)) as img:
            rgb = img.convert("RGB")
    except Exception as e:
        raise BadInput(f"{what}: not an image ({type(e).__name__})") from None
    arr = np.asarray(rgb, dtype=np.float32) / 255.0
    return torch.from_numpy(arr).permute(2, 0, 1).contiguous()


def _seed_of(*parts: Any) -> int:
    text = json.dumps(parts, sort_keys=True, default=str, separators=(",", ":"))
    return int.from_bytes(hashlib.sha256(text.encode("utf-8")).digest()[:8], "little")


def _generator(seed: int) -> torch.Generator:
    return torch.Generator().manual_seed(seed)


# --- text_encode ------------------------------------------------------------

def text_conditioning(text: str, clip: Any) -> list:
    """One ComfyUI-style conditioning pair, tensors in their text form:
    [[{"__tensor__": cond [1, N, 3584]}, {"pooled_output": {"__tensor__": [1, 3584]}}]]
    """
    tokens = text.split()[:MAX_TOKENS]
    n = max(1, len(tokens))
    g = _generator(_seed_of("text_encode", text, clip))
    cond = torch.randn(1, n, COND_WIDTH, generator=g)
    pooled = cond.mean(dim=1)
    return [[{"__tensor__": encode_tensor(cond)},
             {"pooled_output": {"__tensor__": encode_tensor(pooled)}}]]


# --- sampler ----------------------------------------------------------------

def _smooth_noise(shape: tuple[int, ...], g: torch.Generator) -> torch.Tensor:
    """Noise over the last two axes that varies on a scale of ~8 latent cells."""
    if len(shape) < 2:
        return torch.randn(shape, generator=g)
    h, w = shape[-2], shape[-1]
    lead = math.prod(shape[:-2])
    if lead == 0 or h == 0 or w == 0:
        return torch.zeros(shape)
    coarse = torch.randn(lead, 1, max(2, math.ceil(h / 8)), max(2, math.ceil(w / 8)),
                         generator=g)
    fine = F.interpolate(coarse, size=(h, w), mode="bicubic", align_corners=False)
    return fine.reshape(shape)


def sample_latent(latent: torch.Tensor, *, seed: int, steps: int, cfg: float,
                  sampler_name: str, scheduler: str, denoise: float,
                  model_inputs: Any, mask: torch.Tensor | None = None) -> torch.Tensor:
    """Same shape and dtype as `latent`; blends a seeded pattern in by `denoise`,
    and only where `mask` (values 0..1, any size) is set when one is given."""
    g = _generator(_seed_of("sampler", seed, steps, cfg, sampler_name, scheduler,
                            model_inputs))
    src = latent.detach().to(torch.float32)
    # more guidance, more contrast: enough for a person to see cfg mattered
    pattern = _smooth_noise(tuple(src.shape), g) * (1.0 + 0.05 * float(cfg))
    d = min(1.0, max(0.0, float(denoise)))
    out = src * (1.0 - d) + pattern * d
    if mask is not None and src.dim() >= 2:
        m = mask_to_latent(mask, src.shape[-2], src.shape[-1])
        if m is not None:
            m = m.reshape((1,) * (src.dim() - 2) + tuple(m.shape))
            out = src * (1.0 - m) + out * m
    return out.to(latent.dtype)


def mask_to_latent(mask: torch.Tensor, h: int, w: int) -> torch.Tensor | None:
    """A pixel-space mask resized to the latent grid, or None if unusable."""
    if mask.dim() < 2 or mask.numel() == 0 or h == 0 or w == 0:
        return None
    m = mask.detach().to(torch.float32).reshape(-1, mask.shape[-2], mask.shape[-1])[0]
    m = F.interpolate(m[None, None], size=(h, w), mode="bilinear",
                      align_corners=False, antialias=True)[0, 0]
    return m.clamp(0.0, 1.0)


def _load_storage_bytes(data: bytes) -> Any:
    # Storages arrive as torch.save bytes: loaded weights-only, not trusted.
    return torch.load(io.BytesIO(data), map_location="cpu", weights_only=True)


# The only globals a pickled plain CPU tensor refers to.
_TENSOR_GLOBALS = {
    ("torch._utils", "_rebuild_tensor_v2"): torch._utils._rebuild_tensor_v2,
    ("torch.storage", "_load_from_bytes"): _load_storage_bytes,
    ("collections", "OrderedDict"): collections.OrderedDict,
}


class _TensorUnpickler(pickle.Unpickler):
    def find_class(self, module: str, name: str) -> Any:
        try:
            return _TENSOR_GLOBALS[(module, name)]
        except KeyError:
            raise pickle.UnpicklingError(f"refused global {module}.{name}") from None

    def persistent_load(self, pid: Any) -> Any:
        raise pickle.UnpicklingError("refused persistent id")


def decode_mask(text: Any) -> torch.Tensor | None:
    """The mask of a deferred inpainting step, as the package serialises it
    (base64 of a pickled tensor, or JSON text when pickling failed).
    None when it cannot be read safely: the caller then repaints everything."""
    if not isinstance(text, str) or not text:
        return None
    try:
        data = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError):
        data = None
    if data and data[:1] == b"\x80":
        try:
            value = _TensorUnpickler(io.BytesIO(data)).load()
        except Exception:
            return None
        return value if isinstance(value, torch.Tensor) else None
    try:
        value = json.loads(text)
        if isinstance(value, list):
            return torch.tensor(value, dtype=torch.float32)
    except (ValueError, TypeError, RuntimeError):
        pass
    return None


# --- VAE ----------------------------------------------------------------------

def _latent_planes(latent: torch.Tensor) -> torch.Tensor:
    """[C, h, w] of the first picture of a 5-D [B, C, T, h, w], 4-D [B, C, h, w],
    3-D [C, h, w] or 2-D [h, w] latent."""
    x = latent.detach().to(torch.float32)
    if x.dim() == 5:
        x = x[0, :, 0]
    elif x.dim() == 4:
        x = x[0]
    elif x.dim() == 2:
        x = x[None]
    elif x.dim() != 3:
        raise BadInput(f"latent: cannot decode a {x.dim()}-D tensor")
    if x.shape[0] == 0 or x.shape[1] == 0 or x.shape[2] == 0:
        raise BadInput(f"latent: empty shape {list(latent.shape)}")
    return x


def latent_to_pixels(latent: torch.Tensor) -> torch.Tensor:
    """Float [8h, 8w, 3] in 0..1: channels 0-2 as RGB, smoothly upscaled."""
    x = _latent_planes(latent)
    rgb = x[:3] if x.shape[0] >= 3 else x[[0, 0, 0]]
    h, w = rgb.shape[-2:]
    big = F.interpolate(rgb[None], size=(h * VAE_SCALE, w * VAE_SCALE),
                        mode="bilinear", align_corners=False)[0]
    return torch.sigmoid(_GAIN * big).permute(1, 2, 0)


def _channel_mix() -> torch.Tensor:
    """[16, 3]: the first three latent channels are R, G, B; the rest fixed
    mixtures of them, so a 16-channel latent carries the picture throughout."""
    mix = torch.randn(LATENT_CHANNELS, 3, generator=_generator(16))
    mix = mix / mix.abs().sum(dim=1, keepdim=True)
    mix[:3] = torch.eye(3)
    return mix


def pixels_to_latent(pixels: torch.Tensor) -> torch.Tensor:
    """pixels: [3, H, W] in 0..1 -> float32 [1, 16, 1, H/8, W/8] (at least 1x1).
    Inverse of latent_to_pixels on the first three channels."""
    _, height, width = pixels.shape
    h, w = max(1, height // VAE_SCALE), max(1, width // VAE_SCALE)
    small = F.adaptive_avg_pool2d(pixels[None], (h, w))[0]
    base = torch.logit(small.clamp(1e-3, 1 - 1e-3)) / _GAIN
    planes = torch.einsum("kc,chw->khw", _channel_mix(), base)
    return planes[None, :, None].contiguous()
