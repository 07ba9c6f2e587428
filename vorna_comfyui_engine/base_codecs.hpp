// The codec functions of `base`, defined in their own source.
#pragma once
#include "../support/vorna.hpp"

namespace vorna {
// Binds image_to_base64, base64_to_image, base64_to_tensor, tensor_to_base64,
// serialize_with_pyarrow and deserialize_conditioning, in this order.
void define_codecs(py::module_ module) __attribute__((weak, visibility("hidden")));
}  // namespace vorna
