// The codec functions of `base`, defined in their own source.
#pragma once
#include "../support/vorna.hpp"

namespace vorna {
// Binds image_to_base64, base64_to_image, base64_to_tensor, tensor_to_base64,
// serialize_with_pyarrow and deserialize_conditioning, in this order.
void define_codecs(py::module_ module);

// `func(data)`, where `func` was looked up as `base64.b64decode`: canonical
// base64 text is decoded in one pass when `func` is the library's own
// function (same bytes, same errors); anything else is a plain call.
py::object call_b64decode(py::handle func, py::handle data);
}  // namespace vorna
