#include "errors.hpp"

#include <string>

namespace vorna {

void set_python_error(PyObject *other) {
    rethrow_forced_unwind();
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        if (other == PyExc_ImportError)
            PyErr_SetString(other, e.what());
        else
            e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        if (!PyErr_Occurred()) PyErr_SetString(other, e.what());
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(other, "unknown C++ exception");
    }
}

py::str exception_text(const py::error_already_set &e) {
    PyObject *s = PyObject_Str(e.value().ptr());
    if (s) return py::reinterpret_steal<py::str>(s);
    PyErr_Clear();
    return py::str("<unprintable " + std::string(Py_TYPE(e.value().ptr())->tp_name) + " object>");
}

void raise_with_context(PyObject *exc_type, const py::str &message, const py::error_already_set &caught) {
    PyObject *exc = PyObject_CallOneArg(exc_type, message.ptr());
    if (!exc) throw py::error_already_set();
    PyObject *ctx = caught.value().ptr();
    if (caught.trace() && PyExceptionInstance_Check(ctx)) PyException_SetTraceback(ctx, caught.trace().ptr());
    PyException_SetContext(exc, Py_NewRef(ctx));
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc, nullptr);
    throw py::error_already_set();
}

void raise_object_with_context(py::object exc, const py::error_already_set &caught) {
    PyObject *ctx = caught.value().ptr();
    if (caught.trace() && PyExceptionInstance_Check(ctx)) PyException_SetTraceback(ctx, caught.trace().ptr());
    PyException_SetContext(exc.ptr(), Py_NewRef(ctx));
    PyObject *value = exc.release().ptr();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(value))), value, nullptr);
    throw py::error_already_set();
}

namespace {
thread_local int nesting = 0;
}  // namespace

NestingGuard::NestingGuard(const char *where) {
    if (nesting >= kMaxNesting) {
        PyErr_Format(PyExc_RecursionError, "maximum nesting depth (%d) exceeded%s", kMaxNesting, where);
        throw py::error_already_set();
    }
    if (Py_EnterRecursiveCall(where)) throw py::error_already_set();
    ++nesting;
}

NestingGuard::~NestingGuard() {
    --nesting;
    Py_LeaveRecursiveCall();
}

}  // namespace vorna
