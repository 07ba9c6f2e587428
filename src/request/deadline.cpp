#include "deadline.hpp"

#include "../runtime/native.hpp"
#include "client_pool.hpp"
#include "resolver.hpp"
#include "transport_errors.hpp"

#include <algorithm>

namespace vorna {
namespace {

thread_local RequestFacts *t_request = nullptr;

// --- The stream: one connection's socket ------------------------------------------------------

// The state of a _DeadlineStream: httpcore's own stream of the connection.
struct StreamState {
    static const NativeTypeSpec kType;
    py::object inner;

    template <class F>
    void references(F &&each) {
        each(inner);
    }
};

// The state of a _DeadlineBackend: httpcore's own backend, and the pool
// whose stream class and name lookups it uses.
struct BackendState {
    static const NativeTypeSpec kType;
    py::object inner;
    py::object pool;

    template <class F>
    void references(F &&each) {
        each(inner);
        each(pool);
    }
};

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};
const NativeTypeSpec StreamState::kType = {"vorna_comfyui_engine._DeadlineStreamState",
                                           "httpcore's stream of one connection.", kNoMethods};
const NativeTypeSpec BackendState::kType = {"vorna_comfyui_engine._DeadlineBackendState",
                                            "httpcore's backend, and the pool its streams belong to.", kNoMethods};

// A stream of `cls` (the pool's _DeadlineStream) around httpcore's `inner`.
py::object wrap_stream(py::handle cls, py::object inner) {
    return new_with_state(cls, make_native<StreamState>(StreamState{std::move(inner)}));
}

py::object stream_read(FunctionObject *, py::handle *args) {
    StateOf<StreamState> state(args[0]);
    py::object data = state->inner.attr("read")(args[1], bounded_timeout(args[2], "ReadTimeout"));
    if (truth(data)) current_request().received = true;
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
    StateOf<StreamState> state(args[0]);
    const py::object &inner = state->inner;
    RequestFacts &request = current_request();
    // A kept connection the service closed while it was idle has its end
    // of stream waiting to be read: the request is not written into it, so
    // that it can go out again on a new connection, never sent twice.
    if (!request.connected && !request.written && truth(inner.attr("get_extra_info")("is_readable")))
        raise_library_error("httpcore", "WriteError", py::str("the service closed the kept connection"));
    py::object view = py::module_::import("builtins").attr("memoryview")(args[1]);
    py::object sock = writable_socket(inner);
    // Without a socket of its own, pieces small enough to pass in any one timeout.
    const Py_ssize_t piece = sock.is_none() ? 65536 : PY_SSIZE_T_MAX;
    py::module_ socket = py::module_::import("socket");
    while (py::len(view) > 0) {
        py::object t = bounded_timeout(args[2], "WriteTimeout");
        py::object part = view[py::slice(0, std::min<Py_ssize_t>(piece, py::len(view)), 1)];
        Py_ssize_t sent = py::len(part);
        if (sock.is_none()) {
            inner.attr("write")(part, t);
        } else {
            try {
                sock.attr("settimeout")(t);
                sent = sock.attr("send")(part).cast<Py_ssize_t>();
            } catch (py::error_already_set &e) {
                // As httpcore's own stream maps them.
                raise_mapped(e, "httpcore", {{socket.attr("timeout"), "WriteTimeout"},
                                             {py::reinterpret_borrow<py::object>(PyExc_OSError), "WriteError"}});
            }
        }
        if (sent > 0) request.written = true;
        view = view[py::slice(sent, py::len(view), 1)];
    }
    return py::none();
}

py::object stream_close(FunctionObject *, py::handle *args) { return StateOf<StreamState>(args[0])->inner.attr("close")(); }

py::object stream_start_tls(FunctionObject *fn, py::handle *args) {
    Arguments in(fn, args);
    StateOf<StreamState> state(in["self"]);
    py::object t = bounded_timeout(in["timeout"], "ConnectTimeout", true);
    return wrap_stream(py::type::of(in["self"]),
                       state->inner.attr("start_tls")(in["ssl_context"], in["server_hostname"], t));
}

py::object stream_extra(FunctionObject *, py::handle *args) {
    return StateOf<StreamState>(args[0])->inner.attr("get_extra_info")(args[1]);
}

// --- The backend: opening connections ---------------------------------------------------------

py::object backend_connect_tcp(FunctionObject *fn, py::handle *args) {
    Arguments in(fn, args);
    StateOf<BackendState> state(in["self"]);
    current_request().connected = true;
    py::module_ httpcore = py::module_::import("httpcore");
    ClientPool &pool = native<ClientPool>(state->pool);
    py::list addresses = addresses_of(pool.resolver, in["host"], in["port"], in["timeout"]);
    // Each address in turn, as the system's own connect does, within the deadline.
    for (size_t i = 0;; ++i) {
        py::object t = bounded_timeout(in["timeout"], "ConnectTimeout", true);
        try {
            return wrap_stream(pool.stream_class,
                               state->inner.attr("connect_tcp")(addresses[i], in["port"], py::arg("timeout") = t,
                                                                py::arg("local_address") = in["local_address"],
                                                                py::arg("socket_options") = in["socket_options"]));
        } catch (py::error_already_set &e) {
            if (!e.matches(httpcore.attr("ConnectError")) || i + 1 >= addresses.size()) throw;
        }
    }
}

py::object backend_connect_unix(FunctionObject *fn, py::handle *args) {
    Arguments in(fn, args);
    StateOf<BackendState> state(in["self"]);
    current_request().connected = true;
    py::object t = bounded_timeout(in["timeout"], "ConnectTimeout", true);
    py::object stream = state->inner.attr("connect_unix_socket")(in["path"], py::arg("timeout") = t,
                                                                 py::arg("socket_options") = in["socket_options"]);
    return wrap_stream(native<ClientPool>(state->pool).stream_class, std::move(stream));
}

py::object backend_sleep(FunctionObject *, py::handle *args) {
    return StateOf<BackendState>(args[0])->inner.attr("sleep")(args[1]);
}

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

// The pool's stream and backend classes, made at its first connection:
// httpcore's own bases, one native state slot each.
void make_deadline_classes(ClientPool &pool) {
    if (pool.backend_class) return;
    py::object httpcore = py::module_::import("httpcore");
    py::handle module = pool.module;
    py::object none = py::none();
    py::object stream = make_state_class(module, "_DeadlineStream", httpcore.attr("NetworkStream"),
                                         {{"read", method(module, kRead, py::make_tuple(none))},
                                          {"write", method(module, kWrite, py::make_tuple(none))},
                                          {"close", method(module, kClose)},
                                          {"start_tls", method(module, kStartTls, py::make_tuple(none, none))},
                                          {"get_extra_info", method(module, kExtra)}});
    py::object backend =
        make_state_class(module, "_DeadlineBackend", httpcore.attr("NetworkBackend"),
                         {{"connect_tcp", method(module, kConnectTcp, py::make_tuple(none, none, none))},
                          {"connect_unix_socket", method(module, kConnectUnix, py::make_tuple(none, none))},
                          {"sleep", method(module, kSleep)}});
    // Another thread may have made them meanwhile: the first made stay.
    if (pool.backend_class) return;
    pool.stream_class = std::move(stream);
    pool.backend_class = std::move(backend);
}

}  // namespace

Deadline::Deadline(RequestFacts &facts, long long answer_limit, double seconds, double connect_seconds)
    : previous_(t_request) {
    facts = RequestFacts();
    if (seconds > 0) facts.deadline = now_seconds() + seconds;
    if (connect_seconds > 0) facts.connect_deadline = now_seconds() + connect_seconds;
    facts.answer_limit = answer_limit;
    t_request = &facts;
}

Deadline::~Deadline() { t_request = previous_; }

RequestFacts &current_request() {
    if (t_request) return *t_request;
    PyErr_SetString(PyExc_SystemError, "the service client did I/O outside a request of the package");
    throw py::error_already_set();
}

py::object bounded_timeout(py::handle timeout, const char *error, bool connecting) {
    const RequestFacts &request = current_request();
    std::optional<double> deadline = request.deadline;
    if (connecting && request.connect_deadline && (!deadline || *request.connect_deadline < *deadline))
        deadline = request.connect_deadline;
    if (!deadline) return py::reinterpret_borrow<py::object>(timeout);
    double left = *deadline - now_seconds();
    if (left <= 0) raise_library_error("httpcore", error, py::str("timed out"));
    double asked = seconds_or_negative(timeout);
    return py::float_(asked < 0 ? left : std::min(left, asked));
}

py::object deadline_backend(py::handle pool_object) {
    ClientPool &pool = native<ClientPool>(pool_object);
    make_deadline_classes(pool);
    py::object inner = py::module_::import("httpcore").attr("SyncBackend")();
    return new_with_state(pool.backend_class,
                          make_native<BackendState>(BackendState{std::move(inner),
                                                                 py::reinterpret_borrow<py::object>(pool_object)}));
}

}  // namespace vorna
