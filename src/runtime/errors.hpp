// Exceptions between C++ and the interpreter: passing a Python error through
// unchanged, raising one as an `except` block would (the caught one as
// __context__), `with` statements, and the cap on nesting over user data.
#pragma once
#include "objects.hpp"

// The Itanium C++ ABI runtimes (libstdc++, libc++abi) tell a forced unwind
// from a C++ exception; MSVC's runtime has none to tell.
#if defined(__has_include)
#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif
#endif

namespace vorna {

// Call first inside every `catch (...)`: rethrows a forced unwind, which a
// catch-all must never stop. glibc ends a thread (pthread_exit: the
// interpreter ends its daemon threads so when they wake during finalisation)
// by unwinding its stack; swallowing that unwind aborts the process, and the
// thread no longer holds the interpreter, so nothing of Python may run in the
// handler either. libstdc++ gives it a type; libc++abi gives it none, as for
// any exception not thrown by C++, and such an exception passes through too.
#if defined(__GLIBCXX__)
// The forced unwind carries no object: its handler binds its reference to
// null by design, which the undefined-behaviour sanitizer would report.
__attribute__((no_sanitize("undefined")))
#endif
inline void rethrow_forced_unwind() {
#if defined(__GLIBCXX__)
    try {
        throw;
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
    }
#elif defined(_LIBCPPABI_VERSION)
    if (!abi::__cxa_current_exception_type()) throw;
#endif
}

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
        rethrow_forced_unwind();
        exit(manager, py::none(), py::none(), py::none());
        throw;
    }
    exit(manager, py::none(), py::none(), py::none());
    return result;
}

// Makes the C++ exception being handled (call it inside `catch (...)`) the
// pending Python error, wherever native code returns to the interpreter; a
// forced unwind is rethrown (rethrow_forced_unwind), nothing else is. A
// Python error passes through unchanged, memory exhaustion is MemoryError,
// and any other C++ error becomes `other` with its text unless a Python error
// is already pending. `other` is SystemError in native functions and module
// bodies (a fault in this code, never expected), where pybind11's own
// exceptions (a failed cast, say) become the Python type pybind11 gives them;
// it is ImportError in the finder and loader methods, where they become
// ImportError too (a name that is not valid UTF-8 fails the import cleanly).
void set_python_error(PyObject *other);

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

}  // namespace vorna
