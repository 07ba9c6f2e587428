// vorna_comfyui_engine.config: service settings read once from the environment,
// and the API key that can be replaced at run time under a lock.
#include "config.hpp"

#include "../runtime/module_table.hpp"

namespace vorna {

const char *api_key_problem(py::handle key) {
    if (!PyUnicode_Check(key.ptr())) return nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(key.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(key.ptr(), i);
        if (c == '\n' || c == '\r') return "a line break";
        if ((c < 0x20 && c != '\t') || c == 0x7f) return "a control character";
        if (c > 0x7f) return "a non-ASCII character";
    }
    if (n > 0) {
        Py_UCS4 first = PyUnicode_READ_CHAR(key.ptr(), 0);
        Py_UCS4 last = PyUnicode_READ_CHAR(key.ptr(), n - 1);
        if (first == ' ' || first == '\t' || last == ' ' || last == '\t') return "blanks at its start or end";
    }
    return nullptr;
}

namespace {

constexpr const char *kDefaultBaseUrl = "https://api.vorna.example/api/v1/comfyui/";

py::object load_config(FunctionObject *self, py::handle *) {
    py::object os = global(self, "os");
    py::object getenv = os.attr("getenv");
    py::object api_base_url = getenv("VORNA_API_BASE_URL", kDefaultBaseUrl);
    py::object api_key = getenv("VORNA_API_KEY", "");
    py::object int_ = global(self, "int");
    py::object request_timeout = int_(os.attr("getenv")("VORNA_REQUEST_TIMEOUT", "1800"));
    py::object api_retry = int_(os.attr("getenv")("VORNA_API_RETRY", "3"));
    return global(self, "Config")(py::arg("api_base_url") = api_base_url, py::arg("api_key") = api_key,
                                  py::arg("request_timeout") = request_timeout, py::arg("api_retry") = api_retry);
}

// `with _api_key_lock:`
template <typename F>
void with_lock(FunctionObject *self, F &&body) {
    with_context(global(self, "_api_key_lock"), [&](py::handle) {
        body();
        return py::none();
    });
}

py::object set_api_key(FunctionObject *self, py::handle *args) {
    py::handle api_key = args[0];
    with_lock(self, [&] { bind(module_of(self), "_dynamic_api_key", truth(api_key) ? api_key : py::none()); });
    return py::none();
}

py::object get_api_key(FunctionObject *self, py::handle *) {
    // A key given to the calls of this context (a prompt's own) comes first.
    py::object own = global(self, "_prompt_api_key").attr("get")();
    if (!own.is_none()) return own;
    py::object dynamic;
    with_lock(self, [&] { dynamic = global(self, "_dynamic_api_key"); });
    if (!dynamic.is_none()) return dynamic;
    // Read after the lock is released: the record is immutable.
    return global(self, "_CONFIG").attr("api_key");
}

py::object get_config(FunctionObject *self, py::handle *) {
    py::object api_key = global(self, "get_api_key")();
    py::object config = global(self, "_CONFIG");
    return global(self, "Config")(py::arg("api_base_url") = config.attr("api_base_url"),
                                  py::arg("api_key") = api_key,
                                  py::arg("request_timeout") = config.attr("request_timeout"),
                                  py::arg("api_retry") = config.attr("api_retry"));
}

py::object get_auth_headers(FunctionObject *self, py::handle *) {
    py::object api_key = global(self, "get_api_key")();
    py::dict headers;
    if (!truth(api_key)) return headers;
    PyObject *text = PyObject_Format(api_key.ptr(), nullptr);
    if (!text) throw py::error_already_set();
    headers["Authorization"] = py::str("Bearer ") + py::reinterpret_steal<py::str>(text);
    return headers;
}

py::object api_key_problem_of(FunctionObject *, py::handle *args) {
    const char *problem = api_key_problem(args[0]);
    return problem ? py::object(py::str(problem)) : py::object(py::none());
}

const FunctionDef kLoadConfig{"_load_config", {}, load_config};
const FunctionDef kSetApiKey{"set_api_key", {"api_key"}, set_api_key};
const FunctionDef kGetApiKey{"get_api_key", {}, get_api_key};
const FunctionDef kGetConfig{"get_config", {}, get_config};
const FunctionDef kGetAuthHeaders{"get_auth_headers", {}, get_auth_headers};
const FunctionDef kApiKeyProblem{"_api_key_problem", {"api_key"}, api_key_problem_of};

}  // namespace

void body_config(py::module_ m) {
    py::object builtins = py::module_::import("builtins");
    py::object str = builtins.attr("str");
    py::object int_ = builtins.attr("int");
    py::dict annotations;
    bind(m, "__annotations__", annotations);
    py::object dataclasses = py::module_::import("dataclasses");
    py::object dataclass = dataclasses.attr("dataclass");
    bind(m, "dataclass", dataclass);
    bind(m, "os", py::module_::import("os"));
    bind(m, "threading", py::module_::import("threading"));

    // The key stays out of the generated representation so it never reaches logs.
    py::object key_field = dataclasses.attr("field")(py::arg("repr") = false);
    py::object cls = make_class(m, "Config", py::tuple(),
                                {{"__annotations__", make_dict({{"api_base_url", str},
                                                                {"api_key", str},
                                                                {"request_timeout", int_},
                                                                {"api_retry", int_}})},
                                 {"api_key", key_field}});
    bind(m, "Config", dataclass(py::arg("frozen") = true)(cls));

    FunctionOptions load_opts;
    load_opts.annotations = make_dict({{"return", global(m, "Config")}});
    bind(m, "_load_config", make_function(m, kLoadConfig, load_opts));
    bind(m, "_CONFIG", global(m, "_load_config")());
    // Bounded wait for the service's readiness; not part of the record.
    bind(m, "_SERVER_READY_TIMEOUT",
         int_(global(m, "os").attr("getenv")("VORNA_SERVER_READY_TIMEOUT", "30")));
    // The most that one answer of the service may decode to; not part of the record.
    bind(m, "_MAX_ANSWER_BYTES",
         int_(global(m, "os").attr("getenv")("VORNA_MAX_ANSWER_BYTES", "1073741824")));
    // 0: a new client (connection, schema request) for every request.
    bind(m, "_REUSE_CONNECTIONS",
         builtins.attr("bool")(int_(global(m, "os").attr("getenv")("VORNA_REUSE_CONNECTIONS", "1"))));
    bind(m, "_api_key_lock", global(m, "threading").attr("Lock")());
    annotations["_dynamic_api_key"] = str;
    bind(m, "_dynamic_api_key", py::none());
    // The key of the calls made in the current context (a ComfyUI prompt's
    // own key), ahead of the dynamic key; None when the context has none.
    bind(m, "_prompt_api_key",
         py::module_::import("contextvars").attr("ContextVar")("vorna_prompt_api_key", py::arg("default") = py::none()));

    FunctionOptions set_opts;
    set_opts.doc = "动态设置 API key（由 VornaAPIClient 节点调用）";
    set_opts.annotations = make_dict({{"api_key", str}, {"return", py::none()}});
    bind(m, "set_api_key", make_function(m, kSetApiKey, set_opts));

    FunctionOptions get_key_opts;
    get_key_opts.doc = "获取 API key，优先使用动态设置的，否则使用配置中的";
    get_key_opts.annotations = make_dict({{"return", str}});
    bind(m, "get_api_key", make_function(m, kGetApiKey, get_key_opts));

    FunctionOptions get_config_opts;
    get_config_opts.doc = "获取配置，使用动态 API key（如果已设置）";
    get_config_opts.annotations = make_dict({{"return", global(m, "Config")}});
    bind(m, "get_config", make_function(m, kGetConfig, get_config_opts));

    FunctionOptions headers_opts;
    headers_opts.annotations = make_dict({{"return", builtins.attr("dict")}});
    bind(m, "get_auth_headers", make_function(m, kGetAuthHeaders, headers_opts));

    FunctionOptions problem_opts;
    problem_opts.doc = "What keeps api_key out of an HTTP header (text), or None when it can be sent.";
    bind(m, "_api_key_problem", make_function(m, kApiKeyProblem, problem_opts));
}

}  // namespace vorna
