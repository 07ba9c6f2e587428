#include "service_errors.hpp"

#include "origin_guard.hpp"
#include "transport_errors.hpp"
#include "url_password.hpp"

namespace vorna {
namespace {

// The HTTPStatus of `status`, or None for a code it does not know.
py::object http_status(int status) {
    try {
        return py::module_::import("http").attr("HTTPStatus")(status);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

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

// What went wrong in reaching the service, in plain words, and what to check.
struct Unreached {
    py::str how;
    py::str check;
};

Unreached unreached_how(const py::error_already_set &e, const Guard &guard) {
    py::object cause = system_error_behind(e.value());
    py::module_ socket = py::module_::import("socket");
    py::str host = py::str(py::tuple(guard.origin)[1]);
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
            return {py::str("looking up the address of {} took too long").format(host), name};
        py::object code = py::getattr(cause, "errno", py::none());
        for (const char *absent : {"EAI_NONAME", "EAI_NODATA"})
            if (py::hasattr(socket, absent) && equals(code, socket.attr(absent)))
                return {py::str("the name {} was not found").format(host), name};
        return {py::str("the address of {} could not be looked up").format(host), name};
    }
    if (e.matches(py::module_::import("httpx").attr("ConnectTimeout")) || py::isinstance(cause, PyExc_TimeoutError))
        return {py::str("connecting to it timed out"), running};
    return {py::str("the connection failed"), running};
}

}  // namespace

int status_of(const py::error_already_set &e, const RequestFacts *facts) {
    if (facts && facts->status) return *facts->status;
    py::object status = py::getattr(e.value(), "error_code", py::none());
    if (status.is_none()) return 0;
    try {
        return py::int_(status).cast<int>();
    } catch (py::error_already_set &) {
        return 0;
    }
}

py::str status_text(int status) {
    py::object known = http_status(status);
    if (known.is_none()) return py::str("HTTP {}").format(status);
    return py::str("HTTP {} {}").format(status, known.attr("phrase"));
}

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

py::str where_of(py::handle base_url, py::handle guard) {
    if (!guard.is_none()) return show_origin(native<Guard>(guard).origin);
    std::string url;
    if (!utf8_of(base_url, url)) return py::str("the configured service");
    return py::str(hide_password(url));
}

bool is_unreachable(const py::error_already_set &e) {
    py::module_ httpx = py::module_::import("httpx");
    return e.matches(httpx.attr("ConnectError")) || e.matches(httpx.attr("ConnectTimeout"));
}

bool was_refused(const py::error_already_set &e) {
    return is_unreachable(e) && py::isinstance(system_error_behind(e.value()), PyExc_ConnectionRefusedError);
}

void raise_refused_key(int status, const py::str &where, const py::error_already_set &caught) {
    py::str message = py::str("the service at {} refused the API key ({})").format(where, status_text(status));
    raise_object_with_context(status_error(status, message), caught);
}

void raise_unreachable(const py::error_already_set &e, py::handle guard_object, int tries, double seconds) {
    const Guard &guard = native<Guard>(guard_object);
    const py::object &proxy = guard.proxy ? guard.proxy : py::none();
    py::str via = proxy.is_none() ? py::str("") : py::str(" through the proxy {}").format(proxy);
    Unreached what = unreached_how(e, guard);
    py::str detail = exception_text(e);
    if (tries == 1) detail = py::str("{}; tried once in {:.1f} s").format(detail, py::float_(seconds));
    if (tries > 1) detail = py::str("{}; tried {} times in {:.1f} s").format(detail, tries, py::float_(seconds));
    if (!proxy.is_none())
        what.check = what.check + py::str(", and the proxy settings (HTTP_PROXY, HTTPS_PROXY, ALL_PROXY, NO_PROXY)");
    py::str message = py::str("the service at {}{} cannot be reached: {} ({}); {}")
                          .format(show_origin(guard.origin), via, what.how, detail, what.check);
    raise_restated(e, message);
}

void raise_schema_failed(int status, const py::str &where, py::handle url, const py::error_already_set &caught) {
    std::string text;
    py::str shown = url && !url.is_none() && utf8_of(py::str(url), text) ? py::str(hide_password(text)) : where;
    py::str message = status == 404 ? py::str("no service at {}: its schema request to {} answered {}")
                                          .format(where, shown, status_text(status))
                                    : py::str("the service at {} failed the schema request to {}: {}")
                                          .format(where, shown, status_text(status));
    raise_object_with_context(status_error(status, message), caught);
}

void raise_not_ready(int status, const py::str &where, int tries, double budget, const py::error_already_set &caught) {
    py::str message = py::str("the service at {} did not become ready: its schema request answered {} "
                              "on each of {} tries within {} s")
                          .format(where, status_text(status), tries, py::float_(budget).attr("__format__")("g"));
    raise_object_with_context(status_error(status, message), caught);
}

void raise_timed_out(const py::error_already_set &e, py::handle timeout) {
    raise_restated(e, py::str("the request took longer than the configured timeout of {} s").format(timeout));
}

}  // namespace vorna
