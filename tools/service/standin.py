"""The stand-in inference service: four JSON endpoints with synthetic answers.

Serve with ``python -m tools.service --port PORT`` (or
``bentoml serve tools.service.standin:StandIn``). Every argument that may be null
or of several kinds is typed Any, so validation never rejects a request the
nodes send; the endpoints check what they actually use and answer 400.
"""

from __future__ import annotations

import contextlib
from http import HTTPStatus
from typing import Any, Dict

import bentoml
from bentoml.exceptions import BentoMLException, InvalidArgument

from . import synth
from .auth import BearerAuth
from .faults import Behaviour, StatusFault

BEHAVIOUR = Behaviour.from_env()


@contextlib.contextmanager
def _http_errors():
    """Turn the stand-in's own failures into the HTTP statuses they stand for."""
    try:
        yield
    except synth.BadInput as e:
        raise InvalidArgument(str(e)) from None
    except StatusFault as e:
        raise BentoMLException(str(e), error_code=HTTPStatus(e.status)) from None


def _field(mapping: Any, key: str, what: str) -> Any:
    if not isinstance(mapping, dict) or key not in mapping:
        raise synth.BadInput(f"{what}: missing {key!r}")
    return mapping[key]


@bentoml.service(
    name="vorna_standin",
    # sampling on the real service can take many minutes
    traffic={"timeout": 3600},
    workers=1,
    # sync endpoints run in a thread pool of this size: several clients at once
    threads=8,
)
class StandIn:
    @bentoml.api
    def text_encode(self, text: str, clip: Any) -> Dict[str, Any]:
        with _http_errors():
            return BEHAVIOUR.answer("text_encode", lambda: {
                "conditioning": synth.text_conditioning(text, clip)})

    @bentoml.api
    def sampler(
        self,
        model_inputs: Any,
        seed: int,
        steps: int,
        cfg: float,
        sampler_name: str,
        scheduler: str,
        denoise: float,
        latent_image: Dict[str, Any],
        prev_deferred_node: Any,
        positive: Any = None,
        negative: Any = None,
    ) -> Dict[str, Any]:
        def compute() -> dict:
            latent = synth.decode_tensor(_field(latent_image, "samples", "latent_image"),
                                         "latent_image.samples")
            mask = None
            if isinstance(prev_deferred_node, dict):
                inputs = prev_deferred_node.get("inputs")
                if isinstance(inputs, dict):
                    mask = synth.decode_mask(inputs.get("mask"))
            out = synth.sample_latent(
                latent, seed=seed, steps=steps, cfg=cfg, sampler_name=sampler_name,
                scheduler=scheduler, denoise=denoise, model_inputs=model_inputs,
                mask=mask)
            resp = {"samples": synth.encode_tensor(out)}
            if latent_image.get("batch_index") is not None:
                resp["batch_index"] = latent_image["batch_index"]
            return resp

        with _http_errors():
            return BEHAVIOUR.answer("sampler", compute)

    @bentoml.api
    def vae_decode(self, latent: Dict[str, Any], vae: Any) -> Dict[str, Any]:
        def compute() -> dict:
            samples = synth.decode_tensor(_field(latent, "samples", "latent"),
                                          "latent.samples")
            png = synth.encode_png(synth.latent_to_pixels(samples))
            field = BEHAVIOUR.image_field
            if field == "both":
                return {"image_binary": png, "images": png}
            return {field: png}

        with _http_errors():
            return BEHAVIOUR.answer("vae_decode", compute)

    @bentoml.api
    def vae_encode(self, image: str, vae: Any) -> Dict[str, Any]:
        def compute() -> dict:
            pixels = synth.decode_image(image, "image")
            return {"samples": synth.encode_tensor(synth.pixels_to_latent(pixels))}

        with _http_errors():
            return BEHAVIOUR.answer("vae_encode", compute)


StandIn.add_asgi_middleware(BearerAuth)
