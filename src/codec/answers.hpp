// Limits on what one answer of the service may decode to. An answer is
// untrusted input: a few kilobytes must not become gigabytes, and every size
// is checked before the memory for it is taken. The limit comes from whoever
// decodes the answer (a node's MAX_ANSWER_BYTES), read when the answer's
// first size is checked.
#pragma once
#include "../runtime/runtime.hpp"

#include <string>

namespace vorna {

// Sizes: a * b and a + b, or LLONG_MAX when the result would not fit; a size
// below zero counts as zero.
long long saturating_mul(long long a, long long b);
long long saturating_add(long long a, long long b);

// A Python int as a size: LLONG_MAX above the range, -1 below it.
long long as_size(py::handle value);

// Raises ValueError("answer refused: " + why).
[[noreturn]] void refuse(const std::string &why);

// Where the limit of an answer comes from: `read(from)`, in bytes.
struct AnswerLimit {
    long long (*read)(py::handle from);
    py::handle from;
};

// One answer being decoded on this thread. The outermost scope opens it (and
// reads its limit when something is first checked, so that an answer with
// nothing to check reads none); scopes opened inside it (conditioning's
// tensors, decoded through the module-level functions) add to the same
// total, so the limit holds for everything one answer decodes to. Threads
// decode their answers apart from each other.
class AnswerScope {
public:
    explicit AnswerScope(AnswerLimit limit);
    ~AnswerScope();
    AnswerScope(const AnswerScope &) = delete;
    AnswerScope &operator=(const AnswerScope &) = delete;

    // Refuses (ValueError) when `bytes` more would take the answer past its limit.
    void check_room(long long bytes) const;
    // Counts `bytes` as decoded.
    void add(long long bytes);

private:
    AnswerScope *answer_;  // the outermost scope on this thread: it keeps the totals
    AnswerLimit source_;   // the limit, read at the first check
    bool limit_read_ = false;
    long long limit_ = 0, used_ = 0;
};

}  // namespace vorna
