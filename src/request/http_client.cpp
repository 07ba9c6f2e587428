#include "http_client.hpp"

#include "../codec/answers.hpp"
#include "../codec/json_cost.hpp"
#include "../runtime/native.hpp"
#include "client_pool.hpp"
#include "deadline.hpp"
#include "origin_guard.hpp"
#include "transport_errors.hpp"
#include "url_password.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace vorna {
namespace {

// Seconds an idle connection is kept for the next request: less than
// servers commonly keep one (5 s), so a kept connection is rarely found
// closed when a request goes out.
constexpr double kKeepIdleSeconds = 4.0;

// --- The answer's body, as the HTTP client reads it -------------------------------------------

// The most bytes an answer within the answer limit takes on the wire: its
// decoded bytes as base64 text (4 characters for 3 bytes), with an eighth
// more for the archive records' framing and the JSON around them, and 1 MiB
// for small answers. Anything longer is refused before it is read whole.
long long wire_bound(long long answer_limit) {
    long long limit = std::max(answer_limit, 0LL);
    long long framed = limit > (LLONG_MAX / 2) ? LLONG_MAX / 2 : limit + limit / 8 + (1LL << 20);
    return framed / 3 * 4 + 4;
}

// `size`: the body's declared length, or None when it ran past the bound while read.
[[noreturn]] void refuse_body(py::handle size, long long bound) {
    py::str said = size.is_none() ? py::str("runs longer than") : py::str("of {} bytes is longer than").attr("format")(size);
    raise_error(PyExc_ValueError,
                py::str("answer refused: its body {} the {} bytes that an answer within the limit takes on the "
                        "wire (VORNA_MAX_ANSWER_BYTES as base64, with the JSON around it)")
                    .attr("format")(said, bound));
}

// What the parse of an answer's JSON may build, as a multiple of the wire
// bound: a genuine answer (a few long base64 strings) builds about twice its
// body (the decoded text and the strings), so it passes with room to spare.
constexpr long long kJsonCostFactor = 4;

// The body read so far, in one bytes object grown in place (its one
// reference is here): a body that comes in many small pieces is neither kept
// as many objects nor copied whenever it grows, and httpx takes the one
// object as the whole content without joining.
class Body {
public:
    // `expected`: the declared length, or -1; `most`: the wire bound.
    Body(long long expected, long long most) : expected_(expected), most_(most) {}

    void append(const char *data, Py_ssize_t n) {
        if (n <= 0) return;
        const long long needed = saturating_add(used_, n);
        if (needed > capacity_) {
            long long room = expected_ >= needed ? expected_ : std::max(needed, capacity_ * 2);
            resize(std::min(std::max(room, needed), std::max(most_, needed)));
        }
        std::memcpy(PyBytes_AS_STRING(bytes_.ptr()) + used_, data, static_cast<size_t>(n));
        used_ = needed;
    }

    long long size() const { return used_; }
    const unsigned char *data() const {
        return bytes_ ? reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytes_.ptr())) : nullptr;
    }

    // The body as one bytes object, trimmed to its length.
    py::object take() {
        if (!bytes_) return py::bytes();
        resize(used_);
        return std::move(bytes_);
    }

private:
    void resize(long long size) {
        if (!bytes_) {
            bytes_ = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
            if (!bytes_) throw py::error_already_set();
        } else {
            PyObject *raw = bytes_.release().ptr();
            // On failure the object is gone and `raw` is null.
            if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size)) < 0) throw py::error_already_set();
            bytes_ = py::reinterpret_steal<py::object>(raw);
        }
        capacity_ = size;
    }

    py::object bytes_;
    long long used_ = 0, capacity_ = 0;
    const long long expected_, most_;
};

// httpcore keeps a connection whose answer has ended for the next request,
// whatever h11 has already read past that answer: bytes a service sent after
// the body it declared would be taken for the next request's answer. Such a
// connection is marked failed (h11's own call for a connection that cannot go
// on), so that httpcore closes it instead when this answer is closed. `inner`
// is httpcore's stream of the answer; the connection behind it is reached
// through httpcore's attributes, as the versions requirements.txt names have
// them.
void drop_connection_if_more_followed(py::handle inner) {
    py::object stream = py::getattr(inner, "_stream", py::none());
    py::object connection = py::getattr(stream, "_connection", py::none());
    py::object state = py::getattr(connection, "_h11_state", py::none());
    if (state.is_none()) return;
    py::tuple trailing = state.attr("trailing_data");
    if (py::len(trailing[0]) > 0) state.attr("send_failed")();
}

// The state of an _AnswerStream: httpcore's stream of the answer, the wire
// bound, the declared length (-1: none), and whether the body was given.
struct AnswerStreamState {
    static const NativeTypeSpec kType;
    py::object inner;
    long long bound = 0;
    long long expected = -1;
    bool done = false;

    template <class F>
    void references(F &&each) {
        each(inner);
    }
};

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};
const NativeTypeSpec AnswerStreamState::kType = {"vorna_comfyui_engine._AnswerStreamState",
                                                 "httpcore's stream of one answer, and its bounds.", kNoMethods};

py::object stream_iter(FunctionObject *, py::handle *args) { return py::reinterpret_borrow<py::object>(args[0]); }

// The next piece of httpcore's stream, or a null object at its end.
py::object next_part(py::handle parts) {
    if (PyObject *next = PyIter_Next(parts.ptr())) return py::reinterpret_steal<py::object>(next);
    if (!PyErr_Occurred()) return py::object();
    py::error_already_set e;
    raise_as_httpx(e);
}

[[noreturn]] void stop_iteration() {
    PyErr_SetNone(PyExc_StopIteration);
    throw py::error_already_set();
}

// The whole body in one piece (the library reads it whole anyway), read
// into one buffer and counted against the wire bound as it comes: a body
// without a length is cut off once it passes the bound. Then its JSON is
// sized before anything parses it.
py::object stream_next(FunctionObject *, py::handle *args) {
    StateOf<AnswerStreamState> state(args[0]);
    if (state->done) stop_iteration();
    state->done = true;
    const py::object &inner = state->inner;
    const long long bound = state->bound;
    Body body(state->expected, bound);
    py::object parts = py::iter(inner);
    while (py::object part = next_part(parts)) {
        char *data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(part.ptr(), &data, &n) < 0) throw py::error_already_set();
        if (saturating_add(body.size(), n) > bound) {
            inner.attr("close")();
            refuse_body(py::none(), bound);
        }
        body.append(data, n);
    }
    drop_connection_if_more_followed(inner);
    if (body.size() == 0) stop_iteration();
    const long long cost = json_parse_cost(body.data(), static_cast<size_t>(body.size()));
    const long long allowed = saturating_mul(bound, kJsonCostFactor);
    if (cost > allowed)
        refuse("its JSON would take about " + std::to_string(cost) + " bytes once parsed, more than the " +
               std::to_string(allowed) + " bytes that an answer within the limit may take (" +
               std::to_string(kJsonCostFactor) + " times what VORNA_MAX_ANSWER_BYTES allows on the wire)");
    return body.take();
}

py::object stream_close(FunctionObject *, py::handle *args) {
    StateOf<AnswerStreamState> state(args[0]);
    if (py::hasattr(state->inner, "close")) state->inner.attr("close")();
    return py::none();
}

const FunctionDef kStreamIter{"__iter__", {"self"}, stream_iter};
const FunctionDef kStreamNext{"__next__", {"self"}, stream_next};
const FunctionDef kStreamClose{"close", {"self"}, stream_close};

// --- The transport ----------------------------------------------------------------------------

// The state of a _GuardedTransport: httpcore's connection pool (or proxy),
// and the module's pool, whose answer stream class it uses.
struct TransportState {
    static const NativeTypeSpec kType;
    py::object connections;
    py::object pool;

    template <class F>
    void references(F &&each) {
        each(connections);
        each(pool);
    }
};

const NativeTypeSpec TransportState::kType = {"vorna_comfyui_engine._GuardedTransportState",
                                              "httpcore's connection pool of one HTTP client.", kNoMethods};

py::object transport_handle(FunctionObject *, py::handle *args) {
    StateOf<TransportState> state(args[0]);
    py::handle request = args[1];
    const long long bound = wire_bound(current_request().answer_limit);
    py::module_ httpcore = py::module_::import("httpcore");
    py::object url = request.attr("url");
    py::object core_request = httpcore.attr("Request")(
        py::arg("method") = request.attr("method"),
        py::arg("url") = httpcore.attr("URL")(py::arg("scheme") = url.attr("raw_scheme"),
                                              py::arg("host") = url.attr("raw_host"), py::arg("port") = url.attr("port"),
                                              py::arg("target") = url.attr("raw_path")),
        py::arg("headers") = request.attr("headers").attr("raw"), py::arg("content") = request.attr("stream"),
        py::arg("extensions") = request.attr("extensions"));
    py::object answer;
    try {
        answer = state->connections.attr("handle_request")(core_request);
    } catch (py::error_already_set &e) {
        raise_as_httpx(e);
    }
    // A declared length is checked before a byte of the body is read.
    long long declared = -1;
    for (py::handle header : answer.attr("headers")) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(header);
        if (!equals(pair[0].attr("lower")(), py::bytes("content-length"))) continue;
        py::object digits = pair[1].attr("strip")();
        if (!truth(digits.attr("isdigit")())) continue;  // the HTTP layer refuses it itself
        if (py::len(digits) > 18 || py::int_(digits).cast<long long>() > bound) {
            answer.attr("close")();
            refuse_body(digits.attr("decode")("ascii"), bound);
        }
        declared = py::int_(digits).cast<long long>();
    }
    py::object stream = new_with_state(native<ClientPool>(state->pool).answer_stream_class,
                                       make_native<AnswerStreamState>(
                                           AnswerStreamState{answer.attr("stream"), bound, declared, false}));
    return py::module_::import("httpx").attr("Response")(
        py::arg("status_code") = answer.attr("status"), py::arg("headers") = answer.attr("headers"),
        py::arg("stream") = stream, py::arg("extensions") = answer.attr("extensions"));
}

py::object transport_close(FunctionObject *, py::handle *args) {
    return StateOf<TransportState>(args[0])->connections.attr("close")();
}

const FunctionDef kTransportHandle{"handle_request", {"self", "request"}, transport_handle};
const FunctionDef kTransportClose{"close", {"self"}, transport_close};

// The pool's transport and answer stream classes, made at its first HTTP
// client: httpx's own bases (httpx takes a response's stream only as a
// SyncByteStream), one native state slot each.
void make_transport_classes(ClientPool &pool) {
    if (pool.transport_class) return;
    py::module_ httpx = py::module_::import("httpx");
    py::handle module = pool.module;
    py::object answer_stream = make_state_class(module, "_AnswerStream", httpx.attr("SyncByteStream"),
                                                {{"__iter__", make_function(module, kStreamIter)},
                                                 {"__next__", make_function(module, kStreamNext)},
                                                 {"close", make_function(module, kStreamClose)}});
    py::object transport = make_state_class(module, "_GuardedTransport", httpx.attr("BaseTransport"),
                                            {{"handle_request", make_function(module, kTransportHandle)},
                                             {"close", make_function(module, kTransportClose)}});
    // Another thread may have made them meanwhile: the first made stay.
    if (pool.transport_class) return;
    pool.answer_stream_class = std::move(answer_stream);
    pool.transport_class = std::move(transport);
}

// httpx's own transport, but over connections this package built.
py::object new_transport(py::handle pool_object, py::object connections) {
    ClientPool &pool = native<ClientPool>(pool_object);
    make_transport_classes(pool);
    return new_with_state(pool.transport_class,
                          make_native<TransportState>(TransportState{
                              std::move(connections), py::reinterpret_borrow<py::object>(pool_object)}));
}

// The proxy URL the environment names for `origin`, or None: read exactly as
// httpx reads it (`<scheme>_proxy`, `all_proxy`, and `no_proxy` with "*",
// ports, domains and addresses; a proxy URL without a scheme is http://),
// by httpx's own reader and URL patterns, the most specific pattern first.
py::object proxy_url_for(py::handle origin) {
    py::module_ httpx = py::module_::import("httpx");
    py::module_ utils = py::module_::import("httpx._utils");
    py::tuple o = py::reinterpret_borrow<py::tuple>(origin);
    py::object url = httpx.attr("URL")(py::arg("scheme") = o[0], py::arg("host") = o[1], py::arg("port") = o[2]);
    py::dict mounts = utils.attr("get_environment_proxies")();
    py::list patterns;
    for (auto item : mounts) patterns.append(utils.attr("URLPattern")(item.first));
    for (py::handle pattern : py::module_::import("builtins").attr("sorted")(patterns))
        if (truth(pattern.attr("matches")(url))) return mounts[pattern.attr("pattern")];
    return py::none();
}

// The connection pool for the guard's origin: through the proxy the
// environment names for it, every connection opened by the deadline backend.
// Notes the proxy in the guard (None when there is none).
py::object new_connections(Guard &guard, py::handle backend) {
    py::handle origin = guard.origin;
    py::module_ httpcore = py::module_::import("httpcore");
    py::module_ httpx = py::module_::import("httpx");
    py::object proxy = proxy_url_for(origin);
    bool https = equals(py::tuple(py::reinterpret_borrow<py::tuple>(origin))[0], py::str("https"));
    py::object tls = https ? httpx.attr("create_ssl_context")() : py::none();
    py::dict settings;
    settings["ssl_context"] = tls;
    // No cap on connections in use: a call abandoned by its prompt holds its
    // connection until its deadline, and the next prompt's calls must not
    // wait behind such calls. Each connection in use has a thread in it.
    settings["max_connections"] = py::none();
    settings["max_keepalive_connections"] = py::int_(20);
    settings["keepalive_expiry"] = py::float_(kKeepIdleSeconds);
    settings["network_backend"] = backend;
    guard.proxy = py::none();
    if (proxy.is_none()) return httpcore.attr("ConnectionPool")(**settings);
    py::object via, at;
    try {
        via = httpx.attr("Proxy")(proxy);
        at = via.attr("url");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(httpx.attr("InvalidURL"))) throw;
        // The proxy's password shows nowhere, whoever wrote the text.
        scrub_exception(e.value(), proxy);
        std::string text;
        py::str shown = utf8_of(proxy, text) ? py::str(hide_password(text)) : py::str("?");
        raise_with_context(PyExc_ValueError,
                           py::str("the proxy {} that the environment names for {} cannot be used: {}")
                               .attr("format")(shown, show_origin(origin), exception_text(e)),
                           e);
    }
    guard.proxy = py::str(at);  // httpx keeps the user information apart
    settings["proxy_url"] = httpcore.attr("URL")(py::arg("scheme") = at.attr("raw_scheme"),
                                                 py::arg("host") = at.attr("raw_host"),
                                                 py::arg("port") = at.attr("port"),
                                                 py::arg("target") = at.attr("raw_path"));
    settings["proxy_auth"] = via.attr("raw_auth");
    if (equals(at.attr("scheme"), py::str("socks5")) || equals(at.attr("scheme"), py::str("socks5h")))
        return httpcore.attr("SOCKSProxy")(**settings);
    settings["proxy_headers"] = via.attr("headers").attr("raw");
    settings["proxy_ssl_context"] = via.attr("ssl_context");
    return httpcore.attr("HTTPProxy")(**settings);
}

}  // namespace

py::object make_http_client(py::handle guard_object, py::handle url, py::handle headers, py::handle timeout) {
    Guard &guard = native<Guard>(guard_object);
    py::module_ httpx = py::module_::import("httpx");
    py::object transport;
    try {
        transport = new_transport(guard.pool, new_connections(guard, deadline_backend(guard.pool)));
    } catch (py::error_already_set &e) {
        // Another httpcore or httpx than the ones this was written for.
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_AttributeError)) throw;
        py::str message = py::str("the request deadline cannot be installed with httpx {} and httpcore {} ({}); "
                                  "nothing was sent: install the versions named in requirements.txt")
                              .attr("format")(httpx.attr("__version__"),
                                              py::module_::import("httpcore").attr("__version__"), exception_text(e));
        raise_with_context(PyExc_RuntimeError, message, e);
    }
    py::dict all_headers;
    all_headers.attr("update")(headers);
    all_headers["Accept-Encoding"] = "identity";
    // The environment's proxy and certificate settings are the pool's; the
    // client itself adds no transport of its own.
    return httpx.attr("Client")(py::arg("base_url") = url, py::arg("headers") = all_headers,
                                py::arg("timeout") = timeout, py::arg("follow_redirects") = true,
                                py::arg("event_hooks") = guard_hooks(guard_object),
                                py::arg("transport") = transport, py::arg("trust_env") = false);
}

}  // namespace vorna
