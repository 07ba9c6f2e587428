// What one call of BaseNode.send_request is made with: read by `base` from
// its own globals and the node's class settings at the start of the call,
// then handed down, so that no part of the request layer looks a setting up
// by name.
#pragma once
#include "common.hpp"

#include <algorithm>

namespace vorna {

struct RequestSettings {
    py::object client_type;    // the service client class (the module's SyncHTTPClient)
    py::object base_url;       // BASE_URL
    py::object token;          // the API key of this call
    py::object timeout;        // REQUEST_TIMEOUT, as given (messages and the pool key show it so)
    py::object ready_timeout;  // SERVER_READY_TIMEOUT; None: the request timeout
    bool reuse = true;         // REUSE_CONNECTIONS: keep clients between calls
    long long answer_limit = 0;  // MAX_ANSWER_BYTES: the most one answer may decode to

    // The request timeout in seconds, negative when it is not a finite number.
    double request_seconds() const { return seconds_or_negative(timeout); }
    // The readiness budget in seconds, never negative.
    double ready_seconds() const {
        return std::max(seconds_or_negative(ready_timeout.is_none() ? timeout : ready_timeout), 0.0);
    }
};

// One endpoint call: its name, its keyword arguments (a dict), and the
// settings of the call it belongs to.
struct EndpointCall {
    const RequestSettings &settings;
    py::handle endpoint;
    py::handle kwargs;
};

}  // namespace vorna
