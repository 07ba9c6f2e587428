#include "opening.hpp"

#include "deadline.hpp"
#include "origin_guard.hpp"
#include "url_password.hpp"

#include <algorithm>

namespace vorna {
namespace {

// The least time one try to reach the service gets, however little of the
// readiness budget is left.
constexpr double kLeastTrySeconds = 5.0;

// Seconds an idle connection is kept for the next request: less than
// servers commonly keep one (5 s), so a kept connection is rarely found
// closed when a request goes out.
constexpr double kKeepIdleSeconds = 4.0;

// The HTTP client the library would build for `base_url`, with the guard's
// hooks, no content coding asked for, and deadline-bounded connections.
py::object make_http_client(py::handle module, py::handle base_url, py::handle token, py::handle timeout,
                            py::handle guard) {
    py::object httpx = py::module_::import("httpx");
    py::dict headers;
    headers["User-Agent"] = py::str("BentoML HTTP Client/") + py::str(py::module_::import("bentoml").attr("__version__"));
    py::object key = token.is_none() ? py::module_::import("os").attr("getenv")("BENTO_CLOUD_API_KEY")
                                     : py::reinterpret_borrow<py::object>(token);
    if (truth(key)) headers["Authorization"] = py::str("Bearer {}").attr("format")(key);
    headers["Accept-Encoding"] = "identity";
    py::object limits = httpx.attr("Limits")(py::arg("max_connections") = 100, py::arg("max_keepalive_connections") = 20,
                                             py::arg("keepalive_expiry") = kKeepIdleSeconds);
    py::object client = httpx.attr("Client")(py::arg("base_url") = base_url, py::arg("headers") = headers,
                                             py::arg("timeout") = timeout, py::arg("follow_redirects") = true,
                                             py::arg("event_hooks") = guard_hooks(module, guard),
                                             py::arg("limits") = limits);
    // Every pool of the client (direct, and one per proxy from the
    // environment) opens its connections through the deadline backend.
    py::list transports;
    transports.append(client.attr("_transport"));
    for (py::handle t : client.attr("_mounts").attr("values")())
        if (!t.is_none()) transports.append(t);
    for (py::handle t : transports) {
        py::object pool = py::getattr(t, "_pool", py::none());
        if (pool.is_none() || !py::hasattr(pool, "_network_backend")) continue;
        pool.attr("_network_backend") = deadline_backend(module, guard.attr("local"));
    }
    return client;
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

    // One HTTP client for all attempts: one set of TLS settings, and a
    // connection the service kept open is used again.
    py::object http = py::none();
    double budget = ready_budget(timeout, ready_timeout);
    const double deadline = (started >= 0 ? started : now_seconds()) + std::max(budget, 0.0);
    auto remaining = [&] { return deadline - now_seconds(); };
    auto build = [&]() -> py::object {
        if (guard.is_none())
            return client_type(base_url, py::arg("token") = token, py::arg("timeout") = timeout,
                               py::arg("server_ready_timeout") = 0);
        if (http.is_none()) http = make_http_client(module, base_url, token, timeout, guard);
        py::setattr(guard.attr("local"), "status", py::none());
        py::setattr(guard.attr("local"), "url", py::none());
        py::object client = client_type.attr("__new__")(client_type);
        // The library builds its HTTP client on first use; this one is already there.
        client.attr("__dict__")["client"] = http;
        Deadline bounded(guard, try_seconds(timeout, remaining()));
        client_type.attr("__init__")(client, base_url, py::arg("token") = token, py::arg("timeout") = timeout,
                                     py::arg("server_ready_timeout") = 0);
        return client;
    };
    auto close_http = [&] {
        if (!http.is_none()) http.attr("close")();
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
            if (!retry || left <= 0) {
                close_http();
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

}  // namespace vorna
