"""The remote sampler: its request (the model chain, the latent, a ControlNet
inpainting record found in its conditioning) and its answer."""
import base64
import importlib
import io
import json
import logging

import pytest
import torch

from tests.support import nodes
from tests.support.values import encode_tensor

base = pytest.importorskip("vorna_comfyui_engine.base")
ksampler = pytest.importorskip("vorna_comfyui_engine.ksampler")
controlnet = pytest.importorskip("vorna_comfyui_engine.controlnet")

NodeIO = base.NodeIO
KSampler = ksampler.VornaKSampler
Loader = controlnet.VornaControlNetLoader
Apply = controlnet.VornaControlNetInpaintingAliMamaApply
MARKER = "ControlNetInpaintingAliMamaApply"
VAE = NodeIO(name="VAELoader", inputs=dict(nodes.VAE))
PAYLOAD_KEYS = ["model_inputs", "seed", "steps", "cfg", "sampler_name", "scheduler", "denoise",
                "latent_image", "prev_deferred_node", "positive", "negative"]


def decode(text):
    return torch.load(io.BytesIO(base64.b64decode(text)), map_location="cpu", weights_only=True)


@pytest.fixture(autouse=True)
def sampler_answer(request):
    """The fake client, where a test takes it, refuses what JSON cannot hold
    and answers a small latent."""
    if "client" in request.fixturenames:
        client = request.getfixturevalue("client")
        client.json_only = True
        client.answer = {"samples": encode_tensor(torch.arange(6.0).reshape(1, 2, 3))}


@pytest.fixture
def serialized(monkeypatch):
    """Replaces the object encoder the sampler looks up at call time; records what it was given."""
    seen = []

    def fake(obj):
        seen.append(obj)
        return f"ser{len(seen)}"

    monkeypatch.setattr(ksampler, "serialize_with_pyarrow", fake)
    return seen


def latent(**extra):
    return {"samples": torch.zeros(1, 16, 1, 4, 4), **extra}


def run(model=None, positive=None, negative=None, latent_image=None, **settings):
    args = dict(seed=7, steps=4, cfg=1.0, sampler_name="euler", scheduler="normal", denoise=1.0)
    args.update(settings)
    return KSampler().sample(model=model, positive=positive, negative=negative,
                             latent_image=latent() if latent_image is None else latent_image, **args)


def record(**overrides):
    rec = {"__deferred_node__": MARKER,
           "parameters": {"strength": 1.0, "start_percent": 0.0, "end_percent": 1.0, "vae": {}},
           "inputs": {"positive": "p", "negative": "n", "image": "img", "mask": "msk"}}
    rec.update(overrides)
    return rec


# --- module surface -------------------------------------------------------------------------

def test_sampler_module_surface():
    import bentoml
    assert ksampler.SyncHTTPClient is bentoml.SyncHTTPClient and ksampler.NodeIO is base.NodeIO
    assert ksampler.logger.name == "vorna_comfyui_engine.ksampler"
    assert ksampler.logger.level == logging.DEBUG and ksampler.logger.handlers == []
    assert not hasattr(ksampler, "_extract_deferred")


def test_seed_bound_is_the_full_unsigned_range():
    seed_max = KSampler.INPUT_TYPES()["required"]["seed"][1]["max"]
    assert type(seed_max) is int and seed_max == 2 ** 64 - 1


# --- record extraction ----------------------------------------------------------------------

class DictSub(dict):
    pass


class ListSub(list):
    pass


FOUND = record()


@pytest.mark.parametrize("positive, negative, expect", [
    ([[FOUND]], None, True),                                 # as the apply node wraps it
    (FOUND, None, True),                                     # bare record
    (None, [[FOUND]], True),                                 # only in negative
    ([["plain", {}]], [[FOUND, "x"]], True),                 # first of the first
    (ListSub([ListSub([DictSub(FOUND)])]), None, True),      # subclasses count
    ([], [[]], False),
    ([[]], None, False),
    (([FOUND],), None, False),                               # tuples are not looked into
    ([(FOUND,)], None, False),
    ([FOUND], None, False),                                  # one level only
    ([[[FOUND]]], None, False),                              # too deep
    ([["x", FOUND]], None, False),                           # only the first element counts
    ([[record(__deferred_node__="ControlNetApply")]], None, False),
    ([[{"parameters": {}}]], None, False),                   # no marker at all
    ([[torch.zeros(2), {"pooled_output": torch.zeros(2)}]], None, False),   # ordinary conditioning
])
def test_record_extraction(client, serialized, positive, negative, expect):
    run(positive=positive, negative=negative)
    (name, sent), = client.calls
    assert name == "sampler"
    assert sent["positive"] is None and sent["negative"] is None
    if not expect:
        assert sent["prev_deferred_node"] is None and serialized == []
        return
    preview = sent["prev_deferred_node"]
    assert list(preview) == ["node_type", "parameters", "inputs"]
    assert preview["node_type"] == MARKER
    assert preview["parameters"] == FOUND["parameters"]
    # Both sampler inputs are serialised as received, whichever held the record.
    assert serialized[0] is positive and serialized[1] is negative
    assert serialized[2:] == ["img", "msk"]
    assert preview["inputs"] == {"positive": "ser1", "negative": "ser2", "image": "ser3", "mask": "ser4"}


def test_positive_record_wins_and_is_only_read(client, serialized):
    pos, neg = record(parameters={"p": 1}), record(parameters={"n": 2})
    before = json.dumps(pos)
    run(positive=[[pos]], negative=[[neg]])
    preview = client.calls[0][1]["prev_deferred_node"]
    assert preview["parameters"] is pos["parameters"]
    assert json.dumps(pos) == before


def test_record_with_missing_parts(client, serialized):
    run(positive=[[{"__deferred_node__": MARKER, "inputs": {"image": "img"}}]])
    preview = client.calls[0][1]["prev_deferred_node"]
    assert preview["parameters"] == {}
    assert serialized[2:] == ["img", None]
    run(positive={"__deferred_node__": MARKER})
    assert serialized[-2:] == [None, None]


def test_marker_comparison_errors_propagate(client, serialized):
    class Odd:
        def __eq__(self, other):
            raise RuntimeError("no comparing")

    with pytest.raises(RuntimeError, match="no comparing"):
        run(positive=[[{"__deferred_node__": Odd()}]])
    assert client.calls == []


# --- payload --------------------------------------------------------------------------------

def test_payload_keys_order_and_values_as_received(client):
    seed = 2 ** 64 - 1
    loader = NodeIO(name="UNETLoader", inputs={"unet_name": "u.safetensors", "weight_dtype": "default"})
    samples = torch.randn(1, 16, 1, 8, 8)
    run(model=loader, latent_image={"samples": samples, "batch_index": (3, "x")}, seed=seed, steps=9,
        cfg=2.5, sampler_name="heun", scheduler="karras", denoise=0.4)
    (name, sent), = client.calls
    assert list(sent) == PAYLOAD_KEYS
    assert sent["model_inputs"] is loader.inputs          # straight from the loader: unchanged
    assert [sent[k] for k in PAYLOAD_KEYS[1:7]] == [seed, 9, 2.5, "heun", "karras", 0.4]
    assert list(sent["latent_image"]) == ["samples", "batch_index"]
    assert torch.equal(decode(sent["latent_image"]["samples"]), samples)
    assert sent["latent_image"]["batch_index"] == (3, "x")
    assert sent["prev_deferred_node"] is sent["positive"] is sent["negative"] is None


def test_payload_without_model_inputs_or_batch_index(client):
    run(model="not a descriptor", latent_image=latent())
    sent = client.calls[0][1]
    assert sent["model_inputs"] is None and sent["latent_image"]["batch_index"] is None


def test_nested_descriptors_are_sent_in_dict_form(client):
    loader = NodeIO(name="UNETLoader", inputs={"unet_name": "u", "weight_dtype": "default"})
    aura = NodeIO(name="ModelSamplingAuraFlow", inputs={"model": loader, "shift": 1.73})
    twice = NodeIO(name="ModelSamplingAuraFlow", inputs={"model": aura, "shift": 3.0,
                                                          "extra": [1, (loader, "t")], "plain": {"k": [1]}})
    plain = twice.inputs["plain"]
    run(model=twice)
    sent = client.calls[0][1]["model_inputs"]
    loader_form = {"name": "UNETLoader", "inputs": {"unet_name": "u", "weight_dtype": "default"}}
    assert sent == {"model": {"name": "ModelSamplingAuraFlow", "inputs": {"model": loader_form, "shift": 1.73}},
                    "shift": 3.0, "extra": [1, (loader_form, "t")], "plain": {"k": [1]}}
    assert list(sent) == ["model", "shift", "extra", "plain"]
    assert sent["plain"] is plain                          # untouched branches are not copied
    assert sent["model"]["inputs"]["model"]["inputs"] is loader.inputs
    # The graph's descriptors keep their objects.
    assert twice.inputs["model"] is aura and aura.inputs["model"] is loader
    assert twice.inputs["extra"][1][0] is loader


def test_descriptor_type_is_looked_up_at_call_time(client, monkeypatch):
    class Other:
        def __init__(self):
            self.inputs = {"m": self}

        def to_dict(self):
            return {"other": True}

    monkeypatch.setattr(ksampler, "NodeIO", Other)
    run(model=Other())
    assert client.calls[0][1]["model_inputs"] == {"m": {"other": True}}


@pytest.mark.parametrize("shape", ["deep", "cycle"])
def test_runaway_model_inputs_raise_recursion_error_before_sending(client, shape):
    if shape == "deep":
        value = []
        for _ in range(100_000):
            value = [value]
    else:
        value = {}
        value["self"] = value
    with pytest.raises(RecursionError):
        run(model=NodeIO(name="X", inputs=value))
    assert client.calls == []


def test_latent_without_samples_sends_nothing(client):
    with pytest.raises(KeyError, match="samples"):
        run(latent_image={"batch_index": [0]})
    assert client.calls == []


def test_late_bound_encoder_and_request(monkeypatch):
    seen = []
    monkeypatch.setattr(ksampler, "tensor_to_base64", lambda t: seen.append(t) or "LATENT")

    def send_request(self, url, payload):
        seen.append((url, payload["latent_image"]["samples"]))
        return {"samples": encode_tensor(torch.ones(2))}

    monkeypatch.setattr(KSampler, "send_request", send_request)
    lat = latent()
    out, = run(latent_image=lat)
    assert seen == [lat["samples"], ("sampler", "LATENT")]
    assert torch.equal(out["samples"], torch.ones(2))


def test_request_failure_passes_through_unchanged(monkeypatch):
    error = ConnectionError("down")

    def send_request(self, url, payload):
        raise error

    monkeypatch.setattr(KSampler, "send_request", send_request)
    with pytest.raises(ConnectionError) as info:
        run()
    assert info.value is error


# --- answer ---------------------------------------------------------------------------------

@pytest.mark.parametrize("extra, expect", [
    ({}, None),
    ({"batch_index": None}, None),
    ({"batch_index": [0, 1]}, [0, 1]),
    ({"batch_index": 0}, 0),
])
def test_answer_batch_index(client, extra, expect):
    client.answer = {"samples": encode_tensor(torch.ones(1, 16, 1, 2, 2)), "other": 1, **extra}
    result = run()
    assert type(result) is tuple and len(result) == 1
    out = result[0]
    assert list(out) == (["samples"] if expect is None else ["samples", "batch_index"])
    assert out["samples"].shape == (1, 16, 1, 2, 2) and out["samples"].device.type == "cpu"
    if expect is not None:
        assert out["batch_index"] is client.answer["batch_index"]


@pytest.mark.parametrize("answer, error", [
    ({"batch_index": 0}, KeyError),
    (None, TypeError),
    ({"samples": "not base64!"}, Exception),
    ({"samples": base64.b64encode(b"not a tensor stream").decode()}, Exception),
])
def test_bad_answers_raise(client, answer, error):
    client.answer = answer
    with pytest.raises(error):
        run()


def test_apply_output_reaches_sampler_through_either_input(client, serialized):
    pos, neg = Apply().apply(positive="pos", negative="neg", control_net=None, vae=VAE, vae_name="", image="img",
                             mask="msk", strength=1.0, start_percent=0.0, end_percent=1.0)
    run(positive=[[torch.zeros(1)]], negative=neg)
    preview = client.calls[0][1]["prev_deferred_node"]
    assert preview["parameters"] is neg[0][0]["parameters"]
    assert preview["parameters"]["vae"] == VAE.inputs
    assert serialized[2:] == ["img", "msk"]


# --- real round trips through bentoml's client ----------------------------------------------

def model_chain():
    """UNet loader then AuraFlow patch."""
    unet = importlib.import_module("vorna_comfyui_engine.unet_loader")
    aura = importlib.import_module("vorna_comfyui_engine.model_sampling_aura_flow")
    loader, = unet.VornaUNetLoader().load_unet(unet_name="qwen_image_bf16.safetensors", weight_dtype="default")
    patched, = aura.VornaModelSamplingAuraFlow().patch_aura(model=loader, shift=1.73)
    return loader, patched


@pytest.mark.standin
def test_round_trip_through_the_model_chain(nodes_on_standin):
    loader, patched = model_chain()
    lat = {"samples": torch.randn(1, 16, 1, 128, 128)}
    out, = run(model=patched, positive=[[torch.zeros(1, 4, 8), {}]], negative=[[torch.zeros(1, 4, 8), {}]],
               latent_image=lat, seed=2 ** 64 - 1, steps=2)
    assert list(out) == ["samples"]
    assert tuple(out["samples"].shape) == (1, 16, 1, 128, 128)
    assert not torch.equal(out["samples"], lat["samples"])
    assert patched.inputs["model"] is loader


@pytest.mark.standin
def test_round_trip_with_controlnet_inpainting(nodes_on_standin):
    _, patched = model_chain()
    cn, = Loader().load_controlnet(control_net_name="InstantX_Qwen-Image-ControlNet-Inpainting.safetensors")
    cond = [[torch.zeros(1, 4, 8), {"pooled_output": torch.zeros(1, 8)}]]
    # An empty mask leaves every latent cell as it was: proof the record's mask reached the service.
    pos, neg = Apply().apply(positive=cond, negative=cond, control_net=cn, vae="none",
                             vae_name=" qwen_image_vae.safetensors ", image=torch.rand(1, 64, 64, 3),
                             mask=torch.zeros(1, 64, 64), strength=1.0, start_percent=0.0, end_percent=1.0)
    lat = {"samples": torch.randn(1, 16, 1, 128, 128), "batch_index": [0]}
    out, = run(model=patched, positive=pos, negative=neg, latent_image=lat)
    assert tuple(out["samples"].shape) == (1, 16, 1, 128, 128)
    assert torch.equal(out["samples"], lat["samples"]) and out["batch_index"] == [0]
