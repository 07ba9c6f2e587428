#include "client_pool.hpp"

#include "deadline.hpp"
#include "opening.hpp"
#include "origin_guard.hpp"

#include <algorithm>
#include <vector>

namespace vorna {
namespace {

// Kept clients at most: settings differ only where an instance or a subclass
// overrides them, so more would hold connections, not save round trips.
constexpr Py_ssize_t kPoolSize = 4;

// The pool's lock, held for the scope; released on every way out, with any
// pending error left as it was.
class PoolLock {
public:
    explicit PoolLock(py::handle pool) : lock_(pool.attr("lock")) { lock_.attr("acquire")(); }
    ~PoolLock() {
        py::error_scope keep;
        py::object done = py::reinterpret_steal<py::object>(PyObject_CallMethod(lock_.ptr(), "release", nullptr));
        if (!done) PyErr_Clear();
    }
    PoolLock(const PoolLock &) = delete;
    PoolLock &operator=(const PoolLock &) = delete;

private:
    py::object lock_;
};

// Closing a client nobody uses any more is best effort: the call that let it
// go has its own outcome to report.
void close_quietly(py::handle client) {
    try {
        client.attr("close")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// The kept clients' keys and headers hold the API key: the pool shows neither.
py::object pool_repr(FunctionObject *, py::handle *args) {
    return py::str("<kept service clients: {}>").attr("format")(py::len(args[0].attr("entries")));
}

const FunctionDef kPoolRepr{"__repr__", {"self"}, pool_repr};

int users_of(py::handle kept) { return kept.attr("users").cast<int>(); }

void add_users(py::handle kept, int change) { kept.attr("users") = py::int_(users_of(kept) + change); }

py::object find(const py::dict &entries, py::handle key) {
    PyObject *found = PyDict_GetItemWithError(entries.ptr(), key.ptr());
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return found ? py::reinterpret_borrow<py::object>(found) : py::none();
}

// Out of the pool; closed now when unused, else by its last user.
void retire(const py::dict &entries, py::handle key, py::handle kept, std::vector<py::object> &to_close) {
    if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0) throw py::error_already_set();
    kept.attr("retired") = py::bool_(true);
    if (users_of(kept) == 0) to_close.push_back(kept.attr("client"));
}

void close_all(std::vector<py::object> &clients) {
    for (py::object &client : clients) close_quietly(client);
}

// The kept client for `key`, now used once more, or None.
py::object take(py::handle pool, py::handle key) {
    PoolLock hold(pool);
    py::dict entries = pool.attr("entries");
    py::object kept = find(entries, key);
    if (kept.is_none()) return kept;
    // The most recently used last, so the least recently used goes first.
    if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0 || PyDict_SetItem(entries.ptr(), key.ptr(), kept.ptr()) < 0)
        throw py::error_already_set();
    add_users(kept, 1);
    return kept;
}

// Keeps a newly opened client for `key` (or, when another thread kept one
// meanwhile, uses that one and closes this). Clients of another key, and of
// other settings for the same service, no longer serve: they go.
py::object put(py::handle pool, py::handle key, const OpenedClient &opened) {
    std::vector<py::object> to_close;
    py::object kept;
    {
        PoolLock hold(pool);
        py::dict entries = pool.attr("entries");
        kept = find(entries, key);
        if (!kept.is_none()) {
            add_users(kept, 1);
            to_close.push_back(opened.client);
        } else {
            kept = pool.attr("kept_type")();
            kept.attr("client") = opened.client;
            kept.attr("guard") = opened.guard;
            kept.attr("users") = py::int_(1);
            kept.attr("retired") = py::bool_(false);
            py::tuple mine = py::reinterpret_borrow<py::tuple>(key);
            for (py::handle item : py::list(entries.attr("items")())) {
                py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
                py::tuple other = pair[0];
                // (client type, base URL, key, timeout): the same URL with another key or setting.
                if (!equals(other[2], mine[2]) || equals(other[1], mine[1])) retire(entries, other, pair[1], to_close);
            }
            if (PyDict_SetItem(entries.ptr(), key.ptr(), kept.ptr()) < 0) throw py::error_already_set();
            while (py::len(entries) > static_cast<size_t>(kPoolSize)) {
                py::object oldest = py::reinterpret_borrow<py::object>(*py::iter(entries));
                retire(entries, oldest, find(entries, oldest), to_close);
            }
        }
    }
    close_all(to_close);
    return kept;
}

void release(py::handle pool, py::handle kept) {
    std::vector<py::object> to_close;
    {
        PoolLock hold(pool);
        add_users(kept, -1);
        if (users_of(kept) == 0 && truth(kept.attr("retired"))) to_close.push_back(kept.attr("client"));
    }
    close_all(to_close);
}

// Takes `kept` out of the pool if it is still the one kept for `key`.
void drop(py::handle pool, py::handle key, py::handle kept) {
    std::vector<py::object> to_close;
    {
        PoolLock hold(pool);
        py::dict entries = pool.attr("entries");
        if (find(entries, key).is(kept)) retire(entries, key, kept, to_close);
    }
    close_all(to_close);
}

// The kept client a call uses, handed back to the pool on every way out.
class ClientInUse {
public:
    explicit ClientInUse(py::handle pool) : pool_(pool) {}
    ~ClientInUse() {
        if (!kept_) return;
        py::error_scope keep;
        try {
            release(pool_, kept_);
        } catch (py::error_already_set &) {
        }
    }
    ClientInUse(const ClientInUse &) = delete;
    ClientInUse &operator=(const ClientInUse &) = delete;

    void use(py::object kept) { kept_ = std::move(kept); }
    void hand_back() {
        py::object kept = std::move(kept_);
        kept_ = py::object();
        if (kept) release(pool_, kept);
    }
    const py::object &kept() const { return kept_; }
    py::object client() const { return kept_.attr("client"); }
    py::object guard() const { return kept_.attr("guard"); }

private:
    py::handle pool_;
    py::object kept_;
};

// The route the client's schema names for `endpoint`, or None.
py::object route_of(py::handle client, py::handle endpoint) {
    py::object found = endpoint_of(client, endpoint);
    return found.is_none() ? found : py::getattr(found, "route", py::none());
}

}  // namespace

py::object new_client_pool(py::handle module) {
    py::object pool_type = make_class(module, "_ClientPool", py::tuple(),
                                      {{"__slots__", py::make_tuple("lock", "entries", "kept_type")},
                                       {"__repr__", make_function(module, kPoolRepr)}});
    // One kept client: the library's client, its guard, how many calls use
    // it now, and whether it left the pool (then its last user closes it).
    py::object kept_type = make_class(module, "_KeptClient", py::tuple(),
                                      {{"__slots__", py::make_tuple("client", "guard", "users", "retired")}});
    py::object pool = pool_type();
    pool.attr("lock") = py::module_::import("threading").attr("Lock")();
    pool.attr("entries") = py::dict();
    pool.attr("kept_type") = kept_type;
    return pool;
}

py::object pool_key(py::handle client_type, py::handle base_url, py::handle token, py::handle timeout) {
    if (!is_library_client(client_type) || http_origin(base_url).is_none()) return py::none();
    py::tuple key = py::make_tuple(client_type, base_url, token, timeout);
    if (PyObject_Hash(key.ptr()) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::none();
    }
    return key;
}

void forget_token(py::handle pool, py::handle token) {
    std::vector<py::object> to_close;
    {
        PoolLock hold(pool);
        py::dict entries = pool.attr("entries");
        for (py::handle item : py::list(entries.attr("items")())) {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            py::tuple key = pair[0];
            // (client type, base URL, key, timeout)
            if (equals(key[2], token)) retire(entries, key, pair[1], to_close);
        }
    }
    close_all(to_close);
}

py::object pooled_call(py::handle module, py::handle pool, py::handle key, py::handle client_type,
                       py::handle base_url, py::handle token, py::handle timeout, py::handle ready_timeout,
                       py::handle endpoint, py::handle kwargs) {
    const double started = now_seconds();
    const double ready_deadline = started + std::max(ready_budget(timeout, ready_timeout), 0.0);
    ClientInUse in_use(pool);
    bool fresh = false;
    auto open_fresh = [&] {
        OpenedClient opened = open_client(module, client_type, base_url, token, timeout, ready_timeout, started);
        in_use.use(put(pool, key, opened));
        // Another thread may have kept a client meanwhile: then that one is used, not new.
        fresh = in_use.client().is(opened.client);
    };
    // The kept client will not do: another is opened in its place, as if none had been kept.
    auto replace = [&] {
        drop(pool, key, in_use.kept());
        in_use.hand_back();
        open_fresh();
    };

    py::object kept = take(pool, key);
    if (kept.is_none())
        open_fresh();
    else
        in_use.use(kept);
    // The service may have been updated since its schema was read.
    if (!fresh && endpoint_of(in_use.client(), endpoint).is_none()) replace();

    py::object httpx = py::module_::import("httpx");
    const double request = seconds_or_negative(timeout);
    const double sent = now_seconds();
    const double whole = std::numeric_limits<double>::quiet_NaN();
    auto send = [&](double seconds) {
        py::object client = in_use.client();
        check_endpoint(client, endpoint, in_use.guard());
        // A new connection is opened within what is left of the readiness
        // budget, as the schema request of a new client would be.
        return guarded_call(client.attr("call"), endpoint, kwargs, base_url, timeout, in_use.guard(), seconds,
                            try_seconds(timeout, ready_deadline - now_seconds()));
    };
    try {
        return send(whole);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling handling(e);
        ConnectionFacts facts = connection_facts(in_use.guard());
        // The request never left for a kept connection the service had
        // closed: sent once more, on a new connection. Once any of it went
        // out, the service may be working on it, and it is not sent twice.
        if (e.matches(httpx.attr("RemoteProtocolError")) && !facts.connected && !facts.written && !facts.received) {
            if (request <= 0) return send(whole);  // no deadline
            double left = request - (now_seconds() - sent);
            if (left > 0) return send(left);
        }
        // Nothing reached the service (down, or restarting): wait for it as a
        // new client would, then send.
        if (!fresh && (e.matches(httpx.attr("ConnectError")) || e.matches(httpx.attr("ConnectTimeout")))) {
            replace();
            return send(whole);
        }
        // A 404 from a kept client: the route may have moved since its schema
        // was read. The schema is read again, and the request sent once more
        // only to the route it now names: the service may have read the
        // request and be working on it, so the same route's 404 stands.
        if (!fresh && e.matches(py::module_::import("bentoml.exceptions").attr("NotFound")) &&
            status_of(e, in_use.guard()) == 404) {
            py::object before = route_of(in_use.client(), endpoint);
            replace();
            py::object now = route_of(in_use.client(), endpoint);
            if (now.is_none()) {
                py::str message = py::str("the service answered HTTP 404 Not Found for the endpoint {}, and its "
                                          "schema, read again, no longer names that endpoint")
                                      .attr("format")(py::repr(endpoint)[py::slice(0, 80, 1)]);
                raise_object_with_context(
                    py::module_::import("bentoml.exceptions").attr("NotFound")(message), e);
            }
            if (equals(now, before)) throw;
            return send(whole);
        }
        throw;
    }
}

}  // namespace vorna
