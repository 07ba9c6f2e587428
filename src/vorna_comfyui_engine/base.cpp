// vorna_comfyui_engine.base: the node descriptor, the base class of the nodes
// and the one path by which any node calls the remote service.
#include "../runtime/module_table.hpp"
#include "../codec/answers.hpp"
#include "../request/client_pool.hpp"
#include "../request/service_call.hpp"
#include "../request/url_password.hpp"
#include "base_codecs.hpp"
#include "config.hpp"

namespace vorna {
namespace {

py::object nodeio_init(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    py::setattr(self, "name", args[1]);
    py::setattr(self, "inputs", args[2]);
    return py::none();
}

py::object nodeio_to_dict(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    py::dict d;
    d["name"] = self.attr("name");
    d["inputs"] = self.attr("inputs");
    return d;
}

py::object basenode_init(FunctionObject *, py::handle *) { return py::none(); }

py::object basenode_build_url(FunctionObject *, py::handle *args) {
    py::handle self = args[0];
    py::object url = py::reinterpret_borrow<py::object>(args[1]);
    py::object base_url = self.attr("BASE_URL");
    if (truth(url.attr("startswith")(base_url))) return url;
    if (truth(url.attr("startswith")("/"))) return py::str("{}{}").attr("format")(base_url, url);
    return py::str("{}/{}").attr("format")(base_url, url);
}

// A key that cannot be sent is refused here, naming only what is wrong.
void check_token(py::handle token) {
    if (const char *problem = api_key_problem(token)) {
        PyErr_Format(PyExc_ValueError, "the API key cannot be sent in an HTTP header: it holds %s", problem);
        throw py::error_already_set();
    }
}

py::object basenode_send_request(FunctionObject *fn, py::handle *args) {
    Arguments in(fn, args);
    py::handle self = in["self"];
    RequestSettings settings;
    settings.base_url = py::none();
    try {
        // The module's globals and the node's class settings, read in the
        // order a Python body would read them, then handed down.
        settings.client_type = global(fn, "SyncHTTPClient");
        settings.base_url = self.attr("BASE_URL");
        settings.token = global(fn, "get_api_key")();
        check_token(settings.token);
        settings.timeout = self.attr("REQUEST_TIMEOUT");
        settings.ready_timeout = self.attr("SERVER_READY_TIMEOUT");
        settings.reuse = truth(self.attr("REUSE_CONNECTIONS"));
        settings.answer_limit = as_size(self.attr("MAX_ANSWER_BYTES"));
        return call_service(global(fn, "_client_pool"), settings, in["url"], in["payload"]);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        // A password in the service URL shows nowhere, whoever wrote the text.
        if (!settings.base_url.is_none()) scrub_exception(e.value(), settings.base_url);
        py::str message = py::str("send request failed: ") + exception_text(e);
        global(fn, "logger").attr("error")(message);
        throw;
    }
}

py::object forget_api_key(FunctionObject *fn, py::handle *args) {
    forget_token(global(fn, "_client_pool"), args[0]);
    return py::none();
}

const FunctionDef kNodeIOInit{"__init__", {"self", "name", "inputs"}, nodeio_init};
const FunctionDef kNodeIOToDict{"to_dict", {"self"}, nodeio_to_dict};
const FunctionDef kBaseNodeInit{"__init__", {"self"}, basenode_init};
const FunctionDef kBuildUrl{"_build_url", {"self", "url"}, basenode_build_url};
const FunctionDef kSendRequest{"send_request", {"self", "url", "payload"}, basenode_send_request};
const FunctionDef kForgetApiKey{"_forget_api_key", {"api_key"}, forget_api_key};

}  // namespace

void body_base(py::module_ m) {
    import_as(m, "io", nullptr);
    import_as(m, "base64", nullptr);
    import_as(m, "logging", nullptr);
    from_import(m, "typing", {"Dict", "Any"});
    import_as(m, "json", nullptr);
    import_as(m, "requests", nullptr);
    import_as(m, "torch", nullptr);
    import_as(m, "numpy", "np");
    from_import(m, "PIL", {"Image"});
    from_import(m, "bentoml", {"SyncHTTPClient"});
    from_import(m, "config", {"get_config", "get_api_key"}, 1);
    import_as(m, "pyarrow", "pa");
    try {
        import_as(m, "pyarrow.serialize", "pas");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        bind(m, "pas", global(m, "pa"));
    }
    py::object logging = global(m, "logging");
    bind(m, "logger", logging.attr("getLogger")(global(m, "__name__")));
    global(m, "logger").attr("setLevel")(logging.attr("DEBUG"));

    py::object str = py::module_::import("builtins").attr("str");
    py::object dict_str_any = global(m, "Dict")[py::make_tuple(str, global(m, "Any"))];

    FunctionOptions init_opts;
    init_opts.annotations = make_dict({{"name", str}, {"inputs", dict_str_any}});
    FunctionOptions to_dict_opts;
    to_dict_opts.annotations = make_dict({{"return", dict_str_any}});
    bind(m, "NodeIO",
         make_class(m, "NodeIO", py::tuple(),
                    {{"__init__", make_function(m, kNodeIOInit, init_opts)},
                     {"to_dict", make_function(m, kNodeIOToDict, to_dict_opts)}}));

    define_codecs(m);

    // Settings are copied once, when the class is created; the key is not.
    py::object cfg = global(m, "get_config")();
    py::object config_module = py::module_::import("sys").attr("modules")[global(m, "__package__") + py::str(".config")];
    FunctionOptions build_opts;
    build_opts.annotations = make_dict({{"url", str}, {"return", str}});
    FunctionOptions send_opts;
    send_opts.annotations = make_dict({{"url", str}, {"payload", dict_str_any}});
    bind(m, "BaseNode",
         make_class(m, "BaseNode", py::tuple(),
                    {{"cfg", cfg},
                     {"BASE_URL", cfg.attr("api_base_url")},
                     {"REQUEST_TIMEOUT", cfg.attr("request_timeout")},
                     {"SERVER_READY_TIMEOUT", config_module.attr("_SERVER_READY_TIMEOUT")},
                     {"REUSE_CONNECTIONS", config_module.attr("_REUSE_CONNECTIONS")},
                     {"MAX_ANSWER_BYTES", config_module.attr("_MAX_ANSWER_BYTES")},
                     {"__init__", make_function(m, kBaseNodeInit)},
                     {"_build_url", make_function(m, kBuildUrl, build_opts)},
                     {"send_request", make_function(m, kSendRequest, send_opts)}}));
    // The request layer's module state (the clients kept between requests,
    // the name lookups in flight, the classes of their HTTP stack), so a
    // module body run again starts with none of them.
    bind(m, "_client_pool", new_client_pool(m));
    FunctionOptions forget_opts;
    forget_opts.doc = "Closes the kept clients that send api_key, so that no client keeps it.";
    bind(m, "_forget_api_key", make_function(m, kForgetApiKey, forget_opts));
}

}  // namespace vorna
