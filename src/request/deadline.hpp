// One deadline bounds a whole request: every socket operation of the HTTP
// layer (connect, TLS handshake, each write, each read) gets at most what is
// left of it. The deadline lives in the guard's per-thread state: sync HTTP
// I/O runs in the calling thread, so each thread sees its own request's.
#pragma once
#include "common.hpp"

namespace vorna {

// For its lifetime, the requests of this thread through `guard`'s client end
// within `seconds` (no bound when not positive), and a new connection is
// opened within `connect_seconds` (no bound of its own when not positive).
// Also forgets what the previous request's connection did.
class Deadline {
public:
    Deadline(py::handle guard, double seconds, double connect_seconds = -1);
    ~Deadline();
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;

private:
    py::handle guard_;
};

// What the connection of this thread's last request through `guard` did.
struct ConnectionFacts {
    bool connected;  // opened a connection of its own (did not go out on a kept one)
    bool written;    // any byte of the request went out
    bool received;   // read any byte of an answer
};
ConnectionFacts connection_facts(py::handle guard);

// The name lookups of a module's requests (its `_resolver`): which are in
// flight and how many resolver threads run.
py::object new_resolver();

// A network backend for httpcore's connection pools whose streams never
// wait past the deadline of `local`'s request in progress; its names are
// looked up through the module's `_resolver`.
py::object deadline_backend(py::handle module, py::handle local);

}  // namespace vorna
