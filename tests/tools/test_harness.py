"""The ComfyUI stand-in (tools/harness): loading a custom-node folder as
ComfyUI does, schema checks, validation and execution of API-format graphs,
and its built-in nodes."""
import copy
import json
import os
import sys

import numpy as np
import pytest
import torch
from PIL import Image

from tools.harness import CustomNodeImportError, Host, NodeExecutionError, PromptError, builtin_nodes, sample_inputs
from tools.harness.host import module_name_for
from tools.harness.schema import check_node


# --- loading a folder as ComfyUI does ---------------------------------------------------------

FAKE_INIT = """
from .impl import Echo
SEEN_NAME = __name__
NODE_CLASS_MAPPINGS = {"Echo": Echo, "SaveImage": Echo}
NODE_DISPLAY_NAME_MAPPINGS = {"Echo": "Echo node"}
"""
FAKE_IMPL = """
class Echo:
    @classmethod
    def INPUT_TYPES(s):
        return {"required": {"text": ("STRING", {"default": "hi"})}}
    RETURN_TYPES = ("STRING",)
    FUNCTION = "run"
    CATEGORY = "test"
    def run(self, text):
        return (text,)
"""


def fake_folder(tmp_path, init=FAKE_INIT, name="my.nodes"):
    folder = tmp_path / name
    folder.mkdir()
    (folder / "__init__.py").write_text(init)
    (folder / "impl.py").write_text(FAKE_IMPL)
    return folder


def test_folder_is_imported_under_its_path_and_registered_like_comfyui(tmp_path):
    folder = fake_folder(tmp_path)
    host = Host(tmp_path, tmp_path)
    module = host.load_custom_nodes(folder)
    name = str(folder).replace(".", "_x_")
    assert module_name_for(folder) == name and sys.modules[name] is module
    assert module.SEEN_NAME == name                     # relative import inside worked
    echo = host.classes["Echo"]
    assert echo.RELATIVE_PYTHON_MODULE == "custom_nodes.my.nodes"
    # A key of a built-in node is skipped, not overwritten.
    assert host.skipped == ["SaveImage"] and host.classes["SaveImage"] is builtin_nodes.SaveImage
    assert host.display_names["Echo"] == "Echo node"
    info = json.loads(host.object_info_json())
    assert info["Echo"]["python_module"] == "custom_nodes.my.nodes"
    assert info["Echo"]["input_order"] == {"required": ["text"]}


def test_folder_that_fails_to_import_is_reported_and_not_left_half_loaded(tmp_path):
    folder = fake_folder(tmp_path, init="raise RuntimeError('broken on purpose')\n")
    with pytest.raises(CustomNodeImportError, match="broken on purpose"):
        Host(tmp_path, tmp_path).load_custom_nodes(folder)
    assert module_name_for(folder) not in sys.modules


# --- schema checks ----------------------------------------------------------------------------

def node(inputs, returns=("STRING",), method=None, category="test", fresh=True):
    schema = {"required": inputs}

    def run(self, **kwargs):
        return ("",)

    input_types = (lambda s: copy.deepcopy(schema)) if fresh else (lambda s: schema)
    return type("Probe", (), {"INPUT_TYPES": classmethod(input_types), "RETURN_TYPES": returns,
                              "FUNCTION": "run", "CATEGORY": category, "run": method or run})


def run_with_text(self, text):
    return ("",)


@pytest.mark.parametrize("cls, problem", [
    (node({"n": ("INT", {"default": 20, "min": 0, "max": 10})}), "outside"),
    (node({"n": ("FLOAT", {"default": 0.5, "min": 0.0, "max": float("nan")})}), "finite"),
    (node({"c": (("a", "b"), {"default": "a"})}), "list of choices"),
    (node({"c": (["a", "b"], {"default": "z"})}), "not one of the choices"),
    (node({"t": "STRING"}), "expected a tuple"),
    (node({"text": ("STRING",), "other": ("STRING",)}, method=run_with_text), "does not accept"),
    (node({}, method=run_with_text), "no default"),
    (node({"x": ("STRING", {"default": {1, 2}})}), "not JSON"),
    (node({}, returns=["STRING"]), "RETURN_TYPES"),
    (node({}, category=""), "CATEGORY"),
    (node({"x": ("STRING",)}, fresh=False), "same dict"),
])
def test_schema_check_finds_what_would_break_the_page_or_the_call(cls, problem):
    found = check_node("Probe", cls)
    assert any(problem in p for p in found), found


def test_schema_check_accepts_the_builtin_nodes(tmp_path):
    sample_inputs.write(tmp_path)          # LoadImage's choices come from the input folder
    host = Host(tmp_path, tmp_path)
    assert host.check(keys=list(host.classes)) == {}


# --- validation and execution -----------------------------------------------------------------

class Probe:
    calls = []

    @classmethod
    def INPUT_TYPES(s):
        return {"required": {"n": ("INT", {"default": 1, "min": 0, "max": 10})},
                "optional": {"label": ("STRING", {"default": "schema default"})},
                "hidden": {"prompt": "PROMPT", "uid": "UNIQUE_ID"}}

    RETURN_TYPES = ("MASK",)
    FUNCTION = "run"
    CATEGORY = "test"

    def run(self, n, label="method default", prompt=None, uid=None):
        Probe.calls.append((uid, n, label, prompt is not None))
        return (torch.full((1, 8, 8), n / 10.0),)


class Sink:
    @classmethod
    def INPUT_TYPES(s):
        return {"required": {"mask": ("MASK",)}}

    RETURN_TYPES = ()
    FUNCTION = "run"
    OUTPUT_NODE = True
    CATEGORY = "test"

    def run(self, mask):
        return {"ui": {"value": [float(mask.max())]}}


@pytest.fixture
def probe_host(tmp_path):
    host = Host(tmp_path, tmp_path)
    host.classes.update(Probe=Probe, Sink=Sink)
    Probe.calls = []
    return host


def test_runs_only_what_outputs_need_in_dependency_order_with_converted_values(probe_host):
    prompt = {
        "9": {"class_type": "Sink", "inputs": {"mask": ["3", 0]}},
        "3": {"class_type": "MaskComposite", "inputs": {"destination": ["10", 0], "source": ["2", 0],
                                                        "x": 0, "y": 0, "operation": "add"}},
        "10": {"class_type": "Probe", "inputs": {"n": "4"}},
        "2": {"class_type": "Probe", "inputs": {"n": 3.0, "label": "given"}},
        "5": {"class_type": "Probe", "inputs": {"n": 7}},          # feeds no output: never runs
    }
    run = probe_host.execute(prompt)
    assert run.order == ["2", "10", "3", "9"]
    # Strings and whole floats become INT; an absent optional input leaves the method's default.
    assert Probe.calls == [("2", 3, "given", True), ("10", 4, "method default", True)]
    assert run.ui["9"] == {"value": [pytest.approx(0.7)]}


@pytest.mark.parametrize("inputs, message", [
    ({"mask": ["1", 0]}, None),
    ({}, "required input 'mask' is missing"),
    ({"mask": ["8", 0]}, "not in the workflow"),
    ({"mask": ["1", 1]}, "has 1 outputs"),
    ({"mask": ["img", 0]}, "wants MASK but node img (LoadImage) output 0 is IMAGE"),
    ({"mask": "a literal"}, "must be linked"),
])
def test_links_are_checked_against_return_types(probe_host, inputs, message, tmp_path):
    sample_inputs.write(tmp_path)
    prompt = {"1": {"class_type": "Probe", "inputs": {"n": 1}},
              "img": {"class_type": "LoadImage", "inputs": {"image": sample_inputs.PICTURE}},
              "2": {"class_type": "Sink", "inputs": inputs}}
    if message is None:
        probe_host.validate(prompt)
        return
    with pytest.raises(PromptError) as info:
        probe_host.validate(prompt)
    assert any(message in e for e in info.value.errors), info.value.errors


def test_every_literal_problem_is_reported_at_once(probe_host):
    prompt = {
        "1": {"class_type": "SolidMask", "inputs": {"value": 1.5, "width": 0, "height": "tall"}},
        "2": {"class_type": "MaskComposite", "inputs": {"destination": ["1", 0], "source": ["1", 0],
                                                        "x": 0, "y": 2.5, "operation": "divide"}},
        "3": {"class_type": "Sink", "inputs": {"mask": ["2", 0]}},
    }
    with pytest.raises(PromptError) as info:
        probe_host.validate(prompt)
    text = "\n".join(info.value.errors)
    for expected in ("value=1.5 is above the maximum 1.0", "width=0 is below the minimum 1",
                     "height='tall' is not a valid INT", "y=2.5 is not a valid INT",
                     "operation='divide' is not one of"):
        assert expected in text
    assert len(info.value.errors) == 5


@pytest.mark.parametrize("prompt, message", [
    ({"1": {"class_type": "NoSuchNode", "inputs": {}}}, "unknown node type 'NoSuchNode'"),
    ({"1": {"class_type": "Probe", "inputs": {"n": 1}}}, "no output node"),
    ({"1": {"class_type": "Sink", "inputs": {"mask": ["2", 0]}},
      "2": {"class_type": "MaskComposite", "inputs": {"destination": ["2", 0], "source": ["2", 0],
                                                      "x": 0, "y": 0, "operation": "add"}}}, "cycle"),
])
def test_unrunnable_workflows_are_refused(probe_host, prompt, message):
    with pytest.raises(PromptError, match=message):
        probe_host.execute(prompt)


def test_a_failing_node_names_itself_and_keeps_the_cause(probe_host):
    class Boom(Probe):
        def run(self, **kwargs):
            raise KeyError("samples")

    probe_host.classes["Boom"] = Boom
    with pytest.raises(NodeExecutionError, match=r"node 1 \(Boom\): KeyError: 'samples'") as info:
        probe_host.execute({"1": {"class_type": "Boom", "inputs": {"n": 1}},
                            "2": {"class_type": "Sink", "inputs": {"mask": ["1", 0]}}})
    assert isinstance(info.value.__cause__, KeyError)


# --- built-in nodes ---------------------------------------------------------------------------

def test_load_image_gives_image_and_mask_as_one_minus_alpha(tmp_path):
    rgba = np.zeros((6, 10, 4), dtype=np.uint8)
    rgba[..., 0] = 255
    rgba[..., 3] = 255
    rgba[2:4, 3:7, 3] = 0                                   # erased: to be repainted
    Image.fromarray(rgba, "RGBA").save(tmp_path / "a.png")
    Image.fromarray(rgba[..., :3], "RGB").save(tmp_path / "b.png")
    host = Host(tmp_path, tmp_path)
    host.validate({"1": {"class_type": "LoadImage", "inputs": {"image": "a.png"}},
                   "2": {"class_type": "SaveImage", "inputs": {"images": ["1", 0], "filename_prefix": "p"}}})
    image, mask = builtin_nodes.LoadImage().load_image("a.png")
    assert image.shape == (1, 6, 10, 3) and image.dtype == torch.float32
    assert torch.equal(image[0, 0, 0], torch.tensor([1.0, 0.0, 0.0]))
    assert mask.shape == (1, 6, 10)
    assert mask.sum() == 8 and mask[0, 2:4, 3:7].eq(1).all()
    _, no_alpha = builtin_nodes.LoadImage().load_image("b.png")
    assert no_alpha.shape == (1, 64, 64) and no_alpha.eq(0).all()


def test_save_image_numbers_files_and_embeds_prompt_and_workflow(tmp_path):
    Folders = builtin_nodes.Folders
    Host(tmp_path, tmp_path / "out")
    images = torch.rand(2, 5, 7, 3)
    prompt = {"1": {"class_type": "X", "inputs": {}}}
    first = builtin_nodes.SaveImage().save_images(images, "sub/pic", prompt=prompt,
                                                  extra_pnginfo={"workflow": {"w": 1}})
    second = builtin_nodes.SaveImage().save_images(images[:1], "sub/pic")
    names = [i["filename"] for i in first["ui"]["images"] + second["ui"]["images"]]
    assert names == ["pic_00001_.png", "pic_00002_.png", "pic_00003_.png"]
    with Image.open(os.path.join(Folders.output, "sub", "pic_00001_.png")) as img:
        assert img.size == (7, 5)
        assert json.loads(img.text["prompt"]) == prompt and json.loads(img.text["workflow"]) == {"w": 1}
    with pytest.raises(ValueError, match="leaves the output folder"):
        builtin_nodes.SaveImage().save_images(images, "../escape")


def test_empty_latent_and_mask_composite_shapes():
    latent, = builtin_nodes.EmptyHunyuanLatentVideo().generate(width=768, height=512, length=1, batch_size=2)
    assert latent["samples"].shape == (2, 16, 1, 64, 96) and latent["samples"].eq(0).all()
    assert latent["downscale_ratio_spacial"] == 8
    dest, = builtin_nodes.SolidMask().solid(0.0, 10, 6)
    src, = builtin_nodes.SolidMask().solid(1.0, 4, 4)
    out, = builtin_nodes.MaskComposite().combine(dest, src, 8, 3, "add")   # clipped at the edges
    assert out.shape == (1, 6, 10) and out.sum() == 6 and out[0, 3:6, 8:10].eq(1).all()
