#include "deadline.hpp"

#include <algorithm>

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

py::object backend_connect_tcp(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    note_connect(self.attr("local"));
    py::object t = clamp(self.attr("local"), args[3], "ConnectTimeout", true);
    return wrap_stream(self, self.attr("inner").attr("connect_tcp")(args[1], args[2], py::arg("timeout") = t,
                                                                    py::arg("local_address") = args[4],
                                                                    py::arg("socket_options") = args[5]));
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

py::object stream_write(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    return self.attr("inner").attr("write")(args[1], clamp(self.attr("local"), args[2], "WriteTimeout"));
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

bool flag(py::handle local, const char *name) { return truth(py::getattr(local, name, py::bool_(false))); }

}  // namespace

Deadline::Deadline(py::handle guard, double seconds, double connect_seconds) : guard_(guard) {
    if (guard.is_none()) return;
    py::object local = guard.attr("local");
    py::object none = py::none();
    py::setattr(local, "deadline", seconds > 0 ? py::object(py::float_(now_seconds() + seconds)) : none);
    py::setattr(local, "connect_deadline",
                connect_seconds > 0 ? py::object(py::float_(now_seconds() + connect_seconds)) : none);
    py::setattr(local, "connected", py::bool_(false));
    py::setattr(local, "received", py::bool_(false));
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
    return ConnectionFacts{flag(local, "connected"), flag(local, "received")};
}

py::object deadline_backend(py::handle module, py::handle local) {
    return deadline_backend_type(module)(py::module_::import("httpcore").attr("SyncBackend")(), local);
}

}  // namespace vorna
