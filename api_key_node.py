"""The "Vorna API Key" node: switches the service API key while ComfyUI runs.

The usual way to give the key is the environment variable VORNA_API_KEY when
ComfyUI starts; the nodes read it then. This node is for switching keys at
run time without restarting.

It deliberately has no widget that holds the key itself: ComfyUI saves every
widget value into workflow files and into the metadata of saved PNGs, so a
pasted key would travel with every picture. Instead the node names where the
key is: an environment variable, or a key file that only its owner can read.
It never logs or returns the key, only a short status text.

ComfyUI runs output nodes in no fixed order, so in a graph that also
generates, the first run may still use the previous key. Queue this node on
its own first (or run the graph twice) when the order matters.
"""
import logging
import os
import stat

from ._engine import submodule

logger = logging.getLogger(__name__)

_config = submodule("config")

SOURCES = ["environment", "file", "startup"]
DEFAULT_FILE = "~/.config/vorna/api_key"


def _check_key(key, where):
    if not key:
        raise ValueError(f"{where} is empty")
    # A key with blanks or line breaks inside is a wrong file or variable,
    # and would make an invalid Authorization header.
    if any(ch.isspace() or not ch.isprintable() for ch in key):
        raise ValueError(f"{where} holds white space or control characters inside the key")
    return key


def read_key_from_environment(variable):
    variable = variable.strip()
    if not variable:
        raise ValueError("no environment variable named: 'name' is empty")
    if variable not in os.environ:
        raise ValueError(f"environment variable {variable} is not set")
    return _check_key(os.environ[variable].strip(), f"environment variable {variable}")


def read_key_from_file(path):
    path = os.path.expanduser(path.strip())
    if not path:
        raise ValueError("no key file named: 'name' is empty")
    try:
        # Non-blocking, so a FIFO named by mistake cannot hang the graph.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as e:
        raise ValueError(f"cannot open key file {path}: {e.strerror}") from None
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise ValueError(f"key file {path} is not a regular file")
        # Same rule as ssh for private keys: a key others can read is already leaked.
        if mode & (stat.S_IRWXG | stat.S_IRWXO):
            raise ValueError(f"key file {path} is accessible by other users (mode {stat.S_IMODE(mode):04o}); "
                             f"run: chmod 600 {path}")
        with os.fdopen(fd, "rb") as f:
            fd = None
            data = f.read(64 * 1024 + 1)
    finally:
        if fd is not None:
            os.close(fd)
    if len(data) > 64 * 1024:
        raise ValueError(f"key file {path} is too large to be a key")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError(f"key file {path} is not UTF-8 text") from None
    return _check_key(text.strip(), f"key file {path}")


class VornaAPIClient:
    """Sets the API key of the Vorna nodes from an environment variable or a key file."""

    @classmethod
    def INPUT_TYPES(s):
        return {
            "required": {
                "source": (list(SOURCES), {"default": "environment",
                                           "tooltip": "environment: read the variable named below; "
                                                      "file: read the key file named below; "
                                                      "startup: go back to the key ComfyUI started with"}),
                "name": ("STRING", {"default": "VORNA_API_KEY", "multiline": False,
                                    "tooltip": "environment variable name, or key file path "
                                               f"(e.g. {DEFAULT_FILE}); never the key itself"}),
            }
        }

    RETURN_TYPES = ("STRING",)
    RETURN_NAMES = ("status",)
    FUNCTION = "set_key"
    CATEGORY = "Vorna"
    OUTPUT_NODE = True
    DESCRIPTION = __doc__

    @classmethod
    def IS_CHANGED(s, source, name):
        # The variable or file may change between runs while the inputs stay
        # the same; NaN never equals itself, so ComfyUI reruns the node.
        return float("nan")

    def set_key(self, source, name):
        if source == "environment":
            key = read_key_from_environment(name)
            where = f"environment variable {name.strip()}"
        elif source == "file":
            key = read_key_from_file(name)
            where = f"key file {os.path.expanduser(name.strip())}"
        elif source == "startup":
            key = None
            where = None
        else:
            raise ValueError(f"unknown key source {source!r}; choose one of {', '.join(SOURCES)}")
        _config.set_api_key(key)
        status = f"API key set from {where}" if where else "API key reset to the one read at start-up"
        logger.info("Vorna: %s", status)
        return (status,)


NODE_CLASS_MAPPINGS = {"VornaAPIClient": VornaAPIClient}
NODE_DISPLAY_NAME_MAPPINGS = {"VornaAPIClient": "Vorna API Key"}
