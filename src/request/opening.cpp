#include "opening.hpp"

#include "deadline.hpp"
#include "http_client.hpp"
#include "origin_guard.hpp"
#include "url_password.hpp"

#include <algorithm>

namespace vorna {
namespace {

// The least time one try to reach the service gets, however little of the
// readiness budget is left.
constexpr double kLeastTrySeconds = 5.0;

// How long a service whose every connection is refused is waited for: a
// refusal means the host is up and nothing listens on the port. A service
// that is starting binds its port within its first seconds (a platform in
// front of it answers 502 or 503 meanwhile, which keep the whole readiness
// wait); a port still refusing after this is a wrong address or a stopped
// service, and the user hears so at once instead of after the whole wait.
constexpr double kRefusedSeconds = 5.0;

// The library's client builds its HTTP client on first use of its `client`
// property, from its own URL, headers and timeout: this one builds the
// package's guarded one from the same.
py::object build_http_client(FunctionObject *fn, py::handle *args) {
    py::handle guard = args[0];
    py::handle client = args[1];
    // One HTTP client for all attempts to open: one set of TLS settings, and
    // a connection the service kept open is used again.
    py::object kept = guard.attr("http");
    if (!kept.is_none() && !truth(kept.attr("is_closed"))) return kept;
    py::object http = make_http_client(module_of(fn), client.attr("url"), client.attr("default_headers"),
                                       client.attr("timeout"), guard);
    guard.attr("http") = http;
    return http;
}

const FunctionDef kBuildHttpClient{"client", {"guard", "self"}, build_http_client};

// `client_type` with the guarded HTTP client in place of the library's.
py::object guarded_client_type(py::handle module, py::handle client_type, py::handle guard) {
    py::object build = py::module_::import("functools").attr("partial")(make_function(module, kBuildHttpClient), guard);
    return make_class(module, "_GuardedClient", py::make_tuple(client_type),
                      {{"client", py::module_::import("functools").attr("cached_property")(build)}});
}

// A library client that built its HTTP client some other way has sent
// without the guard: its call fails instead of going on unguarded.
void check_guarded(py::handle client, py::handle guard) {
    py::object dict = py::getattr(client, "__dict__", py::none());
    py::object used = py::isinstance<py::dict>(dict) ? py::reinterpret_borrow<py::dict>(dict).attr("get")("client")
                                                     : py::none();
    if (!guard.attr("http").is_none() && used.is(guard.attr("http"))) return;
    if (!used.is_none() && py::hasattr(used, "close")) used.attr("close")();
    raise_error(PyExc_RuntimeError,
                py::str("the service client of bentoml {} did not take the package's guarded HTTP client, so the "
                        "request deadline and the origin guard cannot be installed; install the versions named in "
                        "requirements.txt")
                    .attr("format")(py::module_::import("bentoml").attr("__version__")));
}

// The HTTPStatus of `status`, or None for a code it does not know.
py::object http_status(int status) {
    try {
        return py::module_::import("http").attr("HTTPStatus")(status);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

// "HTTP 404 Not Found", or "HTTP 599" for a code without a phrase.
py::str status_text(int status) {
    py::object known = http_status(status);
    if (known.is_none()) return py::str("HTTP {}").attr("format")(status);
    return py::str("HTTP {} {}").attr("format")(status, known.attr("phrase"));
}

// The library's exception for an HTTP status, carrying `message`.
py::object status_error(int status, const py::str &message) {
    py::object base = py::module_::import("bentoml.exceptions").attr("BentoMLException");
    py::object known = http_status(status);
    py::object code = known.is_none() ? py::object(py::int_(status)) : known;
    py::object cls = base.attr("error_mapping").attr("get")(code, base);
    try {
        return cls(message, py::arg("error_code") = code);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return base(message, py::arg("error_code") = code);
    }
}

[[noreturn]] void raise_refused_key(int status, const py::str &where, const py::error_already_set &caught) {
    py::str message =
        py::str("the service at {} refused the API key ({})").attr("format")(where, status_text(status));
    raise_object_with_context(status_error(status, message), caught);
}

py::str where_of(py::handle base_url, py::handle guard) {
    if (!guard.is_none()) return show_origin(guard.attr("origin"));
    std::string url;
    if (!utf8_of(base_url, url)) return py::str("the configured service");
    return py::str(hide_password(url));
}

bool is_refusal(int status) { return status == 401 || status == 403; }

// The system's error behind an HTTP layer error (it raises its own from the
// OSError it caught), or None.
py::object system_error_behind(py::handle value) {
    py::object link = py::reinterpret_borrow<py::object>(value);
    for (int depth = 0; depth < 8 && !link.is_none(); ++depth) {
        if (py::isinstance(link, PyExc_OSError)) return link;
        py::object cause = py::getattr(link, "__cause__", py::none());
        link = cause.is_none() ? py::getattr(link, "__context__", py::none()) : cause;
    }
    return py::none();
}

bool is_unreachable(const py::error_already_set &e) {
    py::module_ httpx = py::module_::import("httpx");
    return e.matches(httpx.attr("ConnectError")) || e.matches(httpx.attr("ConnectTimeout"));
}

bool was_refused(const py::error_already_set &e) {
    return is_unreachable(e) && py::isinstance(system_error_behind(e.value()), PyExc_ConnectionRefusedError);
}

// What went wrong in reaching the service, in plain words, and what to check.
struct Unreached {
    py::str how;
    py::str check;
};

Unreached unreached_how(const py::error_already_set &e, py::handle guard) {
    py::object cause = system_error_behind(e.value());
    py::module_ socket = py::module_::import("socket");
    py::str host = py::str(py::tuple(guard.attr("origin"))[1]);
    py::str running("check VORNA_API_BASE_URL and that the service is running");
    py::str name("check the host name in VORNA_API_BASE_URL");
    if (py::isinstance(cause, py::module_::import("ssl").attr("SSLError")))
        return {py::str("the TLS handshake failed"),
                py::str("check VORNA_API_BASE_URL (https:// only for a service that speaks TLS) and that this "
                        "machine trusts the service's certificate")};
    if (py::isinstance(cause, PyExc_ConnectionRefusedError))
        return {py::str("the connection was refused: nothing listens at that address and port"), running};
    if (py::isinstance(cause, socket.attr("gaierror"))) {
        if (e.matches(py::module_::import("httpx").attr("ConnectTimeout")))
            return {py::str("looking up the address of {} took too long").attr("format")(host), name};
        py::object code = py::getattr(cause, "errno", py::none());
        for (const char *absent : {"EAI_NONAME", "EAI_NODATA"})
            if (py::hasattr(socket, absent) && equals(code, socket.attr(absent)))
                return {py::str("the name {} was not found").attr("format")(host), name};
        return {py::str("the address of {} could not be looked up").attr("format")(host), name};
    }
    if (e.matches(py::module_::import("httpx").attr("ConnectTimeout")) || py::isinstance(cause, PyExc_TimeoutError))
        return {py::str("connecting to it timed out"), running};
    return {py::str("the connection failed"), running};
}

// An exception of the type of `e`'s, with `message` (and its request, for httpx's).
py::object same_type_with(const py::error_already_set &e, const py::str &message) {
    py::object request = py::getattr(e.value(), "_request", py::none());
    return request.is_none() ? py::type::of(e.value())(message)
                             : py::type::of(e.value())(message, py::arg("request") = request);
}

// The service could not be reached: the same error, saying where, what
// happened in plain words and the setting to check. `tries` counts the
// attempts to open a client (0: the error of a call).
[[noreturn]] void raise_unreachable(const py::error_already_set &e, py::handle guard, int tries, double seconds) {
    py::object proxy = guard.attr("proxy");
    py::str via = proxy.is_none() ? py::str("") : py::str(" through the proxy {}").attr("format")(proxy);
    Unreached what = unreached_how(e, guard);
    py::str detail = exception_text(e);
    if (tries == 1) detail = py::str("{}; tried once in {:.1f} s").attr("format")(detail, py::float_(seconds));
    if (tries > 1)
        detail = py::str("{}; tried {} times in {:.1f} s").attr("format")(detail, tries, py::float_(seconds));
    if (!proxy.is_none())
        what.check = what.check + py::str(", and the proxy settings (HTTP_PROXY, HTTPS_PROXY, ALL_PROXY, NO_PROXY)");
    py::str message = py::str("the service at {}{} cannot be reached: {} ({}); {}")
                          .attr("format")(show_origin(guard.attr("origin")), via, what.how, detail, what.check);
    raise_object_with_context(same_type_with(e, message), e);
}

}  // namespace

bool is_library_client(py::handle client_type) {
    py::object library = py::module_::import("bentoml").attr("SyncHTTPClient");
    if (!PyType_Check(client_type.ptr())) return false;
    int mine = PyObject_IsSubclass(client_type.ptr(), library.ptr());
    if (mine < 0) throw py::error_already_set();
    return mine == 1;
}

int status_of(const py::error_already_set &e, py::handle guard) {
    py::object status = guard.is_none() ? py::none() : py::getattr(guard.attr("local"), "status", py::none());
    if (status.is_none()) status = py::getattr(e.value(), "error_code", py::none());
    if (status.is_none()) return 0;
    try {
        return py::int_(status).cast<int>();
    } catch (py::error_already_set &) {
        return 0;
    }
}

// None: the budget is the request timeout, as the library would wait.
double ready_budget(py::handle timeout, py::handle ready_timeout) {
    return seconds_or_negative(ready_timeout.is_none() ? timeout : ready_timeout);
}

// One try reaches the service within the readiness budget (a listener that
// never answers must not hold a call for a whole request timeout per try),
// but always gets a few seconds, and never more than a request.
double try_seconds(py::handle timeout, double remaining) {
    double request = seconds_or_negative(timeout);
    double reach = std::max(remaining, kLeastTrySeconds);
    return request > 0 ? std::min(request, reach) : reach;
}

OpenedClient open_client(py::handle module, py::handle client_type, py::handle base_url, py::handle token,
                         py::handle timeout, py::handle ready_timeout, double started) {
    py::object guard = is_library_client(client_type) ? new_guard(module, base_url) : py::none();

    py::object guarded_type = guard.is_none() ? py::object(py::reinterpret_borrow<py::object>(client_type))
                                              : guarded_client_type(module, client_type, guard);
    double budget = ready_budget(timeout, ready_timeout);
    const double deadline = (started >= 0 ? started : now_seconds()) + std::max(budget, 0.0);
    auto remaining = [&] { return deadline - now_seconds(); };
    auto build = [&]() -> py::object {
        if (guard.is_none())
            return client_type(base_url, py::arg("token") = token, py::arg("timeout") = timeout,
                               py::arg("server_ready_timeout") = 0);
        py::setattr(guard.attr("local"), "url", py::none());
        Deadline bounded(guard, try_seconds(timeout, remaining()));
        // The service is authorised by the API key alone: user information in
        // the URL would be sent as Basic authorisation in place of the key,
        // and shown in the HTTP layer's own log records.
        py::object client = guarded_type(without_user_info(base_url), py::arg("token") = token, py::arg("timeout") = timeout,
                                         py::arg("server_ready_timeout") = 0);
        check_guarded(client, guard);
        return client;
    };
    auto close_http = [&] {
        if (!guard.is_none() && !guard.attr("http").is_none()) guard.attr("http").attr("close")();
    };

    py::module_ httpx = py::module_::import("httpx");
    py::object library_error = py::module_::import("bentoml.exceptions").attr("BentoMLException");
    double pause = 0.1;
    int tries = 0;
    bool refused_only = true;
    const double first = started >= 0 ? started : now_seconds();
    for (;;) {
        try {
            ++tries;
            return OpenedClient{build(), guard};
        } catch (py::error_already_set &e) {
            int status = 0;
            bool retry = e.matches(httpx.attr("NetworkError")) || e.matches(httpx.attr("TimeoutException")) ||
                         e.matches(httpx.attr("RemoteProtocolError"));
            refused_only = refused_only && was_refused(e);
            if (!retry && e.matches(library_error)) {
                status = status_of(e, guard);
                py::str where = where_of(base_url, guard);
                if (is_refusal(status)) {
                    close_http();
                    raise_refused_key(status, where, e);
                }
                retry = status == 429 || (status >= 500 && status < 600);
                if (!retry && status) {
                    close_http();
                    py::object noted = guard.is_none() ? py::none() : py::getattr(guard.attr("local"), "url", py::none());
                    std::string text;
                    py::str shown = !noted.is_none() && utf8_of(py::str(noted), text) ? py::str(hide_password(text))
                                                                                      : where;
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
            const double waited = now_seconds() - first;
            if (!retry || left <= 0 || (refused_only && waited >= kRefusedSeconds)) {
                close_http();
                if (!guard.is_none() && is_unreachable(e)) raise_unreachable(e, guard, tries, waited);
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

py::object guarded_call(py::handle call, py::handle endpoint, py::handle kwargs, py::handle base_url,
                        py::handle timeout, py::handle guard, double seconds, double connect_seconds) {
    try {
        Deadline bounded(guard, std::isnan(seconds) ? seconds_or_negative(timeout) : seconds, connect_seconds);
        return py::reinterpret_borrow<py::object>(call)(endpoint, **py::reinterpret_borrow<py::dict>(kwargs));
    } catch (py::error_already_set &e) {
        py::object httpx = py::module_::import("httpx");
        if (!guard.is_none() && is_unreachable(e)) raise_unreachable(e, guard, 0, 0);
        if (!guard.is_none() && e.matches(httpx.attr("TimeoutException"))) {
            py::str message = py::str("the request took longer than the configured timeout of {} s")
                                  .attr("format")(timeout);
            raise_object_with_context(same_type_with(e, message), e);
        }
        if (e.matches(py::module_::import("bentoml.exceptions").attr("BentoMLException"))) {
            int status = status_of(e, py::none());
            if (is_refusal(status)) raise_refused_key(status, where_of(base_url, guard), e);
        }
        throw;
    }
}

}  // namespace vorna
