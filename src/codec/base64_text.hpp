// base64 text of the codecs and answers, in one pass where the standard
// library's own functions are the ones asked for: the same text and bytes,
// and the same errors, as base64.b64encode and base64.b64decode; anything
// else (a patched function, a buffer of another type) is called as it is.
#pragma once
#include "../runtime/runtime.hpp"

namespace vorna {

// `base64.b64encode(buffer.getvalue()).decode("utf-8")` for an in-memory
// buffer, `base64` the module (or what stands for it).
py::object encode_bytesio(py::handle base64, py::handle buffer);

// `base64.b64encode(data).decode("utf-8")` for bytes-like `data`.
py::object encode_bytes(py::handle base64, py::handle data);

// `func(data)`, where `func` was looked up as `base64.b64decode`: canonical
// base64 text is decoded in one pass when `func` is the library's own
// function (same bytes, same errors); anything else is a plain call.
py::object call_b64decode(py::handle func, py::handle data);

}  // namespace vorna
