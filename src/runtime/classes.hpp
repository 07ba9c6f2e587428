// Classes made as a class statement makes them, and the node classes, node
// schemas and node values every node module builds with.
#pragma once
#include "function.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace vorna {

// type(name, bases, ns) with __module__ and __qualname__ placed first, the
// way a class statement builds its namespace. As a class statement does, it
// gives the functions defined in the body (plain, or in a classmethod) the
// qualified name "<name>.<function name>".
py::object make_class(py::handle module, const char *name, py::tuple bases,
                      const std::vector<std::pair<const char *, py::object>> &body);

// A node class as the host reads it. Its namespace lists, in this order:
// __doc__ (when given), INPUT_TYPES (a classmethod), RETURN_TYPES, FUNCTION
// (the entry method's name), CATEGORY, DESCRIPTION (the host's one line
// about the node), `extra`, then the entry method.
struct NodeClass {
    const char *name;
    const FunctionDef &input_types;
    std::initializer_list<const char *> return_types;
    const char *category;
    const char *description;
    const FunctionDef &entry;
    FunctionOptions entry_options = FunctionOptions();
    std::vector<std::pair<const char *, py::object>> extra = {};
    const char *doc = nullptr;
};

// Creates the class with `bases` and binds it in the module namespace.
void define_node_class(py::handle module, py::tuple bases, const NodeClass &node);

// The body of a loader module, whose one node (a BaseNode, registered as
// `key` under the same display name) returns its inputs as a descriptor:
// `from .base import NodeIO, BaseNode`, the class, the registry tables.
void define_loader_module(py::module_ module, const NodeClass &node, const char *key);

// One row of a module's registry tables: the host's key, the module global
// holding the class, and the display name.
struct NodeRow {
    const char *key;
    const char *class_name;
    const char *display_name;
};

// Binds NODE_CLASS_MAPPINGS and NODE_DISPLAY_NAME_MAPPINGS, in row order.
void register_nodes(py::handle module, std::initializer_list<NodeRow> rows);

// One input of a node's INPUT_TYPES: `(type,)`, `(type, options)`, or
// `([choice, ...], options)`. A schema is
// make_dict({{"required", make_dict({{"name", node_input(...)}, ...})}}).
py::tuple node_input(const char *type);
py::tuple node_input(const char *type, py::dict options);
py::tuple node_input(std::initializer_list<const char *> choices, py::dict options);

// `value.inputs if hasattr(value, "inputs") else None`: what a node sends
// for a descriptor it was given (two lookups, as in Python).
py::object inputs_of(py::handle value);

// A tensor of a floating type narrower than float32 (IMAGE and MASK values
// of a ComfyUI run with --fp16-intermediates) as float32, so that the service
// gets the request it gets for the same values in float32; any other value
// as it is. Not for a picture sent as PNG: the 8-bit levels of a loaded
// picture, rounded to float16, scale back to whole levels only in float16
// arithmetic. Not for latents either: they go back in the type the service
// made them in.
py::object as_float32(py::handle value);

// Entry method of a loader-type node: returns (NodeIO(name=def.node_name,
// inputs={param: value, ...}),) over every parameter after `self`, with
// `NodeIO` looked up in the module globals at call time.
py::object describe_node(FunctionObject *self, py::handle *args);

}  // namespace vorna
