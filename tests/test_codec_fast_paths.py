"""The one-pass base64 routines and in-place steps stand in for the library
only where nobody could tell: a base64 or binascii function replaced on the
real modules is still called, and the caller's tensors are never touched."""
import base64 as b64
import binascii
import io

import numpy as np
import pytest
import torch
from PIL import Image

from conftest import encode_png, encode_tensor

base = pytest.importorskip("vorna_comfyui_engine.base")
ksampler = pytest.importorskip("vorna_comfyui_engine.ksampler")
vae_decode = pytest.importorskip("vorna_comfyui_engine.vae_decode")


def spy(monkeypatch, module, name):
    seen = []
    original = getattr(module, name)

    def wrapper(*args, **kwargs):
        seen.append(args[0])
        return original(*args, **kwargs)

    monkeypatch.setattr(module, name, wrapper)
    return seen


def decode_calls():
    latent = torch.arange(8.0).reshape(1, 2, 1, 2, 2)
    text, png = encode_tensor(latent), encode_png(3, 4)
    return {
        "base64_to_tensor": (text, lambda: base.base64_to_tensor(text)),
        "base64_to_image": (png, lambda: base.base64_to_image(png)),
        "deserialize_conditioning": (text, lambda: base.deserialize_conditioning({"__tensor__": text})),
        "sampler answer": (text, lambda: sample({"samples": text})),
        "vae_decode answer": (png, lambda: decode({"image_binary": png})),
    }


def sample(answer):
    base.SyncHTTPClient.answer = answer
    latent = {"samples": torch.zeros(1, 2, 1, 2, 2)}
    return ksampler.VornaKSampler().sample(None, [], [], latent, 0, 1, 1.0, "euler", "normal", 1.0)


def decode(answer):
    base.SyncHTTPClient.answer = answer
    return vae_decode.VornaVAEDecode().decode({"samples": torch.zeros(1, 2, 1, 2, 2)}, None)


@pytest.fixture(autouse=True)
def client(recording_client):
    return recording_client


@pytest.mark.parametrize("call", list(decode_calls()))
@pytest.mark.parametrize("module, name", [(b64, "b64decode"), (binascii, "a2b_base64")])
def test_a_replaced_decoder_on_the_real_module_is_called(monkeypatch, call, module, name):
    text, run = decode_calls()[call]
    seen = spy(monkeypatch, module, name)
    run()
    assert len(seen) >= 1 and seen[-1] in (text, text.encode())


@pytest.mark.parametrize("module, name", [(b64, "b64encode"), (binascii, "b2a_base64")])
def test_a_replaced_encoder_on_the_real_module_is_called(monkeypatch, module, name):
    seen = spy(monkeypatch, module, name)
    base.tensor_to_base64(torch.zeros(2))
    base.image_to_base64(torch.zeros(1, 2, 2, 3))
    base.serialize_with_pyarrow([1, 2])
    assert len(seen) == 3


def test_changed_defaults_are_honoured(monkeypatch):
    # validate=True rejects the stray character the lenient decoder skips.
    monkeypatch.setattr(b64.b64decode, "__defaults__", (None, True))
    with pytest.raises(binascii.Error):
        base.base64_to_tensor("AAAA\n")


def test_image_encoding_leaves_the_callers_tensor_alone_and_matches_the_library():
    image = torch.tensor([[[1.5, -0.2, 0.999], [0.5, 0.25, 1.0]]]).reshape(1, 1, 2, 3)
    before = image.clone()
    expected_pixels = (image[0] * 255).clamp(0, 255).byte().numpy()
    for variant in (image, image.clone().requires_grad_(True), image.as_subclass(type("T", (torch.Tensor,), {}))):
        text = base.image_to_base64(variant)
        pixels = np.array(Image.open(io.BytesIO(b64.b64decode(text))))
        assert np.array_equal(pixels, expected_pixels)
    assert torch.equal(image, before)


def test_decoded_pictures_equal_the_library_steps():
    png = encode_png(5, 7)
    (from_node,) = decode({"image_binary": png})
    expected = np.array(Image.open(io.BytesIO(b64.b64decode(png))).convert("RGB")).astype(np.float32) / 255.0
    for got in (from_node, base.base64_to_image(png)):
        assert got.dtype == torch.float32 and got.shape == (1, 5, 7, 3)
        assert np.array_equal(got[0].numpy(), expected)
        assert got[0].numpy().flags.writeable
