"""The "Vorna API Key" node: switches the service API key while ComfyUI runs.

The usual way to give the key is the environment variable VORNA_API_KEY when
ComfyUI starts; the nodes read it then. This node is for switching keys at
run time without restarting.

It deliberately has no widget that holds the key itself: ComfyUI saves every
widget value into workflow files and into the metadata of saved PNGs, so a
pasted key would travel with every picture. Instead the node names where the
key is, and since a shared workflow names it too, it reads only what is meant
to hold a key:
- environment: a variable whose name begins with VORNA_;
- file: a regular file inside the key directory (~/.config/vorna/, or the one
  the environment variable VORNA_KEY_DIR names when ComfyUI starts the node;
  a workflow cannot change it), symbolic links resolved, owned by the user
  ComfyUI runs as, readable by no one else (chmod 600). A name without a
  directory is taken inside the key directory.
Any other name is refused with the same short message, which tells nothing
about the named variable or path. The node never logs or returns the key,
only a short status text.

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
VARIABLE_PREFIX = "VORNA_"
DEFAULT_KEY_DIR = "~/.config/vorna"
DEFAULT_FILE = "~/.config/vorna/api_key"
REFUSED = ("this key source is not allowed: name an environment variable beginning with VORNA_, "
           "or a private key file (yours, chmod 600) in the key directory")


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
    if not variable.startswith(VARIABLE_PREFIX) or "=" in variable or "\0" in variable:
        raise ValueError(REFUSED)
    if variable not in os.environ:
        raise ValueError(f"environment variable {variable} is not set")
    return _check_key(os.environ[variable].strip(), f"environment variable {variable}")


def key_directory():
    """The one directory key files may come from, symbolic links resolved."""
    return os.path.realpath(os.path.expanduser(os.environ.get("VORNA_KEY_DIR") or DEFAULT_KEY_DIR))


def key_file_path(name):
    """The resolved path of a key file name, or ValueError(REFUSED) when it
    is not inside the key directory."""
    name = name.strip()
    if not name or "\0" in name:
        raise ValueError(REFUSED)
    directory = key_directory()
    path = os.path.realpath(os.path.join(directory, os.path.expanduser(name)))
    if path == directory or os.path.commonpath([path, directory]) != directory:
        raise ValueError(REFUSED)
    return path


def read_key_from_file(name):
    path = key_file_path(name)
    try:
        # No symbolic link at the last step (it was resolved above: one now
        # is a swap), and non-blocking, so a FIFO cannot hang the graph.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    except OSError:
        raise ValueError(REFUSED) from None
    try:
        info = os.fstat(fd)
        # Same rule as ssh for private keys: a key others can read is already
        # leaked, and a file of another user is not ours to send.
        if (not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid()
                or info.st_mode & (stat.S_IRWXG | stat.S_IRWXO)):
            raise ValueError(REFUSED)
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
                                    "tooltip": "environment variable name (beginning with VORNA_), or key "
                                               "file name in the key directory "
                                               f"(e.g. api_key for {DEFAULT_FILE}); never the key itself"}),
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
            where = f"key file {key_file_path(name)}"
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
