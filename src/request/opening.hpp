// Opening a client of the service. The library's client reads the service's
// schema and then posts wherever it says, follows redirects with the key,
// waits for readiness without pausing and bounds each read, not the
// request. Here the client keeps its public shape, but its HTTP client is
// built by the package: guarded to the configured origin, asking for no
// content coding, and bounded by the request's deadline.
#pragma once
#include "settings.hpp"

namespace vorna {

// A client ready for use and its guard (None for a client that is not the
// library's own, or a URL that is not http(s)).
struct OpenedClient {
    py::object client;
    py::object guard;
};

// Whether `client_type` is the library's client or a subclass of it: only
// such a client gets the package's guarded HTTP client.
bool is_library_client(py::handle client_type);

// Builds the client, retrying a service that cannot be reached or answers
// 5xx or 429 with growing pauses within the readiness budget (a few seconds
// when every connection is refused); a refused key (401, 403) or a missing
// service (404) fails at once. A service that cannot be reached fails with
// the HTTP layer's error type, saying where, what failed and what to check.
// The readiness budget counts from `started` (seconds of the steady clock),
// or from now when it is negative. The guarded HTTP client is made of
// `pool`'s classes.
OpenedClient open_client(py::handle pool, const RequestSettings &settings, double started = -1);

// How long one try to reach the service may take with `remaining` seconds
// of the readiness budget left.
double try_seconds(const RequestSettings &settings, double remaining);

}  // namespace vorna
