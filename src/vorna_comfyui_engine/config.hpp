// What vorna_comfyui_engine.config offers the other modules' C++ beyond its
// Python names.
#pragma once
#include "../runtime/runtime.hpp"

namespace vorna {

// The one rule for keys, used by every request and by the key-setting node:
// what would keep the key out of an HTTP header (the HTTP layer's own error
// would quote the header, key included), or nullptr when it can be sent.
const char *api_key_problem(py::handle key);

}  // namespace vorna
