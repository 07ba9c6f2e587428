"""The folder as ComfyUI's node registry and manager handle it: the metadata
the registry reads, the archive it makes, the requirements the manager
installs line by line, and a folder whose package is missing or of another
release."""
import glob
import importlib
import importlib.metadata
import importlib.util
import logging
import os
import re
import subprocess
import sys
import zipfile

import pytest

from tests.support.host import PACKAGE, ROOT, Host, copy_root

tomllib = pytest.importorskip("tomllib")
Requirement = pytest.importorskip("packaging.requirements").Requirement
SpecifierSet = pytest.importorskip("packaging.specifiers").SpecifierSet

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
PROJECT, COMFY = PYPROJECT["project"], PYPROJECT["tool"]["comfy"]


def requirement_lines():
    lines = (line.strip() for line in (ROOT / "requirements.txt").read_text().splitlines())
    return [line for line in lines if line and not line.startswith("#")]


def load_file(path):
    """A Python file of the repository, loaded on its own as a module."""
    spec = importlib.util.spec_from_file_location("vorna_test_" + path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ARCHIVE = load_file(ROOT / "tools" / "release" / "registry_archive.py")


def registry_archive():
    pytest.importorskip("pathspec")
    try:
        return set(ARCHIVE.archived())
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not a git checkout")


def test_requirements_pin_the_wheel_to_the_folder_release_then_list_its_dependencies():
    lines = requirement_lines()
    # The manager hands each line to pip as one argument: no options, no second requirement.
    parsed = [Requirement(line) for line in lines]
    assert not any(line.startswith("-") for line in lines)
    assert lines[0] == f"{PACKAGE}=={PROJECT['version']}"
    assert load_file(ROOT / "_engine.py").folder_release() == PROJECT["version"]
    assert [str(r) for r in parsed[1:]] == [str(Requirement(d)) for d in PROJECT["dependencies"]]
    assert not any(r.name == "torch" for r in parsed), "torch is ComfyUI's own"


def test_registry_metadata_follows_the_registry_rules():
    # Node id: under 100 characters, letters, digits and single - _ . between them, a letter first.
    assert len(PROJECT["name"]) < 100 and re.fullmatch(r"[A-Za-z][A-Za-z0-9]*(?:[-_.][A-Za-z0-9]+)*", PROJECT["name"])
    assert re.fullmatch(r"\d+\.\d+\.\d+", PROJECT["version"])
    license_ = PROJECT["license"]
    assert set(license_) in ({"text"}, {"file"}) and all(license_.values())
    assert "file" not in license_ or (ROOT / license_["file"]).is_file()
    assert PROJECT["description"].strip()
    assert re.fullmatch(r"https://[^\s/]+/\S+", PROJECT["urls"]["Repository"])
    assert all(f"3.{minor}" in SpecifierSet(PROJECT["requires-python"]) for minor in (10, 11, 12, 13))
    operating_systems = [c for c in PROJECT["classifiers"] if c.startswith("Operating System :: ")]
    assert "Operating System :: POSIX :: Linux" in operating_systems
    assert all(c.split(" :: ")[1] in ("Microsoft", "POSIX", "MacOS", "OS Independent") for c in operating_systems)
    accelerators = {"GPU :: NVIDIA CUDA", "GPU :: AMD ROCm", "GPU :: Intel Arc", "NPU :: Huawei Ascend",
                    "GPU :: Apple Metal"}
    assert all(c[len("Environment :: "):] in accelerators for c in PROJECT["classifiers"]
               if c.startswith("Environment ::"))

    assert re.fullmatch(r"[a-z0-9][a-z0-9-]*", COMFY["PublisherId"]) and COMFY["DisplayName"].strip()
    # Each comma-separated part: an optional operator and major.minor.patch.
    parts = COMFY["requires-comfyui"].split(",")
    assert all(re.fullmatch(r"(==|>=|<=|!=|~=|>|<|<>|=)?\s*\d+\.\d+\.\d+(-[a-zA-Z0-9]+)?", p.strip()) for p in parts)
    # The oldest ComfyUI that runs coroutine nodes.
    assert "0.3.45" in SpecifierSet(COMFY["requires-comfyui"]) and "0.3.44" not in SpecifierSet(COMFY["requires-comfyui"])
    icon = COMFY["Icon"]
    assert icon.startswith(PROJECT["urls"]["Repository"] + "/")
    assert re.search(r"\.(svg|png|jpe?g|gif)$", icon) and icon.rsplit("/", 1)[1] in registry_archive()


# The registry's archive: the folder ComfyUI loads (its front-end extension in
# web/ included), what the manager and the registry read, and what `pip install .`
# builds from. A new entry has to be added here on purpose.
SHIPPED_TOP_LEVEL = {"__init__.py", "_engine.py", "api_key_node.py", "comfy_async.py", "prompt_keys.py",
                     "requirements.txt", "pyproject.toml", "README.md", "icon.svg", "CMakeLists.txt",
                     "example_workflows", "src", "web"}
# Every folder that ships, at any depth.
SHIPPED_FOLDERS = {"example_workflows", "src", "src/runtime", "src/codec", "src/request", "src/vorna_comfyui_engine",
                   "web"}


def test_registry_archive_holds_exactly_the_folder_and_its_source_build(tmp_path):
    pytest.importorskip("pathspec")
    try:
        ARCHIVE.write_zip(tmp_path / "pack.zip")
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not a git checkout")
    with zipfile.ZipFile(tmp_path / "pack.zip") as pack:
        parts = [path.split("/") for path in pack.namelist()]
    archive = {"/".join(part) for part in parts}
    folders = {"/".join(part[:depth]) for part in parts for depth in range(1, len(part))}
    assert {part[0] for part in parts} == SHIPPED_TOP_LEVEL
    assert folders == SHIPPED_FOLDERS
    # Everything CMake compiles (and nothing else of src/), so `pip install .` works where no wheel fits.
    assert {p for p in archive if p.startswith("src/")} == {p for p in ARCHIVE.tracked() if p.startswith("src/")}
    assert all(p.endswith((".cpp", ".hpp", ".map")) for p in archive if p.startswith("src/"))


@pytest.fixture
def package_not_installed(monkeypatch):
    """This process as it would be without the package: not imported, its
    finder gone, and no path entry that holds it or its metadata."""
    monkeypatch.delitem(sys.modules, PACKAGE)
    monkeypatch.setattr(sys, "meta_path", [f for f in sys.meta_path if type(f).__name__ != "package_module_loader"])
    holders = {entry for entry in sys.path if glob.glob(os.path.join(entry or ".", PACKAGE + "*"))}
    monkeypatch.setattr(sys, "path", [entry for entry in sys.path if entry not in holders])


def folder_of_another_release(folder):
    try:
        importlib.metadata.version(PACKAGE)
    except importlib.metadata.PackageNotFoundError:
        pytest.skip(f"{PACKAGE} is not installed, only on the path")
    requirements = folder / "requirements.txt"
    requirements.write_text(re.sub(rf"^{PACKAGE}==.*$", f"{PACKAGE}==0.0.1", requirements.read_text(), flags=re.M))
    return f"{sys.executable} -m pip install {PACKAGE}==0.0.1"


@pytest.mark.parametrize("case", ["package missing", "another release"])
def test_folder_without_its_package_fails_its_import_with_one_line_and_the_mending_command(
        case, tmp_path, monkeypatch, caplog, request):
    folder = copy_root(tmp_path / "custom_nodes" / "vorna_nodes")
    if case == "package missing":
        request.getfixturevalue("package_not_installed")
        command = f"{sys.executable} -m pip install -r {folder / 'requirements.txt'}"
    else:
        command = folder_of_another_release(folder)
    host = Host(tmp_path, tmp_path)
    with caplog.at_level(logging.WARNING):
        assert host.load_custom_node(folder) is False
    assert host.custom_keys() == []
    assert host.import_summary()[1].endswith(f" seconds (IMPORT FAILED): {folder}")
    trace, cannot_import = [r.getMessage() for r in caplog.records]
    line = cannot_import.split(" module for custom nodes: ", 1)[1]
    assert "\n" not in line and line.startswith("Vorna nodes not loaded: ") and f"`{command}`" in line
    # Of our files, the traceback shows one frame: the folder's line that raises.
    ours = [frame for frame in trace.splitlines() if frame.startswith(f'  File "{folder}')]
    assert len(ours) == 1 and ours[0].startswith(f'  File "{folder / "__init__.py"}", line ')

    # Outside ComfyUI, a plain import of the folder says the same.
    monkeypatch.setattr(sys, "path", [str(folder.parent), *sys.path])
    try:
        with pytest.raises(ImportError) as raised:
            importlib.import_module(folder.name)
    finally:
        for name in [n for n in sys.modules if n.startswith(folder.name + ".")]:
            del sys.modules[name]
    assert str(raised.value) == line


def test_folder_named_as_the_manager_names_it_registers_every_node(tmp_path):
    # The manager unpacks a registry pack into custom_nodes/<node id>: here the package's own name.
    host = Host(tmp_path, tmp_path)
    host.load_custom_nodes(copy_root(tmp_path / "custom_nodes" / PROJECT["name"]))
    assert len(host.custom_keys()) == 11 and host.check() == {}
