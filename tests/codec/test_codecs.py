"""Codecs of base: texts compared byte for byte with the plain library steps."""
import base64 as b64
import binascii
import collections
import inspect
import io
import json
import pickle
import types
from typing import Any

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image

from tests.support.values import encode_png, encode_tensor

base = pytest.importorskip("vorna_comfyui_engine.base")
ksampler = pytest.importorskip("vorna_comfyui_engine.ksampler")
vae_decode = pytest.importorskip("vorna_comfyui_engine.vae_decode")

LOGGER = "vorna_comfyui_engine.base"
PREFIX = "PyArrow 序列化失败: "


def ref_image_to_base64(image):
    if len(image.shape) == 4:
        image = image[0]
    if image.shape[0] == 3:
        image = image.permute(1, 2, 0)
    image = (image * 255).clamp(0, 255).byte()
    buffer = io.BytesIO()
    Image.fromarray(image.cpu().numpy()).save(buffer, format="PNG")
    return b64.b64encode(buffer.getvalue()).decode("utf-8")


def ref_base64_to_image(data):
    pil_image = Image.open(io.BytesIO(b64.b64decode(data)))
    return torch.from_numpy(np.array(pil_image.convert("RGB")).astype(np.float32) / 255.0)[None,]


def png_text(mode):
    arr = np.random.default_rng(0).integers(0, 255, (5, 7, 4), dtype=np.uint8)
    img = {"RGBA": lambda: Image.fromarray(arr, "RGBA"), "L": lambda: Image.fromarray(arr[..., 0], "L"),
           "P": lambda: Image.fromarray(arr[..., :3]).convert("P")}[mode]()
    buf = io.BytesIO()
    img.save(buf, format="PNG")
    return b64.b64encode(buf.getvalue()).decode()


def errors(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelname == "ERROR"]


def same(a, b):
    """Deep equality; tensors must agree in dtype and values and live on the CPU."""
    if isinstance(a, torch.Tensor) or isinstance(b, torch.Tensor):
        return (isinstance(b, torch.Tensor) and isinstance(a, torch.Tensor) and a.dtype == b.dtype
                and b.device.type == "cpu" and torch.equal(a, b))
    if isinstance(a, list):
        return type(b) is list and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def test_signatures():
    expected = {
        "image_to_base64": "(image: torch.Tensor) -> str",
        "base64_to_image": "(data: str) -> torch.Tensor",
        "base64_to_tensor": "(data: str) -> torch.Tensor",
        "tensor_to_base64": "(tensor)",
        "serialize_with_pyarrow": "(obj: Any) -> str",
        "deserialize_conditioning": "(conditioning_data)",
    }
    for name, signature in expected.items():
        fn = getattr(base, name)
        assert (str(inspect.signature(fn)), fn.__qualname__) == (signature, name)
    assert base.serialize_with_pyarrow.__annotations__ == {"obj": Any, "return": str}


# --- tensors ----------------------------------------------------------------

@pytest.mark.parametrize("dtype", [torch.float32, torch.float16, torch.bfloat16])
@pytest.mark.parametrize("shape", [(1, 16, 1, 128, 128), (2, 4, 3, 8, 8), (1, 4, 16, 16)])
def test_tensor_text_matches_library_and_round_trips(shape, dtype):
    t = torch.randn(shape).to(dtype)
    text = base.tensor_to_base64(t)
    assert type(text) is str and text == encode_tensor(t)
    assert same(t, base.base64_to_tensor(text))


def test_every_padding_length_and_containers_round_trip():
    for n in range(6):
        t = torch.arange(n, dtype=torch.int16)
        assert base.tensor_to_base64(t) == encode_tensor(t) and same(base.base64_to_tensor(encode_tensor(t)), t)
    obj = {"a": torch.ones(2), "b": [torch.zeros(1, dtype=torch.bfloat16), 3, "x"]}
    assert same(base.base64_to_tensor(base.tensor_to_base64(obj)), obj)


def test_tensor_to_base64_imports_its_own_modules(monkeypatch):
    for name in ("torch", "io", "base64"):
        monkeypatch.setattr(base, name, None)
    assert base.tensor_to_base64(torch.ones(3)) == encode_tensor(torch.ones(3))


@pytest.mark.parametrize("bad, error", [
    ("abc", binascii.Error), ("é", ValueError), (None, TypeError), ("AAAA", Exception),
    (b64.b64encode(b"PK\x03\x04garbage").decode(), Exception),
])
def test_hostile_tensor_text_raises(bad, error):
    with pytest.raises(error):
        base.base64_to_tensor(bad)


# --- images -----------------------------------------------------------------

@pytest.mark.parametrize("shape", [(3, 9, 6, 3), (3, 9, 6), (3, 6, 3), (9, 6, 3), (9, 6), (2, 9, 6, 4)])
def test_image_text_matches_library(shape):
    image = torch.rand(shape)
    assert base.image_to_base64(image) == ref_image_to_base64(image)


def test_first_batch_entry_only_reordered_scaled_clamped_truncated():
    first = torch.tensor([[[1.5, -0.2], [0.999, 0.5]]] * 3)  # (3, 2, 2): channel-first
    batch = torch.stack([first, torch.zeros(3, 2, 2)])
    pixels = np.array(Image.open(io.BytesIO(b64.b64decode(base.image_to_base64(batch)))))
    assert pixels.shape == (2, 2, 3)
    assert pixels[..., 0].tolist() == [[255, 0], [254, 127]]


@pytest.mark.parametrize("shape, error", [((1, 5, 6), TypeError), ((), IndexError), ((2, 2, 5), TypeError)])
def test_unsupported_image_shapes_raise_as_the_library_does(shape, error):
    image = torch.rand(shape)
    with pytest.raises(error):
        ref_image_to_base64(image)
    with pytest.raises(error):
        base.image_to_base64(image)


@pytest.mark.parametrize("mode", ["RGBA", "L", "P"])
def test_answers_in_any_mode_decode_to_an_rgb_batch_of_one(mode):
    image = base.base64_to_image(png_text(mode))
    assert image.shape == (1, 5, 7, 3) and image.dtype == torch.float32
    assert torch.equal(image, ref_base64_to_image(png_text(mode)))


def test_image_round_trip_gives_multiples_of_one_255th():
    image = torch.rand(1, 6, 8, 3)
    back = base.base64_to_image(base.image_to_base64(image))
    assert back.shape == (1, 6, 8, 3)
    assert torch.equal(back, (image * 255).byte().float() / 255.0)


def test_hostile_image_text_raises():
    png = b64.b64decode(png_text("RGBA"))
    with pytest.raises(Image.UnidentifiedImageError):
        base.base64_to_image(b64.b64encode(b"not an image").decode())
    with pytest.raises(OSError):
        base.base64_to_image(b64.b64encode(png[: len(png) // 2]).decode())
    with pytest.raises(binascii.Error):
        base.base64_to_image("abc")


def test_patched_globals_are_read_at_call_time(monkeypatch):
    calls = []

    class RecordingBytesIO(io.BytesIO):
        def getvalue(self):
            calls.append("getvalue")
            return super().getvalue()

    image = torch.rand(5, 4, 3)
    monkeypatch.setattr(base, "io", types.SimpleNamespace(BytesIO=RecordingBytesIO))
    monkeypatch.setattr(base, "base64", types.SimpleNamespace(
        b64encode=lambda d: calls.append("b64encode") or b64.b64encode(d), b64decode=b64.b64decode))
    assert base.image_to_base64(image) == ref_image_to_base64(image)
    assert calls == ["getvalue", "b64encode"]
    # Tensor answers are built with the module's torch, as found at the call.
    built_with = []

    class Spy:
        def __getattr__(self, name):
            built_with.append(name)
            return getattr(torch, name)

    monkeypatch.setattr(base, "torch", Spy())
    assert torch.equal(base.base64_to_tensor(encode_tensor(torch.arange(3.0))), torch.arange(3.0))
    assert "empty" in built_with
    monkeypatch.delattr(base, "Image")
    with pytest.raises(NameError):
        base.base64_to_image(png_text("L"))


# --- serialize_with_pyarrow --------------------------------------------------

def test_pickles_when_pyarrow_has_no_serialize(caplog):
    obj = {"a": [1, 2.5, "x"], "t": (None, True)}
    assert base.serialize_with_pyarrow(obj) == b64.b64encode(pickle.dumps(obj)).decode()
    assert errors(caplog) == []


def test_pyarrow_serialize_branches(monkeypatch, caplog):
    import pyarrow
    payload, seen = b"\x00\xffserialized!", []

    def serializer(tag, result):
        return lambda obj: seen.append((tag, obj)) or types.SimpleNamespace(to_buffer=lambda: result)

    monkeypatch.setattr(base, "pa", types.SimpleNamespace(serialize=serializer("pa", payload)))
    monkeypatch.setattr(base, "pas", types.SimpleNamespace(serialize=serializer("pas", b"")))
    assert base.serialize_with_pyarrow("obj") == b64.b64encode(payload).decode()
    monkeypatch.setattr(base, "pa", types.SimpleNamespace())
    for buffer in (bytearray(payload), memoryview(payload), pyarrow.py_buffer(payload)):
        monkeypatch.setattr(base, "pas", types.SimpleNamespace(serialize=serializer("pas", buffer)))
        assert base.serialize_with_pyarrow(1) == b64.b64encode(payload).decode()
    assert seen == [("pa", "obj"), ("pas", 1), ("pas", 1), ("pas", 1)] and errors(caplog) == []


def test_falls_back_to_json_with_one_error_record_per_call(monkeypatch, caplog):
    obj = {"f": lambda: 0, "n": 1}
    with pytest.raises(Exception) as pickle_error:
        pickle.dumps(obj)
    assert base.serialize_with_pyarrow(obj) == json.dumps(obj, default=str)

    class Exploding:
        @property
        def serialize(self):
            raise RuntimeError("boom")

    monkeypatch.setattr(base, "pa", types.SimpleNamespace(serialize=lambda o: types.SimpleNamespace(to_buffer=int)))
    assert base.serialize_with_pyarrow([1]) == "[1]"
    monkeypatch.setattr(base, "pa", Exploding())
    assert base.serialize_with_pyarrow("s") == '"s"'
    monkeypatch.delattr(base, "pa")
    assert base.serialize_with_pyarrow(None) == "null"
    assert errors(caplog) == [PREFIX + str(pickle_error.value), PREFIX + "a bytes-like object is required, not 'int'",
                              PREFIX + "boom", PREFIX + "name 'pa' is not defined"]


def test_json_failure_propagates_with_context_and_base_exceptions_pass(monkeypatch, caplog):
    obj = [lambda: 0]
    obj.append(obj)
    with pytest.raises(ValueError, match="Circular reference") as info:
        base.serialize_with_pyarrow(obj)
    assert info.value.__cause__ is None and isinstance(info.value.__context__, (pickle.PicklingError, AttributeError))
    assert len(errors(caplog)) == 1

    class Stop(BaseException):
        pass

    def serialize(obj):
        raise Stop()

    monkeypatch.setattr(base, "pa", types.SimpleNamespace(serialize=serialize))
    with pytest.raises(Stop):
        base.serialize_with_pyarrow(1)
    assert len(errors(caplog)) == 1


# --- deserialize_conditioning ------------------------------------------------

def test_conditioning_forms_decode():
    cond, pooled = torch.randn(1, 77, 64), torch.randn(1, 64).half()
    comfy = [[{"__tensor__": encode_tensor(cond)}, {"pooled_output": {"__tensor__": encode_tensor(pooled)}, "strength": 1.0}]]
    assert same(base.deserialize_conditioning(comfy), [[cond, {"pooled_output": pooled, "strength": 1.0}]])
    keyed = {"cond": encode_tensor(cond), "pooled": encode_tensor(pooled), "other": "text", "__tensor__": 5, "n": [{"cond": None}]}
    assert same(base.deserialize_conditioning(keyed),
                {"cond": cond, "pooled": pooled, "other": "text", "__tensor__": 5, "n": [{"cond": None}]})
    # The marker wins over every other key.
    assert same(base.deserialize_conditioning({"x": 1, "__tensor__": encode_tensor(pooled), "cond": "junk"}), pooled)


def test_other_values_unchanged_containers_new_and_plain():
    for value in [("a", [1]), "text", 3, None, torch.ones(1)]:
        assert base.deserialize_conditioning(value) is value
    for empty in ([], {}):
        out = base.deserialize_conditioning(empty)
        assert out == empty and out is not empty

    class L(list):
        def __iter__(self):
            return list.__reversed__(self)

    t = torch.ones(2)
    out = base.deserialize_conditioning(L([1, collections.OrderedDict(cond=encode_tensor(t), a=L([2, 3]))]))
    assert same(out, [{"cond": t, "a": [3, 2]}, 1])


def test_recursion_and_decoding_go_through_module_globals(monkeypatch):
    original, seen = base.deserialize_conditioning, []
    monkeypatch.setattr(base, "deserialize_conditioning", lambda v: seen.append(v) or original(v))
    monkeypatch.setattr(base, "base64_to_tensor", lambda text: "T:" + text)
    assert original([{"a": 1, "cond": "c"}, {"__tensor__": "m"}]) == [{"a": 1, "cond": "T:c"}, "T:m"]
    assert seen == [{"a": 1, "cond": "c"}, 1, {"__tensor__": "m"}]


@pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: {"k": v}])
def test_deep_nesting_raises_recursion_error(wrap):
    value = 0
    for _ in range(100_000):
        value = wrap(value)
    with pytest.raises(RecursionError):
        base.deserialize_conditioning(value)


# --- properties ----------------------------------------------------------------

small_tensors = st.builds(
    lambda shape, dtype, seed: torch.randn(shape, generator=torch.Generator().manual_seed(seed)).to(dtype),
    st.lists(st.integers(1, 3), max_size=3).map(tuple),
    st.sampled_from([torch.float32, torch.float16, torch.bfloat16]), st.integers(0, 2**31))


@st.composite
def conditioning(draw, depth=3):
    """(encoded structure, the structure it decodes to)."""
    kind = draw(st.sampled_from(["leaf", "tensor"] + (["list", "dict"] if depth else [])))
    if kind == "leaf":
        v = draw(st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=8)))
        return v, v
    if kind == "tensor":
        t = draw(small_tensors)
        return {"__tensor__": encode_tensor(t)}, t
    if kind == "list":
        items = draw(st.lists(conditioning(depth - 1), max_size=3))
        return [e for e, _ in items], [x for _, x in items]
    encoded, expected = {}, {}
    for k in draw(st.lists(st.sampled_from(["a", "cond", "pooled", "__tensor__"]), unique=True, max_size=4)):
        if k in ("cond", "pooled") and draw(st.booleans()):
            t = draw(small_tensors)
            encoded[k], expected[k] = encode_tensor(t), t
            continue
        e, x = draw(conditioning(depth - 1))
        if isinstance(e, str) and k != "a":
            e = x = len(e)  # text there is read as a tensor
        encoded[k], expected[k] = e, x
    return encoded, expected


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(conditioning())
def test_random_conditioning_structures_decode(pair):
    assert same(base.deserialize_conditioning(pair[0]), pair[1])


def _outcome(decode, data):
    try:
        return decode(data)
    except Exception as e:  # noqa: BLE001 - the outcome itself is compared
        return type(e), str(e)


@settings(max_examples=400, deadline=None)
@given(st.one_of(
    st.lists(st.sampled_from(list("AQz09+/") + ["=", "==", "\n", " ", "*", "é"]), max_size=24).map("".join),
    st.binary(max_size=40).map(lambda b: b64.b64encode(b).decode()),
    st.binary(max_size=40).map(b64.b64encode), st.binary(max_size=12)))
def test_base64_decoding_matches_the_library_for_any_input(data):
    # The decoded bytes, as the image codec hands them to io.BytesIO.
    class Decoded(Exception):
        pass

    def stop(raw):
        raise Decoded(raw)

    def decoded(text):
        try:
            base.base64_to_image(text)
        except Decoded as caught:
            return caught.args[0]

    saved, base.io = base.io, types.SimpleNamespace(BytesIO=stop)
    try:
        got = _outcome(decoded, data)
    finally:
        base.io = saved
    assert got == _outcome(b64.b64decode, data)


VALID_STREAM = b64.b64decode(encode_tensor({"t": torch.arange(6.0)}))


@settings(max_examples=150, deadline=None)
@given(st.one_of(st.binary(max_size=300),
                 st.lists(st.tuples(st.integers(0, len(VALID_STREAM) - 1), st.integers(0, 255)), min_size=1,
                          max_size=8).map(lambda edits: _edit(VALID_STREAM, edits))))
def test_random_or_corrupted_streams_raise_only_python_exceptions(raw):
    for decoder in (base.base64_to_tensor, base.base64_to_image):
        _outcome(decoder, b64.b64encode(raw).decode())


def _edit(stream, edits):
    out = bytearray(stream)
    for pos, value in edits:
        out[pos] = value
    return bytes(out)


# ---- the one-pass base64 routines and in-place steps stand in for the library
# only where nobody could tell: a base64 or binascii function replaced on the
# real modules is still called, and the caller's tensors are never touched.

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
    """The sampler's decoding of `answer` (the fake client installed)."""
    base.SyncHTTPClient.answer = answer
    latent = {"samples": torch.zeros(1, 2, 1, 2, 2)}
    return ksampler.VornaKSampler().sample(None, [], [], latent, 0, 1, 1.0, "euler", "normal", 1.0)


def decode(answer):
    base.SyncHTTPClient.answer = answer
    return vae_decode.VornaVAEDecode().decode({"samples": torch.zeros(1, 2, 1, 2, 2)}, None)


@pytest.mark.parametrize("call", list(decode_calls()))
@pytest.mark.parametrize("module, name", [(b64, "b64decode"), (binascii, "a2b_base64")])
def test_a_replaced_decoder_on_the_real_module_is_called(client, monkeypatch, call, module, name):
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


def test_decoded_pictures_equal_the_library_steps(client):
    png = encode_png(5, 7)
    (from_node,) = decode({"image_binary": png})
    expected = np.array(Image.open(io.BytesIO(b64.b64decode(png))).convert("RGB")).astype(np.float32) / 255.0
    for got in (from_node, base.base64_to_image(png)):
        assert got.dtype == torch.float32 and got.shape == (1, 5, 7, 3)
        assert np.array_equal(got[0].numpy(), expected)
        assert got[0].numpy().flags.writeable
