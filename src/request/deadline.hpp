// One deadline bounds a whole request: every socket operation of the HTTP
// layer (connect, TLS handshake, each write, each read) gets at most what is
// left of it. Sync HTTP I/O runs in the calling thread, so the request in
// progress is the calling thread's: a kept connection that serves several
// threads in turn meets each one's own request.
#pragma once
#include "common.hpp"

#include <optional>

namespace vorna {

// One request through a guarded client: its bounds, and what its connection
// and the service did. Owned by the caller, who reads it after the request.
struct RequestFacts {
    std::optional<double> deadline;          // steady-clock seconds; none: no bound
    std::optional<double> connect_deadline;  // a new connection's own bound; none: the deadline's
    long long answer_limit = 0;              // MAX_ANSWER_BYTES: bounds the answer's body on the wire
    bool connected = false;                  // opened a connection of its own (did not go out on a kept one)
    bool written = false;                    // any byte of the request went out
    bool received = false;                   // read any byte of an answer
    std::optional<int> status;               // the last answer's HTTP status, noted by the guard
    py::object url;                          // the last answer's URL, noted by the guard (null: none)
};

// For its lifetime, `facts` is the request in progress on this thread (the
// one before it comes back after): it ends within `seconds` (no bound when not
// positive), a new connection is opened within `connect_seconds` (no bound of
// its own when not positive), and nothing of it has happened yet.
class Deadline {
public:
    Deadline(RequestFacts &facts, long long answer_limit, double seconds, double connect_seconds = -1);
    ~Deadline();
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;

private:
    RequestFacts *previous_;
};

// The request in progress on this thread. The HTTP stack of a guarded client
// does I/O only inside one: anything else is a fault in this code
// (SystemError), never a request without a deadline.
RequestFacts &current_request();

// The timeout for one socket operation of the request in progress: never past
// its deadline (for a connect, nor past its connect deadline). Past it, the
// operation fails as the HTTP layer's own timeout would: httpcore's `error`.
py::object bounded_timeout(py::handle timeout, const char *error, bool connecting = false);

// A network backend for httpcore's connection pools whose streams never wait
// past the deadline of the request in progress on their thread; its classes
// and name lookups are those of `pool` (a module's `_client_pool`).
py::object deadline_backend(py::handle pool);

}  // namespace vorna
