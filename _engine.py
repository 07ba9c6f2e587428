"""Finds the node package for this custom-node folder.

Two ways of installing are supported: the shared object copied into this
folder (imported relatively, so the package lives under this folder's module
name), or the package installed with `pip install .` into the interpreter's
site-packages. A shared object beside this file wins, so a copied build
overrides an older installed one.
"""
import importlib
import importlib.machinery
import os
import sys

PACKAGE = "vorna_comfyui_engine"
_HERE = os.path.dirname(os.path.abspath(__file__))


def bundled_shared_object():
    """Path of a shared object in this folder that this interpreter can load, or None."""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(_HERE, PACKAGE + suffix)
        if os.path.isfile(path):
            return path
    return None


def _import_package():
    if bundled_shared_object() is not None:
        # Relative: the package becomes "<this folder's module>.vorna_comfyui_engine".
        return importlib.import_module("." + PACKAGE, __package__)
    package = importlib.import_module(PACKAGE)
    # The C++ sources sit in a directory of the same name; without an
    # installed build that directory would import as an empty namespace
    # package and every node module would be "not found".
    if getattr(package, "__file__", None) is None:
        raise ImportError(
            f"{PACKAGE} is not installed for {sys.executable}: run `pip install .` in {_HERE} "
            f"with this interpreter, or copy the built {PACKAGE}{importlib.machinery.EXTENSION_SUFFIXES[0]} "
            "into that folder")
    return package


package = _import_package()


def submodule(name):
    """Imports one module of the node package, e.g. submodule("config")."""
    return importlib.import_module(package.__name__ + "." + name)
