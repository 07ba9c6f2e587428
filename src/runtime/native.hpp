// Native objects: a C++ value owned by a Python object of one of the
// package's own types, so that state has C++ types and fields instead of
// attributes read by name. The collector sees the Python references a value
// holds. A value is never cleared by the collector (as a tuple is not):
// every cycle through one also passes through a Python object the collector
// clears (a dict, a module, an instance of a library's class), so a native
// value never sees its references vanish while it is in use.
#pragma once
#include "errors.hpp"

#include <new>
#include <utility>
#include <vector>

namespace vorna {

// What a native type shows to Python: its name, docstring, methods and
// attributes (static tables; nullptr for none).
struct NativeTypeSpec {
    const char *name;
    const char *doc;
    PyMethodDef *methods = nullptr;
    PyGetSetDef *getset = nullptr;
    reprfunc repr = nullptr;
};

// T names its type in `static const NativeTypeSpec kType`, and lists every
// Python reference it holds in `template <class F> void references(F &&each)`,
// calling `each(py::object &)` once per reference.
template <class T>
struct NativeObject {
    PyObject_HEAD
    T value;
};

namespace native_detail {

template <class T>
T &value_of(PyObject *self) {
    return reinterpret_cast<NativeObject<T> *>(self)->value;
}

template <class T>
int traverse(PyObject *self, visitproc visit, void *arg) {
    int result = 0;
    value_of<T>(self).references([&](py::object &ref) {
        if (!result && ref) result = visit(ref.ptr(), arg);
    });
    return result;
}

template <class T>
void dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    value_of<T>(self).~T();
    PyObject_GC_Del(self);
}

}  // namespace native_detail

// The type of T's objects: a static type, readied at first use (the types
// hold no state, only code; the objects are module state).
template <class T>
PyTypeObject *native_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = T::kType.name;
        t.tp_doc = T::kType.doc;
        t.tp_basicsize = sizeof(NativeObject<T>);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        t.tp_traverse = native_detail::traverse<T>;
        t.tp_dealloc = native_detail::dealloc<T>;
        t.tp_methods = T::kType.methods;
        t.tp_getset = T::kType.getset;
        t.tp_repr = T::kType.repr;
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) throw py::error_already_set();
    return &type;
}

// A new object holding T(args...).
template <class T, class... Args>
py::object make_native(Args &&...args) {
    PyTypeObject *type = native_type<T>();
    auto *self = PyObject_GC_New(NativeObject<T>, type);
    if (!self) throw py::error_already_set();
    try {
        new (&self->value) T(std::forward<Args>(args)...);
    } catch (...) {
        PyObject_GC_Del(self);
        throw;
    }
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(self));
}

// The value of `obj` when it is a T's object, else nullptr.
template <class T>
T *native_if(py::handle obj) {
    return Py_IS_TYPE(obj.ptr(), native_type<T>()) ? &native_detail::value_of<T>(obj.ptr()) : nullptr;
}

// The value of `obj`, which must be a T's object (SystemError otherwise:
// a fault in this code).
template <class T>
T &native(py::handle obj) {
    if (T *value = native_if<T>(obj)) return *value;
    PyErr_Format(PyExc_SystemError, "expected a %s object, not %.200s", T::kType.name, Py_TYPE(obj.ptr())->tp_name);
    throw py::error_already_set();
}

// A method of a native type: the C++ body runs with the C++ exception
// plumbing (set_python_error) around it.
template <py::object (*Body)(PyObject *self, PyObject *arg)>
PyObject *native_method_o(PyObject *self, PyObject *arg) {
    try {
        return Body(self, arg).release().ptr();
    } catch (...) {
        set_python_error(PyExc_SystemError);
        return nullptr;
    }
}

template <py::object (*Body)(PyObject *self, PyObject *args, PyObject *kwargs)>
PyObject *native_method_kw(PyObject *self, PyObject *args, PyObject *kwargs) {
    try {
        return Body(self, args, kwargs).release().ptr();
    } catch (...) {
        set_python_error(PyExc_SystemError);
        return nullptr;
    }
}

template <py::object (*Body)(PyObject *self)>
PyObject *native_getter(PyObject *self, void *) {
    try {
        return Body(self).release().ptr();
    } catch (...) {
        set_python_error(PyExc_SystemError);
        return nullptr;
    }
}

template <py::object (*Body)(PyObject *self)>
PyObject *native_repr(PyObject *self) {
    try {
        return Body(self).release().ptr();
    } catch (...) {
        set_python_error(PyExc_SystemError);
        return nullptr;
    }
}

// --- Library classes with native state -------------------------------------------------------
// Where a library takes an object of a class of its own (httpx's byte stream,
// httpcore's network stream and backend, httpx's transport), the class is
// made as a class statement makes it, with that base, and its instances keep
// their state in one slot holding a native object.

// make_class(...) with `__slots__ = ("_state",)` placed first in the body.
py::object make_state_class(py::handle module, const char *name, py::handle base,
                            std::vector<std::pair<const char *, py::object>> body);

// `cls()` with its state slot holding `state`.
py::object new_with_state(py::handle cls, py::object state);

// The native state of an instance of such a class, held for as long as this
// is (SystemError when the instance holds none of T's).
template <class T>
class StateOf {
public:
    explicit StateOf(py::handle self) {
        PyObject *state = PyObject_GetAttrString(self.ptr(), "_state");
        if (!state) throw py::error_already_set();
        held_ = py::reinterpret_steal<py::object>(state);
        value_ = &native<T>(held_);
    }
    T *operator->() const { return value_; }
    T &operator*() const { return *value_; }

private:
    py::object held_;
    T *value_;
};

}  // namespace vorna
