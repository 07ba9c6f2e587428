// The guarded road to the service, used by `BaseNode.send_request`: the key
// goes only to the configured origin, a failing service is retried with
// pauses or refused at once, and the request timeout bounds the whole call.
#pragma once
#include "../support/vorna.hpp"

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
OpenedClient open_client(py::handle module, py::handle client_type, py::handle base_url, py::handle token,
                         py::handle timeout, py::handle ready_timeout);

// Refuses, before anything is sent, an endpoint whose route from the
// service's schema points to another origin than `guard`'s.
void check_route(py::handle client, py::handle endpoint, py::handle guard);

// `call(endpoint, **kwargs)` bounded as a whole by `timeout` seconds when
// `guard` is not None; a refused key is reported as such.
py::object guarded_call(py::handle call, py::handle endpoint, py::handle kwargs, py::handle base_url,
                        py::handle timeout, py::handle guard);

}  // namespace vorna
