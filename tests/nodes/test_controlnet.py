"""The ControlNet loader and inpainting nodes: the descriptor, which VAE and
ControlNet the deferred record names, and the record both outputs carry."""
import pytest
import torch

from tests.support import nodes

base = pytest.importorskip("vorna_comfyui_engine.base")
controlnet = pytest.importorskip("vorna_comfyui_engine.controlnet")

NodeIO = base.NodeIO
Loader = controlnet.VornaControlNetLoader
Apply = controlnet.VornaControlNetInpaintingAliMamaApply
MARKER = "ControlNetInpaintingAliMamaApply"
VAE_FILE = nodes.VAE["vae_name"]


class Holder:
    def __init__(self, inputs):
        self.inputs = inputs


def apply(control_net=None, vae=None, vae_name="", positive="pos", negative="neg", image="img", mask="msk",
          strength=1.0, start_percent=0.0, end_percent=1.0):
    return Apply().apply(positive=positive, negative=negative, control_net=control_net, vae=vae,
                         vae_name=vae_name, image=image, mask=mask, strength=strength,
                         start_percent=start_percent, end_percent=end_percent)


def params(**kw):
    return apply(**kw)[0][0][0]["parameters"]


def test_loader_descriptor():
    node, = Loader().load_controlnet(control_net_name="InstantX_Qwen-Image-ControlNet-Inpainting.safetensors")
    assert type(node) is NodeIO and node.name == "ControlNetLoader"
    assert node.inputs == {"control_net_name": "InstantX_Qwen-Image-ControlNet-Inpainting.safetensors"}
    assert Loader().load_controlnet("a")[0].inputs is not Loader().load_controlnet("a")[0].inputs


@pytest.mark.parametrize("vae, vae_name, expect", [
    (NodeIO(name="VAELoader", inputs={"vae_name": VAE_FILE}), "other.safetensors", {"vae_name": VAE_FILE}),
    (Holder({"vae_name": VAE_FILE, "extra": 1}), "", {"vae_name": VAE_FILE}),
    ("no inputs", "  spaced.safetensors \n", {"vae_name": "spaced.safetensors"}),
    ("no inputs", "", {}),
    ("no inputs", "   ", {}),
    ("no inputs", 5, {}),                                   # non-text name is ignored
    (Holder({}), "fallback", {"vae_name": "fallback"}),
    (Holder(None), "fallback", {"vae_name": "fallback"}),
    (Holder(["vae_name"]), "fallback", {"vae_name": "fallback"}),
    (Holder({"vae_name": None}), "fallback", {"vae_name": None}),
    (Holder({"path": "/v"}), "fallback", {"path": "/v"}),
])
def test_vae_selection(vae, vae_name, expect):
    result = params(vae=vae, vae_name=vae_name)
    assert result["vae"] == expect
    assert list(result)[:4] == ["strength", "start_percent", "end_percent", "vae"]


def test_vae_mapping_without_name_is_carried_whole():
    inputs = {"path": "/v"}
    assert params(vae=Holder(inputs))["vae"] is inputs


@pytest.mark.parametrize("control_net, expect", [
    (NodeIO(name="ControlNetLoader", inputs={"control_net_name": "cn"}), {"control_net_name": "cn"}),
    (Holder({"control_net_name": "cn", "extra": 1}), {"control_net_name": "cn"}),
    (Holder({"path": "/cn"}), {"path": "/cn"}),
    (Holder(["control_net_name"]), None),                   # "in" holds, but a list cannot be read by name
    (Holder(None), "absent"),
    ("no inputs", "absent"),
])
def test_controlnet_selection(control_net, expect):
    if expect is None:
        with pytest.raises(TypeError):
            params(control_net=control_net)
        return
    result = params(control_net=control_net)
    if expect == "absent":
        assert "controlnet" not in result
    else:
        assert result["controlnet"] == expect and list(result)[-1] == "controlnet"


def test_controlnet_inputs_without_membership_raise():
    with pytest.raises(TypeError):
        params(control_net=Holder(5))


def test_attribute_errors_other_than_missing_propagate():
    class Broken:
        @property
        def inputs(self):
            raise RuntimeError("broken descriptor")

    with pytest.raises(RuntimeError, match="broken descriptor"):
        params(vae=Broken())
    with pytest.raises(RuntimeError, match="broken descriptor"):
        params(control_net=Broken())


def test_apply_record_and_outputs():
    image, mask, pos, neg = torch.zeros(1, 4, 4, 3), torch.zeros(1, 4, 4), [["p"]], [["n"]]
    out = apply(positive=pos, negative=neg, image=image, mask=mask, strength=12.0, start_percent=0.9,
                end_percent=0.1, control_net=NodeIO(name="ControlNetLoader", inputs={"control_net_name": "cn"}))
    assert type(out) is tuple and len(out) == 2
    first, second = out
    assert first is not second and first[0] is not second[0]
    assert len(first) == len(second) == len(first[0]) == len(second[0]) == 1
    rec = first[0][0]
    assert rec is second[0][0]
    assert list(rec) == ["__deferred_node__", "parameters", "inputs"] and rec["__deferred_node__"] == MARKER
    assert rec["parameters"] == {"strength": 12.0, "start_percent": 0.9, "end_percent": 0.1, "vae": {},
                                 "controlnet": {"control_net_name": "cn"}}
    assert list(rec["inputs"]) == ["positive", "negative", "image", "mask"]
    assert [rec["inputs"][k] for k in rec["inputs"]] == [pos, neg, image, mask]
    assert all(rec["inputs"][k] is v for k, v in zip(rec["inputs"], (pos, neg, image, mask)))
    rec["parameters"]["strength"] = 0.5
    assert second[0][0]["parameters"]["strength"] == 0.5
