#include "objects.hpp"

namespace vorna {

bool truth(py::handle value) {
    int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw py::error_already_set();
    return t == 1;
}

bool equals(py::handle a, py::handle b) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    return truth(py::reinterpret_steal<py::object>(r));
}

bool contains(py::handle container, const char *key) {
    int found = PySequence_Contains(container.ptr(), py::str(key).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

bool has_attribute(py::handle obj, const char *name) {
    PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

py::dict spread(py::handle callee, py::handle payload) {
    py::dict kwargs;
    if (PyDict_Check(payload.ptr())) {
        if (PyDict_Update(kwargs.ptr(), payload.ptr()) < 0) throw py::error_already_set();
        return kwargs;
    }
    if (!py::hasattr(payload, "keys")) {
        py::object qualname = py::getattr(callee, "__qualname__", py::str(Py_TYPE(callee.ptr())->tp_name));
        PyErr_Format(PyExc_TypeError, "%S() argument after ** must be a mapping, not %.200s", qualname.ptr(),
                     Py_TYPE(payload.ptr())->tp_name);
        throw py::error_already_set();
    }
    if (PyDict_Merge(kwargs.ptr(), payload.ptr(), 1) < 0) throw py::error_already_set();
    return kwargs;
}

py::dict make_dict(std::initializer_list<std::pair<const char *, py::object>> items) {
    py::dict d;
    for (const auto &item : items) d[item.first] = item.second;
    return d;
}

}  // namespace vorna
