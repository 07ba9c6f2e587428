"""The ten nodes, once: how the host finds each one, and for the four that
call the service, good inputs, a good answer and what their failure
handling promises."""
from __future__ import annotations

import dataclasses
from typing import Any, Callable, Optional

from . import module
from .values import encode_png, encode_tensor

VAE = {"vae_name": "qwen_image_vae.safetensors"}


def _latent(side):
    import torch

    return {"samples": torch.linspace(-1, 1, 16 * side * side).reshape(1, 16, 1, side, side)}


def _text_inputs(base, heavy):
    clip = base.NodeIO(name="CLIPLoader", inputs={"clip_name": "qwen_2.5_vl_7b.safetensors",
                                                   "type": "qwen_image", "device": "default"})
    return {"clip": clip, "text": "a lighthouse at dusk"}


def _text_answer(heavy):
    import torch

    return {"conditioning": [[{"__tensor__": encode_tensor(torch.ones(1, 3, 8))},
                              {"pooled_output": {"__tensor__": encode_tensor(torch.ones(1, 8))}}]]}


def _sampler_inputs(base, heavy):
    import torch

    model = base.NodeIO(name="UNETLoader", inputs={"unet_name": "qwen_image.safetensors",
                                                   "weight_dtype": "default"})
    cond = [[torch.ones(1, 3, 8), {"pooled_output": torch.ones(1, 8)}]]
    return {"model": model, "positive": cond, "negative": cond, "latent_image": _latent(128 if heavy else 4),
            "seed": 7, "steps": 4, "cfg": 1.0, "sampler_name": "euler", "scheduler": "normal",
            "denoise": 1.0}


def _samples_answer(heavy):
    import torch

    side = 128 if heavy else 4
    return {"samples": encode_tensor(torch.zeros(1, 16, 1, side, side))}


def _decode_inputs(base, heavy):
    return {"latent": _latent(128 if heavy else 4), "vae": base.NodeIO(name="VAELoader", inputs=dict(VAE))}


def _decode_answer(heavy):
    return {"image_binary": encode_png(512, 512) if heavy else encode_png()}


def _encode_inputs(base, heavy):
    import torch

    # A smooth picture: PNG writes it quickly (512 x 512 float32 is 3 MiB).
    side = 512 if heavy else 32
    image = torch.linspace(0, 1, side * side * 3).reshape(1, side, side, 3)
    return {"image": image, "vae": base.NodeIO(name="VAELoader", inputs=dict(VAE))}


@dataclasses.dataclass
class Node:
    """One node as the host reads it; `endpoint` and below only for the four
    that call the service."""

    module: str
    key: str                        # registry key
    cls: str
    display: str
    parent: Optional[str]           # base class in `base`, None: object
    category: str
    method: str                     # FUNCTION, the entry method
    returns: tuple
    name: str = ""                  # short id of an executing node, for test ids and figures
    endpoint: Optional[str] = None
    wrap_prefix: Optional[str] = None   # ValueError prefix, or None: failures pass through
    inputs: Optional[Callable[[Any, bool], dict]] = None    # (base, heavy) -> keyword inputs
    answer: Optional[Callable[[bool], dict]] = None          # heavy -> a good answer

    def node_class(self):
        return getattr(module(self.module), self.cls)

    def make_inputs(self, heavy=False) -> dict:
        """Good keyword inputs; `heavy`: a 1 MiB latent, a 512 x 512 picture."""
        return self.inputs(module("base"), heavy)

    def make_answer(self, heavy=False) -> dict:
        return self.answer(heavy)

    def call(self, node, **overrides):
        kwargs = self.make_inputs()
        kwargs.update(overrides)
        return getattr(node, self.method)(**kwargs)

    def check_good_result(self, result) -> None:
        """What a successful call returns, whatever the service computed."""
        import torch

        assert isinstance(result, tuple) and len(result) == 1
        value = result[0]
        if self.name == "text_encode":
            assert isinstance(value, list) and value
        elif self.name in ("sampler", "vae_encode"):
            assert isinstance(value, dict) and isinstance(value["samples"], torch.Tensor)
        else:
            assert isinstance(value, torch.Tensor) and value.dtype == torch.float32
            assert value.ndim == 4 and value.shape[0] == 1 and value.shape[-1] == 3


ALL_NODES = [
    Node("clip_loader", "VornaCLIPLoader", "VornaCLIPLoader", "Vorna CLIP Loader", None, "Vorna/loaders",
         "load_clip", ("CLIP",)),
    Node("clip_loader", "VornaCLIPTextEncode", "VornaCLIPTextEncode", "Vorna CLIP Text Encode", "BaseNode",
         "Vorna/conditioning", "encode", ("CONDITIONING",), "text_encode", "text_encode", "Failed to encode text: ",
         _text_inputs, _text_answer),
    Node("unet_loader", "Vorna UNETLoader", "VornaUNetLoader", "Vorna UNETLoader", "BaseNode", "Vorna/loaders",
         "load_unet", ("MODEL",)),
    Node("model_sampling_aura_flow", "Vorna ModelSamplingAuraFlow", "VornaModelSamplingAuraFlow",
         "Vorna ModelSamplingAuraFlow", "BaseNode", "Vorna/sampling", "patch_aura", ("MODEL",)),
    Node("controlnet", "Vorna ControlNetLoader", "VornaControlNetLoader", "Vorna ControlNetLoader", None,
         "Vorna/loaders", "load_controlnet", ("CONTROL_NET",)),
    Node("controlnet", "Vorna ControlNetInpaintingAliMamaApply", "VornaControlNetInpaintingAliMamaApply",
         "Vorna ControlNetInpaintingAliMamaApply", None, "Vorna/conditioning", "apply", ("CONDITIONING", "CONDITIONING")),
    Node("vae_loader", "Vorna VAELoader", "VornaVAELoader", "Vorna VAELoader", "BaseNode", "Vorna/loaders",
         "load_vae", ("VAE",)),
    Node("ksampler", "Vorna KSampler", "VornaKSampler", "Vorna KSampler", "BaseNode", "Vorna/sampling", "sample",
         ("LATENT",), "sampler", "sampler", None, _sampler_inputs, _samples_answer),
    Node("vae_decode", "Vorna VAEDecode", "VornaVAEDecode", "Vorna VAEDecode", "BaseNode", "Vorna/vae", "decode",
         ("IMAGE",), "vae_decode", "vae_decode", "Failed to decode vae: ", _decode_inputs, _decode_answer),
    Node("vae_encode", "Vorna VAEEncode", "VornaVAEEncode", "Vorna VAEEncode", "BaseNode", "Vorna/vae", "encode",
         ("LATENT",), "vae_encode", "vae_encode", "Failed to encode vae: ", _encode_inputs, _samples_answer),
]

# The four executing nodes, in the order of a graph's road.
NODES = [node for node in ALL_NODES if node.endpoint]
NODE_IDS = [node.name for node in NODES]
BY_NAME = {node.name: node for node in NODES}


def good_answers(heavy=False) -> dict:
    """A good answer for every endpoint, for a fake client's `answers`."""
    return {node.endpoint: node.make_answer(heavy) for node in NODES}




def assert_wrapped(err, prefix, cause):
    """`err` wraps `cause` as the nodes do: a ValueError of prefix + its text,
    with the cause as context (raised inside the except block), not as cause."""
    assert type(err) is ValueError
    assert err.args == (prefix + str(cause),)
    assert err.__context__ is cause
    assert err.__cause__ is None and err.__suppress_context__ is False


def root_errors(caplog):
    """The ERROR records of the root logger (the VAE decode node logs there)."""
    import logging

    return [r.getMessage() for r in caplog.records if r.name == "root" and r.levelno == logging.ERROR]


def raising(exc):
    """A function that raises `exc`, whatever it is given."""
    def f(*args, **kwargs):
        raise exc
    return f


def schema_defaults(cls):
    """Keyword inputs as the host would send them: every schema input at its default."""
    schema = cls.INPUT_TYPES()
    return {name: spec[1]["default"] for group in schema.values() for name, spec in group.items()
            if len(spec) == 2}
