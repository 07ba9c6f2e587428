// What Python's json module would build from an answer's text, estimated
// before it runs: a body within the wire bound can still be made of values
// that cost twenty times their text once parsed ("[{},{},...]").
#pragma once
#include <cstddef>

namespace vorna {

// The bytes that `json.loads(text)` would take: the decoded text and every
// str, number, dict and list it makes, at CPython's sizes on 64-bit
// platforms. One pass, nothing allocated, no validation: text that is not
// JSON is counted as far as the parser would get, or further. Long strings
// count their length; repeated dict keys are counted each time (json shares
// them), so the estimate errs upwards.
long long json_parse_cost(const unsigned char *text, size_t size);

}  // namespace vorna
