// The API key goes to the configured origin (scheme, host, port) only: every
// request the HTTP client sends, redirects included, is checked against it,
// and so is every route of the service's schema before a call uses it.
#pragma once
#include "common.hpp"

namespace vorna {

// (scheme, host, port) of an absolute http(s) URL; None for anything else
// (a relative URL, another scheme, text the HTTP layer cannot parse).
py::object http_origin(py::handle url);

// "scheme://host:port" of an origin, cut at 200 characters.
py::str show_origin(py::handle origin);

// The guard of a client of `base_url`: its origin, the proxy its HTTP client
// goes through (None for none), and the per-thread state of the request in
// progress (deadline, what the connection did, the last status). None when
// the URL has no http(s) origin.
py::object new_guard(py::handle module, py::handle base_url);

// The request and response hooks of an HTTP client guarded by `guard`, as
// httpx's `event_hooks` takes them.
py::dict guard_hooks(py::handle module, py::handle guard);

// The client's endpoint named `endpoint` as its schema declared it, or None.
py::object endpoint_of(py::handle client, py::handle endpoint);

// Refuses, before anything is sent, an endpoint whose route from the
// service's schema points to another origin than `guard`'s, or whose
// inputs or answer the schema declares other than JSON objects.
void check_endpoint(py::handle client, py::handle endpoint, py::handle guard);

}  // namespace vorna
