#include "origin_guard.hpp"

#include "deadline.hpp"
#include "endpoint_schema.hpp"

namespace vorna {
namespace {

// (scheme, host, port) of an absolute URL or httpx.URL; None for a relative
// one, which the HTTP client resolves against the base URL.
py::object origin_of(py::handle url) {
    py::object u = py::module_::import("httpx").attr("URL")(url);
    if (!truth(u.attr("is_absolute_url"))) return py::none();
    py::object scheme = u.attr("scheme");
    py::object port = u.attr("port");
    if (port.is_none()) {
        if (equals(scheme, py::str("http"))) port = py::int_(80);
        if (equals(scheme, py::str("https"))) port = py::int_(443);
    }
    return py::make_tuple(scheme, u.attr("host"), port);
}

// Every request, redirects included, goes to the configured origin or nowhere.
py::object check_request(PyObject *self, PyObject *request) {
    const Guard &guard = native<Guard>(self);
    py::object origin = origin_of(py::handle(request).attr("url"));
    if (origin.is_none() || !equals(origin, guard.origin)) {
        py::str message = py::str("refused to send a request to {}: the service sent it away from the configured "
                                  "service {}, and the API key goes only to the configured service")
                              .format(origin.is_none() ? py::str("a relative address") : show_origin(origin),
                                      show_origin(guard.origin));
        raise_error(PyExc_PermissionError, message);
    }
    return py::none();
}

// Notes the status and URL of each answer in the request in progress (the
// library's schema error does not say them) and refuses one with a content
// coding before its body is read: none was asked for, and inflating it could
// take any amount of memory.
py::object note_response(PyObject *, PyObject *answer) {
    py::handle response(answer);
    RequestFacts &request = current_request();
    request.status = py::int_(response.attr("status_code")).cast<int>();
    request.url = response.attr("request").attr("url");
    py::object coding = response.attr("headers").attr("get")("content-encoding");
    if (coding.is_none()) return py::none();
    py::object plain = coding.attr("strip")().attr("lower")();
    if (equals(plain, py::str("")) || equals(plain, py::str("identity"))) return py::none();
    py::str message = py::str("the service answered with the content coding {} although none was asked "
                              "for; the answer was refused unread")
                          .format(py::repr(coding[py::slice(0, 40, 1)]));
    raise_error(PyExc_ValueError, message);
}

PyMethodDef kCheckRequest = {"check_request", native_method_o<check_request>, METH_O,
                             "Refuses a request to another origin than the guard's."};
PyMethodDef kNoteResponse = {"note_response", native_method_o<note_response>, METH_O,
                             "Notes an answer's status and URL; refuses a content coding."};

// A hook bound to the guard.
py::object hook(PyMethodDef &def, py::handle guard) {
    PyObject *bound = PyCFunction_New(&def, guard.ptr());
    if (!bound) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(bound);
}

py::object guard_repr(PyObject *self) {
    return py::str("<origin guard for {}>").format(show_origin(native<Guard>(self).origin));
}

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace

py::object http_origin(py::handle url) {
    py::object origin;
    try {
        origin = origin_of(url);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();  // the client reports a bad URL itself
    }
    if (origin.is_none()) return origin;
    py::object scheme = py::tuple(origin)[0];
    if (equals(scheme, py::str("http")) || equals(scheme, py::str("https"))) return origin;
    return py::none();
}

py::str show_origin(py::handle origin) {
    py::tuple o = py::reinterpret_borrow<py::tuple>(origin);
    return cut_text(py::str("{}://{}:{}").format(o[0], o[1], o[2]), 200);
}

const NativeTypeSpec Guard::kType = {"vorna_comfyui_engine._OriginGuard",
                                     "The origin a service client's requests go to, and its HTTP client.", kNoMethods,
                                     nullptr, native_repr<guard_repr>};

py::object new_guard(py::handle pool, py::handle base_url) {
    py::object origin = http_origin(base_url);
    if (origin.is_none()) return origin;
    return make_native<Guard>(Guard{py::reinterpret_borrow<py::object>(pool), origin, py::none(), py::object()});
}

py::dict guard_hooks(py::handle guard) {
    py::dict hooks;
    hooks["request"] = py::make_tuple(hook(kCheckRequest, guard));
    hooks["response"] = py::make_tuple(hook(kNoteResponse, guard));
    return hooks;
}

py::object endpoint_of(py::handle client, py::handle endpoint) {
    py::object endpoints = py::getattr(client, "endpoints", py::none());
    if (!py::isinstance<py::dict>(endpoints)) return py::none();
    PyObject *found = PyDict_GetItemWithError(endpoints.ptr(), endpoint.ptr());
    if (!found) {
        if (PyErr_Occurred()) PyErr_Clear();  // an unhashable name: the client's own call reports it
        return py::none();
    }
    return py::reinterpret_borrow<py::object>(found);
}

void check_endpoint(py::handle client, py::handle endpoint, py::handle guard_object) {
    if (guard_object.is_none()) return;
    const Guard &guard = native<Guard>(guard_object);
    py::object found = endpoint_of(client, endpoint);
    if (found.is_none()) return;  // the client's own call reports it
    py::object what = not_json(found);
    if (!what.is_none())
        raise_error(PyExc_ValueError,
                    py::str("the service's schema declares {} for the endpoint {}; its requests and answers are JSON "
                            "objects only, so nothing was sent")
                        .attr("format")(what, py::repr(endpoint)[py::slice(0, 80, 1)]));
    py::object route = py::getattr(found, "route", py::none());
    if (!py::isinstance<py::str>(route)) return;
    py::object origin = origin_of(route);
    if (origin.is_none() || equals(origin, guard.origin)) return;
    py::str message = py::str("the service's schema sends the endpoint {} to {}, which is not the configured service "
                              "{}: nothing was sent, the API key goes only to the configured service")
                          .attr("format")(py::repr(endpoint)[py::slice(0, 80, 1)],
                                          show_origin(origin),
                                          show_origin(guard.origin));
    raise_error(PyExc_PermissionError, message);
}

}  // namespace vorna
