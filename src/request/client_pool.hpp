// Clients kept between calls: one per (client type, base URL, key, request
// timeout), shared by all threads, so that after the first call a node call
// costs one round trip instead of a new connection, TLS handshake and
// schema request.
#pragma once
#include "common.hpp"

namespace vorna {

// The pool of a module (its `_client_pool`).
py::object new_client_pool(py::handle module);

// The pool key of a call, or None when the call cannot use a kept client
// (another client type than the library's, a URL that is not http(s), a
// value that cannot be a key).
py::object pool_key(py::handle client_type, py::handle base_url, py::handle token, py::handle timeout);

// `endpoint(**kwargs)` through the pool's client for `key`, opened (with the
// paced readiness wait) when there is none. A kept client whose service
// cannot be reached is replaced by a newly opened one, as if none had been
// kept; a route missing from its schema reopens it once, and so does a 404
// (sent again only when the schema read again names another route);
// a request that never left for a kept connection the service closed is
// sent once more.
// Closes and drops every kept client that sends `token` (one in use is
// closed by its last user), so the key leaves the pool.
void forget_token(py::handle pool, py::handle token);

py::object pooled_call(py::handle module, py::handle pool, py::handle key, py::handle client_type,
                       py::handle base_url, py::handle token, py::handle timeout, py::handle ready_timeout,
                       py::handle endpoint, py::handle kwargs);

}  // namespace vorna
