// Module namespaces: binding names, the call-time lookup of a module global
// (the late binding Python does), and import statements.
#pragma once
#include "function.hpp"

#include <initializer_list>

namespace vorna {

// Call-time lookup of a module global, then of builtins; NameError otherwise.
py::object global(FunctionObject *self, const char *name);
py::object global(py::handle module, const char *name);

// `from <relative> import a, b` with level 1, relative to `module`.
py::object import_from(py::handle module, const char *name,
                       std::initializer_list<const char *> names, int level = 1);

// `from <name> import a, b` (level 0 absolute, 1 relative to `module`):
// binds each imported name in the module namespace, in order.
void from_import(py::handle module, const char *name, std::initializer_list<const char *> names,
                 int level = 0);

// `import <name>` bound as `as_name` (the top-level module, or with a dotted
// name and an alias the named submodule, as `import a.b as c` does).
py::object import_as(py::handle module, const char *name, const char *as_name);

// The module sys.modules holds under `name`, or None; never imports.
py::object loaded_module(const char *name);

// Binds `name` in the module namespace.
void bind(py::handle module, const char *name, py::handle value);

}  // namespace vorna
