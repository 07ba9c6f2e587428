// The guarded road to the service, used by `BaseNode.send_request`: the key
// goes only to the configured origin, a failing service is retried with
// pauses or refused at once, and the request timeout bounds the whole call.
#pragma once
#include "../support/vorna.hpp"

#include <limits>
#include <string>

namespace vorna {

// The URL with the password of its user information shown as "***".
std::string hide_password(const std::string &url);

// `text` with the password of `url` hidden wherever it appears; `text`
// itself when `url` carries none.
py::str scrub_password(py::handle text, py::handle url);

// Hides the password of `url` in the text arguments of an exception value,
// so whatever shows it (log record, str, traceback) shows no password.
void scrub_exception(py::handle value, py::handle url);

// A client ready for use and the guard state its HTTP hooks share (None for
// a client that is not the library's own, or a URL that is not http(s)).
struct OpenedClient {
    py::object client;
    py::object guard;
};

// Builds the client, retrying a service that cannot be reached or answers
// 5xx or 429 with growing pauses within the readiness budget; a refused key
// (401, 403) or a missing service (404) fails at once.
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

// Refuses, before anything is sent, an endpoint whose route from the
// service's schema points to another origin than `guard`'s.
void check_route(py::handle client, py::handle endpoint, py::handle guard);

// `call(endpoint, **kwargs)` bounded as a whole by `timeout` seconds (or by
// `seconds` when given) when `guard` is not None, a new connection by
// `connect_seconds` when positive; a refused key is reported as such.
py::object guarded_call(py::handle call, py::handle endpoint, py::handle kwargs, py::handle base_url,
                        py::handle timeout, py::handle guard,
                        double seconds = std::numeric_limits<double>::quiet_NaN(), double connect_seconds = -1);

// --- Clients kept between calls ----------------------------------------------------------------

// The pool of a module: clients of the library's own type, one per (client
// type, base URL, key, request timeout), shared by all threads.
py::object new_client_pool(py::handle module);

// The pool key of a call, or None when the call cannot use a kept client
// (another client type than the library's, a URL that is not http(s), a
// value that cannot be a key).
py::object pool_key(py::handle client_type, py::handle base_url, py::handle token, py::handle timeout);

// `payload` spread into keyword arguments for `callee`.
using Spread = py::dict (*)(py::handle callee, py::handle payload);

// One endpoint call through the pool's client for `key`, opened (with the
// paced readiness wait) when there is none. A kept client whose service
// cannot be reached is replaced by a newly opened one, as if none had been
// kept; a route missing from its schema reopens it once; a request that a
// kept idle connection lost before any answer is sent once more.
py::object pooled_call(py::handle module, py::handle pool, py::handle key, py::handle client_type,
                       py::handle base_url, py::handle token, py::handle timeout, py::handle ready_timeout,
                       py::handle endpoint, py::handle payload, Spread spread);

}  // namespace vorna
