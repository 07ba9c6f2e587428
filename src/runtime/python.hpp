// The interpreter's C API and pybind11's handles, included the same way by
// every file of the package.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;
