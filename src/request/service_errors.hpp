// What the caller hears when the service fails: the library's own error
// types, saying where (the configured origin, no password), what happened in
// plain words, and the setting to check.
#pragma once
#include "deadline.hpp"

namespace vorna {

// The HTTP status of a library error: the one the guard noted last in
// `facts` (nullptr: none), else the exception's own code; 0 when there is none.
int status_of(const py::error_already_set &e, const RequestFacts *facts);

// A refused key (401, 403): no point in trying again.
inline bool is_refusal(int status) { return status == 401 || status == 403; }

// "HTTP 404 Not Found", or "HTTP 599" for a code without a phrase.
py::str status_text(int status);

// The library's exception for an HTTP status, carrying `message`.
py::object status_error(int status, const py::str &message);

// Where the service is, for messages: the guard's origin, else the URL
// without its password.
py::str where_of(py::handle base_url, py::handle guard);

// The service could not be reached (httpx's ConnectError or ConnectTimeout).
bool is_unreachable(const py::error_already_set &e);
// ... because nothing listens there (a refused connection behind it).
bool was_refused(const py::error_already_set &e);

// Raised inside `except` for the caught `caught`, which becomes the new error's context:

// The service at `where` refused the API key.
[[noreturn]] void raise_refused_key(int status, const py::str &where, const py::error_already_set &caught);

// The service could not be reached: the same error, saying where, what
// happened in plain words and the setting to check. `tries` counts the
// attempts to open a client within `seconds` (0: the error of a call).
[[noreturn]] void raise_unreachable(const py::error_already_set &e, py::handle guard, int tries, double seconds);

// The schema request of a new client answered `status` (not a refusal, not
// a status worth waiting through): 404 says no service is there. `url` is
// the URL the guard noted for the answer (null: `where`).
[[noreturn]] void raise_schema_failed(int status, const py::str &where, py::handle url,
                                      const py::error_already_set &caught);

// The service answered `status` to each of `tries` schema requests within
// the readiness budget of `budget` seconds.
[[noreturn]] void raise_not_ready(int status, const py::str &where, int tries, double budget,
                                  const py::error_already_set &caught);

// The request took longer than the configured timeout (`timeout`, shown as given).
[[noreturn]] void raise_timed_out(const py::error_already_set &e, py::handle timeout);

}  // namespace vorna
