"""Host values as current ComfyUI hands them over and looks at them: its
cache reads attributes of every node output, with --fp16-intermediates
pictures and masks come in float16, and latents have extra entries."""
from collections.abc import Mapping

import torch

from tests.support.host import copy_root, need_node_modules, workflow
from tests.support.nodes import BY_NAME, good_answers
from tools.harness import Host, sample_inputs

# What current ComfyUI reads off every output after each node, outside any
# error handling (comfy_execution/caching.py all_outputs_dynamic and
# RAMPressureCache.ram_release, comfy/model_patcher.py PromptModelTracker.add),
# and a name nobody reads.
INSPECTED = ("is_dynamic", "patcher", "get_models", "_comfy_cache_tensors", "vorna_any_name")
MISSING = object()


def objects_in(value):
    """The value and what it holds, walked as that cache walks outputs."""
    yield value
    if isinstance(value, (list, tuple, Mapping)):
        for item in value.values() if isinstance(value, Mapping) else value:
            yield from objects_in(item)


def test_no_output_of_any_node_has_what_the_cache_looks_for(client, tmp_path):
    client.answers.update(good_answers())
    modules = need_node_modules()
    host = Host(tmp_path, tmp_path)
    host.load_custom_nodes(copy_root(tmp_path / "vorna_nodes"))
    sample_inputs.write(tmp_path)
    seen = set()
    for name in ("text_to_image", "image_to_image", "inpainting"):
        graph = workflow(name)
        for node_id, outputs in host.execute(graph).outputs.items():
            class_type = graph[node_id]["class_type"]
            seen.add(class_type)
            for obj in objects_in(outputs):
                # Both raise nothing but AttributeError, which they take for "no".
                assert [getattr(obj, attr, MISSING) for attr in INSPECTED] == [MISSING] * len(INSPECTED), \
                    (class_type, type(obj))
                assert not any(hasattr(obj, attr) for attr in INSPECTED)
    assert {k for m in modules.values() for k in m.NODE_CLASS_MAPPINGS} <= seen


def requests(client, image, mask, latent):
    """What the nodes that take pictures, masks and latents send for these."""
    from vorna_comfyui_engine import base, controlnet, ksampler, vae_decode, vae_encode
    client.calls.clear()
    sampler = BY_NAME["sampler"].make_inputs()
    vae = BY_NAME["vae_encode"].make_inputs()["vae"]
    control_net = base.NodeIO(name="ControlNetLoader", inputs={"control_net_name": "inpainting.safetensors"})
    BY_NAME["vae_encode"].call(vae_encode.VornaVAEEncode(), image=image)
    positive, negative = controlnet.VornaControlNetInpaintingAliMamaApply().apply(
        positive=sampler["positive"], negative=sampler["negative"], control_net=control_net, vae=vae, vae_name="",
        image=image, mask=mask, strength=1.0, start_percent=0.0, end_percent=1.0)
    BY_NAME["sampler"].call(ksampler.VornaKSampler(), positive=positive, negative=negative, latent_image=latent)
    BY_NAME["vae_decode"].call(vae_decode.VornaVAEDecode(), latent=latent)
    return [(name, comparable(kwargs)) for name, kwargs in client.calls]


def comparable(value):
    """The value with the tensors in it as (dtype, values)."""
    if isinstance(value, torch.Tensor):
        return value.dtype, value.tolist()
    if isinstance(value, Mapping):
        return {k: comparable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [comparable(item) for item in value]
    return value


def test_float16_pictures_and_masks_and_extra_latent_entries_give_the_requests_of_plain_ones(
        client, monkeypatch):
    ksampler = need_node_modules()["ksampler"]
    client.answers.update(good_answers())
    # The sampler's object encoder (looked up at call time) in a form that compares: a pickle
    # names the memory address of each tensor's storage, so equal tensors never pickle alike.
    monkeypatch.setattr(ksampler, "serialize_with_pyarrow", comparable)
    generator = torch.Generator().manual_seed(5)
    # Values that float16 holds exactly, so that float32 has the very same ones.
    image = torch.randint(0, 257, (2, 24, 40, 3), generator=generator) / 256
    mask = (torch.rand(1, 24, 40, generator=generator) > 0.5).float()
    samples = torch.randn(1, 16, 1, 3, 5, generator=generator)
    plain = requests(client, image, mask, {"samples": samples})
    # As ComfyUI's LoadImage and empty-latent nodes give them (--fp16-intermediates for the first).
    assert requests(client, image.half(), mask.half(),
                    {"samples": samples, "downscale_ratio_spacial": 8}) == plain
    assert [name for name, _ in plain] == ["vae_encode", "sampler", "vae_decode"]
    # An 8-bit picture, which float16 holds only roughly, still travels as the same PNG.
    levels = torch.randint(0, 256, (1, 24, 40, 3), generator=generator) / 255
    assert requests(client, levels.half(), mask, {"samples": samples})[0] == \
        requests(client, levels, mask, {"samples": samples})[0]
