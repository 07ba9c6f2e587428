"""The folder as ComfyUI's node registry and manager handle it: the metadata
the registry reads, the archive it makes, the requirements the manager
installs line by line, and a folder that meets a package of another release."""
import importlib.metadata
import importlib.util
import logging
import re
import subprocess

import pytest

from host_support import PACKAGE, ROOT, Host, copy_root

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


def test_registry_archive_holds_the_folder_and_the_source_build_without_development_files():
    archive = registry_archive()
    folder = {p.name for p in ROOT.glob("*.py")} | {"requirements.txt", "pyproject.toml", "README.md"}
    assert folder <= archive
    assert any(p.startswith("example_workflows/") for p in archive)
    # The front end's key setting: ComfyUI serves the folder WEB_DIRECTORY names.
    assert "web/vorna_api_key.js" in archive
    # Everything CMake compiles, so `pip install .` works where no wheel fits.
    sources = {p for p in ARCHIVE.tracked() if p == "CMakeLists.txt" or p.endswith((".cpp", ".hpp", ".h", ".map"))}
    assert sources and sources <= archive
    # API-format graphs would show up as broken templates; tests and tools are no user's business.
    assert not {p for p in archive if p.startswith(("workflows/", "tests/", "scripts/", "service/", "harness/"))}


def test_package_of_another_release_registers_nothing_and_says_why_in_one_line(tmp_path, caplog):
    try:
        installed = importlib.metadata.version(PACKAGE)
    except importlib.metadata.PackageNotFoundError:
        pytest.skip(f"{PACKAGE} is not installed, only on the path")
    folder = copy_root(tmp_path / "custom_nodes" / "vorna_nodes")
    requirements = folder / "requirements.txt"
    requirements.write_text(re.sub(rf"^{PACKAGE}==.*$", f"{PACKAGE}==0.0.1", requirements.read_text(), flags=re.M))
    host = Host(tmp_path, tmp_path)
    with caplog.at_level(logging.DEBUG):
        host.load_custom_nodes(folder)
    assert host.custom_keys() == []
    errors = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert len(errors) == 1 and "\n" not in errors[0]
    assert "release 0.0.1" in errors[0] and f"{PACKAGE} {installed} installed" in errors[0]
    assert f"-m pip install {PACKAGE}==0.0.1" in errors[0]


def test_folder_named_as_the_manager_names_it_registers_every_node(tmp_path):
    # The manager unpacks a registry pack into custom_nodes/<node id>: here the package's own name.
    host = Host(tmp_path, tmp_path)
    host.load_custom_nodes(copy_root(tmp_path / "custom_nodes" / PROJECT["name"]))
    assert len(host.custom_keys()) == 11 and host.check() == {}
