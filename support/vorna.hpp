// Shared helpers for the module bodies: native functions that introspect like
// Python functions, class creation through the metaclass, late-bound global
// lookup and exception helpers. Raw reference counting stays in this layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace py = pybind11;

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

// Call-time lookup of a module global, then of builtins; NameError otherwise.
py::object global(FunctionObject *self, const char *name);
py::object global(py::handle module, const char *name);

// The module object that a function was defined in.
inline py::handle module_of(FunctionObject *self) { return self->module; }

// `from <relative> import a, b` with level 1, relative to `module`.
py::object import_from(py::handle module, const char *name,
                       std::initializer_list<const char *> names, int level = 1);

// `from <name> import a, b` (level 0 absolute, 1 relative to `module`):
// binds each imported name in the module namespace, in order.
void from_import(py::handle module, const char *name, std::initializer_list<const char *> names,
                 int level = 0);

// `import <name>` bound as `as_name` (the top-level module, or with a dotted
// name and an alias the named submodule, as `import a.b as c` does).
py::object import_as(py::handle module, const char *name, const char *as_name);

// The module sys.modules holds under `name`, or None; never imports.
py::object loaded_module(const char *name);

// `hasattr(obj, name)`: only AttributeError means "no"; other errors propagate.
bool has_attribute(py::handle obj, const char *name);

// `bool(value)`, as an `if` sees it; an error from __bool__/__len__ propagates.
bool truth(py::handle value);

// `a == b` as an `if` sees it (no identity shortcut).
bool equals(py::handle a, py::handle b);

// `key in container`, with the interpreter's TypeError for non-containers.
bool contains(py::handle container, const char *key);

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

// Binds `name` in the module namespace.
void bind(py::handle module, const char *name, py::handle value);

// Calls a context manager's __exit__ with the caught exception, as `with`
// does; true when it asks for the exception to be suppressed. An error raised
// in C has no traceback yet: __exit__ then gets None, as it would from Python.
inline bool exit_suppresses(py::handle exit, py::handle manager, const py::error_already_set &caught) {
    py::object trace = caught.trace() ? caught.trace() : py::none();
    return truth(exit(manager, caught.type(), caught.value(), trace));
}

// `with manager as entered: result = body(entered)`. __enter__ and __exit__
// are looked up on the type, as the statement does; __exit__ runs on every
// way out, a C++ error included. Returns body's result, or None when
// __exit__ suppresses the exception.
template <typename Body>
py::object with_context(py::handle manager, Body &&body) {
    py::object type = py::type::of(manager);
    py::object enter = type.attr("__enter__");
    py::object exit = type.attr("__exit__");
    py::object entered = enter(manager);
    py::object result;
    try {
        result = body(entered);
    } catch (py::error_already_set &e) {
        if (exit_suppresses(exit, manager, e)) return py::none();
        throw;
    } catch (...) {
        exit(manager, py::none(), py::none(), py::none());
        throw;
    }
    exit(manager, py::none(), py::none(), py::none());
    return result;
}

// Makes the C++ exception being handled (call it inside `catch (...)`) the
// pending Python error, wherever native code returns to the interpreter. A
// Python error passes through unchanged, memory exhaustion is MemoryError,
// and any other C++ error becomes `other` with its text unless a Python error
// is already pending. `other` is SystemError in native functions and module
// bodies (a fault in this code, never expected), where pybind11's own
// exceptions (a failed cast, say) become the Python type pybind11 gives them;
// it is ImportError in the finder and loader methods, where they become
// ImportError too (a name that is not valid UTF-8 fails the import cleanly).
void set_python_error(PyObject *other) noexcept;

// Whether `value` may be changed in place instead of copied: a reference
// count of 1 means the caller holds the only reference (a fresh
// intermediate it made), so no Python code can see the change, and an
// image-sized copy is saved. The caller checks that the in-place operation
// gives the same result as the plain one (type, dtype, no autograd).
inline bool unshared(py::handle value) { return Py_REFCNT(value.ptr()) == 1; }

// For its lifetime the caught exception is the one being handled, as inside
// an `except` block: whatever is raised meanwhile (by native or Python code,
// a fallback for instance) gets it as __context__.
class Handling {
public:
    explicit Handling(const py::error_already_set &caught) {
        PyErr_GetExcInfo(&type_, &value_, &trace_);
        py::handle v = caught.value();
        PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(v.ptr()))), Py_NewRef(v.ptr()),
                         caught.trace() ? Py_NewRef(caught.trace().ptr()) : nullptr);
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, trace_); }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *trace_ = nullptr;
};

// Raises `exc_type(message)` as a Python `raise` inside an `except` block
// would: the caught exception becomes its __context__, no __cause__.
[[noreturn]] void raise_with_context(PyObject *exc_type, const py::str &message,
                                     const py::error_already_set &caught);

// Raises the exception object `exc` as a `raise exc` inside an `except`
// block would: the caught exception becomes its __context__.
[[noreturn]] void raise_object_with_context(py::object exc, const py::error_already_set &caught);

// str(exception value), never failing: falls back to the type name.
py::str exception_text(const py::error_already_set &e);

// `try: return body()` / `except Exception as e: raise ValueError(f"{prefix}{e}")`:
// a node's failure in its own words, with the cause as __context__.
template <typename Body>
py::object value_error_on_failure(const char *prefix, Body &&body) {
    try {
        return body();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_with_context(PyExc_ValueError, py::str(prefix) + exception_text(e), e);
    }
}

// One level of a recursive walk over caller- or service-supplied data. The
// depth is capped at a fixed kMaxNesting per thread, whatever
// sys.getrecursionlimit() says: each level costs C stack, and hosts run nodes
// on threads with small stacks. Real conditioning and model chains nest a
// handful of levels. The interpreter's own limit applies as well. Both raise
// RecursionError.
class NestingGuard {
public:
    static constexpr int kMaxNesting = 64;
    explicit NestingGuard(const char *where);
    ~NestingGuard();
    NestingGuard(const NestingGuard &) = delete;
    NestingGuard &operator=(const NestingGuard &) = delete;
};

// A dict with text keys, in the order given: make_dict({{"a", x}, {"b", y}}).
py::dict make_dict(std::initializer_list<std::pair<const char *, py::object>> items);

// A tuple of the given items, in order: tuple_of({x, y}) is (x, y).
py::tuple tuple_of(std::initializer_list<py::object> items);

// Ready the support types (once per process, before any body runs).
bool ready_types();

}  // namespace vorna
