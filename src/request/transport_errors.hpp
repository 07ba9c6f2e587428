// Errors at the seams to httpcore and httpx, raised the way those libraries
// raise their own: a network stream's errors as httpcore's, httpcore's as
// httpx's (`raise <mapped>(str(e)) from e`), and the package's own words for
// an error the caller gets, in the error's own type.
#pragma once
#include "common.hpp"

#include <initializer_list>

namespace vorna {

// Raises `<library>.<name>(message)`; a `cause`, when given, becomes its
// __cause__ and __context__, as `raise ... from cause` inside `except` sets them.
[[noreturn]] void raise_library_error(const char *library, const char *name, const py::str &message,
                                      py::object cause = py::object());

// One row of a mapping: an error matching `from` becomes `<library>.<to>`.
struct ErrorMapping {
    py::object from;
    const char *to;
};

// `e` as the first row it matches (its text, `from e`); `e` unchanged when
// it matches none.
[[noreturn]] void raise_mapped(const py::error_already_set &e, const char *library,
                               std::initializer_list<ErrorMapping> rows);

// An httpcore error as httpx's of the same name, the more specific first,
// as httpx's own transport maps them; anything else unchanged.
[[noreturn]] void raise_as_httpx(const py::error_already_set &e);

// An error of `e`'s own type saying `message` (with its request, for httpx's
// errors), `e` as its context.
[[noreturn]] void raise_restated(const py::error_already_set &e, const py::str &message);

}  // namespace vorna
