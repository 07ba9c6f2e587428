// What a service's schema may declare for an endpoint: JSON objects in and
// out. The library's serde turns a value into something else on a schema's
// word (a numpy array for "tensor", a data frame, a file, an image, a
// stream), at any depth; only the types JSON itself has pass, without the
// keywords that ask for a conversion.
#pragma once
#include "common.hpp"

namespace vorna {

// What the endpoint's schema (the library's endpoint record) declares other
// than JSON objects in and out, in words ("a streamed answer", "the type
// 'tensor' at properties.x in its answer"), or None.
py::object not_json(py::handle endpoint);

}  // namespace vorna
