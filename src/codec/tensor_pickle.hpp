// The pickle inside a tensor archive (its data.pkl), read by an allow-list
// of what torch.save writes for tensors and the answers' containers, and the
// value it describes built from the checked records.
#pragma once
#include "answers.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vorna {

// Where a record's data lies in the answer's bytes.
struct RecordSpan {
    uint64_t at, size;
};

// The archive's data records by storage key ("0" for "<archive>/data/0").
using StorageRecords = std::unordered_map<std::string_view, RecordSpan>;

// At most the first 40 characters of a name the service chose, printable
// ASCII only: for messages.
std::string shown(std::string_view text);

// Checks `pickle` against `records` and builds the value it describes, every
// storage filled from the bytes of its record in `raw` (an immutable bytes
// object). Before anything is built, the whole pickle is read, every storage
// it names must match its record exactly, every record must be named, every
// tensor must lie inside its storage, and the value must fit the answer:
// max(`records_total`, its tensors' sizes by shape and its containers) is
// checked against the room left and then counted. Refusals raise
// ValueError("answer refused: ...").
py::object load_tensor_pickle(std::string_view pickle, const StorageRecords &records, py::handle raw,
                              py::handle torch, AnswerScope &answer, long long records_total);

}  // namespace vorna
