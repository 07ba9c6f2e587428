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
    const char *tag = nullptr;  // free for the implementation (e.g. a descriptor's node name)
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
    const char *qualname = nullptr;  // defaults to the name
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
// way a class statement builds its namespace.
py::object make_class(py::handle module, const char *name, py::tuple bases,
                      const std::vector<std::pair<const char *, py::object>> &body);

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

// `hasattr(obj, name)`: only AttributeError means "no"; other errors propagate.
bool has_attribute(py::handle obj, const char *name);

// Entry method of a loader-type node: returns (NodeIO(name=def.tag,
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
    py::object suppressed = exit(manager, caught.type(), caught.value(), trace);
    int truth = PyObject_IsTrue(suppressed.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

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

// Rebuilds a dict's text keys in order: {"a": x, "b": y}.
py::dict make_dict(std::initializer_list<std::pair<const char *, py::object>> items);

// Number of entries a PyTuple-like schema option takes, etc.
py::tuple tuple_of(std::initializer_list<py::object> items);

// Ready the support types (once per process, before any body runs).
bool ready_types();

}  // namespace vorna
