"""Finds the node package for this custom-node folder.

Two ways of installing are supported: the shared object copied into this
folder (imported relatively, so the package lives under this folder's module
name), or the package installed into the interpreter's site-packages (the
wheel that requirements.txt pins, or `pip install .`). A shared object beside
this file wins, so a copied build overrides an older installed one.

The folder's Python files and the installed package come from one release:
requirements.txt pins the package to the folder's version. unavailable()
tells, before anything of the package runs, when the package is missing (the
manager's pip step failed, or the folder was copied by hand) or is another
release (an update that did not reinstall it), each in one line with the
command that mends it for this interpreter.
"""
import functools
import importlib
import importlib.machinery
import importlib.metadata
import importlib.util
import os
import re
import shlex
import subprocess
import sys

PACKAGE = "vorna_comfyui_engine"
_HERE = os.path.dirname(os.path.abspath(__file__))
# The pin of requirements.txt, in any of the spellings pip accepts for the name.
_PIN = re.compile(r"^\s*vorna[-_.]comfyui[-_.]engine\s*==\s*([^\s#;]+)", re.MULTILINE | re.IGNORECASE)


def bundled_shared_object():
    """Path of a shared object in this folder that this interpreter can load, or None."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(_HERE, PACKAGE + suffix)
        if os.path.isfile(path):
            return path
    return None


def folder_release():
    """The package version this folder's requirements.txt pins, or None."""
    try:
        with open(os.path.join(_HERE, "requirements.txt"), encoding="utf-8") as f:
            found = _PIN.search(f.read())
    except OSError:
        return None
    return found.group(1) if found else None


def _command(*args):
    # Pasted into the shell the user has: cmd.exe on Windows, a POSIX shell elsewhere.
    return subprocess.list2cmdline(args) if os.name == "nt" else shlex.join(args)


def unavailable():
    """An ImportError saying in one line why this folder cannot serve its
    nodes and what to run, or None when the package may be imported."""
    if bundled_shared_object() is not None:
        return None
    pip = (sys.executable, "-m", "pip", "install")
    if importlib.util.find_spec(PACKAGE) is None:
        mend = _command(*pip, "-r", os.path.join(_HERE, "requirements.txt"))
        return ModuleNotFoundError(
            f"Vorna nodes not loaded: {PACKAGE} is not installed for {sys.executable}; "
            f"run `{mend}` and restart ComfyUI", name=PACKAGE)
    wanted = folder_release()
    try:
        installed = importlib.metadata.version(PACKAGE)
    except importlib.metadata.PackageNotFoundError:
        # A build on the path without metadata (a developer's tree): nothing to compare.
        return None
    if wanted is None or installed == wanted:
        return None
    mend = _command(*pip, f"{PACKAGE}=={wanted}")
    return ImportError(
        f"Vorna nodes not loaded: this folder ({_HERE}) is release {wanted}, but {sys.executable} has "
        f"{PACKAGE} {installed} installed; run `{mend}` and restart ComfyUI", name=PACKAGE)


@functools.cache
def package():
    """The node package, imported on first use."""
    if bundled_shared_object() is not None:
        # Relative: the package becomes "<this folder's module>.vorna_comfyui_engine".
        return importlib.import_module("." + PACKAGE, __package__)
    return importlib.import_module(PACKAGE)


def submodule(name):
    """Imports one module of the node package, e.g. submodule("config")."""
    return importlib.import_module(package().__name__ + "." + name)
