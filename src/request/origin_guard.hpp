// The API key goes to the configured origin (scheme, host, port) only: every
// request the HTTP client sends, redirects included, is checked against it,
// and so is every route of the service's schema before a call uses it.
#pragma once
#include "../runtime/native.hpp"
#include "common.hpp"

namespace vorna {

// The guard of one library client: its origin, and the HTTP client built for
// it (through the proxy the environment names for that origin, if any).
struct Guard {
    static const NativeTypeSpec kType;
    py::object pool;    // the module's `_client_pool`: what the HTTP client is made of
    py::object origin;  // (scheme, host, port)
    py::object proxy;   // the proxy's URL (text, without user information); None: none. Set with `http`.
    py::object http;    // the HTTP client built for the library's client; null until built

    template <class F>
    void references(F &&each) {
        each(pool);
        each(origin);
        each(proxy);
        each(http);
    }
};

// (scheme, host, port) of an absolute http(s) URL; None for anything else
// (a relative URL, another scheme, text the HTTP layer cannot parse).
py::object http_origin(py::handle url);

// "scheme://host:port" of an origin, cut at 200 characters.
py::str show_origin(py::handle origin);

// A guard (a native object) for a client of `base_url`, whose HTTP client is
// made of `pool`'s classes; None when the URL has no http(s) origin.
py::object new_guard(py::handle pool, py::handle base_url);

// The request and response hooks of an HTTP client guarded by `guard`, as
// httpx's `event_hooks` takes them: every request goes to the guard's origin
// or nowhere; every answer's status and URL are noted in the request in
// progress, and one with a content coding is refused unread.
py::dict guard_hooks(py::handle guard);

// The client's endpoint named `endpoint` as its schema declared it, or None.
py::object endpoint_of(py::handle client, py::handle endpoint);

// Refuses, before anything is sent, an endpoint whose route from the
// service's schema points to another origin than `guard`'s, or whose
// inputs or answer the schema declares other than JSON objects. Nothing is
// checked without a guard (None).
void check_endpoint(py::handle client, py::handle endpoint, py::handle guard);

}  // namespace vorna
