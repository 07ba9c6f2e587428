"""Shared pieces of the reliability tests: the four executing nodes with good
inputs and good answers, a hang guard, the figures' files, and a scanner that
looks for a secret in everything an exception carries (the recording client
is conftest's)."""
from __future__ import annotations

import dataclasses
import os
import threading
import time
from pathlib import Path
from typing import Any, Callable

import pytest

from conftest import encode_png, encode_tensor

PACKAGE = "vorna_comfyui_engine"
ROOT = Path(__file__).resolve().parent.parent
# Long runs (full soak, many examples) only when asked for.
LONG = os.environ.get("VORNA_RELIABILITY_LONG", "") not in ("", "0")

BASE_LOGGER = f"{PACKAGE}.base"


def module(name: str):
    return pytest.importorskip(f"{PACKAGE}.{name}")


# ---------------------------------------------------------------------------
# The executing nodes

@dataclasses.dataclass
class NodeCase:
    """One executing node: how to call it with good inputs, what a good answer
    looks like, and what its failure handling promises."""

    name: str                       # short id for test ids and figures
    module: str
    cls: str
    method: str
    endpoint: str
    wrap_prefix: str | None         # ValueError prefix, or None: failures pass through
    make_inputs: Callable[[Any], dict]
    make_answer: Callable[[], dict]

    def node_class(self):
        return getattr(module(self.module), self.cls)

    def call(self, node, **overrides):
        base = module("base")
        kwargs = self.make_inputs(base)
        kwargs.update(overrides)
        return getattr(node, self.method)(**kwargs)


def _latent():
    import torch

    return {"samples": torch.linspace(-1, 1, 1 * 16 * 1 * 4 * 4).reshape(1, 16, 1, 4, 4)}


def _text_inputs(base):
    clip = base.NodeIO(name="CLIPLoader", inputs={"clip_name": "qwen_2.5_vl_7b.safetensors",
                                                   "type": "qwen_image", "device": "default"})
    return {"clip": clip, "text": "a lighthouse at dusk"}


def _text_answer():
    import torch

    return {"conditioning": [[{"__tensor__": encode_tensor(torch.ones(1, 3, 8))},
                              {"pooled_output": {"__tensor__": encode_tensor(torch.ones(1, 8))}}]]}


def _sampler_inputs(base):
    import torch

    model = base.NodeIO(name="UNETLoader", inputs={"unet_name": "qwen_image.safetensors",
                                                   "weight_dtype": "default"})
    cond = [[torch.ones(1, 3, 8), {"pooled_output": torch.ones(1, 8)}]]
    return {"model": model, "positive": cond, "negative": cond, "latent_image": _latent(),
            "seed": 7, "steps": 4, "cfg": 1.0, "sampler_name": "euler", "scheduler": "normal",
            "denoise": 1.0}


def _sampler_answer():
    import torch

    return {"samples": encode_tensor(torch.zeros(1, 16, 1, 4, 4))}


def _decode_inputs(base):
    return {"latent": _latent(), "vae": base.NodeIO(name="VAELoader", inputs={"vae_name": "qwen_image_vae.safetensors"})}


def _decode_answer():
    return {"image_binary": encode_png()}


def _encode_inputs(base):
    import torch

    image = torch.linspace(0, 1, 32 * 32 * 3).reshape(1, 32, 32, 3)
    return {"image": image, "vae": base.NodeIO(name="VAELoader", inputs={"vae_name": "qwen_image_vae.safetensors"})}


def _encode_answer():
    import torch

    return {"samples": encode_tensor(torch.zeros(1, 16, 1, 4, 4))}


NODES = [
    NodeCase("text_encode", "clip_loader", "VornaCLIPTextEncode", "encode", "text_encode",
             "Failed to encode text: ", _text_inputs, _text_answer),
    NodeCase("sampler", "ksampler", "VornaKSampler", "sample", "sampler",
             None, _sampler_inputs, _sampler_answer),
    NodeCase("vae_decode", "vae_decode", "VornaVAEDecode", "decode", "vae_decode",
             "Failed to decode vae: ", _decode_inputs, _decode_answer),
    NodeCase("vae_encode", "vae_encode", "VornaVAEEncode", "encode", "vae_encode",
             "Failed to encode vae: ", _encode_inputs, _encode_answer),
]
NODE_IDS = [n.name for n in NODES]


# ---------------------------------------------------------------------------
# Tensor archives as torch's own writer writes them

def archive_records(raw: bytes) -> dict:
    """The records of a torch.save archive by name inside its folder, less the
    two its writer adds itself (version, serialization id)."""
    import io
    import zipfile

    src = zipfile.ZipFile(io.BytesIO(raw))
    records = {info.filename.split("/", 1)[1]: src.read(info) for info in src.infolist()}
    return {name: data for name, data in records.items() if name not in ("version", ".data/serialization_id")}


def written(records: dict) -> bytes:
    """An archive from torch's own writer holding these records (None: left out)."""
    import io

    import torch

    buf = io.BytesIO()
    with torch.serialization._open_zipfile_writer(buf) as archive:
        for name, data in records.items():
            if data is not None:
                archive.write_record(name, data, len(data))
    return buf.getvalue()


def check_good_result(case: NodeCase, result) -> None:
    """What a successful call returns, whatever the service computed."""
    import torch

    assert isinstance(result, tuple) and len(result) == 1
    value = result[0]
    if case.name == "text_encode":
        assert isinstance(value, list) and value
    elif case.name in ("sampler", "vae_encode"):
        assert isinstance(value, dict) and isinstance(value["samples"], torch.Tensor)
    else:
        assert isinstance(value, torch.Tensor) and value.dtype == torch.float32
        assert value.ndim == 4 and value.shape[0] == 1 and value.shape[-1] == 3


# ---------------------------------------------------------------------------
# Hang guard

class Hung(AssertionError):
    pass


def bounded(fn: Callable[[], Any], limit: float):
    """Runs fn() on a daemon thread and waits at most `limit` seconds: a hang
    fails the test instead of stalling the run. Returns (value, exception,
    elapsed wall seconds, process CPU seconds)."""
    box: dict = {}

    def run():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back to the caller
            box["error"] = e

    wall0, cpu0 = time.monotonic(), time.process_time()
    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(limit)
    wall, cpu = time.monotonic() - wall0, time.process_time() - cpu0
    if worker.is_alive():
        raise Hung(f"call still running after {limit:.0f} s")
    return box.get("value"), box.get("error"), wall, cpu


# ---------------------------------------------------------------------------
# Figures

def write_figures(name: str, lines: list[str]) -> Path:
    """Measured figures go to build/reliability-figures/<name>.md (the
    directory can be changed with VORNA_RELIABILITY_FIGURES); never asserted."""
    folder = Path(os.environ.get("VORNA_RELIABILITY_FIGURES", ROOT / "build" / "reliability-figures"))
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"{name}.md"
    path.write_text("\n".join(lines) + "\n")
    return path


# ---------------------------------------------------------------------------
# Secrets

def exception_chain(exc: BaseException):
    """The exception and everything chained to it (context, cause), once each."""
    seen, stack = [], [exc]
    while stack:
        e = stack.pop()
        if e is None or any(e is s for s in seen):
            continue
        seen.append(e)
        stack.extend([e.__context__, e.__cause__])
    return seen


def texts_of_exception(exc: BaseException) -> list[str]:
    """Every text a host could show for an exception: str, repr, args, notes,
    the formatted traceback, for the whole chain."""
    import traceback

    out = ["".join(traceback.format_exception(exc))]
    for e in exception_chain(exc):
        out += [str(e), repr(e)]
        out += [repr(a) for a in getattr(e, "args", ())]
        out += [str(n) for n in getattr(e, "__notes__", ())]
    return out


def texts_of_records(records) -> list[str]:
    out = []
    for r in records:
        out.append(r.getMessage())
        out.append(repr(r.args))
        if r.exc_info and r.exc_info[1] is not None:
            out += texts_of_exception(r.exc_info[1])
    return out
