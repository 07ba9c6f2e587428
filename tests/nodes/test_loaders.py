"""The loader-type nodes: the CLIP, UNet and VAE loaders and the AuraFlow
patch build descriptors, calling nothing."""
import pytest

from tests.support.nodes import schema_defaults

clip_loader = pytest.importorskip("vorna_comfyui_engine.clip_loader")
unet_loader = pytest.importorskip("vorna_comfyui_engine.unet_loader")
aura = pytest.importorskip("vorna_comfyui_engine.model_sampling_aura_flow")
vae_loader = pytest.importorskip("vorna_comfyui_engine.vae_loader")
import vorna_comfyui_engine.base as base  # noqa: E402

CLIPLoader = clip_loader.VornaCLIPLoader
UNetLoader = unet_loader.VornaUNetLoader
AuraFlow = aura.VornaModelSamplingAuraFlow
VAELoader = vae_loader.VornaVAELoader


# ---- loaders -----------------------------------------------------------------

@pytest.mark.parametrize("cls, name, expected", [
    (CLIPLoader, "CLIPLoader", {"clip_name": "qwen_2.5_vl_7b.safetensors", "type": "qwen_image",
                                "device": "default"}),
    (UNetLoader, "UNETLoader", {"unet_name": "qwen_image_bf16.safetensors", "weight_dtype": "default"}),
    (VAELoader, "VAELoader", {"vae_name": "qwen_image_vae.safetensors"}),
], ids=["clip", "unet", "vae"])
def test_loader_with_schema_defaults(client, cls, name, expected):
    out = getattr(cls(), cls.FUNCTION)(**schema_defaults(cls))
    assert type(out) is tuple and len(out) == 1
    node = out[0]
    assert type(node) is base.NodeIO and node.name == name
    assert list(node.inputs.items()) == list(expected.items())
    assert node.to_dict() == {"name": name, "inputs": expected}
    again = getattr(cls(), cls.FUNCTION)(**schema_defaults(cls))[0]
    assert again is not node and again.inputs is not node.inputs
    assert client.built == [] and client.calls == []


def test_loaders_store_values_as_received():
    # The optional device may be left out; positional calls work too.
    node, = CLIPLoader().load_clip("c.safetensors", "qwen_image")
    assert node.inputs == {"clip_name": "c.safetensors", "type": "qwen_image", "device": "default"}
    odd = object()
    node, = CLIPLoader().load_clip(clip_name="", type=odd, device="cpu")
    assert node.inputs["clip_name"] == "" and node.inputs["type"] is odd and node.inputs["device"] == "cpu"
    node, = UNetLoader().load_unet(unet_name="/nowhere/missing.safetensors", weight_dtype="fp8")
    assert node.inputs == {"unet_name": "/nowhere/missing.safetensors", "weight_dtype": "fp8"}
    node, = VAELoader().load_vae(vae_name="")
    assert node.inputs == {"vae_name": ""}


def test_loaders_look_up_nodeio_at_call_time(monkeypatch):
    seen = []

    def recording(**kwargs):
        seen.append(kwargs)
        return "descriptor"

    for mod, cls in [(clip_loader, CLIPLoader), (unet_loader, UNetLoader), (aura, AuraFlow),
                     (vae_loader, VAELoader)]:
        monkeypatch.setattr(mod, "NodeIO", recording)
        kwargs = schema_defaults(cls) if cls is not AuraFlow else {"model": "m", "shift": 2.0}
        assert getattr(cls(), cls.FUNCTION)(**kwargs) == ("descriptor",)
        assert list(seen[-1]) == ["name", "inputs"]

    def failing(**kwargs):
        raise RuntimeError("no descriptor")

    monkeypatch.setattr(vae_loader, "NodeIO", failing)
    with pytest.raises(RuntimeError, match="no descriptor") as info:
        VAELoader().load_vae(vae_name="x")
    assert info.value.__context__ is None


# ---- AuraFlow patch ----------------------------------------------------------

def test_aura_flow_wraps_and_chains():
    loader, = UNetLoader().load_unet(**schema_defaults(UNetLoader))
    inner, = AuraFlow().patch_aura(model=loader, shift=schema_defaults(AuraFlow)["shift"])
    assert inner.name == "ModelSamplingAuraFlow" and list(inner.inputs) == ["model", "shift"]
    assert inner.inputs["model"] is loader
    assert type(inner.inputs["shift"]) is float and inner.inputs["shift"] == 1.73

    outer, = AuraFlow().patch_aura(model=inner, shift=3.0)
    assert outer.inputs["model"] is inner and outer.inputs["model"].inputs["model"] is loader
    assert outer.to_dict()["inputs"]["model"] is inner
    assert loader.inputs == {"unet_name": "qwen_image_bf16.safetensors", "weight_dtype": "default"}

    # Any MODEL value is wrapped without inspection.
    for value in (None, "not a descriptor", {"unet_name": "x"}):
        node, = AuraFlow().patch_aura(model=value, shift=0)
        assert node.inputs["model"] is value and node.inputs["shift"] == 0
