#include "native.hpp"

#include "classes.hpp"

namespace vorna {

py::object make_state_class(py::handle module, const char *name, py::handle base,
                            std::vector<std::pair<const char *, py::object>> body) {
    body.insert(body.begin(), {"__slots__", py::make_tuple("_state")});
    return make_class(module, name, py::make_tuple(base), body);
}

py::object new_with_state(py::handle cls, py::object state) {
    py::object instance = py::reinterpret_borrow<py::object>(cls)();
    if (PyObject_SetAttrString(instance.ptr(), "_state", state.ptr()) < 0) throw py::error_already_set();
    return instance;
}

}  // namespace vorna
