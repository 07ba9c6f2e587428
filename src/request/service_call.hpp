// The request layer's one entry: a call of one endpoint for
// BaseNode.send_request, through a client kept between calls or a client of
// its own, bounded by the request timeout as a whole.
#pragma once
#include "deadline.hpp"
#include "settings.hpp"

#include <limits>

namespace vorna {

// `client.call(endpoint, **payload)` with a client of the service at
// `settings.base_url`: a kept one of `pool` (a module's `_client_pool`) when
// the settings allow it, else one of its own, entered and left around the
// call. `payload` is any mapping, as `**` takes it.
py::object call_service(py::handle pool, const RequestSettings &settings, py::handle endpoint, py::handle payload);

// What bounds one call: `seconds` as a whole (NaN: the request timeout), a
// new connection within `connect_seconds` when positive.
struct CallBounds {
    double seconds = std::numeric_limits<double>::quiet_NaN();
    double connect_seconds = -1;
};

// `call(endpoint, **kwargs)` (`call` a client's bound `call`) as one request
// in progress, `facts`, bounded by `bounds` when `guard` is not None; errors
// in the package's words (a refused key, a service that cannot be reached,
// the request timeout).
py::object guarded_call(py::handle call, py::handle guard, const EndpointCall &endpoint_call, RequestFacts &facts,
                        CallBounds bounds = CallBounds());

}  // namespace vorna
