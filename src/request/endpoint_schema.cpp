#include "endpoint_schema.hpp"

#include <cstring>
#include <vector>

namespace vorna {
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

py::str shown(py::handle value) { return cut_text(py::repr(value), 40); }

// Where in the schema: "at properties.samples.items".
py::str place(const std::vector<py::object> &path) {
    if (path.empty()) return py::str("at its top");
    py::list parts;
    for (const py::object &step : path) parts.append(cut_text(py::str(step), 40));
    return py::str("at ") + cut_text(py::str(".").attr("join")(parts), 200);
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

}  // namespace

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

}  // namespace vorna
