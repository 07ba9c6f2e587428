// The HTTP client inside the library's client, built by the package from
// public httpx and httpcore parts: an httpx transport of its own around an
// httpcore connection pool whose network backend is the deadline's, the
// origin guard's hooks, and no content coding asked for. The answer's body
// is bounded on the wire by the request's answer limit.
#pragma once
#include "common.hpp"

namespace vorna {

// The httpx client for a library client of `url` with `headers` and
// `timeout`, guarded by `guard` (which notes the proxy it goes through).
// Fails with RuntimeError, sending nothing, when the installed httpx or
// httpcore cannot take the guard.
py::object make_http_client(py::handle guard, py::handle url, py::handle headers, py::handle timeout);

}  // namespace vorna
