#include "service_call.hpp"

#include "client_pool.hpp"
#include "opening.hpp"
#include "origin_guard.hpp"
#include "service_errors.hpp"

namespace vorna {

py::object call_service(py::handle pool, const RequestSettings &settings, py::handle endpoint, py::handle payload) {
    // A kept client spares the new connection, TLS handshake and schema
    // request that a client of its own costs every call.
    py::object key = settings.reuse ? pool_key(settings) : py::none();
    if (!key.is_none()) {
        py::dict kwargs = spread(settings.client_type.attr("call"), payload);
        return pooled_call(pool, key, EndpointCall{settings, endpoint, kwargs});
    }
    OpenedClient opened = open_client(pool, settings);
    return with_context(opened.client, [&](py::handle client) {
        py::object call = client.attr("call");
        py::dict kwargs = spread(call, payload);
        check_endpoint(client, endpoint, opened.guard);
        RequestFacts facts;
        return guarded_call(call, opened.guard, EndpointCall{settings, endpoint, kwargs}, facts);
    });
}

py::object guarded_call(py::handle call, py::handle guard, const EndpointCall &c, RequestFacts &facts,
                        CallBounds bounds) {
    const RequestSettings &s = c.settings;
    try {
        // Only a guarded client's HTTP stack reads the deadline.
        Deadline bounded(facts, s.answer_limit, std::isnan(bounds.seconds) ? s.request_seconds() : bounds.seconds,
                         bounds.connect_seconds);
        return py::reinterpret_borrow<py::object>(call)(c.endpoint, **py::reinterpret_borrow<py::dict>(c.kwargs));
    } catch (py::error_already_set &e) {
        if (!guard.is_none() && is_unreachable(e)) raise_unreachable(e, guard, 0, 0);
        if (!guard.is_none() && e.matches(py::module_::import("httpx").attr("TimeoutException")))
            raise_timed_out(e, s.timeout);
        if (e.matches(py::module_::import("bentoml.exceptions").attr("BentoMLException"))) {
            int status = status_of(e, nullptr);
            if (is_refusal(status)) raise_refused_key(status, where_of(s.base_url, guard), e);
        }
        throw;
    }
}

}  // namespace vorna
