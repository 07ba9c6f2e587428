// Clients kept between calls: one per (client type, base URL, key, request
// timeout), shared by all threads, so that after the first call a node call
// costs one round trip instead of a new connection, TLS handshake and
// schema request. The pool is the request layer's module state: with its
// kept clients it holds the name lookups in flight and the classes every
// guarded HTTP client of the module is made of, so a module body run again
// starts with none of them.
#pragma once
#include "../runtime/native.hpp"
#include "settings.hpp"

#include <pythread.h>

namespace vorna {

struct ClientPool {
    static const NativeTypeSpec kType;
    explicit ClientPool(py::handle module);
    ~ClientPool();
    ClientPool(const ClientPool &) = delete;
    ClientPool &operator=(const ClientPool &) = delete;

    py::object module;    // base: the globals of the methods of the classes below
    py::object entries;   // a dict: pool key -> kept client, the least recently used first
    py::object resolver;  // the name lookups in flight (resolver.hpp)
    // The classes of a guarded client's HTTP stack, made at first use (a
    // library's base each, one native state slot).
    py::object stream_class, backend_class;         // deadline.cpp
    py::object transport_class, answer_stream_class;  // http_client.cpp
    PyThread_type_lock lock;  // guards `entries` and the kept clients' counts

    template <class F>
    void references(F &&each) {
        each(module);
        each(entries);
        each(resolver);
        each(stream_class);
        each(backend_class);
        each(transport_class);
        each(answer_stream_class);
    }
};

// The pool of a module (its `_client_pool`).
py::object new_client_pool(py::handle module);

// The pool key of a call, or None when the call cannot use a kept client
// (another client type than the library's, a URL that is not http(s), a
// value that cannot be a key).
py::object pool_key(const RequestSettings &settings);

// Closes and drops every kept client that sends `token` (one in use is
// closed by its last user), so the key leaves the pool.
void forget_token(py::handle pool, py::handle token);

// The call through the pool's client for `key`, opened (with the paced
// readiness wait) when there is none. A kept client whose service cannot be
// reached is replaced by a newly opened one, as if none had been kept; a
// route missing from its schema reopens it once, and so does a 404 (sent
// again only when the schema read again names another route); a request
// that never left for a kept connection the service closed is sent once
// more.
py::object pooled_call(py::handle pool, py::handle key, const EndpointCall &call);

}  // namespace vorna
