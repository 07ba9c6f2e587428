#include "answers.hpp"

#include <algorithm>
#include <climits>
#include <string>

namespace vorna {

// Sizes: a * b and a + b, or LLONG_MAX when the result would not fit; a size
// below zero counts as zero. Plain checks instead of compiler built-ins,
// which MSVC lacks.
long long saturating_mul(long long a, long long b) {
    a = std::max(a, 0LL);
    b = std::max(b, 0LL);
    return a != 0 && b > LLONG_MAX / a ? LLONG_MAX : a * b;
}

long long saturating_add(long long a, long long b) {
    a = std::max(a, 0LL);
    b = std::max(b, 0LL);
    return b > LLONG_MAX - a ? LLONG_MAX : a + b;
}

long long as_size(py::handle value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) return overflow > 0 ? LLONG_MAX : -1;
    return v;
}

void refuse(const std::string &why) {
    PyErr_SetString(PyExc_ValueError, ("answer refused: " + why).c_str());
    throw py::error_already_set();
}

namespace {

constexpr const char *kSetting = "VORNA_MAX_ANSWER_BYTES";

thread_local AnswerScope *t_answer = nullptr;

}  // namespace

AnswerScope::AnswerScope(AnswerLimit limit) : answer_(t_answer ? t_answer : this), source_(limit) {
    if (answer_ == this) t_answer = this;
}

AnswerScope::~AnswerScope() {
    if (answer_ == this) t_answer = nullptr;
}

void AnswerScope::check_room(long long bytes) const {
    AnswerScope &answer = *answer_;
    if (!answer.limit_read_) {
        answer.limit_ = answer.source_.read(answer.source_.from);
        answer.limit_read_ = true;
    }
    const long long total = saturating_add(answer.used_, bytes), limit = answer.limit_;
    if (total <= limit) return;
    refuse("it would decode to " + (total == LLONG_MAX ? std::string("more than 2^63") : std::to_string(total)) +
           " bytes, more than the limit of " + std::to_string(limit) + " bytes (" + kSetting + ")");
}

void AnswerScope::add(long long bytes) { answer_->used_ = saturating_add(answer_->used_, bytes); }

}  // namespace vorna
