#include "deadline.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>

namespace vorna {
namespace {

// The timeout for one socket operation: never past the deadline (for a
// connect, nor past the connect deadline); past it, the operation fails as
// the HTTP layer's own timeout would.
py::object clamp(py::handle local, py::handle timeout, const char *error, bool connecting = false) {
    py::object deadline = py::getattr(local, "deadline", py::none());
    if (connecting) {
        py::object reach = py::getattr(local, "connect_deadline", py::none());
        if (!reach.is_none() && (deadline.is_none() || reach.cast<double>() < deadline.cast<double>()))
            deadline = reach;
    }
    if (deadline.is_none()) return py::reinterpret_borrow<py::object>(timeout);
    double left = deadline.cast<double>() - now_seconds();
    if (left <= 0) raise_error(py::module_::import("httpcore").attr(error), py::str("timed out"));
    double asked = seconds_or_negative(timeout);
    return py::float_(asked < 0 ? left : std::min(left, asked));
}

bool flag(py::handle local, const char *name) { return truth(py::getattr(local, name, py::bool_(false))); }

py::object net_init(FunctionObject *, py::handle *args) {
    py::setattr(args[0], "inner", args[1]);
    py::setattr(args[0], "local", args[2]);
    return py::none();
}

py::object wrap_stream(py::handle self, py::object inner) {
    return self.attr("stream_type")(inner, self.attr("local"));
}

// A request that opened a connection of its own did not go out on a kept one.
void note_connect(py::handle local) { py::setattr(local, "connected", py::bool_(true)); }

// --- Name lookups ------------------------------------------------------------------------------

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
struct ResolverState {
    std::unordered_map<std::string, std::shared_ptr<Lookup>> in_flight;
    int threads = 0;
};

constexpr const char *kResolverCapsule = "vorna_comfyui_engine.resolver";

ResolverState &state_of(py::handle resolver) {
    void *state = PyCapsule_GetPointer(resolver.ptr(), kResolverCapsule);
    if (!state) throw py::error_already_set();
    return *static_cast<ResolverState *>(state);
}

std::string name_key(py::handle host) { return py::repr(host).cast<std::string>(); }

// The lookup is over: its entry goes, its thread is counted out, and whoever
// waits for it is woken.
void finish_lookup(py::handle resolver, py::handle host, py::object answer) {
    ResolverState &state = state_of(resolver);
    auto found = state.in_flight.find(name_key(host));
    if (found == state.in_flight.end()) return;
    std::shared_ptr<Lookup> lookup = found->second;
    state.in_flight.erase(found);
    --state.threads;
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

// Runs in the resolver thread: the lookup of `host`, handed to its waiters.
py::object resolve_into(FunctionObject *, py::handle *args) {
    PyObject *found = system_lookup(args[0].ptr(), args[1].ptr());
    if (found) {
        finish_lookup(args[2], args[0], py::reinterpret_steal<py::object>(found));
        return py::none();
    }
    py::error_already_set e;
    finish_lookup(args[2], args[0], py::reinterpret_borrow<py::object>(e.value()));
    if (!e.matches(PyExc_Exception)) throw e;
    return py::none();
}

const FunctionDef kResolveInto{"resolve", {"host", "port", "resolver"}, resolve_into};

// Raises httpcore's `error` with `message`, caused by `cause`, as the HTTP
// layer raises its errors from the system's (a lookup that did not come back
// is the resolver's "temporary failure").
[[noreturn]] void raise_lookup_error(const char *error, const py::str &message, py::object cause = py::object()) {
    if (!cause) {
        py::module_ socket = py::module_::import("socket");
        cause = socket.attr("gaierror")(socket.attr("EAI_AGAIN"), message);
    }
    py::object raised = py::module_::import("httpcore").attr(error)(message);
    // Its context too, as `raise ... from` inside `except` sets both: the
    // connection pool re-raises errors `from None`, which drops the cause.
    PyException_SetContext(raised.ptr(), cause.inc_ref().ptr());
    PyException_SetCause(raised.ptr(), cause.release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(raised.ptr())), raised.ptr());
    throw py::error_already_set();
}

// The lookup of `host` in flight, joined, or a new one with a thread of its
// own. Fails with ConnectError when all resolver threads are taken.
std::shared_ptr<Lookup> join_lookup(py::handle self, py::handle host, py::handle port) {
    py::object resolver = self.attr("resolver");
    py::object done = py::module_::import("threading").attr("Event")();
    ResolverState &state = state_of(resolver);
    const std::string key = name_key(host);
    // From here to the entry's insertion, nothing calls into Python.
    auto found = state.in_flight.find(key);
    if (found != state.in_flight.end()) return found->second;
    if (state.threads >= kMaxResolverThreads)
        raise_lookup_error("ConnectError",
                           py::str("the name {} was not looked up: the system's resolver has not yet answered {} "
                                   "lookups of other names")
                               .attr("format")(host, state.threads));
    auto lookup = std::make_shared<Lookup>();
    lookup->done = std::move(done);
    state.in_flight.emplace(key, lookup);
    ++state.threads;
    try {
        py::object resolve = py::module_::import("functools").attr("partial")(
            make_function(self.attr("module"), kResolveInto), host, port, resolver);
        py::module_::import("threading")
            .attr("Thread")(py::arg("target") = resolve, py::arg("name") = "vorna-resolve", py::arg("daemon") = true)
            .attr("start")();
    } catch (py::error_already_set &e) {
        // No thread: the lookup ends here, for anyone who joined it meanwhile too.
        finish_lookup(resolver, host, py::reinterpret_borrow<py::object>(e.value()));
        throw;
    }
    return lookup;
}

// The addresses of `host`, looked up within the connect deadline: the
// system's resolver takes no timeout, so it runs in a thread of its own that
// is left behind when the deadline passes (one per name: a later call of
// the same name waits for it, within its own deadline).
py::list addresses_of(py::handle self, py::handle host, py::handle port, py::handle timeout) {
    py::list addresses;
    try {
        py::module_::import("ipaddress").attr("ip_address")(host);
        addresses.append(host);
        return addresses;  // an address already
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    std::shared_ptr<Lookup> lookup = join_lookup(self, host, port);
    lookup->done.attr("wait")(clamp(self.attr("local"), timeout, "ConnectTimeout", true));
    py::object found = lookup->answer;
    if (!found)
        raise_lookup_error("ConnectTimeout", py::str("the system's resolver did not answer {} within the timeout")
                                                 .attr("format")(host));
    // The resolver's own error stays the cause, as the HTTP layer keeps an OSError.
    if (py::isinstance(found, PyExc_BaseException)) raise_lookup_error("ConnectError", py::str(found), found);
    for (py::handle info : found) addresses.append(py::tuple(py::reinterpret_borrow<py::tuple>(info)[4])[0]);
    return addresses;
}

py::object backend_connect_tcp(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    py::handle local = self.attr("local");
    note_connect(local);
    py::module_ httpcore = py::module_::import("httpcore");
    py::list addresses = addresses_of(self, args[1], args[2], args[3]);
    // Each address in turn, as the system's own connect does, within the deadline.
    for (size_t i = 0;; ++i) {
        py::object t = clamp(local, args[3], "ConnectTimeout", true);
        try {
            return wrap_stream(self, self.attr("inner").attr("connect_tcp")(
                                         addresses[i], args[2], py::arg("timeout") = t,
                                         py::arg("local_address") = args[4], py::arg("socket_options") = args[5]));
        } catch (py::error_already_set &e) {
            if (!e.matches(httpcore.attr("ConnectError")) || i + 1 >= addresses.size()) throw;
        }
    }
}

py::object backend_connect_unix(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    note_connect(self.attr("local"));
    py::object t = clamp(self.attr("local"), args[2], "ConnectTimeout", true);
    return wrap_stream(self, self.attr("inner").attr("connect_unix_socket")(args[1], py::arg("timeout") = t,
                                                                            py::arg("socket_options") = args[3]));
}

py::object backend_sleep(FunctionObject *, py::handle *args) { return args[0].attr("inner").attr("sleep")(args[1]); }

py::object stream_read(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    py::object data = self.attr("inner").attr("read")(args[1], clamp(self.attr("local"), args[2], "ReadTimeout"));
    if (truth(data)) py::setattr(self.attr("local"), "received", py::bool_(true));
    return data;
}

// The socket a stream's bytes can be written to directly: a plain one, or
// the TLS socket itself; None for TLS carried inside another TLS stream.
py::object writable_socket(py::handle inner) {
    py::object sock = inner.attr("get_extra_info")("socket");
    if (py::isinstance(sock, py::module_::import("ssl").attr("SSLSocket"))) return sock;
    if (py::isinstance(sock, py::module_::import("socket").attr("socket")) &&
        inner.attr("get_extra_info")("ssl_object").is_none())
        return sock;
    return py::none();
}

// Each send gets what is left of the deadline, so a service that reads
// slowly cannot stretch one write of a large request past it.
py::object stream_write(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    py::handle local = self.attr("local");
    py::object inner = self.attr("inner");
    py::module_ httpcore = py::module_::import("httpcore");
    // A kept connection the service closed while it was idle has its end
    // of stream waiting to be read: the request is not written into it, so
    // that it can go out again on a new connection, never sent twice.
    if (!flag(local, "connected") && !flag(local, "written") && truth(inner.attr("get_extra_info")("is_readable")))
        raise_error(httpcore.attr("WriteError"), py::str("the service closed the kept connection"));
    py::object view = py::module_::import("builtins").attr("memoryview")(args[1]);
    py::object sock = writable_socket(inner);
    // Without a socket of its own, pieces small enough to pass in any one timeout.
    const Py_ssize_t piece = sock.is_none() ? 65536 : PY_SSIZE_T_MAX;
    py::module_ socket = py::module_::import("socket");
    while (py::len(view) > 0) {
        py::object t = clamp(local, args[2], "WriteTimeout");
        py::object part = view[py::slice(0, std::min<Py_ssize_t>(piece, py::len(view)), 1)];
        Py_ssize_t sent = py::len(part);
        if (sock.is_none()) {
            inner.attr("write")(part, t);
        } else {
            try {
                sock.attr("settimeout")(t);
                sent = sock.attr("send")(part).cast<Py_ssize_t>();
            } catch (py::error_already_set &e) {
                if (e.matches(socket.attr("timeout"))) raise_error(httpcore.attr("WriteTimeout"), exception_text(e));
                if (e.matches(PyExc_OSError)) raise_error(httpcore.attr("WriteError"), exception_text(e));
                throw;
            }
        }
        if (sent > 0) py::setattr(local, "written", py::bool_(true));
        view = view[py::slice(sent, py::len(view), 1)];
    }
    return py::none();
}

py::object stream_close(FunctionObject *, py::handle *args) { return args[0].attr("inner").attr("close")(); }

py::object stream_start_tls(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    py::object t = clamp(self.attr("local"), args[3], "ConnectTimeout", true);
    py::object tls = self.attr("inner").attr("start_tls")(args[1], args[2], t);
    return py::type::of(self)(tls, self.attr("local"));
}

py::object stream_extra(FunctionObject *, py::handle *args) {
    return args[0].attr("inner").attr("get_extra_info")(args[1]);
}

const FunctionDef kNetInit{"__init__", {"self", "inner", "local"}, net_init};
const FunctionDef kConnectTcp{"connect_tcp", {"self", "host", "port", "timeout", "local_address", "socket_options"},
                              backend_connect_tcp};
const FunctionDef kConnectUnix{"connect_unix_socket", {"self", "path", "timeout", "socket_options"},
                               backend_connect_unix};
const FunctionDef kSleep{"sleep", {"self", "seconds"}, backend_sleep};
const FunctionDef kRead{"read", {"self", "max_bytes", "timeout"}, stream_read};
const FunctionDef kWrite{"write", {"self", "buffer", "timeout"}, stream_write};
const FunctionDef kClose{"close", {"self"}, stream_close};
const FunctionDef kStartTls{"start_tls", {"self", "ssl_context", "server_hostname", "timeout"}, stream_start_tls};
const FunctionDef kExtra{"get_extra_info", {"self", "info"}, stream_extra};

py::object method(py::handle module, const FunctionDef &def, py::tuple defaults = py::tuple()) {
    FunctionOptions opts;
    opts.defaults = defaults;
    return make_function(module, def, opts);
}

py::object deadline_backend_type(py::handle module) {
    py::object httpcore = py::module_::import("httpcore");
    py::object none = py::none();
    py::object stream_type = make_class(
        module, "_DeadlineStream", py::make_tuple(httpcore.attr("NetworkStream")),
        {{"__init__", method(module, kNetInit)},
         {"read", method(module, kRead, py::make_tuple(none))},
         {"write", method(module, kWrite, py::make_tuple(none))},
         {"close", method(module, kClose)},
         {"start_tls", method(module, kStartTls, py::make_tuple(none, none))},
         {"get_extra_info", method(module, kExtra)}});
    return make_class(module, "_DeadlineBackend", py::make_tuple(httpcore.attr("NetworkBackend")),
                      {{"stream_type", stream_type},
                       {"__init__", method(module, kNetInit)},
                       {"connect_tcp", method(module, kConnectTcp, py::make_tuple(none, none, none))},
                       {"connect_unix_socket", method(module, kConnectUnix, py::make_tuple(none, none))},
                       {"sleep", method(module, kSleep)}});
}

}  // namespace

py::object new_resolver() {
    auto *state = new ResolverState();
    PyObject *capsule = PyCapsule_New(state, kResolverCapsule, [](PyObject *self) {
        delete static_cast<ResolverState *>(PyCapsule_GetPointer(self, kResolverCapsule));
    });
    if (!capsule) {
        delete state;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(capsule);
}

Deadline::Deadline(py::handle guard, double seconds, double connect_seconds) : guard_(guard) {
    if (guard.is_none()) return;
    py::object local = guard.attr("local");
    py::object none = py::none();
    py::setattr(local, "deadline", seconds > 0 ? py::object(py::float_(now_seconds() + seconds)) : none);
    py::setattr(local, "connect_deadline",
                connect_seconds > 0 ? py::object(py::float_(now_seconds() + connect_seconds)) : none);
    py::setattr(local, "connected", py::bool_(false));
    py::setattr(local, "received", py::bool_(false));
    py::setattr(local, "written", py::bool_(false));
    py::setattr(local, "status", none);
}

Deadline::~Deadline() {
    if (guard_.is_none()) return;
    py::error_scope keep;  // the error the request ends with stays pending
    py::object local = py::reinterpret_steal<py::object>(PyObject_GetAttrString(guard_.ptr(), "local"));
    if (!local || PyObject_SetAttrString(local.ptr(), "deadline", Py_None) < 0 ||
        PyObject_SetAttrString(local.ptr(), "connect_deadline", Py_None) < 0)
        PyErr_Clear();
}

ConnectionFacts connection_facts(py::handle guard) {
    py::object local = guard.attr("local");
    return ConnectionFacts{flag(local, "connected"), flag(local, "written"), flag(local, "received")};
}

py::object deadline_backend(py::handle module, py::handle local) {
    py::object backend = deadline_backend_type(module)(py::module_::import("httpcore").attr("SyncBackend")(), local);
    backend.attr("module") = module;
    backend.attr("resolver") = global(module, "_resolver");
    return backend;
}

}  // namespace vorna
