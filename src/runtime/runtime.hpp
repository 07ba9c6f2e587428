// What every module body builds with: the function type, classes and node
// classes, module globals and imports, object helpers and exception plumbing.
// Raw reference counting stays in this layer.
#pragma once
#include "classes.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "names.hpp"
#include "objects.hpp"
