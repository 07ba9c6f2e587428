#include "classes.hpp"

#include "names.hpp"
#include "objects.hpp"

#include <string>

namespace vorna {

py::object make_class(py::handle module, const char *name, py::tuple bases,
                      const std::vector<std::pair<const char *, py::object>> &body) {
    py::dict ns;
    ns["__module__"] = py::getattr(module, "__name__");
    ns["__qualname__"] = py::str(name);
    for (const auto &item : body) {
        if (FunctionObject *f = defined_function(item.second))
            Py_SETREF(f->qualname, py::str(std::string(name) + "." + f->def->name).release().ptr());
        ns[item.first] = item.second;
    }
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
    return meta(py::str(name), bases, ns);
}

void define_node_class(py::handle module, py::tuple bases, const NodeClass &node) {
    std::vector<std::pair<const char *, py::object>> body;
    if (node.doc) body.emplace_back("__doc__", py::str(node.doc));
    body.emplace_back("INPUT_TYPES", make_classmethod(module, node.input_types));
    py::tuple return_types(node.return_types.size());
    size_t i = 0;
    for (const char *type : node.return_types) return_types[i++] = py::str(type);
    body.emplace_back("RETURN_TYPES", return_types);
    body.emplace_back("FUNCTION", py::str(node.entry.name));
    body.emplace_back("CATEGORY", py::str(node.category));
    body.emplace_back("DESCRIPTION", py::str(node.description));
    body.insert(body.end(), node.extra.begin(), node.extra.end());
    body.emplace_back(node.entry.name, make_function(module, node.entry, node.entry_options));
    bind(module, node.name, make_class(module, node.name, bases, body));
}

void define_loader_module(py::module_ module, const NodeClass &node, const char *key) {
    from_import(module, "base", {"NodeIO", "BaseNode"}, 1);
    define_node_class(module, py::make_tuple(global(module, "BaseNode")), node);
    register_nodes(module, {{key, node.name, key}});
}

void register_nodes(py::handle module, std::initializer_list<NodeRow> rows) {
    py::dict classes, names;
    for (const NodeRow &row : rows) classes[row.key] = global(module, row.class_name);
    for (const NodeRow &row : rows) names[row.key] = py::str(row.display_name);
    bind(module, "NODE_CLASS_MAPPINGS", classes);
    bind(module, "NODE_DISPLAY_NAME_MAPPINGS", names);
}

py::tuple node_input(const char *type) { return py::make_tuple(py::str(type)); }
py::tuple node_input(const char *type, py::dict options) { return py::make_tuple(py::str(type), options); }
py::tuple node_input(std::initializer_list<const char *> choices, py::dict options) {
    py::list names;
    for (const char *choice : choices) names.append(py::str(choice));
    return py::make_tuple(names, options);
}

py::object inputs_of(py::handle value) {
    return has_attribute(value, "inputs") ? py::object(value.attr("inputs")) : py::none();
}

py::object as_float32(py::handle value) {
    py::object torch = loaded_module("torch");
    if (torch.is_none() || !py::isinstance(value, torch.attr("Tensor"))) return py::reinterpret_borrow<py::object>(value);
    py::object dtype = value.attr("dtype");
    if (!truth(dtype.attr("is_floating_point")) || py::int_(dtype.attr("itemsize")).cast<Py_ssize_t>() >= 4)
        return py::reinterpret_borrow<py::object>(value);
    return value.attr("float")();
}

py::object describe_node(FunctionObject *self, py::handle *args) {
    py::object node_io = global(self, "NodeIO");
    py::dict inputs;
    const auto &params = self->def->params;
    for (size_t i = 1; i < params.size(); ++i) inputs[params[i]] = args[i];
    return py::make_tuple(node_io(py::arg("name") = self->def->node_name, py::arg("inputs") = inputs));
}

}  // namespace vorna
