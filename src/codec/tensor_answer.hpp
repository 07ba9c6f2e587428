// Tensor answers of the service, checked against the answer limit before
// anything of them is loaded.
#pragma once
#include "answers.hpp"

namespace vorna {

// `torch.load(buffer, map_location="cpu", weights_only=True)`, where `buffer`
// holds the bytes `raw`. Before loading, the archive's layout must be the one
// torch.save writes (one central directory, where the end record says;
// records stored, not compressed, one after the other with nothing between
// them) and its records must fit what is left of the answer's limit; a stream
// in the legacy format, whose sizes can only be learnt by allocating them, is
// refused. After loading, every tensor must have non-negative strides and all
// of them together at most what is left, in elements times element size.
// Refusals raise ValueError. `module` is the calling module.
py::object load_tensor_answer(py::handle module, py::handle torch, py::handle buffer, py::handle raw);

}  // namespace vorna
