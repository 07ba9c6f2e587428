// Opening a client of the service and making one call through it. The
// library's client reads the service's schema and then posts wherever it
// says, follows redirects with the key, waits for readiness without pausing
// and bounds each read, not the request. Here the client keeps its public
// shape, but its HTTP client is built by the package: guarded to the
// configured origin, asking for no content coding, and bounded by the
// request's deadline.
#pragma once
#include "common.hpp"

#include <limits>

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
// or from now when it is negative.
OpenedClient open_client(py::handle module, py::handle client_type, py::handle base_url, py::handle token,
                         py::handle timeout, py::handle ready_timeout, double started = -1);

// The readiness budget in seconds (the request timeout when `ready_timeout`
// is None), negative when it is not a finite number.
double ready_budget(py::handle timeout, py::handle ready_timeout);

// How long one try to reach the service may take with `remaining` seconds
// of the readiness budget left.
double try_seconds(py::handle timeout, double remaining);

// `call(endpoint, **kwargs)` bounded as a whole by `timeout` seconds (or by
// `seconds` when given) when `guard` is not None, a new connection by
// `connect_seconds` when positive; a refused key is reported as such.
py::object guarded_call(py::handle call, py::handle endpoint, py::handle kwargs, py::handle base_url,
                        py::handle timeout, py::handle guard,
                        double seconds = std::numeric_limits<double>::quiet_NaN(), double connect_seconds = -1);

// The HTTP status of a library error: the one `guard`'s hooks noted last on
// this thread, else the exception's own code; 0 when there is none.
int status_of(const py::error_already_set &e, py::handle guard);

}  // namespace vorna
