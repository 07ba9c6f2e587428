#include "origin_guard.hpp"

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
py::object guard_request(FunctionObject *, py::handle *args) {
    py::handle guard = args[0];
    py::object origin = origin_of(args[1].attr("url"));
    if (origin.is_none() || !equals(origin, guard.attr("origin"))) {
        py::str message = py::str("refused to send a request to {}: the service sent it away from the configured "
                                  "service {}, and the API key goes only to the configured service")
                              .attr("format")(origin.is_none() ? py::str("a relative address") : show_origin(origin),
                                              show_origin(guard.attr("origin")));
        raise_error(PyExc_PermissionError, message);
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
    py::object local = guard.attr("local");
    py::setattr(local, "status", response.attr("status_code"));
    py::setattr(local, "url", response.attr("request").attr("url"));
    py::object coding = response.attr("headers").attr("get")("content-encoding");
    if (coding.is_none()) return py::none();
    py::object plain = coding.attr("strip")().attr("lower")();
    if (equals(plain, py::str("")) || equals(plain, py::str("identity"))) return py::none();
    py::str message = py::str("the service answered with the content coding {} although none was asked "
                              "for; the answer was refused unread")
                          .attr("format")(py::repr(coding[py::slice(0, 40, 1)]));
    raise_error(PyExc_ValueError, message);
}

const FunctionDef kGuardRequest{"guard_request", {"guard", "request"}, guard_request};
const FunctionDef kRecordResponse{"record_response", {"guard", "response"}, record_response};

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
    py::str text = py::str("{}://{}:{}").attr("format")(o[0], o[1], o[2]);
    if (py::len(text) > 200) text = py::str(text[py::slice(0, 200, 1)]) + py::str("...");
    return text;
}

py::object new_guard(py::handle module, py::handle base_url) {
    py::object origin = http_origin(base_url);
    if (origin.is_none()) return origin;
    return py::module_::import("types").attr("SimpleNamespace")(
        py::arg("origin") = origin, py::arg("local") = py::module_::import("threading").attr("local")(),
        py::arg("http") = py::none(), py::arg("proxy") = py::none());
}

py::dict guard_hooks(py::handle module, py::handle guard) {
    py::object partial = py::module_::import("functools").attr("partial");
    py::dict hooks;
    hooks["request"] = py::make_tuple(partial(make_function(module, kGuardRequest), guard));
    hooks["response"] = py::make_tuple(partial(make_function(module, kRecordResponse), guard));
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

namespace {

bool is_text(py::handle value, const char *text) { return equals(value, py::str(text)); }

// A file, or a list of files, in a schema's type.
bool declares_file(py::handle property) {
    if (!py::isinstance<py::dict>(property)) return false;
    py::dict p = py::reinterpret_borrow<py::dict>(property);
    if (is_text(p.attr("get")("type"), "file")) return true;
    py::object items = p.attr("get")("items");
    return is_text(p.attr("get")("type"), "array") && declares_file(items);
}

// What the endpoint's schema declares other than JSON in and JSON out, or
// nullptr: the library streams, uploads files, writes answers to temporary
// files or opens them as images on the schema's word.
const char *not_json(py::handle found) {
    if (truth(py::getattr(found, "stream_output", py::bool_(false)))) return "a streamed answer";
    py::object output = py::getattr(found, "output", py::none());
    py::object input = py::getattr(found, "input", py::none());
    if (!py::isinstance<py::dict>(output) || !py::isinstance<py::dict>(input)) return "no JSON schema";
    py::dict out = py::reinterpret_borrow<py::dict>(output);
    py::dict in = py::reinterpret_borrow<py::dict>(input);
    py::object type = out.attr("get")("type");
    if (is_text(type, "file") || truth(out.attr("get")("pil"))) return "a file answer";
    if (is_text(type, "string")) return "a text answer";
    for (py::dict side : {out, in}) {
        py::object media = side.attr("get")("media_type");
        if (!media.is_none() && !is_text(media, "application/json")) return "a content type other than JSON";
    }
    if (truth(in.attr("get")("root_input"))) return "a single raw input";
    py::object properties = in.attr("get")("properties");
    if (py::isinstance<py::dict>(properties))
        for (py::handle property : py::reinterpret_borrow<py::dict>(properties).attr("values")())
            if (declares_file(property)) return "a file input (sent as multipart)";
    return nullptr;
}

}  // namespace

void check_endpoint(py::handle client, py::handle endpoint, py::handle guard) {
    if (guard.is_none()) return;
    py::object found = endpoint_of(client, endpoint);
    if (found.is_none()) return;  // the client's own call reports it
    if (const char *what = not_json(found))
        raise_error(PyExc_ValueError,
                    py::str("the service's schema declares {} for the endpoint {}; its requests and answers are JSON "
                            "objects only, so nothing was sent")
                        .attr("format")(what, py::repr(endpoint)[py::slice(0, 80, 1)]));
    py::object route = py::getattr(found, "route", py::none());
    if (!py::isinstance<py::str>(route)) return;
    py::object origin = origin_of(route);
    if (origin.is_none() || equals(origin, guard.attr("origin"))) return;
    py::str message = py::str("the service's schema sends the endpoint {} to {}, which is not the configured service "
                              "{}: nothing was sent, the API key goes only to the configured service")
                          .attr("format")(py::repr(endpoint)[py::slice(0, 80, 1)],
                                          show_origin(origin),
                                          show_origin(guard.attr("origin")));
    raise_error(PyExc_PermissionError, message);
}

}  // namespace vorna
