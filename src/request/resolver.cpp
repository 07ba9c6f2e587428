#include "resolver.hpp"

#include "../runtime/native.hpp"
#include "deadline.hpp"
#include "transport_errors.hpp"

#include <memory>
#include <string>
#include <unordered_map>

namespace vorna {
namespace {

// Resolver threads at most, for all names together. A resolver that never
// answers holds its thread for as long as it likes; later lookups of the
// same name wait for that one, and lookups of other names start no thread
// past this many.
constexpr int kMaxResolverThreads = 8;

// One lookup in flight: its answer (getaddrinfo's list, or the exception it
// raised) once `done` (a threading.Event) is set.
struct Lookup {
    py::object done;
    py::object answer;
};

// The lookups in flight, by name, and how many resolver threads run. Read
// and changed only while holding the interpreter, and never across a call
// into Python, which may let another thread in.
struct Resolver {
    static const NativeTypeSpec kType;
    std::unordered_map<std::string, std::shared_ptr<Lookup>> in_flight;
    int threads = 0;

    template <class F>
    void references(F &&each) {
        for (auto &entry : in_flight) {
            each(entry.second->done);
            each(entry.second->answer);
        }
    }
};

std::string name_key(py::handle host) { return py::repr(host).cast<std::string>(); }

// The lookup is over: its entry goes, its thread is counted out, and whoever
// waits for it is woken.
void finish_lookup(Resolver &resolver, py::handle host, py::object answer) {
    auto found = resolver.in_flight.find(name_key(host));
    if (found == resolver.in_flight.end()) return;
    std::shared_ptr<Lookup> lookup = found->second;
    resolver.in_flight.erase(found);
    --resolver.threads;
    lookup->answer = std::move(answer);
    lookup->done.attr("set")();
}

// getaddrinfo(host, port, 0, SOCK_STREAM) as the module global of `socket`
// names it now (tests replace it); a new reference, or nullptr with the
// error set. Holds only plain pointers while the resolver blocks: when the
// interpreter ends this thread at exit, the stack unwinds without holding
// the interpreter, and releasing a reference then would touch it; what the
// lookup holds is left to the end of the process instead.
PyObject *system_lookup(PyObject *host, PyObject *port) {
    PyObject *socket = PyImport_ImportModule("socket");
    if (!socket) return nullptr;
    PyObject *lookup = PyObject_GetAttrString(socket, "getaddrinfo");
    PyObject *stream = lookup ? PyObject_GetAttrString(socket, "SOCK_STREAM") : nullptr;
    PyObject *any = stream ? PyLong_FromLong(0) : nullptr;
    Py_DECREF(socket);
    PyObject *found = nullptr;
    if (any) {
        PyObject *argv[] = {host, port, any, stream};
        found = PyObject_Vectorcall(lookup, argv, 4, nullptr);
    }
    Py_XDECREF(any);
    Py_XDECREF(stream);
    Py_XDECREF(lookup);
    return found;
}

// Runs in the resolver thread, bound to the resolver: the lookup of `host`
// (args: host, port), handed to its waiters.
PyObject *resolve_into(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "resolve() takes a host and a port");
        return nullptr;
    }
    PyObject *found = system_lookup(args[0], args[1]);
    try {
        Resolver &resolver = native<Resolver>(self);
        if (found) {
            finish_lookup(resolver, args[0], py::reinterpret_steal<py::object>(found));
            Py_RETURN_NONE;
        }
        py::error_already_set e;
        finish_lookup(resolver, args[0], py::reinterpret_borrow<py::object>(e.value()));
        if (!e.matches(PyExc_Exception)) throw e;
        Py_RETURN_NONE;
    } catch (...) {
        set_python_error(PyExc_SystemError);
        return nullptr;
    }
}

PyMethodDef kResolve = {"resolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resolve_into)),
                        METH_FASTCALL, "Looks up one name for the lookups in flight."};

py::object resolver_repr(PyObject *self) {
    return py::str("<name lookups in flight: {}>").format(native<Resolver>(self).in_flight.size());
}

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

// Raises httpcore's `error` with `message`, caused by `cause`, as the HTTP
// layer raises its errors from the system's (a lookup that did not come back
// is the resolver's "temporary failure"). The connection pool re-raises
// errors `from None`, which drops the cause; the context stays.
[[noreturn]] void raise_lookup_error(const char *error, const py::str &message, py::object cause = py::object()) {
    if (!cause) {
        py::module_ socket = py::module_::import("socket");
        cause = socket.attr("gaierror")(socket.attr("EAI_AGAIN"), message);
    }
    raise_library_error("httpcore", error, message, std::move(cause));
}

// The lookup of `host` in flight, joined, or a new one with a thread of its
// own. Fails with ConnectError when all resolver threads are taken.
std::shared_ptr<Lookup> join_lookup(py::handle resolver_object, py::handle host, py::handle port) {
    py::object done = py::module_::import("threading").attr("Event")();
    Resolver &resolver = native<Resolver>(resolver_object);
    const std::string key = name_key(host);
    // From here to the entry's insertion, nothing calls into Python.
    auto found = resolver.in_flight.find(key);
    if (found != resolver.in_flight.end()) return found->second;
    if (resolver.threads >= kMaxResolverThreads)
        raise_lookup_error("ConnectError",
                           py::str("the name {} was not looked up: the system's resolver has not yet answered {} "
                                   "lookups of other names")
                               .format(host, resolver.threads));
    auto lookup = std::make_shared<Lookup>();
    lookup->done = std::move(done);
    resolver.in_flight.emplace(key, lookup);
    ++resolver.threads;
    try {
        py::object resolve = py::reinterpret_steal<py::object>(PyCFunction_New(&kResolve, resolver_object.ptr()));
        if (!resolve) throw py::error_already_set();
        py::module_::import("threading")
            .attr("Thread")(py::arg("target") = resolve, py::arg("args") = py::make_tuple(host, port),
                            py::arg("name") = "vorna-resolve", py::arg("daemon") = true)
            .attr("start")();
    } catch (py::error_already_set &e) {
        // No thread: the lookup ends here, for anyone who joined it meanwhile too.
        finish_lookup(resolver, host, py::reinterpret_borrow<py::object>(e.value()));
        throw;
    }
    return lookup;
}

}  // namespace

const NativeTypeSpec Resolver::kType = {"vorna_comfyui_engine._Resolver",
                                        "The name lookups in flight of a module's requests.", kNoMethods,
                                        nullptr, native_repr<resolver_repr>};

py::object new_resolver() { return make_native<Resolver>(); }

py::list addresses_of(py::handle resolver, py::handle host, py::handle port, py::handle timeout) {
    py::list addresses;
    try {
        py::module_::import("ipaddress").attr("ip_address")(host);
        addresses.append(host);
        return addresses;  // an address already
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    std::shared_ptr<Lookup> lookup = join_lookup(resolver, host, port);
    lookup->done.attr("wait")(bounded_timeout(timeout, "ConnectTimeout", true));
    py::object found = lookup->answer;
    if (!found)
        raise_lookup_error("ConnectTimeout",
                           py::str("the system's resolver did not answer {} within the timeout").format(host));
    // The resolver's own error stays the cause, as the HTTP layer keeps an OSError.
    if (py::isinstance(found, PyExc_BaseException)) raise_lookup_error("ConnectError", py::str(found), found);
    for (py::handle info : found) addresses.append(py::tuple(py::reinterpret_borrow<py::tuple>(info)[4])[0]);
    return addresses;
}

}  // namespace vorna
