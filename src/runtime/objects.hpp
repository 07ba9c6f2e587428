// Small object helpers with Python's own semantics: truth, equality,
// membership, hasattr, `**mapping`, dicts built in order, and when a value
// may be changed in place.
#pragma once
#include "python.hpp"

#include <initializer_list>
#include <utility>

namespace vorna {

// `hasattr(obj, name)`: only AttributeError means "no"; other errors propagate.
bool has_attribute(py::handle obj, const char *name);

// `bool(value)`, as an `if` sees it; an error from __bool__/__len__ propagates.
bool truth(py::handle value);

// `a == b` as an `if` sees it (no identity shortcut).
bool equals(py::handle a, py::handle b);

// `key in container`, with the interpreter's TypeError for non-containers.
bool contains(py::handle container, const char *key);

// `**payload` for a call of `callee`: any mapping, as the interpreter
// accepts it, copied into a new dict; anything else is the interpreter's
// TypeError naming the callee.
py::dict spread(py::handle callee, py::handle payload);

// A dict with text keys, in the order given: make_dict({{"a", x}, {"b", y}}).
py::dict make_dict(std::initializer_list<std::pair<const char *, py::object>> items);

// Whether `value` may be changed in place instead of copied: a reference
// count of 1 means the caller holds the only reference (a fresh
// intermediate it made), so no Python code can see the change, and an
// image-sized copy is saved. The caller checks that the in-place operation
// gives the same result as the plain one (type, dtype, no autograd).
inline bool unshared(py::handle value) { return Py_REFCNT(value.ptr()) == 1; }

}  // namespace vorna
