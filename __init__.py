"""ComfyUI custom-node folder of the Vorna nodes.

The nodes themselves live in the native package `vorna_comfyui_engine`,
either installed (the wheel requirements.txt pins, or `pip install .` with
ComfyUI's Python) or copied into this folder as the built shared object; see
_engine.py. This file gathers the registry tables of its node modules (the
package lists them in `_node_modules`) and adds the key-setting node. Without
the package, or with an installed package of another release than this
folder, the folder's import fails (ComfyUI lists it as IMPORT FAILED) with
one line that says what happened and the command that mends it.

The tables are built on first access (ComfyUI reads them right after the
import), so importing the folder itself stays free of side effects: test
runners and tools that import every package they pass pull in no extension,
torch or environment settings.

In a ComfyUI that runs coroutine nodes, the four nodes that call the service
are registered as such (see comfy_async.py): they wait side by side, Cancel
stops the wait, and each shows on its node how long it has waited; and a
prompt's calls carry that prompt's own key, the one sent with the request
or named by its key node (see prompt_keys.py). Other hosts get the
package's synchronous nodes as they are.
"""
from ._engine import unavailable as _unavailable

# Checked without importing the package. Raised by the folder's own import,
# the failure is one ComfyUI counts as such, and its traceback ends here.
if (_problem := _unavailable()) is not None:
    raise _problem

__all__ = ["NODE_CLASS_MAPPINGS", "NODE_DISPLAY_NAME_MAPPINGS"]

# The front end's per-user key setting (web/vorna_api_key.js).
WEB_DIRECTORY = "./web"


def _merge(tables):
    classes, names = {}, {}
    for origin, (class_table, name_table) in tables:
        for key, cls in class_table.items():
            # ComfyUI keeps one class per key; a silent overwrite would hide a node.
            if key in classes:
                raise RuntimeError(f"node key {key!r} of {origin} is already registered by {classes[key].__module__}")
            classes[key] = cls
        for key, name in name_table.items():
            if key not in class_table:
                raise RuntimeError(f"{origin} names a display name for {key!r}, which it does not register")
            names[key] = name
    return classes, names


def _tables():
    from ._engine import package, submodule
    from .api_key_node import NODE_CLASS_MAPPINGS as key_classes
    from .api_key_node import NODE_DISPLAY_NAME_MAPPINGS as key_names

    for name in package()._node_modules:
        module = submodule(name)
        yield module.__name__, (module.NODE_CLASS_MAPPINGS, module.NODE_DISPLAY_NAME_MAPPINGS)
    yield "the API key node", (key_classes, key_names)


def __getattr__(name):
    if name not in __all__:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        classes, names = _merge(_tables())
        classes = _for_host(classes)
    except AttributeError as e:
        # The host asks with hasattr(), which would swallow this and register nothing.
        raise ImportError(f"cannot build the node tables: {e}") from e
    globals().update(NODE_CLASS_MAPPINGS=classes, NODE_DISPLAY_NAME_MAPPINGS=names)
    return globals()[name]


def _for_host(classes):
    """The table for the running host: in a ComfyUI that runs coroutine
    nodes, those nodes, and the prompts' own keys (prompt_keys.py)."""
    from functools import partial

    from .api_key_node import key_file_path, read_key
    from .comfy_async import for_host
    from .prompt_keys import install
    return for_host(classes, on_host=partial(install, read_key=read_key, key_file_path=key_file_path))
