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
  a workflow cannot change it), with no symbolic link (on Windows, no
  junction or other reparse point) on the way below that directory, owned by
  the user ComfyUI runs as, readable by no one else (chmod 600; Windows keeps
  owner and access in ACLs, which are not checked). A name without a
  directory is taken inside the key directory.
Any other name is refused with the same short message, which tells nothing
about the named variable or path. Blanks and line breaks around the key are
dropped; a key that an HTTP header cannot carry (non-ASCII or control
characters inside) is refused here, by the same rule as every request. The
node never logs or returns the key, only a short status text.

In a ComfyUI that runs coroutine nodes, the key this node names is also the
key of every service call of its own prompt, whatever order ComfyUI runs the
nodes in (prompt_keys.py): read once per prompt, and used by the node and
the calls alike. A key sent with the /prompt request wins over it for that
prompt. After it ran, the node shows on itself which source and name are in
effect, never the key.
"""
import logging
import os
import stat

from . import prompt_keys
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
    # The package's own rule for what an Authorization header can carry, so
    # a key set here is never refused at every request later.
    problem = _config._api_key_problem(key)
    if problem is not None:
        raise ValueError(f"{where} holds {problem}")
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


def _key_file_parts(name):
    """The key directory and the names below it that lead to the key file,
    or ValueError(REFUSED) when the name does not lead into the directory.

    Only the part above the key directory may pass through links (the path
    given may name the directory through one); below it no name is resolved
    here: the opening refuses links there."""
    name = name.strip()
    if not name or "\0" in name:
        raise ValueError(REFUSED)
    directory = key_directory()
    path = os.path.join(directory, os.path.expanduser(name))
    drive, rest = os.path.splitdrive(path)
    parts = [part for part in rest.replace(os.altsep or os.sep, os.sep).split(os.sep) if part]
    try:
        for above in range(len(parts)):
            if os.path.realpath(drive + os.sep + os.sep.join(parts[:above])) == directory:
                below = parts[above:]
                if below and not any(part in (".", "..") for part in below):
                    return directory, below
                break
    except OSError:     # a link that changed while it was read: not the key directory's
        pass
    raise ValueError(REFUSED)


def key_file_path(name):
    """The path of a key file name inside the key directory, or
    ValueError(REFUSED) when it does not lead there."""
    directory, parts = _key_file_parts(name)
    return os.path.join(directory, *parts)


def _open_below_posix(directory, parts):
    """Opens directory/parts[0]/.../parts[-1] one name at a time from the
    descriptor of the one before, none of them a link: what is checked is
    what is opened, whatever is renamed meanwhile."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in parts[:-1]:
            inner = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
            os.close(fd)
            fd = inner
        # Non-blocking, so a FIFO cannot hang the graph.
        return os.open(parts[-1], os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW, dir_fd=fd)
    finally:
        os.close(fd)


_REPARSE_POINT = getattr(stat, "FILE_ATTRIBUTE_REPARSE_POINT", 0x400)


def _is_link(path, info):
    # Symbolic links, junctions and every other reparse point (Windows).
    return (stat.S_ISLNK(info.st_mode) or getattr(info, "st_file_attributes", 0) & _REPARSE_POINT
            or getattr(os.path, "isjunction", lambda path: False)(path))


def _final_path(fd):
    """Where the open file really is, as the system resolves it, or None
    where that cannot be asked (then the file is refused)."""
    if os.name == "nt":
        import ctypes
        import msvcrt
        from ctypes import wintypes
        final_path_of = ctypes.WinDLL("kernel32").GetFinalPathNameByHandleW
        final_path_of.argtypes = (wintypes.HANDLE, wintypes.LPWSTR, wintypes.DWORD, wintypes.DWORD)
        final_path_of.restype = wintypes.DWORD
        buffer = ctypes.create_unicode_buffer(32768)
        length = final_path_of(msvcrt.get_osfhandle(fd), buffer, len(buffer), 0)
        if not 0 < length < len(buffer):
            return None
        path = buffer.value      # \\?\C:\... or \\?\UNC\server\share\...
        return "\\\\" + path[8:] if path.startswith("\\\\?\\UNC\\") else path.removeprefix("\\\\?\\")
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return None


def _open_below_by_path(directory, parts):
    """Where descriptors cannot be opened relative to a directory (Windows):
    every name below the key directory is checked to be no link, then the
    file is opened by its path and must be the very file checked, found
    where it was checked, so a swap in between is refused."""
    path = directory
    for depth, part in enumerate(parts, 1):
        path = os.path.join(path, part)
        info = os.lstat(path)
        kind = stat.S_ISREG if depth == len(parts) else stat.S_ISDIR
        if _is_link(path, info) or not kind(info.st_mode):
            raise OSError(f"{path} is not a plain file or directory")
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0))
    try:
        opened = os.fstat(fd)
        final = _final_path(fd)
        if ((opened.st_dev, opened.st_ino) != (info.st_dev, info.st_ino)
                or final is None or os.path.normcase(final) != os.path.normcase(path)):
            raise OSError(f"{path} was replaced while it was opened")
    except BaseException:
        os.close(fd)
        raise
    return fd


# Chosen once: the descriptor walk where the system has it (Linux, macOS, the BSDs).
_POSIX = (all(hasattr(os, name) for name in ("O_NOFOLLOW", "O_DIRECTORY", "geteuid"))
          and os.open in os.supports_dir_fd)
_open_below = _open_below_posix if _POSIX else _open_below_by_path


def _private(info):
    # Same rule as ssh for private keys: a key others can read is already
    # leaked, and a file of another user is not ours to send. Windows keeps
    # both in ACLs, which are not read here.
    return not _POSIX or (info.st_uid == os.geteuid() and not info.st_mode & (stat.S_IRWXG | stat.S_IRWXO))


def read_key_from_file(name):
    directory, parts = _key_file_parts(name)
    path = os.path.join(directory, *parts)
    try:
        fd = _open_below(directory, parts)
    except OSError:
        raise ValueError(REFUSED) from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or not _private(info):
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
        key, where, this_prompt = prompt_keys.node_key(source, name, read_key)
        _config.set_api_key(key)
        status = f"API key set from {where}" if where else "API key reset to the one read at start-up"
        logger.info("Vorna: %s", status)
        prompt_keys.show_on_node(shown(where, this_prompt))
        return (status,)


def read_key(source, name):
    """(key, where it came from) for a source and name, as the node reads
    them; (None, None) for "startup", which clears the key set at run time."""
    if source == "environment":
        return read_key_from_environment(name), f"environment variable {name.strip()}"
    if source == "file":
        return read_key_from_file(name), f"key file {key_file_path(name)}"
    if source == "startup":
        return None, None
    raise ValueError(f"unknown key source {source!r}; choose one of {', '.join(SOURCES)}")


def shown(where, this_prompt):
    """What the node shows on itself (short: a node is narrow): where the
    key in effect comes from, for later prompts and for its own prompt."""
    source = where or "the key read at start-up"
    if this_prompt is None:
        return f"key: {source}"
    if this_prompt == "this key":
        return f"key: {source}\n(this prompt and later ones)"
    return f"this prompt: {this_prompt}\nlater: {source}"


NODE_CLASS_MAPPINGS = {"VornaAPIClient": VornaAPIClient}
NODE_DISPLAY_NAME_MAPPINGS = {"VornaAPIClient": "Vorna API Key"}
