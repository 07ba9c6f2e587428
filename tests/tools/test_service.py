"""The stand-in service: its answers through bentoml's client, its key check,
its fault switches, and its safe handling of what clients send."""
import base64
import binascii
import io
import json
import os
import pickle
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from http import HTTPStatus

import pytest

torch = pytest.importorskip("torch")
bentoml = pytest.importorskip("bentoml")
from bentoml.exceptions import BentoMLException, InvalidArgument  # noqa: E402
from PIL import Image  # noqa: E402

from tests.support.values import encode_tensor  # noqa: E402
from tools.service import synth  # noqa: E402
from tools.service.faults import Behaviour, StatusFault  # noqa: E402
from tools.service.launch import running_standin  # noqa: E402

MODEL = {"model": {"name": "UNETLoader",
                   "inputs": {"unet_name": "qwen_image_bf16.safetensors", "weight_dtype": "default"}},
         "shift": 1.73}


def dec(text):
    return torch.load(io.BytesIO(base64.b64decode(text)), map_location="cpu", weights_only=True)


def png(width, height, colour=(200, 40, 90)):
    buf = io.BytesIO()
    Image.new("RGB", (width, height), colour).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode()


def picture(text):
    return Image.open(io.BytesIO(base64.b64decode(text)))


def sampler_args(latent, **changes):
    args = dict(model_inputs=MODEL, seed=0, steps=4, cfg=1.0, sampler_name="euler",
                scheduler="normal", denoise=1.0,
                latent_image={"samples": encode_tensor(latent), "batch_index": None},
                prev_deferred_node=None, positive=None, negative=None)
    args.update(changes)
    return args


def inpainting_step(mask_text):
    return {"node_type": "ControlNetInpaintingAliMamaApply",
            "parameters": {"strength": 1.0, "start_percent": 0.0, "end_percent": 1.0,
                           "vae": {"vae_name": "qwen_image_vae.safetensors"}},
            "inputs": {"positive": "", "negative": "", "image": json.dumps(None),
                       "mask": mask_text}}


@pytest.fixture(scope="module")
def service_client(standin):
    with bentoml.SyncHTTPClient(standin.url, token=standin.key, server_ready_timeout=60) as c:
        yield c


# --- answers through the real client -----------------------------------------

@pytest.mark.standin
def test_text_encode_answers_one_conditioning_pair_per_prompt(service_client):
    cond = service_client.call("text_encode", text="a red fox in the snow",
                       clip={"clip_name": "qwen_2.5_vl_7b.safetensors", "type": "qwen_image",
                             "device": "default"})["conditioning"]
    assert len(cond) == 1 and len(cond[0]) == 2
    tokens, extras = cond[0]
    assert set(tokens) == {"__tensor__"} and set(extras) == {"pooled_output"}
    t, pooled = dec(tokens["__tensor__"]), dec(extras["pooled_output"]["__tensor__"])
    assert t.shape == (1, 6, 3584) and t.dtype == torch.float32
    assert pooled.shape == (1, 3584)

    def first_tensor(text):
        return dec(service_client.call("text_encode", text=text, clip=None)["conditioning"][0][0]["__tensor__"])

    assert torch.equal(first_tensor("a red fox"), first_tensor("a red fox"))
    assert not torch.equal(first_tensor("a red fox"), first_tensor("a blue fox"))


@pytest.mark.standin
@pytest.mark.parametrize("text, tokens", [("", 1), ("   ", 1), ("w " * 300, 256)])
def test_text_encode_token_count_is_bounded(service_client, text, tokens):
    cond = service_client.call("text_encode", text=text, clip=None)["conditioning"]
    assert dec(cond[0][0]["__tensor__"]).shape == (1, tokens, 3584)


@pytest.mark.standin
def test_text_encode_answer_decodes_with_the_package(service_client):
    base = pytest.importorskip("vorna_comfyui_engine.base")
    out = base.deserialize_conditioning(service_client.call("text_encode", text="hello", clip=None)["conditioning"])
    assert isinstance(out, list) and len(out) == 1
    tensor, extras = out[0]
    assert tensor.shape == (1, 1, 3584)
    assert extras["pooled_output"].shape == (1, 3584)


@pytest.mark.parametrize("shape, dtype", [((1, 16, 1, 32, 24), torch.float32),
                                          ((2, 16, 8, 8), torch.float16)])
@pytest.mark.standin
def test_sampler_keeps_shape_and_dtype(service_client, shape, dtype):
    latent = torch.zeros(shape, dtype=dtype)
    resp = service_client.call("sampler", **sampler_args(latent))
    out = dec(resp["samples"])
    assert out.shape == shape and out.dtype == dtype
    assert "batch_index" not in resp


@pytest.mark.standin
def test_sampler_echoes_batch_index(service_client):
    args = sampler_args(torch.zeros(1, 16, 1, 8, 8))
    args["latent_image"]["batch_index"] = [0, 3]
    assert service_client.call("sampler", **args)["batch_index"] == [0, 3]


@pytest.mark.standin
def test_sampler_output_follows_seed_and_model_chain(service_client):
    latent = torch.zeros(1, 16, 1, 16, 16)

    def run(**changes):
        return dec(service_client.call("sampler", **sampler_args(latent, **changes))["samples"])

    first = run(seed=1)
    assert torch.equal(first, run(seed=1))
    assert not torch.equal(first, run(seed=2))
    assert not torch.equal(first, run(seed=1, model_inputs=dict(MODEL, shift=3.0)))
    assert not torch.equal(first, run(seed=1, model_inputs=None))
    assert run(seed=2**64 - 1).shape == latent.shape


@pytest.mark.standin
def test_sampler_denoise_blends_with_the_input(service_client):
    a, b = torch.randn(1, 16, 1, 8, 8), torch.randn(1, 16, 1, 8, 8)
    kept = dec(service_client.call("sampler", **sampler_args(a, denoise=0.0))["samples"])
    assert torch.equal(kept, a)
    full_a = dec(service_client.call("sampler", **sampler_args(a, denoise=1.0))["samples"])
    full_b = dec(service_client.call("sampler", **sampler_args(b, denoise=1.0))["samples"])
    assert torch.allclose(full_a, full_b)


@pytest.mark.standin
def test_sampler_changes_only_the_masked_region(service_client):
    latent = torch.zeros(1, 16, 1, 16, 16)
    mask = torch.zeros(1, 128, 128)
    mask[..., :64] = 1.0  # left half of the picture
    step = inpainting_step(base64.b64encode(pickle.dumps(mask)).decode())
    out = dec(service_client.call("sampler", **sampler_args(latent, prev_deferred_node=step))["samples"])
    assert torch.equal(out[..., 12:], latent[..., 12:])
    assert (out[..., :4] != 0).all()


@pytest.mark.standin
def test_sampler_repaints_everything_when_the_mask_is_unreadable(service_client):
    latent = torch.zeros(1, 16, 1, 8, 8)
    step = inpainting_step(json.dumps("tensor([[1., 0.]])"))
    out = dec(service_client.call("sampler", **sampler_args(latent, prev_deferred_node=step))["samples"])
    assert (out != 0).all()


@pytest.mark.standin
def test_vae_decode_gives_an_8x_picture(service_client):
    latent = torch.randn(1, 16, 1, 128, 128)
    img = picture(service_client.call("vae_decode", latent={"samples": encode_tensor(latent), "batch_index": None},
                              vae={"vae_name": "qwen_image_vae.safetensors"})["image_binary"])
    assert img.format == "PNG" and img.mode == "RGB" and img.size == (1024, 1024)

    four_d = service_client.call("vae_decode", latent={"samples": encode_tensor(torch.randn(1, 16, 48, 64))}, vae=None)
    assert picture(four_d["image_binary"]).size == (512, 384)


@pytest.mark.standin
def test_vae_encode_gives_a_5d_latent(service_client):
    vae = {"name": "VAELoader", "inputs": {"vae_name": "qwen_image_vae.safetensors"}}
    out = dec(service_client.call("vae_encode", image=png(1024, 1024), vae=vae)["samples"])
    assert out.shape == (1, 16, 1, 128, 128) and out.dtype == torch.float32
    assert dec(service_client.call("vae_encode", image=png(100, 60), vae=vae)["samples"]).shape == (1, 16, 1, 7, 12)


@pytest.mark.standin
def test_vae_encode_then_decode_keeps_the_colour(service_client):
    samples = service_client.call("vae_encode", image=png(64, 48, (200, 40, 90)), vae={})["samples"]
    img = picture(service_client.call("vae_decode", latent={"samples": samples}, vae=None)["image_binary"])
    assert img.size == (64, 48)
    r, g, b = img.getpixel((30, 20))
    assert abs(r - 200) <= 2 and abs(g - 40) <= 2 and abs(b - 90) <= 2


@pytest.mark.parametrize("endpoint, kwargs", [
    ("sampler", sampler_args(torch.zeros(1), latent_image={"samples": "not-base64!"})),
    ("sampler", sampler_args(torch.zeros(1), latent_image={"batch_index": None})),
    ("vae_decode", {"latent": {"samples": base64.b64encode(b"plain text").decode()}, "vae": None}),
    ("vae_encode", {"image": base64.b64encode(b"plain text").decode(), "vae": {}}),
])
@pytest.mark.standin
def test_unusable_requests_get_400(service_client, endpoint, kwargs):
    with pytest.raises(InvalidArgument):
        service_client.call(endpoint, **kwargs)


@pytest.mark.standin
def test_several_clients_are_served_at_once(standin):
    def one(seed):
        with bentoml.SyncHTTPClient(standin.url, token=standin.key, server_ready_timeout=60) as c:
            return dec(c.call("sampler", **sampler_args(torch.zeros(1, 16, 1, 8, 8), seed=seed))["samples"])

    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(one, [7, 7, 8, 8, 9, 9]))
    assert all(torch.equal(results[i], results[i + 1]) for i in (0, 2, 4))
    assert not torch.equal(results[0], results[2])


# --- the key ------------------------------------------------------------------

@pytest.mark.standin
@pytest.mark.parametrize("token", ["", "not-the-key"])
def test_endpoints_refuse_a_missing_or_wrong_key(standin, token):
    with bentoml.SyncHTTPClient(standin.url, token=token, server_ready_timeout=60) as c:
        for endpoint, kwargs in [("text_encode", {"text": "x", "clip": None}),
                                 ("vae_encode", {"image": png(8, 8), "vae": {}})]:
            with pytest.raises(BentoMLException) as info:
                c.call(endpoint, **kwargs)
            assert info.value.error_code == HTTPStatus.UNAUTHORIZED


@pytest.mark.standin
def test_key_must_follow_bearer(standin):
    body = json.dumps({"text": "x", "clip": None}).encode()
    for header in (standin.key, f"Basic {standin.key}", f"Bearer {standin.key}x"):
        req = urllib.request.Request(standin.url + "/text_encode", data=body,
                                     headers={"Authorization": header,
                                              "Content-Type": "application/json"})
        with pytest.raises(urllib.error.HTTPError) as info:
            urllib.request.urlopen(req, timeout=30)
        assert info.value.code == 401
        assert standin.key not in info.value.read().decode()


@pytest.mark.standin
def test_more_keys_are_accepted_and_the_key_log_tells_them_apart_without_holding_them(standin_factory, tmp_path):
    from tools.service.auth import fingerprint, read_key_log
    log = tmp_path / "keys.jsonl"
    server = standin_factory(key="first-key", env={"VORNA_STANDIN_API_KEYS": "second-key,third-key",
                                                   "VORNA_STANDIN_KEY_LOG": str(log)})
    for token in ("second-key", "first-key", "wrong-key"):
        req = urllib.request.Request(server.url + "/text_encode", data=json.dumps({"text": "x", "clip": None}).encode(),
                                     headers={"Authorization": f"Bearer {token}", "Content-Type": "application/json"})
        try:
            urllib.request.urlopen(req, timeout=30).close()
        except urllib.error.HTTPError as e:
            assert e.code == 401 and token == "wrong-key"
    assert read_key_log(log) == [{"path": "/text_encode", "key": fingerprint(k), "accepted": k != "wrong-key"}
                                 for k in ("second-key", "first-key", "wrong-key")]
    assert b"-key" not in log.read_bytes()


@pytest.mark.standin
@pytest.mark.parametrize("path", ["/readyz", "/livez", "/healthz", "/metrics", "/schema.json"])
def test_health_and_schema_stay_open(standin, path):
    with urllib.request.urlopen(standin.url + path, timeout=30) as resp:
        assert resp.status == 200


# --- switches -----------------------------------------------------------------

@pytest.mark.standin
def test_extra_service_with_a_switch_on_one_endpoint():
    env = {"VORNA_STANDIN_FAULT_ON": "sampler", "VORNA_STANDIN_IMAGE_FIELD": "images"}
    with running_standin(fault="status400", env=env) as server:
        with bentoml.SyncHTTPClient(server.url, token="", server_ready_timeout=60) as c:
            with pytest.raises(InvalidArgument):
                c.call("sampler", **sampler_args(torch.zeros(1, 16, 1, 8, 8)))
            resp = c.call("vae_decode", latent={"samples": encode_tensor(torch.zeros(1, 16, 1, 4, 4))}, vae=None)
            assert "image_binary" not in resp and picture(resp["images"]).size == (32, 32)
            assert "conditioning" in c.call("text_encode", text="x", clip=None)
    assert server.process.returncode == 0


ANSWERS = {
    "text_encode": {"conditioning": [[{"__tensor__": encode_tensor(torch.ones(1, 2, 4))},
                                      {"pooled_output": {"__tensor__": encode_tensor(torch.ones(1, 4))}}]]},
    "sampler": {"samples": encode_tensor(torch.ones(1, 16, 1, 2, 2)), "batch_index": [0]},
    "vae_decode": {"image_binary": png(8, 8)},
    "vae_encode": {"samples": encode_tensor(torch.ones(1, 16, 1, 1, 1))},
}


def bent(fault, endpoint, **settings):
    return Behaviour(fault=fault, **settings).answer(endpoint, lambda: ANSWERS[endpoint])


def tensor_texts(resp):
    if "conditioning" in resp:
        (tokens, extras), = resp["conditioning"]
        return [tokens["__tensor__"], extras["pooled_output"]["__tensor__"]]
    return [resp["samples"]]


def test_switch_names_are_checked_at_start():
    with pytest.raises(ValueError):
        Behaviour.from_env({"VORNA_STANDIN_FAULT": "explode"})
    with pytest.raises(ValueError):
        Behaviour.from_env({"VORNA_STANDIN_FAULT_ON": "sampler,upscale"})
    b = Behaviour.from_env({"VORNA_STANDIN_FAULT": "slow", "VORNA_STANDIN_FAULT_ON": " vae_decode ",
                            "VORNA_STANDIN_DELAY": "0.5"})
    assert (b.active("vae_decode"), b.active("sampler"), b.delay) == ("slow", "none", 0.5)


@pytest.mark.parametrize("fault, status", [("status400", 400), ("status500", 500)])
def test_status_switches(fault, status):
    with pytest.raises(StatusFault) as info:
        bent(fault, "sampler")
    assert info.value.status == status
    assert bent(fault, "text_encode", fault_on=frozenset({"sampler"})) == ANSWERS["text_encode"]


@pytest.mark.parametrize("endpoint", sorted(ANSWERS))
def test_missing_fields_drops_what_the_nodes_need(endpoint):
    resp = bent("missing_fields", endpoint)
    assert not {"conditioning", "samples", "image_binary", "images"} & set(resp)
    if endpoint == "sampler":
        assert resp["batch_index"] == [0]


@pytest.mark.parametrize("endpoint", sorted(ANSWERS))
def test_bad_base64_defeats_even_a_lenient_decoder(endpoint):
    resp = bent("bad_base64", endpoint)
    texts = [resp["image_binary"]] if endpoint == "vae_decode" else tensor_texts(resp)
    for text in texts:
        with pytest.raises(binascii.Error):
            base64.b64decode(text)


def test_not_image_and_fallback_images():
    with pytest.raises(Exception):
        picture(bent("not_image", "vae_decode")["image_binary"])
    assert bent("not_image", "sampler") == ANSWERS["sampler"]
    resp = bent("fallback_images", "vae_decode")
    with pytest.raises(Exception):
        picture(resp["image_binary"])
    assert picture(resp["images"]).size == (8, 8)


@pytest.mark.parametrize("endpoint", ["text_encode", "sampler", "vae_encode"])
def test_bad_tensor_is_valid_base64_but_no_tensor(endpoint):
    for text in tensor_texts(bent("bad_tensor", endpoint)):
        with pytest.raises(Exception):
            dec(text)


def test_pickle_payload_is_refused_weights_only_and_detectable_otherwise(tmp_path):
    marker = tmp_path / "ran"
    text = bent("pickle_payload", "sampler", marker=str(marker))["samples"]
    with pytest.raises(pickle.UnpicklingError):
        dec(text)
    assert not marker.exists()
    torch.load(io.BytesIO(base64.b64decode(text)), weights_only=False)
    assert marker.is_dir()


# --- what the service reads from clients ------------------------------------------

class _MakeDir:
    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (os.mkdir, (self.path,))


def test_mask_reader_runs_no_code(tmp_path):
    marker = tmp_path / "ran"
    hostile = [_MakeDir(str(marker)), [torch.ones(2, 2), _MakeDir(str(marker))]]
    for obj in hostile:
        assert synth.decode_mask(base64.b64encode(pickle.dumps(obj)).decode()) is None
    assert not marker.exists()


def test_decode_tensor_refuses_code(tmp_path):
    marker = tmp_path / "ran"
    buf = io.BytesIO()
    torch.save(_MakeDir(str(marker)), buf)
    with pytest.raises(synth.BadInput):
        synth.decode_tensor(base64.b64encode(buf.getvalue()).decode())
    assert not marker.exists()
