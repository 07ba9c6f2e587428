"""Finds the node package for this custom-node folder.

Two ways of installing are supported: the shared object copied into this
folder (imported relatively, so the package lives under this folder's module
name), or the package installed into the interpreter's site-packages (the
wheel that requirements.txt pins, or `pip install .`). A shared object beside
this file wins, so a copied build overrides an older installed one.

The folder's Python files and the installed package come from one release:
requirements.txt pins the package to the folder's version. When they differ
anyway (a stale wheel left by an update that did not reinstall it),
stale_release() says so before anything of the installed package runs.
"""
import functools
import importlib
import importlib.machinery
import importlib.metadata
import os
import re
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


def stale_release():
    """One line saying why the installed package must not serve this folder
    (it is another release), or None when it may."""
    if bundled_shared_object() is not None:
        return None
    wanted = folder_release()
    try:
        installed = importlib.metadata.version(PACKAGE)
    except importlib.metadata.PackageNotFoundError:
        return None
    if wanted is None or installed == wanted:
        return None
    return (f"Vorna nodes not loaded: this folder ({_HERE}) is release {wanted}, but {sys.executable} has "
            f"{PACKAGE} {installed} installed; run `{sys.executable} -m pip install {PACKAGE}=={wanted}` "
            f"and restart ComfyUI")


@functools.cache
def package():
    """The node package, imported on first use."""
    if bundled_shared_object() is not None:
        # Relative: the package becomes "<this folder's module>.vorna_comfyui_engine".
        return importlib.import_module("." + PACKAGE, __package__)
    found = importlib.import_module(PACKAGE)
    # The C++ sources sit in a directory of the same name; without an
    # installed build that directory would import as an empty namespace
    # package and every node module would be "not found".
    if getattr(found, "__file__", None) is None:
        raise ImportError(
            f"{PACKAGE} is not installed for {sys.executable}: run `{sys.executable} -m pip install -r "
            f"{os.path.join(_HERE, 'requirements.txt')}`, or `pip install .` in {_HERE} to build it, or copy "
            f"the built {PACKAGE}{importlib.machinery.EXTENSION_SUFFIXES[0]} into that folder")
    return found


def submodule(name):
    """Imports one module of the node package, e.g. submodule("config")."""
    return importlib.import_module(package().__name__ + "." + name)
