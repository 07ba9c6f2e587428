"""The ten nodes as the host reads them: the registry tables of the node
modules, the node protocol of each class, and their input schemas."""
import copy
import importlib
import inspect
import json

import pytest

from tests.support import PACKAGE
from tests.support.nodes import ALL_NODES

# Py_TPFLAGS_IMMUTABLETYPE: set on static and immutable types, whose attributes cannot be written.
IMMUTABLE_TYPE = 1 << 8
base = pytest.importorskip(f"{PACKAGE}.base")

NODES = ALL_NODES


def node_module(name):
    return importlib.import_module(f"{PACKAGE}.{name}")


def node_class(row):
    return getattr(node_module(row.module), row.cls)


def test_registry_tables():
    modules = importlib.import_module(PACKAGE)._node_modules
    assert sorted(modules) == sorted({row.module for row in NODES})
    for name in modules:
        mod, rows = node_module(name), [row for row in NODES if row.module == name]
        assert list(mod.NODE_CLASS_MAPPINGS.items()) == [(row.key, node_class(row)) for row in rows]
        assert list(mod.NODE_DISPLAY_NAME_MAPPINGS.items()) == [(row.key, row.display) for row in rows]
        assert mod.NODE_CLASS_MAPPINGS is not mod.NODE_DISPLAY_NAME_MAPPINGS


@pytest.mark.parametrize("row", NODES, ids=[row.cls for row in NODES])
def test_node_protocol(row):
    module_name, name, parent, category, function, returns = (row.module, row.cls, row.parent, row.category,
                                                              row.method, row.returns)
    cls = node_class(row)
    assert cls.__module__ == f"{PACKAGE}.{module_name}" and cls.__qualname__ == cls.__name__ == name
    assert cls.__bases__ == ((getattr(base, parent),) if parent else (object,))
    assert (cls.CATEGORY, cls.FUNCTION, cls.RETURN_TYPES) == (category, function, returns)
    # The node's line in the host's info panel, on the class itself so that every host shows it.
    description = vars(cls)["DESCRIPTION"]
    assert type(description) is str and description and "\n" not in description
    assert list(inspect.signature(cls.INPUT_TYPES.__func__).parameters) == ["s"]
    assert isinstance(vars(cls)["INPUT_TYPES"], classmethod)
    assert cls.INPUT_TYPES.__func__.__qualname__ == f"{name}.INPUT_TYPES"

    # The entry method's parameters are the schema's inputs, in schema order.
    entry = getattr(cls, function)
    inputs = [input_name for group in cls.INPUT_TYPES().values() for input_name in group]
    assert list(inspect.signature(entry).parameters) == ["self"] + inputs
    assert entry.__qualname__ == f"{name}.{function}" and entry.__name__ == function
    assert vars(cls()) == {}

    # Made by the metaclass, as a class statement makes it: ComfyUI writes its
    # own attributes onto node classes, which a static or immutable type refuses.
    assert type(cls) is type and not cls.__flags__ & IMMUTABLE_TYPE


@pytest.mark.parametrize("row", NODES, ids=[row.cls for row in NODES])
def test_schema_is_new_each_call_and_serialisable(row):
    cls = node_class(row)
    first = cls.INPUT_TYPES()
    untouched = copy.deepcopy(first)
    assert cls().INPUT_TYPES() == first
    json.dumps(first)

    # Exact types: tuples per input, Python lists for choices (the host checks
    # membership only then), floats for FLOAT bounds.
    for group in first.values():
        for spec in group.values():
            assert type(spec) is tuple and type(spec[0]) in (str, list)
            if spec[0] == "FLOAT":
                assert {type(v) for v in spec[1].values()} == {float}

    # Wreck every mutable level of one result; the next call is untouched.
    for group in first.values():
        for spec in group.values():
            if isinstance(spec[0], list):
                spec[0].append("other")
            if len(spec) == 2:
                spec[1]["default"] = "changed"
        group["extra"] = ("INT",)
    first["hidden"] = {}
    assert cls.INPUT_TYPES() == untouched
