#include "names.hpp"

#include <cstring>

namespace vorna {

py::object global(py::handle module, const char *name) {
    PyObject *dict = PyModule_GetDict(module.ptr());
    PyObject *key = PyUnicode_FromString(name);
    if (!key) throw py::error_already_set();
    py::object k = py::reinterpret_steal<py::object>(key);
    PyObject *v = PyDict_GetItemWithError(dict, key);
    if (v) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    PyObject *builtins = PyDict_GetItemString(dict, "__builtins__");
    if (builtins) {
        PyObject *found = nullptr;
        if (PyDict_Check(builtins)) {
            found = PyDict_GetItemWithError(builtins, key);
            if (found) return py::reinterpret_borrow<py::object>(found);
            if (PyErr_Occurred()) throw py::error_already_set();
        } else {
            found = PyObject_GetAttr(builtins, key);
            if (found) return py::reinterpret_steal<py::object>(found);
            PyErr_Clear();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

py::object global(FunctionObject *self, const char *name) { return global(self->module, name); }

py::object import_from(py::handle module, const char *name, std::initializer_list<const char *> names,
                       int level) {
    py::list fromlist;
    for (const char *n : names) fromlist.append(py::str(n));
    PyObject *globals = PyModule_GetDict(module.ptr());
    py::str pyname(name);
    PyObject *m = PyImport_ImportModuleLevelObject(pyname.ptr(), globals, nullptr,
                                                   fromlist.size() ? py::tuple(fromlist).ptr() : nullptr, level);
    if (!m) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(m);
}

void from_import(py::handle module, const char *name, std::initializer_list<const char *> names, int level) {
    py::object source = import_from(module, name, names, level);
    for (const char *n : names) {
        PyObject *value = PyObject_GetAttrString(source.ptr(), n);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            // Same fallback as the interpreter: a submodule already in sys.modules.
            py::object full = py::str(py::getattr(source, "__name__")) + py::str(".") + py::str(n);
            PyObject *mod = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.ptr());
            if (!mod) {
                if (PyErr_Occurred()) throw py::error_already_set();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", n,
                             py::getattr(source, "__name__").ptr());
                throw py::error_already_set();
            }
            value = Py_NewRef(mod);
        }
        py::object v = py::reinterpret_steal<py::object>(value);
        bind(module, n, v);
    }
}

py::object import_as(py::handle module, const char *name, const char *as_name) {
    py::object top = import_from(module, name, {}, 0);
    py::object result = top;
    if (std::strchr(name, '.') && as_name) {
        PyObject *mod = PyDict_GetItemString(PyImport_GetModuleDict(), name);
        if (!mod) {
            PyErr_Format(PyExc_ImportError, "No module named '%s'", name);
            throw py::error_already_set();
        }
        result = py::reinterpret_borrow<py::object>(mod);
    }
    bind(module, as_name ? as_name : name, result);
    return result;
}

py::object loaded_module(const char *name) {
    PyObject *m = PyImport_GetModule(py::str(name).ptr());
    if (!m) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::none();
    }
    return py::reinterpret_steal<py::object>(m);
}

void bind(py::handle module, const char *name, py::handle value) {
    if (PyDict_SetItemString(PyModule_GetDict(module.ptr()), name, value.ptr()) < 0)
        throw py::error_already_set();
}

}  // namespace vorna
