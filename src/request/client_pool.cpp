#include "client_pool.hpp"

#include "deadline.hpp"
#include "opening.hpp"
#include "origin_guard.hpp"
#include "resolver.hpp"
#include "service_call.hpp"
#include "service_errors.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace vorna {
namespace {

// Kept clients at most: settings differ only where an instance or a subclass
// overrides them, so more would hold connections, not save round trips.
constexpr Py_ssize_t kPoolSize = 4;

// One kept client: the library's client, its guard, how many calls use it
// now, and whether it left the pool (then its last user closes it).
struct KeptClient {
    static const NativeTypeSpec kType;
    py::object client;
    py::object guard;
    int users = 0;
    bool retired = false;

    template <class F>
    void references(F &&each) {
        each(client);
        each(guard);
    }
};

py::object kept_client_of(PyObject *self) { return native<KeptClient>(self).client; }
py::object kept_guard_of(PyObject *self) {
    const py::object &guard = native<KeptClient>(self).guard;
    return guard ? guard : py::none();
}

PyGetSetDef kKeptGetSet[] = {
    {"client", native_getter<kept_client_of>, nullptr, "The library's client kept.", nullptr},
    {"guard", native_getter<kept_guard_of>, nullptr, "Its origin guard (None for none).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

// The pool's lock, held for the scope. Waiting for it lets other threads
// run, as threading.Lock does: the holder may be running Python code.
class PoolLock {
public:
    explicit PoolLock(ClientPool &pool) : lock_(pool.lock) {
        if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(lock_, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
    }
    ~PoolLock() { PyThread_release_lock(lock_); }
    PoolLock(const PoolLock &) = delete;
    PoolLock &operator=(const PoolLock &) = delete;

private:
    PyThread_type_lock lock_;
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
py::object pool_repr(PyObject *self) {
    return py::str("<kept service clients: {}>").format(py::len(native<ClientPool>(self).entries));
}

py::object pool_entries(PyObject *self) { return native<ClientPool>(self).entries; }

PyGetSetDef kPoolGetSet[] = {
    {"entries", native_getter<pool_entries>, nullptr, "The kept clients by pool key (a dict).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

py::dict entries_of(ClientPool &pool) {
    if (!PyDict_Check(pool.entries.ptr())) {
        PyErr_SetString(PyExc_SystemError, "the client pool holds no dict of kept clients");
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::dict>(pool.entries);
}

py::object find(const py::dict &entries, py::handle key) {
    PyObject *found = PyDict_GetItemWithError(entries.ptr(), key.ptr());
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return found ? py::reinterpret_borrow<py::object>(found) : py::none();
}

// Out of the pool; closed now when unused, else by its last user.
void retire(const py::dict &entries, py::handle key, py::handle kept_object, std::vector<py::object> &to_close) {
    KeptClient &kept = native<KeptClient>(kept_object);
    if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0) throw py::error_already_set();
    kept.retired = true;
    if (kept.users == 0) to_close.push_back(kept.client);
}

void close_all(std::vector<py::object> &clients) {
    for (py::object &client : clients) close_quietly(client);
}

// The kept client for `key`, now used once more, or None.
py::object take(ClientPool &pool, py::handle key) {
    PoolLock hold(pool);
    py::dict entries = entries_of(pool);
    py::object kept = find(entries, key);
    if (kept.is_none()) return kept;
    // The most recently used last, so the least recently used goes first.
    if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0 || PyDict_SetItem(entries.ptr(), key.ptr(), kept.ptr()) < 0)
        throw py::error_already_set();
    native<KeptClient>(kept).users += 1;
    return kept;
}

// Keeps a newly opened client for `key` (or, when another thread kept one
// meanwhile, uses that one and closes this). Clients of another key, and of
// other settings for the same service, no longer serve: they go.
py::object put(ClientPool &pool, py::handle key, const OpenedClient &opened) {
    std::vector<py::object> to_close;
    py::object kept;
    {
        PoolLock hold(pool);
        py::dict entries = entries_of(pool);
        kept = find(entries, key);
        if (!kept.is_none()) {
            native<KeptClient>(kept).users += 1;
            to_close.push_back(opened.client);
        } else {
            kept = make_native<KeptClient>(KeptClient{opened.client, opened.guard, 1, false});
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

void release(ClientPool &pool, py::handle kept_object) {
    std::vector<py::object> to_close;
    {
        PoolLock hold(pool);
        KeptClient &kept = native<KeptClient>(kept_object);
        kept.users -= 1;
        if (kept.users == 0 && kept.retired) to_close.push_back(kept.client);
    }
    close_all(to_close);
}

// Takes `kept` out of the pool if it is still the one kept for `key`.
void drop(ClientPool &pool, py::handle key, py::handle kept) {
    std::vector<py::object> to_close;
    {
        PoolLock hold(pool);
        py::dict entries = entries_of(pool);
        if (find(entries, key).is(kept)) retire(entries, key, kept, to_close);
    }
    close_all(to_close);
}

// The kept client a call uses, handed back to the pool on every way out.
class ClientInUse {
public:
    explicit ClientInUse(ClientPool &pool) : pool_(pool) {}
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
    const py::object &client() const { return native<KeptClient>(kept_).client; }
    // A kept client is always the library's, so it always has a guard.
    const py::object &guard() const { return native<KeptClient>(kept_).guard; }

private:
    ClientPool &pool_;
    py::object kept_;
};

// The route the client's schema names for `endpoint`, or None.
py::object route_of(py::handle client, py::handle endpoint) {
    py::object found = endpoint_of(client, endpoint);
    return found.is_none() ? found : py::getattr(found, "route", py::none());
}

}  // namespace

const NativeTypeSpec KeptClient::kType = {"vorna_comfyui_engine._KeptClient",
                                          "A service client kept between calls.", kNoMethods, kKeptGetSet};
const NativeTypeSpec ClientPool::kType = {"vorna_comfyui_engine._ClientPool",
                                          "The clients a module keeps between calls, and what they are made of.",
                                          kNoMethods, kPoolGetSet, native_repr<pool_repr>};

ClientPool::ClientPool(py::handle module_object)
    : module(py::reinterpret_borrow<py::object>(module_object)),
      entries(py::dict()),
      resolver(new_resolver()),
      lock(PyThread_allocate_lock()) {
    if (!lock) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
}

ClientPool::~ClientPool() {
    if (lock) PyThread_free_lock(lock);
}

py::object new_client_pool(py::handle module) { return make_native<ClientPool>(module); }

py::object pool_key(const RequestSettings &s) {
    if (!is_library_client(s.client_type) || http_origin(s.base_url).is_none()) return py::none();
    py::tuple key = py::make_tuple(s.client_type, s.base_url, s.token, s.timeout);
    if (PyObject_Hash(key.ptr()) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::none();
    }
    return key;
}

void forget_token(py::handle pool_object, py::handle token) {
    ClientPool &pool = native<ClientPool>(pool_object);
    std::vector<py::object> to_close;
    {
        PoolLock hold(pool);
        py::dict entries = entries_of(pool);
        for (py::handle item : py::list(entries.attr("items")())) {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            py::tuple key = pair[0];
            // (client type, base URL, key, timeout)
            if (equals(key[2], token)) retire(entries, key, pair[1], to_close);
        }
    }
    close_all(to_close);
}

py::object pooled_call(py::handle pool_object, py::handle key, const EndpointCall &call) {
    ClientPool &pool = native<ClientPool>(pool_object);
    const RequestSettings &settings = call.settings;
    const double started = now_seconds();
    const double ready_deadline = started + settings.ready_seconds();
    ClientInUse in_use(pool);
    bool fresh = false;
    auto open_fresh = [&] {
        OpenedClient opened = open_client(pool_object, settings, started);
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
    if (!fresh && endpoint_of(in_use.client(), call.endpoint).is_none()) replace();

    py::object httpx = py::module_::import("httpx");
    const double request = settings.request_seconds();
    const double sent = now_seconds();
    const double whole = std::numeric_limits<double>::quiet_NaN();
    RequestFacts facts;
    auto send = [&](double seconds) {
        const py::object &client = in_use.client();
        check_endpoint(client, call.endpoint, in_use.guard());
        // A new connection is opened within what is left of the readiness
        // budget, as the schema request of a new client would be.
        CallBounds bounds{seconds, try_seconds(settings, ready_deadline - now_seconds())};
        return guarded_call(client.attr("call"), in_use.guard(), call, facts, bounds);
    };
    try {
        return send(whole);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling handling(e);
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
            status_of(e, &facts) == 404) {
            py::object before = route_of(in_use.client(), call.endpoint);
            replace();
            py::object now = route_of(in_use.client(), call.endpoint);
            if (now.is_none()) {
                py::str message = py::str("the service answered HTTP 404 Not Found for the endpoint {}, and its "
                                          "schema, read again, no longer names that endpoint")
                                      .format(py::repr(call.endpoint)[py::slice(0, 80, 1)]);
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
