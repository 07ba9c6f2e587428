// The guarded road to the service. The library's client reads the service's
// schema and then posts wherever it says, follows redirects with the key,
// waits for readiness without pausing and bounds each read, not the request.
// Here the client keeps its public shape, but the HTTP client inside it is
// built by the package: every request is checked against the configured
// origin, answers with a content coding are refused unread, and every socket
// operation is bounded by the deadline of the request in progress.
#include "request_guard.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace vorna {
namespace {

// --- URL text ----------------------------------------------------------------------------------

// [start, end) of the authority of `url`, or false when it has none.
bool authority_of(const std::string &url, size_t &start, size_t &end) {
    size_t scheme_end = url.find("://");
    if (scheme_end != std::string::npos)
        start = scheme_end + 3;
    else if (url.compare(0, 2, "//") == 0)
        start = 2;
    else
        return false;
    end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();
    return true;
}

// The password in `url`'s user information, or "" when there is none.
std::string password_of(const std::string &url) {
    size_t start = 0, end = 0;
    if (!authority_of(url, start, end)) return "";
    size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start) return "";
    size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at) return "";
    return url.substr(colon + 1, at - colon - 1);
}

bool utf8_of(py::handle text, std::string &out) {
    if (!PyUnicode_Check(text.ptr())) return false;
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!s) {
        PyErr_Clear();  // lone surrogates: nothing printable to hide
        return false;
    }
    out.assign(s, static_cast<size_t>(n));
    return true;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// --- Origins -----------------------------------------------------------------------------------

// (scheme, host, port) of an absolute http(s) URL or httpx.URL; None for a
// relative one, which the HTTP client resolves against the base URL.
py::object origin_of(py::handle url) {
    py::object u = py::module_::import("httpx").attr("URL")(url);
    if (!u.attr("is_absolute_url").cast<bool>()) return py::none();
    py::object scheme = u.attr("scheme");
    py::object port = u.attr("port");
    if (port.is_none()) {
        std::string s = scheme.cast<std::string>();
        if (s == "http") port = py::int_(80);
        if (s == "https") port = py::int_(443);
    }
    return tuple_of({scheme, u.attr("host"), port});
}

py::str show_origin(py::handle origin) {
    py::tuple o = py::reinterpret_borrow<py::tuple>(origin);
    py::str text = py::str("{}://{}:{}").attr("format")(o[0], o[1], o[2]);
    if (py::len(text) > 200) text = py::str(text[py::slice(0, 200, 1)]) + py::str("...");
    return text;
}

[[noreturn]] void raise_new(const py::object &exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

// --- Deadline ----------------------------------------------------------------------------------

// The least time one try to reach the service gets, however little of the
// readiness budget is left.
constexpr double kLeastTry = 5.0;

// Seconds an idle connection is kept for the next request.
constexpr double kKeepIdle = 4.0;

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// `value` as seconds, or -1 when it is not a finite real number.
double seconds_or_negative(py::handle value) {
    if (!(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) || PyBool_Check(value.ptr())) return -1;
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // too large for a double
        return -1;
    }
    return std::isfinite(v) ? v : -1;
}

// The deadline lives in a thread-local object of the guard: sync HTTP I/O
// runs in the calling thread, so each thread sees its own request's.
void set_deadline(py::handle guard, double seconds) {
    if (guard.is_none() || seconds <= 0) return;
    guard["local"].attr("deadline") = py::float_(now_seconds() + seconds);
}

void clear_deadline(py::handle guard) {
    if (!guard.is_none()) guard["local"].attr("deadline") = py::none();
}

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
    if (left <= 0) raise_new(py::module_::import("httpcore").attr(error)("timed out"));
    double t = timeout.is_none() ? left : std::min(left, seconds_or_negative(timeout) < 0 ? left
                                                                                         : timeout.cast<double>());
    return py::float_(t);
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

// A network backend for the HTTP layer's connection pool whose streams never
// wait past the deadline of the request in progress.
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
    return make_class(
        module, "_DeadlineBackend", py::make_tuple(httpcore.attr("NetworkBackend")),
        {{"stream_type", stream_type},
         {"__init__", method(module, kNetInit)},
         {"connect_tcp", method(module, kConnectTcp, py::make_tuple(none, none, none))},
         {"connect_unix_socket",
          method(module, kConnectUnix, py::make_tuple(none, none))},
         {"sleep", method(module, kSleep)}});
}

// --- HTTP hooks --------------------------------------------------------------------------------

// Every request, redirects included, goes to the configured origin or nowhere.
py::object guard_request(FunctionObject *, py::handle *args) {
    py::handle guard = args[0];
    py::object origin = origin_of(args[1].attr("url"));
    if (origin.is_none() || !equals(origin, guard["origin"])) {
        py::str message = py::str("refused to send a request to {}: the service sent it away from the configured "
                                  "service {}, and the API key goes only to the configured service")
                              .attr("format")(origin.is_none() ? py::str("a relative address") : show_origin(origin),
                                              show_origin(guard["origin"]));
        raise_new(py::reinterpret_borrow<py::object>(PyExc_PermissionError)(message));
    }
    return py::none();
}

// Notes the status of each answer (the library's schema error does not say
// it) and refuses one with a content coding before its body is read: none
// was asked for, and inflating it could take any amount of memory.
py::object record_response(FunctionObject *, py::handle *args) {
    py::handle guard = args[0];
    py::handle response = args[1];
    // Per thread: a kept client serves several threads at once.
    py::object local = guard["local"];
    py::setattr(local, "status", response.attr("status_code"));
    py::setattr(local, "url", response.attr("request").attr("url"));
    py::object coding = response.attr("headers").attr("get")("content-encoding");
    if (!coding.is_none()) {
        py::object plain = coding.attr("strip")().attr("lower")();
        if (!equals(plain, py::str("")) && !equals(plain, py::str("identity"))) {
            py::object shown = py::repr(coding[py::slice(0, 40, 1)]);
            py::str message = py::str("the service answered with the content coding {} although none was asked "
                                      "for; the answer was refused unread")
                                  .attr("format")(shown);
            raise_new(py::reinterpret_borrow<py::object>(PyExc_ValueError)(message));
        }
    }
    return py::none();
}

const FunctionDef kGuardRequest{"guard_request", {"guard", "request"}, guard_request};
const FunctionDef kRecordResponse{"record_response", {"guard", "response"}, record_response};

// The guard state for a client of `base_url`, or None when the URL is not
// an absolute http(s) URL (the library then builds its own transport).
py::object new_guard(py::handle base_url) {
    py::object origin;
    try {
        origin = origin_of(base_url);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();  // the client reports a bad URL itself
    }
    if (origin.is_none()) return py::none();
    std::string scheme = py::tuple(origin)[0].cast<std::string>();
    if (scheme != "http" && scheme != "https") return py::none();
    py::dict guard;
    guard["origin"] = origin;
    guard["local"] = py::module_::import("threading").attr("local")();
    return guard;
}

// The HTTP client the library would build for `base_url`, with the guard's
// hooks, no content coding asked for, and deadline-bounded connections.
py::object make_http_client(py::handle module, py::handle base_url, py::handle token, py::handle timeout,
                            py::handle guard) {
    py::object httpx = py::module_::import("httpx");
    py::object partial = py::module_::import("functools").attr("partial");
    py::dict headers;
    headers["User-Agent"] = py::str("BentoML HTTP Client/") + py::str(py::module_::import("bentoml").attr("__version__"));
    py::object key = token.is_none() ? py::module_::import("os").attr("getenv")("BENTO_CLOUD_API_KEY")
                                     : py::reinterpret_borrow<py::object>(token);
    if (truth(key)) headers["Authorization"] = py::str("Bearer {}").attr("format")(key);
    headers["Accept-Encoding"] = "identity";
    py::dict hooks;
    hooks["request"] = py::make_tuple(partial(make_function(module, kGuardRequest), guard));
    hooks["response"] = py::make_tuple(partial(make_function(module, kRecordResponse), guard));
    // Idle connections are dropped before servers commonly drop them (5 s),
    // so a kept connection is rarely found closed when a request goes out.
    py::object limits = httpx.attr("Limits")(py::arg("max_connections") = 100, py::arg("max_keepalive_connections") = 20,
                                             py::arg("keepalive_expiry") = kKeepIdle);
    py::object client = httpx.attr("Client")(py::arg("base_url") = base_url, py::arg("headers") = headers,
                                             py::arg("timeout") = timeout, py::arg("follow_redirects") = true,
                                             py::arg("event_hooks") = hooks, py::arg("limits") = limits);
    // Every pool of the client (direct, and one per proxy from the
    // environment) opens its connections through the deadline backend.
    py::object backend_type = deadline_backend_type(module);
    py::list transports;
    transports.append(client.attr("_transport"));
    for (py::handle t : client.attr("_mounts").attr("values")())
        if (!t.is_none()) transports.append(t);
    for (py::handle t : transports) {
        py::object pool = py::getattr(t, "_pool", py::none());
        if (pool.is_none() || !py::hasattr(pool, "_network_backend")) continue;
        pool.attr("_network_backend") = backend_type(pool.attr("_network_backend"), guard["local"]);
    }
    return client;
}

// --- Errors ------------------------------------------------------------------------------------

py::object status_phrase(int status) {
    try {
        return py::module_::import("http").attr("HTTPStatus")(status).attr("phrase");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::str("");
    }
}

// The library's exception for an HTTP status, carrying `message`.
py::object status_error(int status, const py::str &message) {
    py::object base = py::module_::import("bentoml.exceptions").attr("BentoMLException");
    py::object code = py::int_(status);
    try {
        code = py::module_::import("http").attr("HTTPStatus")(status);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    py::object cls = base.attr("error_mapping").attr("get")(code, base);
    try {
        return cls(message, py::arg("error_code") = code);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return base(message, py::arg("error_code") = code);
    }
}

py::str status_text(int status) {
    py::object phrase = status_phrase(status);
    return py::str(py::len(phrase) ? "HTTP {} {}" : "HTTP {}").attr("format")(status, phrase);
}

[[noreturn]] void raise_refused_key(int status, const py::str &where, const py::error_already_set &caught) {
    py::str message =
        py::str("the service at {} refused the API key ({})").attr("format")(where, status_text(status));
    raise_object_with_context(status_error(status, message), caught);
}

// The HTTP status of a library error: the one the hooks noted, else the
// exception's own code; 0 when there is none.
int status_of(const py::error_already_set &e, py::handle guard) {
    py::object status = guard.is_none() ? py::none() : py::getattr(guard["local"], "status", py::none());
    if (status.is_none()) status = py::getattr(e.value(), "error_code", py::none());
    if (status.is_none()) return 0;
    try {
        return py::int_(status).cast<int>();
    } catch (py::error_already_set &) {
        return 0;
    }
}

py::str where_of(py::handle base_url, py::handle guard) {
    if (!guard.is_none()) return show_origin(guard["origin"]);
    std::string url;
    if (!utf8_of(base_url, url)) return py::str("the configured service");
    return py::str(hide_password(url));
}

bool is_refusal(int status) { return status == 401 || status == 403; }

}  // namespace

// None: the budget is the request timeout, as the library would wait.
double ready_budget(py::handle timeout, py::handle ready_timeout) {
    return seconds_or_negative(ready_timeout.is_none() ? timeout : ready_timeout);
}

// One try reaches the service within the readiness budget (a listener that
// never answers must not hold a call for a whole request timeout per try),
// but always gets a few seconds, and never more than a request.
double try_seconds(py::handle timeout, double remaining) {
    double request = seconds_or_negative(timeout);
    double reach = std::max(remaining, kLeastTry);
    return request > 0 ? std::min(request, reach) : reach;
}

// --- Public ------------------------------------------------------------------------------------

std::string hide_password(const std::string &url) {
    std::string password = password_of(url);
    if (password.empty()) return url;
    size_t start = 0, end = 0;
    authority_of(url, start, end);
    size_t colon = url.find(':', start);
    return url.substr(0, colon + 1) + "***" + url.substr(colon + 1 + password.size());
}

py::str scrub_password(py::handle text, py::handle url) {
    std::string u, t;
    if (!utf8_of(url, u) || !utf8_of(text, t)) return py::reinterpret_borrow<py::str>(text);
    std::string password = password_of(u);
    if (password.empty() || t.find(password) == std::string::npos)
        return py::reinterpret_borrow<py::str>(text);
    return py::str(replace_all(t, ":" + password + "@", ":***@"));
}

void scrub_exception(py::handle value, py::handle url) {
    try {
        py::object args = py::getattr(value, "args", py::none());
        if (PyTuple_Check(args.ptr())) {
            py::tuple old = py::reinterpret_borrow<py::tuple>(args);
            py::tuple fresh(old.size());
            bool changed = false;
            for (size_t i = 0; i < old.size(); ++i) {
                py::object item = old[i];
                if (PyUnicode_Check(item.ptr())) {
                    py::str clean = scrub_password(item, url);
                    changed = changed || !clean.is(item);
                    item = clean;
                }
                fresh[i] = item;
            }
            if (changed) py::setattr(value, "args", fresh);
        }
        py::object message = py::getattr(value, "message", py::none());
        if (PyUnicode_Check(message.ptr())) {
            py::str clean = scrub_password(message, url);
            if (!clean.is(message)) py::setattr(value, "message", clean);
        }
    } catch (py::error_already_set &) {
        // Best effort: the exception being reported must still go out.
    }
}

OpenedClient open_client(py::handle module, py::handle client_type, py::handle base_url, py::handle token,
                         py::handle timeout, py::handle ready_timeout, double started) {
    py::object guard = py::none();
    py::object library_client = py::module_::import("bentoml").attr("SyncHTTPClient");
    if (PyType_Check(client_type.ptr()) && PyObject_IsSubclass(client_type.ptr(), library_client.ptr()) == 1)
        guard = new_guard(base_url);
    if (PyErr_Occurred()) throw py::error_already_set();

    // One HTTP client for all attempts: one set of TLS settings, and a
    // connection the service kept open is used again.
    py::object http = py::none();
    // None: the budget is the request timeout, as the library would wait.
    double budget = ready_budget(timeout, ready_timeout);
    const double deadline = (started >= 0 ? started : now_seconds()) + std::max(budget, 0.0);
    auto remaining = [&] { return deadline - now_seconds(); };
    auto attempt_seconds = [&] { return try_seconds(timeout, remaining()); };
    auto build = [&]() -> py::object {
        if (guard.is_none())
            return client_type(base_url, py::arg("token") = token, py::arg("timeout") = timeout,
                               py::arg("server_ready_timeout") = 0);
        if (http.is_none()) http = make_http_client(module, base_url, token, timeout, guard);
        py::setattr(guard["local"], "status", py::none());
        py::setattr(guard["local"], "url", py::none());
        py::object client = client_type.attr("__new__")(client_type);
        // The library builds its HTTP client on first use; this one is already there.
        client.attr("__dict__")["client"] = http;
        set_deadline(guard, attempt_seconds());
        try {
            client_type.attr("__init__")(client, base_url, py::arg("token") = token, py::arg("timeout") = timeout,
                                         py::arg("server_ready_timeout") = 0);
        } catch (...) {
            clear_deadline(guard);
            throw;
        }
        clear_deadline(guard);
        return client;
    };

    py::module_ httpx = py::module_::import("httpx");
    py::object library_error = py::module_::import("bentoml.exceptions").attr("BentoMLException");
    double pause = 0.1;
    int tries = 0;
    for (;;) {
        try {
            ++tries;
            return OpenedClient{build(), guard};
        } catch (py::error_already_set &e) {
            int status = 0;
            bool retry = e.matches(httpx.attr("NetworkError")) || e.matches(httpx.attr("TimeoutException")) ||
                         e.matches(httpx.attr("RemoteProtocolError"));
            if (!retry && e.matches(library_error)) {
                status = status_of(e, guard);
                py::str where = where_of(base_url, guard);
                if (is_refusal(status)) {
                    if (!http.is_none()) http.attr("close")();
                    raise_refused_key(status, where, e);
                }
                retry = status == 429 || (status >= 500 && status < 600);
                if (!retry && status) {
                    if (!http.is_none()) http.attr("close")();
                    py::object noted = guard.is_none() ? py::none() : py::getattr(guard["local"], "url", py::none());
                    py::object url = noted.is_none() ? py::object(where) : py::str(noted);
                    std::string text;
                    py::str shown = utf8_of(py::str(url), text) ? py::str(hide_password(text)) : where;
                    py::str message =
                        status == 404
                            ? py::str("no service at {}: its schema request to {} answered {}")
                                  .attr("format")(where, shown, status_text(status))
                            : py::str("the service at {} failed the schema request to {}: {}")
                                  .attr("format")(where, shown, status_text(status));
                    raise_object_with_context(status_error(status, message), e);
                }
            }
            double left = remaining();
            if (!retry || left <= 0) {
                if (!http.is_none()) http.attr("close")();
                if (!retry || !status) throw;
                py::str message = py::str("the service at {} did not become ready: its schema request answered {} "
                                          "on each of {} tries within {} s")
                                      .attr("format")(where_of(base_url, guard), status_text(status), tries,
                                                      py::float_(std::max(budget, 0.0)).attr("__format__")("g"));
                raise_object_with_context(status_error(status, message), e);
            }
            py::module_::import("time").attr("sleep")(std::min(pause, left));
            pause = std::min(pause * 2, 1.0);
        }
    }
}

void check_route(py::handle client, py::handle endpoint, py::handle guard) {
    if (guard.is_none()) return;
    py::object endpoints = py::getattr(client, "endpoints", py::none());
    if (!PyDict_Check(endpoints.ptr())) return;
    PyObject *entry = PyDict_GetItemWithError(endpoints.ptr(), endpoint.ptr());
    if (!entry) {
        if (PyErr_Occurred()) PyErr_Clear();  // the client's own call reports it
        return;
    }
    py::object found = py::reinterpret_borrow<py::object>(entry);
    py::object route = py::getattr(found, "route", py::none());
    if (!PyUnicode_Check(route.ptr())) return;
    py::object origin = origin_of(route);
    if (origin.is_none() || equals(origin, guard["origin"])) return;
    py::object name = py::repr(endpoint);
    py::str message = py::str("the service's schema sends the endpoint {} to {}, which is not the configured service "
                              "{}: nothing was sent, the API key goes only to the configured service")
                          .attr("format")(name[py::slice(0, 80, 1)], show_origin(origin), show_origin(guard["origin"]));
    raise_new(py::reinterpret_borrow<py::object>(PyExc_PermissionError)(message));
}

py::object guarded_call(py::handle call, py::handle endpoint, py::handle kwargs, py::handle base_url,
                        py::handle timeout, py::handle guard, double seconds, double connect_seconds) {
    set_deadline(guard, std::isnan(seconds) ? seconds_or_negative(timeout) : seconds);
    if (!guard.is_none()) {
        py::object local = guard["local"];
        py::setattr(local, "connected", py::bool_(false));
        py::setattr(local, "received", py::bool_(false));
        py::setattr(local, "connect_deadline",
                    connect_seconds > 0 ? py::object(py::float_(now_seconds() + connect_seconds)) : py::none());
    }
    auto clear = [&] {
        clear_deadline(guard);
        if (!guard.is_none()) py::setattr(guard["local"], "connect_deadline", py::none());
    };
    try {
        py::object resp = py::reinterpret_borrow<py::object>(call)(endpoint, **py::reinterpret_borrow<py::dict>(kwargs));
        clear();
        return resp;
    } catch (py::error_already_set &e) {
        clear();
        py::object httpx = py::module_::import("httpx");
        if (!guard.is_none() && e.matches(httpx.attr("TimeoutException"))) {
            py::str message = py::str("the request took longer than the configured timeout of {} s")
                                  .attr("format")(timeout);
            py::object request = py::getattr(e.value(), "_request", py::none());
            py::object error = request.is_none() ? py::type::of(e.value())(message)
                                                 : py::type::of(e.value())(message, py::arg("request") = request);
            raise_object_with_context(error, e);
        }
        if (e.matches(py::module_::import("bentoml.exceptions").attr("BentoMLException"))) {
            int status = status_of(e, py::none());
            if (is_refusal(status)) raise_refused_key(status, where_of(base_url, guard), e);
        }
        throw;
    }
}

// --- Clients kept between calls ----------------------------------------------------------------

namespace {

// Kept clients at most: settings differ only where an instance or a subclass
// overrides them, so more would hold connections, not save round trips.
constexpr Py_ssize_t kPoolSize = 4;

// The pool's lock, held for the scope; released on every way out, with any
// pending error left as it was.
class PoolLock {
public:
    explicit PoolLock(py::handle pool) : lock_(pool.attr("lock")) {
        lock_.attr("acquire")();
    }
    ~PoolLock() {
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        py::object done = py::reinterpret_steal<py::object>(PyObject_CallMethod(lock_.ptr(), "release", nullptr));
        if (!done) PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }
    PoolLock(const PoolLock &) = delete;
    PoolLock &operator=(const PoolLock &) = delete;

private:
    py::object lock_;
};

bool equal_or_false(py::handle a, py::handle b) {
    int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0) PyErr_Clear();
    return eq == 1;
}

// Closing a client nobody uses any more is best effort: the call that let it
// go has its own outcome to report.
void close_quietly(py::handle client) {
    try {
        client.attr("close")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

py::dict entries_of(py::handle pool) { return pool.attr("entries"); }

// The kept clients' keys and headers hold the API key: the pool shows neither.
py::object pool_repr(FunctionObject *, py::handle *args) {
    return py::str("<kept service clients: {}>").attr("format")(py::len(args[0].attr("entries")));
}

const FunctionDef kPoolRepr{"__repr__", {"self"}, pool_repr};

int users_of(py::handle entry) { return py::reinterpret_borrow<py::dict>(entry)["users"].cast<int>(); }

void set_users(py::handle entry, int users) { py::reinterpret_borrow<py::dict>(entry)["users"] = py::int_(users); }

py::object find(const py::dict &entries, py::handle key) {
    PyObject *found = PyDict_GetItemWithError(entries.ptr(), key.ptr());
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return found ? py::reinterpret_borrow<py::object>(found) : py::none();
}

// Out of the pool; closed now when unused, else by its last user.
void retire(const py::dict &entries, py::handle key, py::handle entry, std::vector<py::object> &to_close) {
    if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0) throw py::error_already_set();
    py::reinterpret_borrow<py::dict>(entry)["retired"] = py::bool_(true);
    if (users_of(entry) == 0) to_close.push_back(py::reinterpret_borrow<py::dict>(entry)["client"]);
}

// The kept entry for `key`, now used once more, or None.
py::object take(py::handle pool, py::handle key) {
    PoolLock hold(pool);
    py::dict entries = entries_of(pool);
    py::object entry = find(entries, key);
    if (entry.is_none()) return entry;
    // The most recently used last, so the least recently used goes first.
    if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0 || PyDict_SetItem(entries.ptr(), key.ptr(), entry.ptr()) < 0)
        throw py::error_already_set();
    set_users(entry, users_of(entry) + 1);
    return entry;
}

// Keeps a newly opened client for `key` (or, when another thread kept one
// meanwhile, uses that one and closes this). Clients of another key, and of
// other settings for the same service, no longer serve: they go.
py::object put(py::handle pool, py::handle key, const OpenedClient &opened) {
    std::vector<py::object> to_close;
    py::object result;
    {
        PoolLock hold(pool);
        py::dict entries = entries_of(pool);
        result = find(entries, key);
        if (!result.is_none()) {
            set_users(result, users_of(result) + 1);
            to_close.push_back(opened.client);
        } else {
            py::dict entry;
            entry["client"] = opened.client;
            entry["guard"] = opened.guard;
            entry["users"] = py::int_(1);
            entry["retired"] = py::bool_(false);
            py::tuple mine = py::reinterpret_borrow<py::tuple>(key);
            for (py::handle item : py::list(entries.attr("items")())) {
                py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
                py::tuple other = pair[0];
                if (!equal_or_false(other[2], mine[2]) || equal_or_false(other[1], mine[1]))
                    retire(entries, other, pair[1], to_close);
            }
            if (PyDict_SetItem(entries.ptr(), key.ptr(), entry.ptr()) < 0) throw py::error_already_set();
            while (PyDict_Size(entries.ptr()) > kPoolSize) {
                py::iterator first = py::iter(entries);
                py::object oldest = py::reinterpret_borrow<py::object>(*first);
                retire(entries, oldest, find(entries, oldest), to_close);
            }
            result = entry;
        }
    }
    for (py::object &client : to_close) close_quietly(client);
    return result;
}

void release(py::handle pool, py::handle entry) {
    py::object unused;
    {
        PoolLock hold(pool);
        int users = users_of(entry) - 1;
        set_users(entry, users);
        py::dict e = py::reinterpret_borrow<py::dict>(entry);
        if (users == 0 && py::bool_(e["retired"])) unused = e["client"];
    }
    if (unused) close_quietly(unused);
}

// Takes `entry` out of the pool if it is still the one kept for `key`.
void drop(py::handle pool, py::handle key, py::handle entry) {
    std::vector<py::object> to_close;
    {
        PoolLock hold(pool);
        py::dict entries = entries_of(pool);
        if (find(entries, key).is(entry)) retire(entries, key, entry, to_close);
    }
    for (py::object &client : to_close) close_quietly(client);
}

// The entry a call uses, handed back on every way out.
class Held {
public:
    explicit Held(py::handle pool) : pool_(pool) {}
    ~Held() {
        if (!entry_) return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        try {
            release(pool_, entry_);
        } catch (...) {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, trace);
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

    void hold(py::object entry) { entry_ = std::move(entry); }
    void let_go() {
        py::object entry = std::move(entry_);
        entry_ = py::object();
        if (entry) release(pool_, entry);
    }
    py::object client() const { return py::reinterpret_borrow<py::dict>(entry_)["client"]; }
    py::object guard() const { return py::reinterpret_borrow<py::dict>(entry_)["guard"]; }
    const py::object &entry() const { return entry_; }

private:
    py::handle pool_;
    py::object entry_;
};

bool has_endpoint(py::handle client, py::handle endpoint) {
    py::object endpoints = py::getattr(client, "endpoints", py::none());
    if (!PyDict_Check(endpoints.ptr())) return true;
    int found = PyDict_Contains(endpoints.ptr(), endpoint.ptr());
    if (found < 0) {
        PyErr_Clear();  // the client's own call reports such a name
        return true;
    }
    return found == 1;
}

bool flag(py::handle local, const char *name) {
    return truth(py::getattr(local, name, py::bool_(false)));
}

bool http_origin(py::handle base_url) {
    try {
        py::object origin = origin_of(base_url);
        if (origin.is_none()) return false;
        std::string scheme = py::tuple(origin)[0].cast<std::string>();
        return scheme == "http" || scheme == "https";
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

}  // namespace

py::object new_client_pool(py::handle module) {
    py::object cls = make_class(module, "_ClientPool", py::tuple(),
                                {{"__slots__", py::make_tuple("lock", "entries")},
                                 {"__repr__", make_function(module, kPoolRepr)}});
    py::object pool = cls();
    pool.attr("lock") = py::module_::import("threading").attr("Lock")();
    pool.attr("entries") = py::dict();
    return pool;
}

py::object pool_key(py::handle client_type, py::handle base_url, py::handle token, py::handle timeout) {
    py::object library_client = py::module_::import("bentoml").attr("SyncHTTPClient");
    if (!PyType_Check(client_type.ptr())) return py::none();
    int mine = PyObject_IsSubclass(client_type.ptr(), library_client.ptr());
    if (mine < 0) throw py::error_already_set();
    if (!mine || !http_origin(base_url)) return py::none();
    py::tuple key = py::make_tuple(client_type, base_url, token, timeout);
    if (PyObject_Hash(key.ptr()) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::none();
    }
    return key;
}

py::object pooled_call(py::handle module, py::handle pool, py::handle key, py::handle client_type,
                       py::handle base_url, py::handle token, py::handle timeout, py::handle ready_timeout,
                       py::handle endpoint, py::handle payload, Spread spread) {
    const double started = now_seconds();
    const double ready_deadline = started + std::max(ready_budget(timeout, ready_timeout), 0.0);
    Held held(pool);
    bool fresh = false;
    auto open_fresh = [&] {
        OpenedClient opened = open_client(module, client_type, base_url, token, timeout, ready_timeout, started);
        held.hold(put(pool, key, opened));
        // Another thread may have kept a client meanwhile: then that one is used, not new.
        fresh = held.client().is(opened.client);
    };
    // The kept client will not do: another is opened in its place, as if none had been kept.
    auto replace = [&] {
        drop(pool, key, held.entry());
        held.let_go();
        open_fresh();
    };

    py::object entry = take(pool, key);
    if (entry.is_none())
        open_fresh();
    else
        held.hold(entry);
    py::dict kwargs = spread(held.client().attr("call"), payload);
    // The service may have been updated since its schema was read.
    if (!fresh && !has_endpoint(held.client(), endpoint)) replace();

    py::object httpx = py::module_::import("httpx");
    const double request = seconds_or_negative(timeout);
    const double sent = now_seconds();
    auto send = [&](double seconds) {
        py::object client = held.client();
        check_route(client, endpoint, held.guard());
        // A new connection is opened within what is left of the readiness
        // budget, as the schema request of a new client would be.
        return guarded_call(client.attr("call"), endpoint, kwargs, base_url, timeout, held.guard(), seconds,
                            try_seconds(timeout, ready_deadline - now_seconds()));
    };
    try {
        return send(std::numeric_limits<double>::quiet_NaN());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling handling(e);
        py::object local = held.guard()["local"];
        // The service closed a kept idle connection as the request went out on
        // it, and answered nothing: sent once more, on a new connection.
        if (e.matches(httpx.attr("RemoteProtocolError")) && !flag(local, "connected") && !flag(local, "received")) {
            if (request <= 0) return send(std::numeric_limits<double>::quiet_NaN());  // no deadline
            double left = request - (now_seconds() - sent);
            if (left > 0) return send(left);
        }
        // Nothing reached the service (down, or restarting): wait for it as a
        // new client would, then send.
        if (!fresh && (e.matches(httpx.attr("ConnectError")) || e.matches(httpx.attr("ConnectTimeout")))) {
            replace();
            return send(std::numeric_limits<double>::quiet_NaN());
        }
        throw;
    }
}

}  // namespace vorna
