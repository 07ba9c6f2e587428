"""The benchmark cases: inputs, pre-built service answers, and the three ways
of doing each node's work (the package, the bare library calls, the
plain-Python baseline), all driven by an instant in-process client."""
from __future__ import annotations

import base64
import dataclasses
import io
from typing import Any, Callable

import numpy as np
import torch
from PIL import Image

from ..service.fake_client import fake_client
from . import baseline_nodes

SEED = 20240607
PROMPT = "a lighthouse on a cliff at dusk, oil painting"


# ---- deterministic inputs --------------------------------------------------

def latent(shape: tuple[int, ...], dtype: torch.dtype, salt: int = 0) -> torch.Tensor:
    g = torch.Generator().manual_seed(SEED + salt)
    return torch.randn(shape, generator=g, dtype=torch.float32).to(dtype)


def picture(size: int, salt: int = 0) -> torch.Tensor:
    """A photo-like IMAGE value [1, size, size, 3], float32 in 0..1: smooth
    shapes plus sensor-like noise, so PNG compresses it as it would a real
    picture rather than a flat test card."""
    rng = np.random.default_rng(SEED + salt)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / size
    base = np.stack([0.5 + 0.4 * np.sin(7 * x + 3 * y),
                     0.5 + 0.4 * np.cos(5 * y - 2 * x),
                     0.5 + 0.4 * np.sin(11 * x * y)], axis=-1)
    noisy = base + rng.normal(0.0, 0.02, base.shape).astype(np.float32)
    return torch.from_numpy(np.clip(noisy, 0.0, 1.0).astype(np.float32))[None]


def tensor_text(tensor: torch.Tensor) -> str:
    buf = io.BytesIO()
    torch.save(tensor, buf)
    return base64.b64encode(buf.getvalue()).decode("utf-8")


def png_text(image: torch.Tensor) -> str:
    pixels = (image[0] * 255).clamp(0, 255).byte().numpy()
    buf = io.BytesIO()
    Image.fromarray(pixels).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode("utf-8")


# ---- bare library work -------------------------------------------------------
# Only the library calls whose results the node needs, once each, with no
# request layer, payload or error handling around them.

def bare_tensor_to_text(tensor: torch.Tensor) -> str:
    buf = io.BytesIO()
    torch.save(tensor, buf)
    return base64.b64encode(buf.getvalue()).decode("utf-8")


def bare_text_to_tensor(text: str) -> torch.Tensor:
    return torch.load(io.BytesIO(base64.b64decode(text)), map_location="cpu", weights_only=True)


def bare_image_to_text(image: torch.Tensor) -> str:
    pixels = (image[0] * 255).clamp(0, 255).byte().numpy()
    buf = io.BytesIO()
    Image.fromarray(pixels).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode("utf-8")


def bare_text_to_image(text: str) -> torch.Tensor:
    # Any image the service may send must end up as three channels.
    pixels = np.asarray(Image.open(io.BytesIO(base64.b64decode(text))).convert("RGB"))
    values = pixels.astype(np.float32)
    values /= 255.0
    return torch.from_numpy(values)[None]


# ---- cases ---------------------------------------------------------------------

@dataclasses.dataclass
class Case:
    """One node on one input size. `run_*` are argument-less callables that do
    the whole work once and return the node's output value."""
    node: str
    label: str
    payload_bytes: int              # see payload_size()
    answer: Any
    package: Callable[[], Any]
    bare: Callable[[], Any]
    baseline: Callable[[], Any]
    sent: torch.Tensor | None = None    # the tensor the request encodes, if any

    @property
    def name(self) -> str:
        return f"{self.node} {self.label}"


def _nbytes(t: torch.Tensor) -> int:
    return t.numel() * t.element_size()


def payload_size(host_values: list[torch.Tensor], texts: list[str]) -> int:
    """Payload of one node call: for every value that crosses (the request's
    and the answer's), the host-side tensor (latent, IMAGE or conditioning)
    plus its base64 text."""
    return sum(_nbytes(t) for t in host_values) + sum(len(s) for s in texts)


def _package_modules():
    import vorna_comfyui_engine.base as base
    from vorna_comfyui_engine import clip_loader, ksampler, vae_decode, vae_encode
    return base, clip_loader, ksampler, vae_decode, vae_encode


def install_client(answer: Any, record: bool = False) -> tuple[type, type]:
    """Points both the package and the baseline at an instant client (the
    tests' fake client, tools.service.fake_client), one class each, keeping
    records only when asked; returns the two classes."""
    base = _package_modules()[0]
    base.SyncHTTPClient = fake_client(answer=answer, record=record)
    baseline_nodes.SyncHTTPClient = fake_client(answer=answer, record=record)
    return base.SyncHTTPClient, baseline_nodes.SyncHTTPClient


def text_encode_case(tokens: int = 512, width: int = 3584) -> Case:
    base, clip_loader, _, _, _ = _package_modules()
    cond = latent((1, tokens, width), torch.float32, salt=1)
    pooled = latent((1, width), torch.float32, salt=2)
    cond_text, pooled_text = tensor_text(cond), tensor_text(pooled)
    answer = {"conditioning": [[{"__tensor__": cond_text}, {"pooled_output": {"__tensor__": pooled_text}}]]}
    node = clip_loader.VornaCLIPTextEncode()
    clip = base.NodeIO(name="CLIPLoader", inputs={"clip_name": "qwen_2.5_vl_7b.safetensors",
                                                    "type": "qwen_image", "device": "default"})
    plain = baseline_nodes.VornaCLIPTextEncode()
    plain_clip = baseline_nodes.NodeIO(name="CLIPLoader", inputs=dict(clip.inputs))

    def bare():
        entry = answer["conditioning"][0]
        return [[bare_text_to_tensor(entry[0]["__tensor__"]),
                 {"pooled_output": bare_text_to_tensor(entry[1]["pooled_output"]["__tensor__"])}]]

    return Case("text encode", f"cond [1,{tokens},{width}] f32",
                payload_size([cond, pooled], [cond_text, pooled_text]), answer,
                lambda: node.encode(clip, PROMPT), bare, lambda: plain.encode(plain_clip, PROMPT))


SAMPLER_SETTINGS = dict(seed=42, steps=4, cfg=1.0, sampler_name="euler", scheduler="normal", denoise=1.0)


def sampler_case(side: int, dtype: torch.dtype) -> Case:
    base, _, ksampler, _, _ = _package_modules()
    shape = (1, 16, 1, side, side)
    latent_in = latent(shape, dtype, salt=3)
    latent_out = latent(shape, dtype, salt=4)
    answer = {"samples": tensor_text(latent_out)}
    node = ksampler.VornaKSampler()
    model = base.NodeIO(name="UNETLoader", inputs={"unet_name": "qwen_image_fp8.safetensors",
                                                     "weight_dtype": "default"})
    plain = baseline_nodes.VornaKSampler()
    plain_model = baseline_nodes.NodeIO(name="UNETLoader", inputs=dict(model.inputs))
    # Straight from the text encoder: no inpainting record, so nothing but the
    # latent is encoded (the conditioning is not sent).
    positive, negative = [["cond+"]], [["cond-"]]
    latent_image = {"samples": latent_in}
    request_text = tensor_text(latent_in)

    def bare():
        bare_tensor_to_text(latent_in)
        return bare_text_to_tensor(answer["samples"])

    dt = {torch.float32: "f32", torch.bfloat16: "bf16"}[dtype]
    return Case("sampler", f"latent [1,16,1,{side},{side}] {dt}",
                payload_size([latent_in, latent_out], [request_text, answer["samples"]]), answer,
                lambda: node.sample(model, positive, negative, latent_image, **SAMPLER_SETTINGS), bare,
                lambda: plain.sample(plain_model, positive, negative, latent_image, **SAMPLER_SETTINGS),
                sent=latent_in)


def vae_decode_case(size: int) -> Case:
    base, _, _, vae_decode, _ = _package_modules()
    latent_in = latent((1, 16, 1, size // 8, size // 8), torch.float32, salt=5)
    image_out = picture(size, salt=6)
    answer = {"image_binary": png_text(image_out)}
    node = vae_decode.VornaVAEDecode()
    vae = base.NodeIO(name="VAELoader", inputs={"vae_name": "qwen_image_vae.safetensors"})
    plain = baseline_nodes.VornaVAEDecode()
    plain_vae = baseline_nodes.NodeIO(name="VAELoader", inputs=dict(vae.inputs))
    latent_value = {"samples": latent_in}

    def bare():
        bare_tensor_to_text(latent_in)
        return bare_text_to_image(answer["image_binary"])

    return Case("VAE decode", f"{size}x{size} (latent f32)",
                payload_size([latent_in, image_out], [tensor_text(latent_in), answer["image_binary"]]), answer,
                lambda: node.decode(latent_value, vae), bare, lambda: plain.decode(latent_value, plain_vae),
                sent=latent_in)


def vae_encode_case(size: int) -> Case:
    base, _, _, _, vae_encode = _package_modules()
    image_in = picture(size, salt=7)
    latent_out = latent((1, 16, 1, size // 8, size // 8), torch.float32, salt=8)
    answer = {"samples": tensor_text(latent_out)}
    node = vae_encode.VornaVAEEncode()
    vae = base.NodeIO(name="VAELoader", inputs={"vae_name": "qwen_image_vae.safetensors"})
    plain = baseline_nodes.VornaVAEEncode()
    plain_vae = baseline_nodes.NodeIO(name="VAELoader", inputs=dict(vae.inputs))

    def bare():
        bare_image_to_text(image_in)
        return bare_text_to_tensor(answer["samples"])

    return Case("VAE encode", f"{size}x{size} (latent f32)",
                payload_size([image_in, latent_out], [png_text(image_in), answer["samples"]]), answer,
                lambda: node.encode(image_in, vae), bare, lambda: plain.encode(image_in, plain_vae),
                sent=image_in)


# Every case by a short key, built on demand (inputs take time and memory).
CASES: dict[str, Callable[[], Case]] = {
    "text_encode": text_encode_case,
    "sampler_128_f32": lambda: sampler_case(128, torch.float32),
    "sampler_128_bf16": lambda: sampler_case(128, torch.bfloat16),
    "sampler_256_f32": lambda: sampler_case(256, torch.float32),
    "sampler_256_bf16": lambda: sampler_case(256, torch.bfloat16),
    "vae_decode_1024": lambda: vae_decode_case(1024),
    "vae_decode_2048": lambda: vae_decode_case(2048),
    "vae_encode_1024": lambda: vae_encode_case(1024),
    "vae_encode_2048": lambda: vae_encode_case(2048),
}
