"""VAE decode node: its request, the answer's picture and its fallback, and
what it wraps and logs."""
import base64
import binascii
import io
import logging

import numpy as np
import pytest
import torch
from PIL import Image

from tests.support.nodes import VAE, assert_wrapped, raising, root_errors
from tests.support.request import logged

vae_decode = pytest.importorskip("vorna_comfyui_engine.vae_decode")
vae_encode = pytest.importorskip("vorna_comfyui_engine.vae_encode")
import vorna_comfyui_engine.base as base  # noqa: E402

Decode = vae_decode.VornaVAEDecode
DESCRIPTOR = base.NodeIO(name="VAELoader", inputs=dict(VAE))


# ---- helpers -----------------------------------------------------------------

def encoded_png(width, height, mode="RGB", color=(255, 255, 255)):
    buf = io.BytesIO()
    Image.new(mode, (width, height), color).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode()


def decoded_tensor(text):
    return torch.load(io.BytesIO(base64.b64decode(text)), map_location="cpu")


LATENT = {"samples": torch.arange(8, dtype=torch.float32).reshape(1, 2, 1, 2, 2)}


# ---- module surface ----------------------------------------------------------

def test_modules_take_the_base_objects():
    assert vae_decode.base64_to_image is base.base64_to_image and vae_encode.BaseNode is base.BaseNode


# ---- VAE decode: request -----------------------------------------------------

class NoInputs:
    pass


class InputsAttributeError:
    @property
    def inputs(self):
        raise AttributeError("not here")


@pytest.mark.parametrize("latent_extra, vae, sent_batch, sent_vae", [
    ({}, DESCRIPTOR, None, {"vae_name": "qwen_image_vae.safetensors"}),
    ({"batch_index": [0, 3]}, "plain string", [0, 3], None),
    ({"batch_index": 7}, NoInputs(), 7, None),
    ({"batch_index": None}, InputsAttributeError(), None, None),
    ({}, None, None, None),
])
def test_decode_request_shape(client, latent_extra, vae, sent_batch, sent_vae):
    client.answer = {"image_binary": encoded_png(2, 2)}
    latent = dict(LATENT, **latent_extra)
    Decode().decode(latent=latent, vae=vae)
    assert len(client.built) == 1 and len(client.calls) == 1
    name, kwargs = client.calls[0]
    assert name == "vae_decode" and list(kwargs) == ["latent", "vae"]
    assert list(kwargs["latent"]) == ["samples", "batch_index"]
    assert torch.equal(decoded_tensor(kwargs["latent"]["samples"]), LATENT["samples"])
    assert kwargs["latent"]["batch_index"] == sent_batch
    if "batch_index" in latent_extra:
        assert kwargs["latent"]["batch_index"] is latent_extra["batch_index"]
    assert kwargs["vae"] == sent_vae
    if sent_vae is not None:
        # Only the descriptor's inputs travel, and they are not copied.
        assert kwargs["vae"] is vae.inputs


def test_decode_reads_send_request_and_globals_at_call_time(monkeypatch):
    seen = []
    node = Decode()
    node.send_request = lambda url, payload: seen.append((url, payload)) or {"images": "imgs"}
    monkeypatch.setattr(vae_decode, "tensor_to_base64", lambda t: "T")
    monkeypatch.setattr(vae_decode, "base64_to_image", lambda data: ("decoded", data))
    assert node.decode(LATENT, None) == (("decoded", "imgs"),)
    assert seen == [("vae_decode", {"latent": {"samples": "T", "batch_index": None}, "vae": None})]


# ---- VAE decode: answers -----------------------------------------------------

@pytest.mark.parametrize("mode, color", [
    ("RGBA", (255, 255, 255, 0)),   # alpha dropped, white stays white
    ("L", 255),
    ("P", 0),                        # palette index 0 is black
])
def test_decode_image_binary_becomes_one_float_image(client, caplog, mode, color):
    client.answer = {"image_binary": encoded_png(640, 480, mode, color), "other": 1}
    out = Decode().decode(LATENT, DESCRIPTOR)
    assert type(out) is tuple and len(out) == 1
    image = out[0]
    assert isinstance(image, torch.Tensor) and image.dtype == torch.float32
    assert tuple(image.shape) == (1, 480, 640, 3)
    expected = 0.0 if mode == "P" else 1.0
    assert torch.all(image == expected)
    assert root_errors(caplog) == [] and logged(caplog) == []


def test_decode_prefers_image_binary_and_falls_back_only_without_it(client, caplog):
    pixels = np.array([[[0, 128, 255], [1, 2, 3]]], dtype=np.uint8)
    buf = io.BytesIO()
    Image.fromarray(pixels).save(buf, format="PNG")
    client.answer = {"images": encoded_png(3, 5), "image_binary": base64.b64encode(buf.getvalue()).decode()}
    (image,) = Decode().decode(LATENT, DESCRIPTOR)
    assert torch.equal(image, torch.from_numpy(pixels.astype(np.float32) / 255.0)[None])
    client.answer = {"images": encoded_png(3, 5, "L", 0)}
    (image,) = Decode().decode(LATENT, DESCRIPTOR)
    assert image.shape == (1, 5, 3, 3) and torch.all(image == 0.0)
    assert root_errors(caplog) == []


# ---- VAE decode: failures ----------------------------------------------------

def test_decode_probe_error_escapes_unwrapped_before_any_request(client):
    error = RuntimeError("descriptor broke")

    class Broken:
        @property
        def inputs(self):
            raise error

    with pytest.raises(RuntimeError) as info:
        Decode().decode(LATENT, Broken())
    assert info.value is error and client.built == []


@pytest.mark.parametrize("latent, cause_type, text", [
    ({}, KeyError, "'samples'"),
    ({"batch_index": 0}, KeyError, "'samples'"),
    ([1, 2], TypeError, "list indices must be integers or slices, not str"),
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ({"samples": lambda: 0}, Exception, None),     # torch.save cannot pickle a lambda
])
def test_decode_bad_latent_sends_nothing(client, caplog, latent, cause_type, text):
    with pytest.raises(ValueError) as info:
        Decode().decode(latent, DESCRIPTOR)
    cause = info.value.__context__
    assert isinstance(cause, cause_type)
    assert_wrapped(info.value, "Failed to decode vae: ", cause)
    if text is not None:
        assert str(info.value) == "Failed to decode vae: " + text
    assert client.built == [] and root_errors(caplog) == [] and logged(caplog) == []


def test_decode_request_failure_is_wrapped_after_base_logs_it(client, caplog):
    client.error = ConnectionError("service down")
    with pytest.raises(ValueError) as info:
        Decode().decode(LATENT, DESCRIPTOR)
    assert_wrapped(info.value, "Failed to decode vae: ", client.error)
    assert len(client.calls) == 1
    assert logged(caplog) == ["send request failed: service down"]
    assert root_errors(caplog) == []


class RaisingContainer:
    def __init__(self, error):
        self.error = error

    def __contains__(self, key):
        raise self.error


@pytest.mark.parametrize("answer, suppress, text", [
    (None, True, "argument of type 'NoneType' is not iterable"),   # the client swallowed an error
    (5, False, "argument of type 'int' is not iterable"),
    (RaisingContainer(LookupError("no membership")), False, "no membership"),
])
def test_decode_answer_that_cannot_be_searched(client, caplog, answer, suppress, text):
    if suppress:
        client.error, client.suppress = RuntimeError("swallowed"), True
    else:
        client.answer = answer
    with pytest.raises(ValueError) as info:
        Decode().decode(LATENT, DESCRIPTOR)
    assert_wrapped(info.value, "Failed to decode vae: ", info.value.__context__)
    assert str(info.value) == "Failed to decode vae: " + text
    if isinstance(answer, RaisingContainer):
        assert info.value.__context__ is answer.error
    assert len(client.calls) == 1 and root_errors(caplog) == []


@pytest.mark.parametrize("image_binary, cause", [
    ("ab", "Incorrect padding"),
    (base64.b64encode(b"not an image").decode(), "cannot identify image file"),
    (None, "argument should be a bytes-like object or ASCII string, not 'NoneType'"),
])
def test_decode_bad_image_binary_falls_back_to_images_with_one_root_record(client, caplog, image_binary,
                                                                          cause):
    client.answer = {"image_binary": image_binary, "images": encoded_png(4, 3, "RGB", (0, 0, 0))}
    (image,) = Decode().decode(LATENT, DESCRIPTOR)
    assert image.shape == (1, 3, 4, 3) and torch.all(image == 0.0)
    records = [r for r in caplog.records if r.name == "root"]
    assert len(records) == 1 and records[0].levelno == logging.ERROR
    assert records[0].getMessage().startswith("Failed to decode vae: " + cause)
    assert logged(caplog) == []


@pytest.mark.parametrize("stage", ["Image", "np", "torch"])
def test_decode_fallback_runs_before_the_log_line(client, monkeypatch, stage):
    error = OSError(f"{stage} failed")
    events = []
    monkeypatch.setattr(vae_decode, stage, type("Broken", (), {
        "open": staticmethod(raising(error)), "array": staticmethod(raising(error)),
        "from_numpy": staticmethod(raising(error)), "float32": np.float32})())
    monkeypatch.setattr(vae_decode, "base64_to_image", lambda data: events.append(("fallback", data)) or "img")

    class Log:
        @staticmethod
        def error(message):
            events.append(("log", message))

    monkeypatch.setattr(vae_decode, "logging", Log)
    client.answer = {"image_binary": encoded_png(2, 2)}
    assert Decode().decode(LATENT, DESCRIPTOR) == ("img",)
    assert events == [("fallback", ""), ("log", f"Failed to decode vae: {stage} failed")]


def test_decode_failed_fallback_is_wrapped_and_not_logged(client, caplog, monkeypatch):
    client.answer = {"image_binary": "ab"}      # not base64, and no "images" to fall back on
    with pytest.raises(ValueError) as info:
        Decode().decode(LATENT, DESCRIPTOR)
    fallback_error = info.value.__context__
    assert_wrapped(info.value, "Failed to decode vae: ", fallback_error)
    assert str(info.value).startswith("Failed to decode vae: cannot identify image file")
    # Raised while handling the image_binary failure, as an except block would chain it.
    assert isinstance(fallback_error.__context__, binascii.Error)
    assert root_errors(caplog) == []

    # A failing log call is wrapped the same way.
    monkeypatch.setattr(vae_decode, "logging", None)
    client.answer = {"image_binary": "ab", "images": encoded_png(1, 1)}
    with pytest.raises(ValueError, match="^Failed to decode vae: 'NoneType' object has no attribute 'error'$"):
        Decode().decode(LATENT, DESCRIPTOR)


@pytest.mark.parametrize("where", ["request", "image_binary", "fallback"])
def test_decode_lets_base_exceptions_through(client, caplog, monkeypatch, where):
    interrupt = KeyboardInterrupt()
    client.answer = {"image_binary": "ab", "images": ""}
    if where == "request":
        client.error = interrupt
    elif where == "image_binary":
        monkeypatch.setattr(vae_decode, "base64", type("B", (), {"b64decode": staticmethod(raising(interrupt))}))
    else:
        monkeypatch.setattr(vae_decode, "base64_to_image", raising(interrupt))
    with pytest.raises(KeyboardInterrupt) as info:
        Decode().decode(LATENT, DESCRIPTOR)
    assert info.value is interrupt
    if where == "fallback":
        assert isinstance(info.value.__context__, binascii.Error)
    assert root_errors(caplog) == [] and logged(caplog) == []


# ---- real round trips through bentoml's client -------------------------------

@pytest.mark.standin
def test_decode_round_trip_1024(standin_calls, caplog):
    latent = {"samples": torch.randn(1, 16, 1, 128, 128)}
    (image,) = Decode().decode(latent, DESCRIPTOR)
    assert standin_calls == ["vae_decode"]
    assert tuple(image.shape) == (1, 1024, 1024, 3) and image.dtype == torch.float32
    assert image.min() >= 0.0 and image.max() <= 1.0
    assert caplog.records == []


