"""The repository root as a custom-node folder (__init__.py, _engine.py):
loaded from site-packages or with the shared object inside, the three
workflows end to end, and the example workflows for the front end."""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from PIL import Image

from tests.support.host import (KEY_VARIABLE, NODE_MODULES, PACKAGE, ROOT, WORKFLOWS, copy_root, live_host,
                                need_node_modules, set_key_through_node, workflow)
from tools.harness import Host, sample_inputs

OUTPUT_SIZES = {"text_to_image": (1024, 1024), "image_to_image": sample_inputs.SIZE,
                "inpainting": sample_inputs.SIZE}


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
