"""The ComfyUI stand-in and the repository root as a custom-node folder:
loading both ways, schemas, validation, and the three workflows end to end."""
import copy
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import torch
from PIL import Image

from tests.support.host import (KEY_VARIABLE, NODE_MODULES, PACKAGE, ROOT, WORKFLOWS, copy_root, live_host,
                          need_node_modules, set_key_through_node, workflow)
from tools.harness import CustomNodeImportError, Host, NodeExecutionError, PromptError, builtin_nodes, sample_inputs
from tools.harness.host import module_name_for
from tools.harness.schema import check_node

OUTPUT_SIZES = {"text_to_image": (1024, 1024), "image_to_image": sample_inputs.SIZE,
                "inpainting": sample_inputs.SIZE}


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


# --- the repository root as a custom-node folder ------------------------------------------------

def test_root_folder_from_site_packages_registers_all_nodes_with_sound_schemas(tmp_path):
    modules = need_node_modules()
    host = Host(tmp_path, tmp_path)
    host.load_custom_nodes(copy_root(tmp_path / "vorna_nodes"))
    expected = {k: c for m in modules.values() for k, c in m.NODE_CLASS_MAPPINGS.items()}
    assert len(expected) == 10
    assert set(host.custom_keys()) == set(expected) | {"VornaAPIClient"}
    assert all(host.classes[k] is c for k, c in expected.items())
    assert host.check() == {}
    info = json.loads(host.object_info_json())
    assert info["Vorna UNETLoader"]["display_name"] == "Vorna UNETLoader"
    assert info["VornaCLIPTextEncode"]["display_name"] == "Vorna CLIP Text Encode"
    assert info["VornaAPIClient"]["output_node"] is True
    assert {info[k]["python_module"] for k in host.custom_keys()} == {"custom_nodes.vorna_nodes"}
    assert {info[k]["category"] for k in expected} == {"Vorna/loaders", "Vorna/conditioning", "Vorna/sampling",
                                                       "Vorna/vae"}
    for name in ("text_to_image", "image_to_image", "inpainting"):
        sample_inputs.write(tmp_path)
        host.validate(workflow(name))


def run_python(code, *args, env_extra=None, cwd=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORNA_")}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")]))
    env.update(env_extra or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, env=env, cwd=cwd, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1]), proc


# --- the three workflows against the stand-in service ------------------------------------------

@pytest.fixture(scope="module")
def live(standin, tmp_path_factory):
    need_node_modules()
    tmp = tmp_path_factory.mktemp("live")
    with live_host(standin, tmp) as host:
        set_key_through_node(host)
        yield host, standin


def png_text_and_bytes(path):
    with Image.open(path) as img:
        return img.size, dict(img.text), open(path, "rb").read()


@pytest.mark.standin
@pytest.mark.parametrize("name", ["text_to_image", "image_to_image", "inpainting"])
def test_workflow_runs_and_saves_a_picture_of_the_right_size_without_the_key(live, name, caplog):
    host, standin = live
    caplog.set_level("DEBUG")
    run = host.run_file(WORKFLOWS / f"{name}.json")
    saved = run.saved_images()
    assert len(saved) == 1 and os.path.basename(os.path.dirname(saved[0])) == "vorna"
    size, text, raw = png_text_and_bytes(saved[0])
    assert size == OUTPUT_SIZES[name]
    assert json.loads(text["prompt"]) == workflow(name) == json.loads(text["workflow"])
    assert standin.key.encode() not in raw
    assert standin.key not in (WORKFLOWS / f"{name}.json").read_text()
    for record in caplog.records:
        assert standin.key not in record.getMessage()
    # The picture is the service's answer, not a blank.
    with Image.open(saved[0]) as img:
        assert np.asarray(img).std() > 1


@pytest.mark.standin
def test_main_job_road_through_the_command_line(standin, tmp_path):
    """What scripts/main.sh does: the key and URL from the environment, all three workflows."""
    need_node_modules()
    folder = copy_root(tmp_path / "custom_nodes" / "vorna_nodes")
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORNA_")}
    env.update(VORNA_API_BASE_URL=standin.url, VORNA_API_KEY=standin.key,
               PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])))
    subprocess.run([sys.executable, "-m", "tools.harness", "make-inputs", str(tmp_path / "in")], check=True, env=env,
                   capture_output=True, cwd=tmp_path)
    proc = subprocess.run([sys.executable, "-m", "tools.harness", "run", *sorted(map(str, WORKFLOWS.glob("*.json"))),
                           "--nodes", str(folder), "--input", str(tmp_path / "in"),
                           "--output", str(tmp_path / "out")],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    saved = sorted((tmp_path / "out" / "vorna").glob("*.png"))
    assert [p.name for p in saved] == ["image_to_image_00001_.png", "inpainting_00001_.png",
                                       "text_to_image_00001_.png"]
    assert standin.key not in proc.stdout + proc.stderr


RELATIVE_RUN = """
    import json, sys
    from tools.harness import Host
    from tools.harness.host import module_name_for
    folder, inputs, outputs, prompt = sys.argv[1:5]
    host = Host(inputs, outputs)
    host.load_custom_nodes(folder)
    run = host.execute(json.loads(prompt))
    print(json.dumps({
        "module": module_name_for(folder),
        "node_modules": sorted({host.classes[k].__module__ for k in host.custom_keys()}),
        "plain_package_imported": any(m.split(".")[0] == "vorna_comfyui_engine" for m in sys.modules),
        "problems": host.check(),
        "saved": run.saved_images(),
        "status": run.outputs["0"][0],
    }))
"""


@pytest.mark.standin
def test_root_folder_with_the_shared_object_inside_imports_it_relatively(standin, tmp_path):
    """The package then lives under the folder's module; the key node must set
    the key of that copy of the package, not of another one."""
    need_node_modules()
    # A dot in the folder name exercises ComfyUI's renaming of the module.
    folder = copy_root(tmp_path / "custom_nodes" / "vorna.nodes", with_shared_object=True)
    sample_inputs.write(tmp_path / "in")
    prompt = workflow("text_to_image")
    # Node ids order ties in this harness; "0" puts the key first.
    prompt["0"] = {"class_type": "VornaAPIClient", "inputs": {"source": "environment", "name": KEY_VARIABLE}}
    out, proc = run_python(RELATIVE_RUN, folder, tmp_path / "in", tmp_path / "out", json.dumps(prompt),
                           env_extra={"VORNA_API_BASE_URL": standin.url, KEY_VARIABLE: standin.key}, cwd=tmp_path)
    package = out["module"] + "." + PACKAGE
    assert out["module"].endswith("vorna_x_nodes")
    assert sorted(m for m in out["node_modules"] if m.startswith(package + ".")) == \
        sorted(f"{package}.{m}" for m in NODE_MODULES)
    assert out["plain_package_imported"] is False
    assert out["problems"] == {}
    assert out["status"] == f"API key set from environment variable {KEY_VARIABLE}"
    with Image.open(out["saved"][0]) as img:
        assert img.size == OUTPUT_SIZES["text_to_image"]
    assert standin.key not in proc.stdout + proc.stderr


# --- the example workflows for ComfyUI's front end ------------------------------------------------

def ui_to_api(ui, classes):
    """What the front end queues for a saved UI-format workflow: widget values
    in schema order (a seed is followed by its after-generate control, which
    is not sent), links by their ids."""
    links = {link[0]: link for link in ui["links"]}
    prompt = {}
    for node in ui["nodes"]:
        spec = classes[node["type"]].INPUT_TYPES()
        widgets = iter(node.get("widgets_values", []))
        linked = {i["name"]: links[i["link"]] for i in node.get("inputs", []) if i.get("link") is not None}
        inputs = {}
        for name, entry in [*spec["required"].items(), *spec.get("optional", {}).items()]:
            if name in linked:
                link = linked[name]
                assert (link[3], link[5]) == (node["id"], entry[0])       # target and type agree
                inputs[name] = [str(link[1]), link[2]]
            elif isinstance(entry[0], list) or entry[0] in ("INT", "FLOAT", "STRING", "BOOLEAN"):
                inputs[name] = next(widgets)
                if name == "seed":
                    assert next(widgets) in ("fixed", "increment", "decrement", "randomize")
        prompt[str(node["id"])] = {"inputs": inputs, "class_type": node["type"], "_meta": {"title": node["title"]}}
    return prompt


# ComfyUI's template folders of a custom-node folder (app/custom_node_manager.py):
# the preferred one and its legacy aliases, scanned in this order.
TEMPLATE_FOLDERS = ("example_workflows", "example", "examples", "workflow", "workflows")
TEMPLATE_PREFIX = "vorna_"


def comfyui_templates(pack):
    """The templates ComfyUI lists for one custom-node folder: every *.json of
    each template folder, named by its file name without the suffix."""
    return [(path.stem, json.loads(path.read_text())) for folder in TEMPLATE_FOLDERS if (pack / folder).is_dir()
            for path in sorted((pack / folder).glob("*.json"))]


def test_templates_are_listed_once_each_under_names_of_this_pack_in_the_front_ends_format():
    templates = comfyui_templates(ROOT)
    names = [name for name, _ in templates]
    assert len(names) == len(set(names)) == 3
    assert all(name.startswith(TEMPLATE_PREFIX) for name in names)
    # An API-format graph (node ids to class_type and inputs) does not open as a template.
    assert all({"nodes", "links"} <= set(graph) for _, graph in templates)
    # Each with its thumbnail.
    assert {p.stem for p in (ROOT / "example_workflows").glob("*.jpg")} == set(names)


def test_example_workflows_are_the_api_workflows_laid_out_for_the_front_end(tmp_path):
    need_node_modules()
    sample_inputs.write(tmp_path)
    host = Host(tmp_path, tmp_path)
    host.load_custom_nodes(copy_root(tmp_path / "vorna_nodes"))
    examples = sorted(p.stem for p in (ROOT / "example_workflows").glob("*.json"))
    assert examples == sorted(TEMPLATE_PREFIX + p.stem for p in WORKFLOWS.glob("*.json"))
    for name in examples:
        ui = json.loads((ROOT / "example_workflows" / f"{name}.json").read_text())
        assert ui["last_node_id"] == max(n["id"] for n in ui["nodes"])
        assert ui["last_link_id"] == max(link[0] for link in ui["links"])
        assert all(len(n["pos"]) == 2 and len(n["size"]) == 2 for n in ui["nodes"])
        assert ui_to_api(ui, host.classes) == workflow(name[len(TEMPLATE_PREFIX):]), name
