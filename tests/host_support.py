"""Helpers shared by the host-level tests: copies of the custom-node folder,
the node modules, and a host wired to the stand-in service."""
import contextlib
import importlib
import shutil
from pathlib import Path

import pytest

from tools.bench.measure import shared_object
from tools.harness import Host, sample_inputs

ROOT = Path(__file__).resolve().parent.parent

PACKAGE = "vorna_comfyui_engine"
# The package's own list of the modules that register nodes.
NODE_MODULES = importlib.import_module(PACKAGE)._node_modules
WORKFLOWS = ROOT / "tools" / "api_workflows"
KEY_VARIABLE = "VORNA_TEST_KEY"


def need_node_modules():
    return {name: pytest.importorskip(f"{PACKAGE}.{name}") for name in NODE_MODULES}


def copy_root(dest, with_shared_object=False):
    """The custom-node folder as a user installs it: the root's Python files
    and requirements.txt (the release the folder asks for), and the shared
    object beside them when asked."""
    dest = Path(dest)
    dest.mkdir(parents=True)
    for path in [*ROOT.glob("*.py"), ROOT / "requirements.txt"]:
        shutil.copy(path, dest / path.name)
    if with_shared_object:
        so = shared_object()
        if so is None:
            pytest.skip("no built shared object on sys.path")
        shutil.copy(so, dest / Path(so).name)
    return dest


def workflow(name):
    import json
    return json.loads((WORKFLOWS / f"{name}.json").read_text())


@contextlib.contextmanager
def live_host(standin, tmp):
    """A host with the root folder loaded from site-packages, pointed at the
    stand-in; the key is set through the key node, as a user would."""
    config = importlib.import_module(f"{PACKAGE}.config")
    folder = copy_root(tmp / "custom_nodes" / "vorna_nodes")
    sample_inputs.write(tmp / "input")
    host = Host(input_dir=tmp / "input", output_dir=tmp / "output")
    host.load_custom_nodes(folder)
    with pytest.MonkeyPatch.context() as mp:
        # The URL is copied into the classes at import; the tests' service was started later.
        for key in host.custom_keys():
            for cls in host.classes[key].__mro__:
                if "BASE_URL" in vars(cls):
                    mp.setattr(cls, "BASE_URL", standin.url)
        mp.setenv(KEY_VARIABLE, standin.key)
        try:
            yield host
        finally:
            config.set_api_key(None)


def set_key_through_node(host, source="environment", name=KEY_VARIABLE):
    node = host.classes["VornaAPIClient"]
    return getattr(node(), node.FUNCTION)(source=source, name=name)
