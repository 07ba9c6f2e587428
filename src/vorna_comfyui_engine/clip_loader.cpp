// vorna_comfyui_engine.clip_loader: names the text encoder for the service, and
// encodes prompts remotely into conditioning.
#include "../runtime/module_table.hpp"

namespace vorna {
namespace {

py::object loader_input_types(FunctionObject *, py::handle *) {
    return make_dict({
        {"required",
         make_dict({{"clip_name",
                     node_input("STRING", make_dict({{"default", py::str("qwen_2.5_vl_7b.safetensors")}}))},
                    {"type", node_input({"qwen_image"}, make_dict({{"default", py::str("qwen_image")}}))}})},
        {"optional",
         make_dict({{"device", node_input({"default", "cpu"}, make_dict({{"default", py::str("default")}}))}})},
    });
}

py::object encode_input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required",
                       make_dict({{"clip", node_input("CLIP")},
                                  {"text", node_input("STRING", make_dict({{"multiline", py::bool_(true)},
                                                                           {"dynamicPrompts", py::bool_(true)}}))}})}});
}

py::object encode(FunctionObject *fn, py::handle *args) {
    py::handle self = args[0];
    py::handle clip = args[1];
    py::handle text = args[2];
    // Outside the guard: a failing probe of the CLIP value is not wrapped.
    py::object clip_inputs = inputs_of(clip);
    return value_error_on_failure("Failed to encode text: ", [&] {
        py::object send_request = self.attr("send_request");
        py::object resp = send_request("text_encode", make_dict({{"text", py::reinterpret_borrow<py::object>(text)},
                                                                 {"clip", clip_inputs}}));
        py::object deserialize = global(fn, "deserialize_conditioning");
        py::object tensor = deserialize(resp.attr("get")("conditioning"));
        return py::make_tuple(tensor);
    });
}

const FunctionDef kLoaderInputTypes{"INPUT_TYPES", {"s"}, loader_input_types};
const FunctionDef kLoadClip{"load_clip", {"self", "clip_name", "type", "device"}, describe_node, "CLIPLoader"};
const FunctionDef kEncodeInputTypes{"INPUT_TYPES", {"s"}, encode_input_types};
const FunctionDef kEncode{"encode", {"self", "clip", "text"}, encode};

}  // namespace

void body_clip_loader(py::module_ m) {
    from_import(m, "base", {"NodeIO"}, 1);
    from_import(m, "config", {"get_config"}, 1);
    from_import(m, "bentoml", {"SyncHTTPClient"});
    from_import(m, "base", {"deserialize_conditioning", "base64_to_tensor", "BaseNode"}, 1);
    import_as(m, "logging", nullptr);

    FunctionOptions load_opts;
    load_opts.defaults = py::make_tuple("default");
    define_node_class(m, py::tuple(),
                      {"VornaCLIPLoader", kLoaderInputTypes, {"CLIP"}, "Vorna/loaders",
                       "Names the text encoder that the remote service loads; loads nothing here.", kLoadClip,
                       load_opts});

    // A second read of the configuration, kept in this class's own namespace.
    py::object cfg = global(m, "get_config")();
    FunctionOptions encode_opts;
    encode_opts.doc = "Encode text using Vorna CLIP";
    define_node_class(m, py::make_tuple(global(m, "BaseNode")),
                      {"VornaCLIPTextEncode", kEncodeInputTypes, {"CONDITIONING"}, "Vorna/conditioning",
                       "Encodes a prompt into conditioning on the remote service.", kEncode, encode_opts,
                       {{"cfg", cfg},
                        {"BASE_URL", cfg.attr("api_base_url")},
                        {"REQUEST_TIMEOUT", cfg.attr("request_timeout")}},
                       "Vorna CLIP Text Encode"});

    register_nodes(m, {{"VornaCLIPLoader", "VornaCLIPLoader", "Vorna CLIP Loader"},
                       {"VornaCLIPTextEncode", "VornaCLIPTextEncode", "Vorna CLIP Text Encode"}});
}

}  // namespace vorna
