// The codec functions of `base`, and the decoding of service answers that
// `base`'s codecs and the node modules share, each through the globals of
// the module it serves.
#pragma once
#include "../codec/answers.hpp"

namespace vorna {

// Binds image_to_base64, base64_to_image, base64_to_tensor, tensor_to_base64,
// serialize_with_pyarrow and deserialize_conditioning, in this order.
void define_codecs(py::module_ base);

// The limit of the answers a node decodes itself: `node.MAX_ANSWER_BYTES`,
// read when the answer's first size is checked.
AnswerLimit node_answer_limit(py::handle node);

// How a decoding finds `base64` and `torch`: as globals of the calling
// module, read when used (so that they can be patched), or by an import
// inside the call.
enum class Libraries { globals, imported };

// An encoded tensor answer decoded: `base64.b64decode(data)`, then the
// archive torch.save wrote read by the strict reader (tensor_answer.hpp),
// which builds the tensors with `torch` and counts them against `limit`.
py::object decode_tensor_answer(py::handle module, Libraries libraries, py::handle data, AnswerLimit limit);

// An encoded image answer decoded into a float32 [1, H, W, 3] tensor in 0..1,
// through `module`'s `base64`, `io`, `Image`, `np` and `torch`: `b64decode`,
// `BytesIO`, `Image.open` (the accepted formats only, the size checked
// against `limit` before decoding), `convert("RGB")`, `np.array`,
// `astype(np.float32)`, divided by 255.0, `torch.from_numpy`, a leading axis
// added.
py::object decode_image_answer(py::handle module, py::handle data, AnswerLimit limit);

}  // namespace vorna
