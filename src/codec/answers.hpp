// Limits on what one answer of the service may decode to. An answer is
// untrusted input: a few kilobytes must not become gigabytes, and every size
// is checked before the memory for it is taken. The limit is the config
// module's `_MAX_ANSWER_BYTES`, read when an answer is first checked.
#pragma once
#include "../runtime/runtime.hpp"

namespace vorna {

// The config module's `_MAX_ANSWER_BYTES` (looked up at every call so that it
// can be patched); `module` is a module of the package.
long long answer_limit(py::handle module);

// One answer being decoded on this thread. The outermost scope opens it (and
// reads the limit when something is first checked); scopes opened inside it
// (conditioning's tensors, decoded through the module-level functions) add
// to the same total, so the limit holds for everything one answer decodes
// to. Threads decode their answers apart from each other.
class AnswerScope {
public:
    explicit AnswerScope(py::handle module);
    ~AnswerScope();
    AnswerScope(const AnswerScope &) = delete;
    AnswerScope &operator=(const AnswerScope &) = delete;

    // Refuses (ValueError) when `bytes` more would take the answer past its limit.
    void check_room(long long bytes) const;
    // Counts `bytes` as decoded.
    void add(long long bytes);

private:
    AnswerScope *answer_;  // the outermost scope on this thread: it keeps the totals
    py::handle module_;    // the limit is read at the first check
    bool limit_read_ = false;
    long long limit_ = 0, used_ = 0;
};

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

// `Image.open(buffer, formats=...)` with the formats image answers may come
// in: those whose opening reads only the header. An image of another format
// Pillow knows is refused by name (ValueError).
py::object open_image_answer(py::handle image_module, py::handle buffer);

// For an image opened (not yet decoded) from an answer: refuses it when its
// pixels exceed `Image.MAX_IMAGE_PIXELS` (Pillow's DecompressionBombError) or
// when, decoded to a float32 RGB image, it would not fit what is left of the
// answer's limit (ValueError). `image_module` is the `PIL.Image` the caller
// opened it with.
void check_image_answer(py::handle module, py::handle image_module, py::handle pil_image);

}  // namespace vorna
