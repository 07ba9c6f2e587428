#include "origin_guard.hpp"

#include <cstring>
#include <vector>

namespace vorna {
namespace {

// `text`, cut at `most` characters.
py::str cut(py::str text, Py_ssize_t most) {
    return py::len(text) > static_cast<size_t>(most) ? py::str(text[py::slice(0, most, 1)]) + py::str("...") : text;
}

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
    return cut(py::str("{}://{}:{}").attr("format")(o[0], o[1], o[2]), 200);
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

// --- Schemas of plain JSON --------------------------------------------------------------------
// The library's serde turns a value into something else on a schema's word
// (a numpy array for "tensor", a data frame, a file, an image), at any depth.
// Only the types JSON itself has pass, without the keywords that ask for a
// conversion.

constexpr const char *kJsonTypes[] = {"object", "array", "string", "number", "integer", "boolean", "null"};
constexpr const char *kConverting[] = {"format", "dtype", "content_type", "pil"};
// Keywords holding one schema, a mapping of names to schemas, a list of schemas.
constexpr const char *kOneSchema[] = {"additionalProperties", "items", "additionalItems", "not", "contains",
                                      "propertyNames", "if", "then", "else", "unevaluatedItems",
                                      "unevaluatedProperties"};
constexpr const char *kSchemaMaps[] = {"properties", "patternProperties", "$defs", "definitions", "dependentSchemas"};
constexpr const char *kSchemaLists[] = {"anyOf", "allOf", "oneOf", "prefixItems", "items"};
// Real schemas nest a handful of levels; this keeps the walk off deep C stacks.
constexpr int kMostSchemaDepth = 64;

py::str shown(py::handle value) { return cut(py::repr(value), 40); }

// Where in the schema: "at properties.samples.items".
py::str place(const std::vector<py::object> &path) {
    if (path.empty()) return py::str("at its top");
    py::list parts;
    for (const py::object &step : path) parts.append(cut(py::str(step), 40));
    return py::str("at ") + cut(py::str(".").attr("join")(parts), 200);
}

// One step down the schema, taken back when the walk returns.
struct Step {
    Step(std::vector<py::object> &path, py::object key) : path_(path) { path_.push_back(std::move(key)); }
    ~Step() { path_.pop_back(); }
    std::vector<py::object> &path_;
};

bool is_json_type(py::handle type) {
    for (const char *name : kJsonTypes)
        if (is_text(type, name)) return true;
    return false;
}

// What in `schema`, `depth` schemas down, is not plain JSON, or None. `path`
// leads to it.
py::object not_plain(py::handle schema, std::vector<py::object> &path, int depth = 0) {
    if (PyBool_Check(schema.ptr())) return py::none();  // `true` or `false` as a whole schema
    if (!py::isinstance<py::dict>(schema))
        return py::str("{} where a JSON schema belongs {}").format(shown(schema), place(path));
    if (depth > kMostSchemaDepth)
        return py::str("a schema nested more than {} levels deep").format(kMostSchemaDepth);
    py::dict node = py::reinterpret_borrow<py::dict>(schema);
    if (PyObject *type = PyDict_GetItemString(node.ptr(), "type")) {
        py::handle t(type);
        bool plain = is_json_type(t);
        if (py::isinstance<py::list>(t)) {
            plain = true;
            for (py::handle each : t) plain = plain && is_json_type(each);
        }
        if (!plain) return py::str("the type {} {}").format(shown(t), place(path));
    }
    for (const char *keyword : kConverting)
        if (PyObject *value = PyDict_GetItemString(node.ptr(), keyword))
            return py::str("{}: {} {}").format(shown(py::str(keyword)), shown(py::handle(value)), place(path));
    for (const char *keyword : kOneSchema) {
        py::handle child(PyDict_GetItemString(node.ptr(), keyword));
        if (!child || py::isinstance<py::list>(child)) continue;  // a list of `items`: below
        Step step(path, py::str(keyword));
        if (py::object problem = not_plain(child, path, depth + 1); !problem.is_none()) return problem;
    }
    for (const char *keyword : kSchemaMaps) {
        py::handle children(PyDict_GetItemString(node.ptr(), keyword));
        if (!children) continue;
        if (!py::isinstance<py::dict>(children))
            return py::str("{} {} {}, not a mapping of schemas").format(py::str(keyword), shown(children), place(path));
        Step step(path, py::str(keyword));
        for (auto item : py::reinterpret_borrow<py::dict>(children)) {
            Step name(path, py::reinterpret_borrow<py::object>(item.first));
            if (py::object problem = not_plain(item.second, path, depth + 1); !problem.is_none()) return problem;
        }
    }
    for (const char *keyword : kSchemaLists) {
        py::handle children(PyDict_GetItemString(node.ptr(), keyword));
        if (!children || (!py::isinstance<py::list>(children) && std::strcmp(keyword, "items") == 0)) continue;
        if (!py::isinstance<py::list>(children))
            return py::str("{} {} {}, not a list of schemas").format(py::str(keyword), shown(children), place(path));
        Step step(path, py::str(keyword));
        Py_ssize_t index = 0;
        for (py::handle child : children) {
            Step at(path, py::int_(index++));
            if (py::object problem = not_plain(child, path, depth + 1); !problem.is_none()) return problem;
        }
    }
    return py::none();
}

// What the endpoint's schema declares other than JSON objects in and out,
// or None: the library streams, uploads files, writes answers to temporary
// files, opens them as images or builds arrays on the schema's word.
py::object not_json(py::handle found) {
    if (truth(py::getattr(found, "stream_output", py::bool_(false)))) return py::str("a streamed answer");
    py::object output = py::getattr(found, "output", py::none());
    py::object input = py::getattr(found, "input", py::none());
    if (!py::isinstance<py::dict>(output) || !py::isinstance<py::dict>(input)) return py::str("no JSON schema");
    py::dict out = py::reinterpret_borrow<py::dict>(output);
    py::dict in = py::reinterpret_borrow<py::dict>(input);
    py::object type = out.attr("get")("type");
    if (is_text(type, "file") || truth(out.attr("get")("pil"))) return py::str("a file answer");
    if (is_text(type, "string")) return py::str("a text answer");
    for (py::dict side : {out, in}) {
        py::object media = side.attr("get")("media_type");
        if (!media.is_none() && !is_text(media, "application/json")) return py::str("a content type other than JSON");
    }
    if (truth(in.attr("get")("root_input"))) return py::str("a single raw input");
    py::object properties = in.attr("get")("properties");
    if (py::isinstance<py::dict>(properties))
        for (py::handle property : py::reinterpret_borrow<py::dict>(properties).attr("values")())
            if (declares_file(property)) return py::str("a file input (sent as multipart)");
    struct Side {
        py::dict schema;
        const char *name, *as_a_whole;
    };
    for (const Side &side : {Side{out, "answer", "an answer"}, Side{in, "input", "an input"}}) {
        py::object top = side.schema.attr("get")("type");
        if (!is_text(top, "object"))
            return py::str("{} of the type {} where a JSON object belongs").format(py::str(side.as_a_whole), shown(top));
        std::vector<py::object> path;
        py::object problem = not_plain(side.schema, path);
        if (!problem.is_none()) return py::str("{} in its {}").format(problem, py::str(side.name));
    }
    return py::none();
}

}  // namespace

void check_endpoint(py::handle client, py::handle endpoint, py::handle guard) {
    if (guard.is_none()) return;
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
    if (origin.is_none() || equals(origin, guard.attr("origin"))) return;
    py::str message = py::str("the service's schema sends the endpoint {} to {}, which is not the configured service "
                              "{}: nothing was sent, the API key goes only to the configured service")
                          .attr("format")(py::repr(endpoint)[py::slice(0, 80, 1)],
                                          show_origin(origin),
                                          show_origin(guard.attr("origin")));
    raise_error(PyExc_PermissionError, message);
}

}  // namespace vorna
