#include "http_client.hpp"

#include "../codec/answers.hpp"
#include "deadline.hpp"
#include "origin_guard.hpp"
#include "url_password.hpp"

#include <climits>

namespace vorna {
namespace {

// Seconds an idle connection is kept for the next request: less than
// servers commonly keep one (5 s), so a kept connection is rarely found
// closed when a request goes out.
constexpr double kKeepIdleSeconds = 4.0;

// httpcore's errors and httpx's of the same name, the more specific first,
// as httpx's own transport maps them.
const char *const kTransportErrors[] = {
    "ConnectTimeout", "ReadTimeout", "WriteTimeout",        "PoolTimeout",         "TimeoutException",
    "ConnectError",   "ReadError",   "WriteError",          "NetworkError",        "ProxyError",
    "UnsupportedProtocol", "LocalProtocolError", "RemoteProtocolError", "ProtocolError"};

// Rethrows an httpcore error as httpx's, the way callers of httpx expect it.
[[noreturn]] void raise_as_httpx(const py::error_already_set &e) {
    py::module_ httpcore = py::module_::import("httpcore");
    for (const char *name : kTransportErrors) {
        if (!e.matches(httpcore.attr(name))) continue;
        py::object mapped = py::module_::import("httpx").attr(name)(exception_text(e));
        raise_object_with_context(mapped, e);
    }
    throw e;
}

// --- The answer's body, as the HTTP client reads it -------------------------------------------

// The most bytes an answer within the answer limit takes on the wire: its
// decoded bytes as base64 text (4 characters for 3 bytes), with an eighth
// more for the archive records' framing and the JSON around them, and 1 MiB
// for small answers. Anything longer is refused before it is read whole.
long long wire_bound(py::handle module) {
    long long limit = std::max(answer_limit(module), 0LL);
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

py::object stream_init(FunctionObject *, py::handle *args) {
    py::setattr(args[0], "inner", args[1]);
    py::setattr(args[0], "parts", py::none());
    py::setattr(args[0], "left", args[2]);
    return py::none();
}

py::object stream_iter(FunctionObject *, py::handle *args) {
    py::setattr(args[0], "parts", py::iter(args[0].attr("inner")));
    return py::reinterpret_borrow<py::object>(args[0]);
}

// The next piece of the body, counted against the wire bound as it comes:
// a body without a length is cut off once it passes the bound.
py::object stream_next(FunctionObject *fn, py::handle *args) {
    py::handle self = args[0];
    py::object part;
    try {
        part = self.attr("parts").attr("__next__")();
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_StopIteration)) throw;
        raise_as_httpx(e);
    }
    long long left = self.attr("left").cast<long long>() - static_cast<long long>(py::len(part));
    if (left < 0) {
        self.attr("inner").attr("close")();
        refuse_body(py::none(), wire_bound(module_of(fn)));
    }
    self.attr("left") = py::int_(left);
    return part;
}

py::object stream_close(FunctionObject *, py::handle *args) {
    py::object inner = args[0].attr("inner");
    if (py::hasattr(inner, "close")) inner.attr("close")();
    return py::none();
}

const FunctionDef kStreamInit{"__init__", {"self", "inner", "left"}, stream_init};
const FunctionDef kStreamIter{"__iter__", {"self"}, stream_iter};
const FunctionDef kStreamNext{"__next__", {"self"}, stream_next};
const FunctionDef kStreamClose{"close", {"self"}, stream_close};

// --- The transport ----------------------------------------------------------------------------

py::object transport_init(FunctionObject *, py::handle *args) {
    py::setattr(args[0], "pool", args[1]);
    py::setattr(args[0], "answer_stream", args[2]);
    return py::none();
}

py::object transport_handle(FunctionObject *fn, py::handle *args) {
    py::handle self = args[0];
    py::handle request = args[1];
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
        answer = self.attr("pool").attr("handle_request")(core_request);
    } catch (py::error_already_set &e) {
        raise_as_httpx(e);
    }
    const long long bound = wire_bound(module_of(fn));
    // A declared length is checked before a byte of the body is read.
    for (py::handle header : answer.attr("headers")) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(header);
        if (!equals(pair[0].attr("lower")(), py::bytes("content-length"))) continue;
        py::object digits = pair[1].attr("strip")();
        if (!truth(digits.attr("isdigit")())) continue;  // the HTTP layer refuses it itself
        if (py::len(digits) > 18 || py::int_(digits).cast<long long>() > bound) {
            answer.attr("close")();
            refuse_body(digits.attr("decode")("ascii"), bound);
        }
    }
    return py::module_::import("httpx").attr("Response")(
        py::arg("status_code") = answer.attr("status"), py::arg("headers") = answer.attr("headers"),
        py::arg("stream") = self.attr("answer_stream")(answer.attr("stream"), bound),
        py::arg("extensions") = answer.attr("extensions"));
}

py::object transport_close(FunctionObject *, py::handle *args) { return args[0].attr("pool").attr("close")(); }

const FunctionDef kTransportInit{"__init__", {"self", "pool", "answer_stream"}, transport_init};
const FunctionDef kTransportHandle{"handle_request", {"self", "request"}, transport_handle};
const FunctionDef kTransportClose{"close", {"self"}, transport_close};

// httpx's own transport, but over a pool this package built.
py::object new_transport(py::handle module, py::handle pool) {
    py::module_ httpx = py::module_::import("httpx");
    py::object answer_stream = make_class(module, "_AnswerStream", py::make_tuple(httpx.attr("SyncByteStream")),
                                          {{"__init__", make_function(module, kStreamInit)},
                                           {"__iter__", make_function(module, kStreamIter)},
                                           {"__next__", make_function(module, kStreamNext)},
                                           {"close", make_function(module, kStreamClose)}});
    py::object transport = make_class(module, "_GuardedTransport", py::make_tuple(httpx.attr("BaseTransport")),
                                      {{"__init__", make_function(module, kTransportInit)},
                                       {"handle_request", make_function(module, kTransportHandle)},
                                       {"close", make_function(module, kTransportClose)}});
    return transport(pool, answer_stream);
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

// The connection pool for `origin`: through the proxy the environment names
// for it, every connection opened by the deadline backend. Notes the proxy
// in `guard` (None when there is none).
py::object new_pool(py::handle origin, py::handle backend, py::handle guard) {
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
    guard.attr("proxy") = py::none();
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
    guard.attr("proxy") = py::str(at);  // httpx keeps the user information apart
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

py::object make_http_client(py::handle module, py::handle url, py::handle headers, py::handle timeout,
                            py::handle guard) {
    py::module_ httpx = py::module_::import("httpx");
    py::object transport;
    try {
        transport = new_transport(
            module, new_pool(guard.attr("origin"), deadline_backend(module, guard.attr("local")), guard));
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
                                py::arg("event_hooks") = guard_hooks(module, guard),
                                py::arg("transport") = transport, py::arg("trust_env") = false);
}

}  // namespace vorna
