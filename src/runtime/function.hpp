// The package's function type: native functions that introspect like Python
// functions (signature, docstring, qualified name, globals).
#pragma once
#include "python.hpp"

#include <vector>

namespace vorna {

struct FunctionObject;

// The body of a native function. `args` holds one borrowed handle per
// declared parameter, defaults already filled in.
using Impl = py::object (*)(FunctionObject *self, py::handle *args);

struct FunctionDef {
    const char *name;
    std::vector<const char *> params;
    Impl impl;
    const char *node_name = nullptr;  // for describe_node: the node type its descriptor names
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *module;       // defining module: its namespace is the function's globals
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module_name;
    PyObject *defaults;     // tuple for the trailing parameters, or NULL
    PyObject *annotations;  // dict, or NULL until asked for
    PyObject *dict;
    PyObject *weakreflist;
};

struct FunctionOptions {
    const char *qualname = nullptr;  // defaults to the name; make_class sets a method's
    const char *doc = nullptr;       // None when absent
    py::tuple defaults = py::tuple();
    py::dict annotations = py::dict();
};

// Creates a function bound to `module` (its globals). Placed in a class
// namespace it binds like a Python function (the instance comes first).
py::object make_function(py::handle module, const FunctionDef &def,
                         const FunctionOptions &opts = FunctionOptions());

// `classmethod(make_function(...))`.
py::object make_classmethod(py::handle module, const FunctionDef &def,
                            const FunctionOptions &opts = FunctionOptions());

// The module object that a function was defined in.
inline py::handle module_of(FunctionObject *self) { return self->module; }

// The function of this type that a class body entry defines, bare or in a
// classmethod; nullptr for anything else.
FunctionObject *defined_function(py::handle value);

// A native function's arguments by parameter name, as a Python body names
// them: `in["seed"]`. The names are the function's declared parameters (for
// an entry method, its node's input names); any other name is a fault in
// this code and raises SystemError.
class Arguments {
public:
    Arguments(FunctionObject *fn, py::handle *args) : def_(fn->def), args_(args) {}
    py::handle operator[](const char *name) const;

private:
    const FunctionDef *def_;
    py::handle *args_;
};

// Readies the function type (once per process, before any body runs).
bool ready_types();

}  // namespace vorna
