// Looking up the service's name within the request's deadline. The system's
// resolver takes no timeout, so each lookup runs in a thread of its own that
// is left behind when the deadline passes: one thread per name at a time (a
// later call for the same name waits for the lookup in flight), and a few
// threads at most in all, so a resolver that never answers cannot pile up
// threads.
#pragma once
#include "common.hpp"

namespace vorna {

// The name lookups of a module's requests: which are in flight and how many
// resolver threads run.
py::object new_resolver();

// The addresses of `host` for `port` (`host` itself when it is an address),
// looked up through `resolver` within the connect timeout of the request in
// progress (`timeout` as httpcore gives it). Fails as httpcore's
// ConnectError (the system's error as its cause) or ConnectTimeout.
py::list addresses_of(py::handle resolver, py::handle host, py::handle port, py::handle timeout);

}  // namespace vorna
