// Tensor answers of the service, checked against the answer limit before
// anything of them is built.
#pragma once
#include "answers.hpp"

namespace vorna {

// The value torch.save wrote into `raw` (the answer's bytes), every storage
// on the CPU, as `torch.load(..., map_location="cpu", weights_only=True)`
// gives it for what answers carry, but without torch's reader or unpickler:
// the archive's layout must be the one torch.save writes (one central
// directory, where the end record says; records stored, not compressed, one
// after the other with nothing between them; headers as its writer sets
// them; names unique whatever their case, all in one folder; no record it
// does not write) and its records must fit what is left of the answer's
// limit; its pickle is then read against what torch.save writes for
// tensors and their containers (tensor_pickle.hpp). Anything else, a stream
// in the legacy format included, is refused: ValueError("answer refused: ...").
// What it decodes to counts in `answer`; `torch` is the module the tensors
// are built with.
py::object load_tensor_answer(AnswerScope &answer, py::handle torch, py::handle raw);

}  // namespace vorna
