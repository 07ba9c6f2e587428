// The codec functions of `base`, and the decoding of answers that `base`'s
// codecs and the nodes share.
#pragma once
#include "../runtime/runtime.hpp"

namespace vorna {
// Binds image_to_base64, base64_to_image, base64_to_tensor, tensor_to_base64,
// serialize_with_pyarrow and deserialize_conditioning, in this order.
void define_codecs(py::module_ module);

// `func(data)`, where `func` was looked up as `base64.b64decode`: canonical
// base64 text is decoded in one pass when `func` is the library's own
// function (same bytes, same errors); anything else is a plain call.
py::object call_b64decode(py::handle func, py::handle data);

// How a decoding helper finds `base64`, `io` and `torch`: as globals of the
// calling module, read when used (so that they can be patched), or by an
// import inside the call.
enum class Libraries { globals, imported };

// An encoded tensor answer decoded: `torch.load(io.BytesIO(base64.b64decode(data)),
// map_location="cpu")`, checked against the answer limit before and after
// loading, and loading tensors and plain containers only.
py::object decode_tensor_answer(py::handle module, Libraries libraries, py::handle data);

// An encoded image answer decoded into a float32 [1, H, W, 3] tensor in 0..1,
// through the calling module's `base64`, `io`, `Image`, `np` and `torch`:
// `b64decode`, `BytesIO`, `Image.open` (the accepted formats only, the size
// checked before decoding), `convert("RGB")`, `np.array`, `astype(np.float32)`,
// divided by 255.0, `torch.from_numpy`, a leading axis added.
py::object decode_image_answer(py::handle module, py::handle data);
}  // namespace vorna
