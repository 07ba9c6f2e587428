#include "transport_errors.hpp"

namespace vorna {
namespace {

// httpx's errors of the same names as httpcore's, the more specific first.
const char *const kTransportErrors[] = {
    "ConnectTimeout", "ReadTimeout", "WriteTimeout",        "PoolTimeout",         "TimeoutException",
    "ConnectError",   "ReadError",   "WriteError",          "NetworkError",        "ProxyError",
    "UnsupportedProtocol", "LocalProtocolError", "RemoteProtocolError", "ProtocolError"};

// `raise raised from cause` inside `except cause`: both links are set here,
// and nothing the interpreter is handling meanwhile replaces them.
[[noreturn]] void raise_from(py::object raised, py::object cause) {
    if (!cause) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(raised.ptr())), raised.ptr());
        throw py::error_already_set();
    }
    PyException_SetContext(raised.ptr(), cause.inc_ref().ptr());
    PyException_SetCause(raised.ptr(), cause.release().ptr());
    PyObject *value = raised.release().ptr();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(value))), value, nullptr);
    throw py::error_already_set();
}

}  // namespace

void raise_library_error(const char *library, const char *name, const py::str &message, py::object cause) {
    raise_from(py::module_::import(library).attr(name)(message), std::move(cause));
}

void raise_mapped(const py::error_already_set &e, const char *library, std::initializer_list<ErrorMapping> rows) {
    for (const ErrorMapping &row : rows) {
        if (!e.matches(row.from)) continue;
        py::object caught = e.value();
        if (e.trace() && PyExceptionInstance_Check(caught.ptr())) PyException_SetTraceback(caught.ptr(), e.trace().ptr());
        raise_library_error(library, row.to, exception_text(e), caught);
    }
    throw e;
}

void raise_as_httpx(const py::error_already_set &e) {
    py::module_ httpcore = py::module_::import("httpcore");
    for (const char *name : kTransportErrors)
        if (e.matches(httpcore.attr(name))) raise_mapped(e, "httpx", {{httpcore.attr(name), name}});
    throw e;
}

void raise_restated(const py::error_already_set &e, const py::str &message) {
    py::object request = py::getattr(e.value(), "_request", py::none());
    py::object type = py::type::of(e.value());
    raise_object_with_context(request.is_none() ? type(message) : type(message, py::arg("request") = request), e);
}

}  // namespace vorna
