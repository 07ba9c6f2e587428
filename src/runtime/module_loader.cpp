// Import entry, module table and the finder/loader type `package_module_loader`.
#include "module_table.hpp"

#include <frameobject.h>

#include <atomic>
#include <cstdlib>

#ifndef VORNA_SOURCE_DIR
#error "VORNA_SOURCE_DIR must name the package source directory"
#endif

namespace vorna {
namespace {

// The package's own statements: the names of the submodules that register
// nodes, in table order, for the custom-node folder and the tests to read.
void body_package(py::module_ m) {
    py::list names;
#define VORNA_NODE_NAME(name, nodes) \
    if (nodes) names.append(py::str(#name));
    VORNA_MODULES(VORNA_NODE_NAME)
#undef VORNA_NODE_NAME
    bind(m, "_node_modules", py::tuple(names));
}

std::vector<ModuleRow> &table() {
    static std::vector<ModuleRow> rows = {
        {"vorna_comfyui_engine", body_package, true, "__init__"},
#define VORNA_TABLE_ROW(name, nodes) {"vorna_comfyui_engine." #name, body_##name, false, #name},
        VORNA_MODULES(VORNA_TABLE_ROW)
#undef VORNA_TABLE_ROW
    };
    return rows;
}

std::atomic<bool> started{false};

// ---- the finder/loader type -------------------------------------------------

struct LoaderObject {
    PyObject_HEAD
    Py_ssize_t row;  // -1: the meta-path finder itself
};

PyTypeObject LoaderType;

py::object new_loader(Py_ssize_t row) {
    LoaderObject *o = PyObject_New(LoaderObject, &LoaderType);
    if (!o) throw py::error_already_set();
    o->row = row;
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(o));
}

Py_ssize_t row_of_name(const std::string &name) {
    auto &rows = table();
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].name == name) return static_cast<Py_ssize_t>(i);
    return -1;
}

// The import system's own modules: always loaded, so using them from inside a
// finder can never recurse into another import.
py::object bootstrap(const char *name) {
    PyObject *m = PyDict_GetItemString(PyImport_GetModuleDict(), name);
    if (!m) {
        PyErr_Format(PyExc_ImportError, "%s is not loaded", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(m);
}

std::string source_file(const ModuleRow &row) {
    py::object suffixes = bootstrap("_frozen_importlib_external").attr("SOURCE_SUFFIXES");
    std::string suffix = py::str(suffixes[py::int_(0)]).cast<std::string>();
    return std::string(VORNA_SOURCE_DIR) + "/" + row.leaf + suffix;
}

// Standard module attributes, set by every body before its own statements.
void set_standard_attributes(py::module_ m, Py_ssize_t index) {
    const ModuleRow &row = table()[index];
    py::dict ns = m.attr("__dict__");
    std::string name = py::str(m.attr("__name__")).cast<std::string>();
    if (row.is_package) {
        ns["__package__"] = py::str(name);
    } else {
        ns["__package__"] = py::str(name.substr(0, name.rfind('.') == std::string::npos ? 0 : name.rfind('.')));
    }
    if (!ns.contains("__builtins__")) ns["__builtins__"] = py::handle(PyEval_GetBuiltins());
    py::object loader = new_loader(index);
    ns["__loader__"] = loader;
    py::object spec = bootstrap("_frozen_importlib").attr("_spec_from_module")(m);
    spec.attr("_initializing") = py::bool_(true);
    if (row.is_package) spec.attr("loader") = loader;
    ns["__spec__"] = spec;
    ns["__doc__"] = py::none();
    py::str file(source_file(row));
    ns["__file__"] = file;
    py::list path;
    if (row.is_package) {
        path.append(py::str(std::string(VORNA_SOURCE_DIR)));
        ns["__path__"] = path;
    }
    spec.attr("origin") = file;
    spec.attr("has_location") = py::bool_(true);
    if (row.is_package) spec.attr("submodule_search_locations") = path;
    ns["__cached__"] = py::none();
}

// One-time start-up: record the full name, install the finder, rewrite rows.
void start_up(py::module_ m) {
    std::string full = py::str(m.attr("__name__")).cast<std::string>();
    py::module_ sys = py::module_::import("sys");
    py::list meta_path = sys.attr("meta_path");
    py::object finder = new_loader(-1);
    if (py::len(meta_path) < 3)
        meta_path.append(finder);
    else
        meta_path.attr("insert")(2, finder);
    py::list(sys.attr("path_hooks")).append(finder.attr("path_hook"));
    auto dot = full.rfind('.');
    if (dot != std::string::npos) {
        std::string parent = full.substr(0, dot);
        std::string last = full.substr(dot + 1);
        for (auto &row : table()) {
            if (row.name == last || row.name.compare(0, last.size() + 1, last + ".") == 0)
                row.name = parent + "." + row.name;
        }
    }
}

int run_row(Py_ssize_t index, py::module_ m) {
    try {
        set_standard_attributes(m, index);
        table()[index].statements(m);
        return 0;
    } catch (...) {
        set_python_error(PyExc_SystemError);
    }
    return -1;
}

// Adds a traceback entry `<module>` at `line` of `file` to the pending
// exception, as a failing module body of that source would show. Public API
// only (an empty code object, a frame for it, PyTraceBack_Here), which every
// interpreter from 3.10 on offers; an empty code object reports its first
// line. If the entry cannot be made, the exception stays as it was.
void add_traceback_entry(const std::string &file, int line) {
    py::object frame;
    {
        py::error_scope pending;  // nothing may run while an error is set
        auto code = py::reinterpret_steal<py::object>(
            reinterpret_cast<PyObject *>(PyCode_NewEmpty(file.c_str(), "<module>", line)));
        auto globals = py::reinterpret_steal<py::object>(code ? PyDict_New() : nullptr);
        if (globals)
            frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.ptr()), globals.ptr(), nullptr)));
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.ptr()));
}

void adopt_definition_name(const std::string &full_name);

int package_exec(PyObject *module) {
    py::module_ m = py::reinterpret_borrow<py::module_>(module);
    try {
        bool expected = false;
        if (started.compare_exchange_strong(expected, true)) {
            if (!ready_types()) throw py::error_already_set();
            if (PyType_Ready(&LoaderType) < 0) throw py::error_already_set();
            table()[0].name = py::str(m.attr("__name__")).cast<std::string>();
            adopt_definition_name(table()[0].name);
            start_up(m);
        }
    } catch (py::error_already_set &e) {
        e.restore();
    }
    if (!PyErr_Occurred() && run_row(0, m) == 0) return 0;
    // Leave no half-built package behind, and point the traceback at its source.
    {
        py::error_scope pending;  // the body's error stays the one reported
        PyObject *name = PyModule_GetNameObject(module);
        if (!name || PyDict_DelItem(PyImport_GetModuleDict(), name) < 0) PyErr_Clear();
        Py_XDECREF(name);
    }
    add_traceback_entry(std::string(VORNA_SOURCE_DIR) + "/__init__.py", 1);
    return -1;
}

// ---- methods -----------------------------------------------------------------

// Runs a finder or loader method for the interpreter: a C++ error becomes a
// Python one (ImportError where it is not a Python or pybind11 error) rather
// than ending the process.
template <typename F>
PyObject *guarded(F &&body) {
    try {
        return body();
    } catch (...) {
        set_python_error(PyExc_ImportError);
    }
    return nullptr;
}

PyObject *loader_find_spec(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"fullname", "path", "target", nullptr};
    PyObject *fullname, *path = Py_None, *target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|OO:find_spec", const_cast<char **>(kwlist), &fullname,
                                     &path, &target))
        return nullptr;
    return guarded([&]() -> PyObject * {
        std::string name = py::reinterpret_borrow<py::str>(fullname).cast<std::string>();
        Py_ssize_t index = row_of_name(name);
        if (index >= 0) {
            return bootstrap("_frozen_importlib")
                .attr("ModuleSpec")(py::str(name), new_loader(index),
                                    py::arg("is_package") = py::bool_(table()[index].is_package))
                .release()
                .ptr();
        }
        auto dot = name.rfind('.');
        if (dot == std::string::npos || name.substr(0, dot) != table()[0].name) Py_RETURN_NONE;
        // A separately installed extension module next to the package sources.
        std::string prefix = name.substr(dot + 1) + ".";
        py::object package = py::module_::import("sys").attr("modules").attr("get")(table()[0].name);
        py::object search = py::getattr(package, "__path__", py::list());
        py::module_ os = py::module_::import("os");
        py::object external = bootstrap("_frozen_importlib_external");
        py::list suffixes = external.attr("EXTENSION_SUFFIXES");
        for (py::handle dir : search) {
            py::list entries;
            try {
                entries = py::list(os.attr("listdir")(dir));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                continue;
            }
            entries.attr("sort")();
            for (py::handle entry : entries) {
                std::string fn = py::str(entry).cast<std::string>();
                if (fn.compare(0, prefix.size(), prefix) != 0) continue;
                for (py::handle suffix : suffixes) {
                    if (fn != prefix.substr(0, prefix.size() - 1) + py::str(suffix).cast<std::string>()) continue;
                    py::object file = os.attr("path").attr("join")(dir, entry);
                    return external.attr("spec_from_file_location")(py::str(name), file)
                        .release()
                        .ptr();
                }
            }
        }
        Py_RETURN_NONE;
    });
}

Py_ssize_t row_for(PyObject *self, PyObject *module) {
    Py_ssize_t row = reinterpret_cast<LoaderObject *>(self)->row;
    if (row >= 0) return row;
    // The finder itself: find the row by the module's name.
    py::object name = py::getattr(module, "__name__", py::none());
    if (!py::isinstance<py::str>(name)) return -1;
    return row_of_name(name.cast<std::string>());
}

PyObject *loader_create_module(PyObject *self, PyObject *spec) {
    return guarded([&]() -> PyObject * {
        py::object name = py::getattr(spec, "name");
        if (row_of_name(py::str(name).cast<std::string>()) < 0) Py_RETURN_NONE;
        return PyModule_NewObject(name.ptr());
    });
}

PyObject *loader_exec_module(PyObject *self, PyObject *module) {
    return guarded([&]() -> PyObject * {
        Py_ssize_t row = row_for(self, module);
        if (row < 0 || !PyModule_Check(module)) {
            PyErr_Format(PyExc_ImportError, "package_module_loader cannot execute %R", module);
            return nullptr;
        }
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        py::module_::import("sys").attr("modules")[m.attr("__name__")] = m;
        if (row == 0) {
            if (package_exec(module) < 0) return nullptr;
        } else if (run_row(row, m) < 0) {
            return nullptr;
        }
        py::object spec = py::getattr(m, "__spec__", py::none());
        if (!spec.is_none() && py::hasattr(spec, "_initializing")) spec.attr("_initializing") = py::bool_(false);
        Py_RETURN_NONE;
    });
}

PyObject *loader_is_package(PyObject *self, PyObject *fullname) {
    return guarded([&]() -> PyObject * {
        Py_ssize_t row = row_of_name(py::str(fullname).cast<std::string>());
        if (row < 0) {
            PyErr_Format(PyExc_ImportError, "no module named %R in the package table", fullname);
            return nullptr;
        }
        return PyBool_FromLong(table()[row].is_package);
    });
}

// No Python source ships: tracebacks and inspect get None, as for built-ins.
PyObject *loader_get_source(PyObject *, PyObject *) { Py_RETURN_NONE; }

// Path hook: claims only the package's own search directories, so that a
// stale or missing build-time directory still resolves to this finder.
PyObject *loader_path_hook(PyObject *self, PyObject *path) {
    return guarded([&]() -> PyObject * {
        py::object package = py::module_::import("sys").attr("modules").attr("get")(table()[0].name);
        py::object search = py::getattr(package, "__path__", py::list());
        for (py::handle dir : search) {
            if (py::reinterpret_borrow<py::object>(dir).equal(py::reinterpret_borrow<py::object>(path)))
                return Py_NewRef(self);
        }
        PyErr_SetString(PyExc_ImportError, "only the package's own directory is handled");
        return nullptr;
    });
}

PyObject *loader_repr(PyObject *self) {
    Py_ssize_t row = reinterpret_cast<LoaderObject *>(self)->row;
    if (row < 0) return PyUnicode_FromFormat("<package_module_loader for %s>", table()[0].name.c_str());
    return PyUnicode_FromFormat("<package_module_loader %s>", table()[row].name.c_str());
}

PyMethodDef loader_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loader_find_spec)),
     METH_VARARGS | METH_KEYWORDS,
     "find_spec($self, /, fullname, path=None, target=None)\n--\n\n"
     "Return a module spec for a module of the package table, or None."},
    {"create_module", loader_create_module, METH_O,
     "create_module($self, spec, /)\n--\n\nReturn a new empty module for a table row."},
    {"exec_module", loader_exec_module, METH_O,
     "exec_module($self, module, /)\n--\n\nRun the body of a table module."},
    {"is_package", loader_is_package, METH_O,
     "is_package($self, fullname, /)\n--\n\nWhether the table module is the package."},
    {"get_source", loader_get_source, METH_O,
     "get_source($self, fullname, /)\n--\n\nNone: the modules are native."},
    {"path_hook", loader_path_hook, METH_O,
     "path_hook($self, path, /)\n--\n\nPath-entry hook for the package's own directory."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot package_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(package_exec)},
    {0, nullptr},
};

PyModuleDef package_def = {
    PyModuleDef_HEAD_INIT, "vorna_comfyui_engine", nullptr, 0, nullptr, package_slots, nullptr, nullptr, nullptr,
};

// Loaded as a child of another package: the definition adopts the full dotted
// name. The new module's __name__ is the name the interpreter loaded the
// shared object under, on every version, so the interpreter's private package
// context need not be read.
void adopt_definition_name(const std::string &full_name) {
    static std::string adopted;
    if (full_name == package_def.m_name) return;
    adopted = full_name;
    package_def.m_name = adopted.c_str();
}

void prepare_loader_type() {
    PyTypeObject &t = LoaderType;
    if (t.tp_name) return;
    t.tp_name = "vorna_comfyui_engine.package_module_loader";
    t.tp_basicsize = sizeof(LoaderObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_methods = loader_methods;
    t.tp_repr = loader_repr;
    t.tp_doc = "Meta-path finder and loader for the modules carried by the shared object.";
    t.tp_new = nullptr;
}

}  // namespace
}  // namespace vorna

// PyMODINIT_FUNC: extern "C", and exported on every platform (dllexport on Windows).
PyMODINIT_FUNC PyInit_vorna_comfyui_engine(void) {
    using namespace vorna;
    prepare_loader_type();
    return PyModuleDef_Init(&package_def);
}
