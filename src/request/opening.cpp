#include "opening.hpp"

#include "../runtime/native.hpp"
#include "deadline.hpp"
#include "http_client.hpp"
#include "origin_guard.hpp"
#include "service_errors.hpp"
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

// The pauses between tries: growing from 0.1 s to 1 s.
constexpr double kFirstPause = 0.1, kLongestPause = 1.0;

// --- Building the client ---------------------------------------------------------------------

// The library's client builds its HTTP client on first use of its `client`
// property, as `self.client_cls(base_url=..., transport=..., headers=...,
// timeout=..., follow_redirects=True)` from its own URL, headers and
// timeout. Bound to a guard, this stands in for `client_cls`: it builds the
// package's guarded HTTP client from the same. The library passes a
// transport only for URLs that are not http(s), which have no guard.
py::object guarded_http_client(PyObject *guard_object, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"base_url", "transport", "headers", "timeout", "follow_redirects", nullptr};
    PyObject *url = nullptr, *transport = Py_None, *headers = Py_None, *timeout = Py_None, *follow = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:client_cls", const_cast<char **>(names), &url, &transport,
                                     &headers, &timeout, &follow))
        throw py::error_already_set();
    Guard &guard = native<Guard>(guard_object);
    // One HTTP client for all attempts to open: one set of TLS settings, and
    // a connection the service kept open is used again.
    if (guard.http && !truth(guard.http.attr("is_closed"))) return guard.http;
    py::object http = make_http_client(guard_object, url, headers, timeout);
    guard.http = http;
    return http;
}

PyMethodDef kGuardedHttpClient = {"client_cls", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                                    native_method_kw<guarded_http_client>)),
                                  METH_VARARGS | METH_KEYWORDS, "Builds the package's guarded HTTP client."};

// `client_type(url, token=..., timeout=..., server_ready_timeout=0)` with the
// guarded HTTP client in place of the library's: made as type.__call__
// makes it, but with `client_cls` in the new instance's namespace before
// its __init__ runs (where the library reads it), so no subclass of a client
// type chosen at run time is needed.
py::object construct_guarded(const RequestSettings &s, py::handle guard, py::handle url) {
    auto *type = reinterpret_cast<PyTypeObject *>(s.client_type.ptr());
    py::tuple args = py::make_tuple(url);
    py::dict kwargs;
    kwargs["token"] = s.token;
    kwargs["timeout"] = s.timeout;
    kwargs["server_ready_timeout"] = 0;
    PyObject *made = type->tp_new(type, args.ptr(), kwargs.ptr());
    if (!made) throw py::error_already_set();
    py::object client = py::reinterpret_steal<py::object>(made);
    if (!PyObject_TypeCheck(made, type)) return client;
    PyObject *factory = PyCFunction_New(&kGuardedHttpClient, guard.ptr());
    if (!factory) throw py::error_already_set();
    py::object build = py::reinterpret_steal<py::object>(factory);
    py::object ns = client.attr("__dict__");  // vars(client)["client_cls"] = build
    if (PyObject_SetItem(ns.ptr(), py::str("client_cls").ptr(), build.ptr()) < 0) throw py::error_already_set();
    if (type->tp_init && type->tp_init(made, args.ptr(), kwargs.ptr()) < 0) throw py::error_already_set();
    return client;
}

// A library client that built its HTTP client some other way has sent
// without the guard: its call fails instead of going on unguarded.
void check_guarded(py::handle client, py::handle guard_object) {
    const Guard &guard = native<Guard>(guard_object);
    py::object dict = py::getattr(client, "__dict__", py::none());
    py::object used = py::isinstance<py::dict>(dict) ? py::reinterpret_borrow<py::dict>(dict).attr("get")("client")
                                                     : py::none();
    if (guard.http && used.is(guard.http)) return;
    if (!used.is_none() && py::hasattr(used, "close")) used.attr("close")();
    raise_error(PyExc_RuntimeError,
                py::str("the service client of bentoml {} did not take the package's guarded HTTP client, so the "
                        "request deadline and the origin guard cannot be installed; install the versions named in "
                        "requirements.txt")
                    .format(py::module_::import("bentoml").attr("__version__")));
}

// One try to open a client within `seconds`: its schema request (with the
// guarded HTTP client, when there is a guard), and nothing else.
py::object build_client(const RequestSettings &s, py::handle guard, RequestFacts &facts, double seconds) {
    if (guard.is_none())
        return s.client_type(s.base_url, py::arg("token") = s.token, py::arg("timeout") = s.timeout,
                             py::arg("server_ready_timeout") = 0);
    Deadline bounded(facts, s.answer_limit, seconds);
    // The service is authorised by the API key alone: user information in
    // the URL would be sent as Basic authorisation in place of the key, and
    // shown in the HTTP layer's own log records.
    py::object client = construct_guarded(s, guard, without_user_info(s.base_url));
    check_guarded(client, guard);
    return client;
}

void close_http(py::handle guard) {
    if (guard.is_none()) return;
    const py::object &http = native<Guard>(guard).http;
    if (http) http.attr("close")();
}

// --- Waiting for readiness -------------------------------------------------------------------

// What a failed try says: whether waiting may mend it (a service down,
// starting or busy: no connection, 5xx, 429), and the status its schema
// request answered (0: none).
struct Failure {
    bool may_wait;
    int status;
};

Failure judge(const py::error_already_set &e, const RequestFacts &facts) {
    py::module_ httpx = py::module_::import("httpx");
    if (e.matches(httpx.attr("NetworkError")) || e.matches(httpx.attr("TimeoutException")) ||
        e.matches(httpx.attr("RemoteProtocolError")))
        return {true, 0};
    if (!e.matches(py::module_::import("bentoml.exceptions").attr("BentoMLException"))) return {false, 0};
    const int status = status_of(e, &facts);
    return {status == 429 || (status >= 500 && status < 600), status};
}

// The call fails with what the last try met, in the package's words.
[[noreturn]] void fail(const py::error_already_set &e, const Failure &failure, const RequestSettings &s,
                       py::handle guard, const RequestFacts &facts, int tries, double waited) {
    const py::str where = where_of(s.base_url, guard);
    if (is_refusal(failure.status)) raise_refused_key(failure.status, where, e);
    if (!failure.may_wait && failure.status) raise_schema_failed(failure.status, where, facts.url, e);
    if (!guard.is_none() && is_unreachable(e)) raise_unreachable(e, guard, tries, waited);
    if (!failure.may_wait || !failure.status) throw e;
    raise_not_ready(failure.status, where, tries, s.ready_seconds(), e);
}

}  // namespace

bool is_library_client(py::handle client_type) {
    py::object library = py::module_::import("bentoml").attr("SyncHTTPClient");
    if (!PyType_Check(client_type.ptr())) return false;
    int mine = PyObject_IsSubclass(client_type.ptr(), library.ptr());
    if (mine < 0) throw py::error_already_set();
    return mine == 1;
}

// One try reaches the service within the readiness budget (a listener that
// never answers must not hold a call for a whole request timeout per try),
// but always gets a few seconds, and never more than a request.
double try_seconds(const RequestSettings &s, double remaining) {
    const double request = s.request_seconds();
    const double reach = std::max(remaining, kLeastTrySeconds);
    return request > 0 ? std::min(request, reach) : reach;
}

OpenedClient open_client(py::handle pool, const RequestSettings &s, double started) {
    py::object guard = is_library_client(s.client_type) ? new_guard(pool, s.base_url) : py::none();
    const double first = started >= 0 ? started : now_seconds();
    const double deadline = first + s.ready_seconds();
    double pause = kFirstPause;
    int tries = 0;
    bool refused_only = true;
    for (;;) {
        RequestFacts facts;
        try {
            ++tries;
            return OpenedClient{build_client(s, guard, facts, try_seconds(s, deadline - now_seconds())), guard};
        } catch (py::error_already_set &e) {
            const Failure failure = judge(e, facts);
            refused_only = refused_only && was_refused(e);
            const double left = deadline - now_seconds();
            const double waited = now_seconds() - first;
            if (failure.may_wait && left > 0 && !(refused_only && waited >= kRefusedSeconds)) {
                py::module_::import("time").attr("sleep")(std::min(pause, left));
                pause = std::min(pause * 2, kLongestPause);
                continue;
            }
            close_http(guard);
            fail(e, failure, s, guard, facts, tries, waited);
        }
    }
}

}  // namespace vorna
