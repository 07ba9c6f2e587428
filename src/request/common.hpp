// Small pieces every file of the request layer uses: the steady clock,
// settings read as seconds, text cut for messages, and raising a new error
// of the layer's own.
#pragma once
#include "../runtime/runtime.hpp"

#include <chrono>
#include <cmath>

namespace vorna {

inline double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// `value` as seconds, or -1 when it is not a finite real number.
inline double seconds_or_negative(py::handle value) {
    if (!(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) || PyBool_Check(value.ptr())) return -1;
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // too large for a double
        return -1;
    }
    return std::isfinite(v) ? v : -1;
}

// `text`, cut at `most` characters ("..." marks the cut).
inline py::str cut_text(py::str text, Py_ssize_t most) {
    return py::len(text) > static_cast<size_t>(most) ? py::str(text[py::slice(0, most, 1)]) + py::str("...") : text;
}

// Raises a new `type(message)`.
[[noreturn]] inline void raise_error(py::handle type, py::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw py::error_already_set();
}

}  // namespace vorna
