// Limits on what one answer of the service may decode to. An answer is
// untrusted input: a few kilobytes must not become gigabytes, and every size
// is checked before the memory for it is taken. The limit is the config
// module's `_MAX_ANSWER_BYTES`, read when an answer is first checked.
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

}  // namespace vorna
