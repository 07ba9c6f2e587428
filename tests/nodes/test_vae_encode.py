"""VAE encode node: its request, the answer's latent, and what it wraps."""
import base64
import io

import numpy as np
import pytest
import torch
from PIL import Image

from tests.support.nodes import VAE, assert_wrapped, raising, root_errors
from tests.support.request import logged
from tests.support.values import encode_tensor

vae_encode = pytest.importorskip("vorna_comfyui_engine.vae_encode")
import vorna_comfyui_engine.base as base  # noqa: E402

Encode = vae_encode.VornaVAEEncode
DESCRIPTOR = base.NodeIO(name="VAELoader", inputs=dict(VAE))


# ---- VAE encode --------------------------------------------------------------

def test_encode_request_shape_sends_first_image_and_full_descriptor(client):
    first = torch.zeros(4, 6, 3)
    first[0, 0] = torch.tensor([1.0, 0.5, 0.0])
    batch = torch.stack([first, torch.ones(4, 6, 3)])
    client.answer = {"samples": encode_tensor(torch.zeros(1))}
    Encode().encode(image=batch, vae=DESCRIPTOR)
    assert len(client.built) == 1 and len(client.calls) == 1
    name, kwargs = client.calls[0]
    assert name == "vae_encode" and list(kwargs) == ["image", "vae"]
    assert kwargs["vae"] == {"name": "VAELoader", "inputs": {"vae_name": "qwen_image_vae.safetensors"}}
    sent = np.array(Image.open(io.BytesIO(base64.b64decode(kwargs["image"]))))
    assert sent.shape == (4, 6, 3) and sent[0, 0].tolist() == [255, 127, 0] and sent[1:].max() == 0


def test_encode_latent_holds_batch_index_only_when_answered(client, caplog):
    samples = torch.randn(1, 16, 1, 2, 3)
    client.answer = {"samples": encode_tensor(samples), "unrelated": 1}
    node = Encode()
    first = node.encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)
    assert type(first) is tuple and len(first) == 1
    assert list(first[0]) == ["samples"] and torch.equal(first[0]["samples"], samples)
    assert node.encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)[0] is not first[0]

    index = [0]
    client.answer = {"batch_index": index, "samples": encode_tensor(samples)}
    (latent,) = node.encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)
    assert list(latent) == ["samples", "batch_index"] and latent["batch_index"] is index
    client.answer = {"samples": encode_tensor(samples), "batch_index": None}
    assert node.encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)[0]["batch_index"] is None
    assert caplog.records == []


def test_encode_reads_send_request_and_globals_at_call_time(monkeypatch):
    seen = []
    node = Encode()
    node.send_request = lambda url, payload: seen.append((url, payload)) or {"samples": "S"}
    monkeypatch.setattr(vae_encode, "image_to_base64", lambda image: "I")
    monkeypatch.setattr(vae_encode, "base64_to_tensor", lambda data: ("tensor", data))
    assert node.encode("img", DESCRIPTOR) == ({"samples": ("tensor", "S")},)
    assert seen == [("vae_encode", {"image": "I", "vae": DESCRIPTOR.to_dict()})]


@pytest.mark.parametrize("image, vae, text", [
    ("not a tensor", DESCRIPTOR, "'str' object has no attribute 'shape'"),
    (torch.rand(1, 2, 2, 3), "plain string", "'str' object has no attribute 'to_dict'"),
    (torch.rand(1, 2, 2, 3), {"name": "VAELoader"}, "'dict' object has no attribute 'to_dict'"),
])
def test_encode_bad_inputs_send_nothing(client, caplog, image, vae, text):
    with pytest.raises(ValueError) as info:
        Encode().encode(image, vae)
    assert isinstance(info.value.__context__, AttributeError)
    assert_wrapped(info.value, "Failed to encode vae: ", info.value.__context__)
    assert str(info.value) == "Failed to encode vae: " + text
    assert client.built == [] and caplog.records == []


def test_encode_request_failure_is_wrapped_after_base_logs_it(client, caplog):
    client.error = TimeoutError("read timed out")
    with pytest.raises(ValueError) as info:
        Encode().encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)
    assert_wrapped(info.value, "Failed to encode vae: ", client.error)
    assert len(client.calls) == 1
    assert logged(caplog) == ["send request failed: read timed out"] and root_errors(caplog) == []


class SamplesOnly(dict):
    def __contains__(self, key):
        raise LookupError("no membership")


@pytest.mark.parametrize("answer, suppress, text", [
    (None, True, "'NoneType' object is not subscriptable"),
    ({"batch_index": 0}, False, "'samples'"),
    ({"samples": base64.b64encode(b"not a tensor").decode()}, False, None),
    ({"samples": 12}, False, None),
    (SamplesOnly(samples=encode_tensor(torch.zeros(1))), False, "no membership"),
])
def test_encode_bad_answers(client, caplog, answer, suppress, text):
    if suppress:
        client.error, client.suppress = RuntimeError("swallowed"), True
    else:
        client.answer = answer
    with pytest.raises(ValueError) as info:
        Encode().encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)
    assert_wrapped(info.value, "Failed to encode vae: ", info.value.__context__)
    if text is not None:
        assert str(info.value) == "Failed to encode vae: " + text
    assert len(client.calls) == 1
    assert [r for r in caplog.records if r.name != "vorna_comfyui_engine.base"] == []


def test_encode_lets_base_exceptions_through(client, monkeypatch):
    interrupt = KeyboardInterrupt()
    client.error = interrupt
    with pytest.raises(KeyboardInterrupt) as info:
        Encode().encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)
    assert info.value is interrupt
    client.error = None
    monkeypatch.setattr(vae_encode, "base64_to_tensor", raising(SystemExit(3)))
    client.answer = {"samples": "x"}
    with pytest.raises(SystemExit):
        Encode().encode(torch.rand(1, 2, 2, 3), DESCRIPTOR)


# ---- a real round trip through bentoml's client -----------------------------

@pytest.mark.standin
def test_encode_round_trip_1024(standin_calls, caplog):
    image = torch.rand(1, 1024, 1024, 3)
    (latent,) = Encode().encode(image, DESCRIPTOR)
    assert standin_calls == ["vae_encode"]
    assert isinstance(latent["samples"], torch.Tensor)
    assert tuple(latent["samples"].shape) == (1, 16, 1, 128, 128)
    assert caplog.records == []
