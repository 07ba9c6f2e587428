// vorna_comfyui_engine.clip_loader: names the text encoder for the service, and
// encodes prompts remotely into conditioning.
#include "../module_loader/module_table.hpp"

namespace vorna {
namespace {

py::object loader_input_types(FunctionObject *, py::handle *) {
    return make_dict({
        {"required",
         make_dict({{"clip_name",
                     tuple_of({py::str("STRING"), make_dict({{"default", py::str("qwen_2.5_vl_7b.safetensors")}})})},
                    {"type", tuple_of({py::list(py::make_tuple("qwen_image")),
                                       make_dict({{"default", py::str("qwen_image")}})})}})},
        {"optional", make_dict({{"device", tuple_of({py::list(py::make_tuple("default", "cpu")),
                                                     make_dict({{"default", py::str("default")}})})}})},
    });
}

py::object encode_input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required",
                       make_dict({{"clip", tuple_of({py::str("CLIP")})},
                                  {"text", tuple_of({py::str("STRING"),
                                                     make_dict({{"multiline", py::bool_(true)},
                                                                {"dynamicPrompts", py::bool_(true)}})})}})}});
}

py::object encode(FunctionObject *fn, py::handle *args) {
    py::handle self = args[0];
    py::handle clip = args[1];
    py::handle text = args[2];
    // Outside the guard: a failing probe of the CLIP value is not wrapped.
    py::object clip_inputs = py::none();
    if (has_attribute(clip, "inputs")) clip_inputs = clip.attr("inputs");
    try {
        py::object send_request = self.attr("send_request");
        py::object resp = send_request("text_encode", make_dict({{"text", py::reinterpret_borrow<py::object>(text)},
                                                                 {"clip", clip_inputs}}));
        py::object deserialize = global(fn, "deserialize_conditioning");
        py::object tensor = deserialize(resp.attr("get")("conditioning"));
        return py::make_tuple(tensor);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_with_context(PyExc_ValueError, py::str("Failed to encode text: ") + exception_text(e), e);
    }
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
    bind(m, "VornaCLIPLoader",
         make_class(m, "VornaCLIPLoader", py::tuple(),
                    {{"INPUT_TYPES", make_classmethod(m, kLoaderInputTypes)},
                     {"RETURN_TYPES", tuple_of({py::str("CLIP")})},
                     {"FUNCTION", py::str("load_clip")},
                     {"CATEGORY", py::str("Vorna/loaders")},
                     {"load_clip", make_function(m, kLoadClip, load_opts)}}));

    // A second read of the configuration, kept in this class's own namespace.
    py::object cfg = global(m, "get_config")();
    FunctionOptions encode_opts;
    encode_opts.doc = "Encode text using Vorna CLIP";
    bind(m, "VornaCLIPTextEncode",
         make_class(m, "VornaCLIPTextEncode", py::make_tuple(global(m, "BaseNode")),
                    {{"__doc__", py::str("Vorna CLIP Text Encode")},
                     {"INPUT_TYPES", make_classmethod(m, kEncodeInputTypes)},
                     {"RETURN_TYPES", tuple_of({py::str("CONDITIONING")})},
                     {"FUNCTION", py::str("encode")},
                     {"CATEGORY", py::str("Vorna/conditioning")},
                     {"cfg", cfg},
                     {"BASE_URL", cfg.attr("api_base_url")},
                     {"REQUEST_TIMEOUT", cfg.attr("request_timeout")},
                     {"encode", make_function(m, kEncode, encode_opts)}}));

    bind(m, "NODE_CLASS_MAPPINGS", make_dict({{"VornaCLIPLoader", global(m, "VornaCLIPLoader")},
                                              {"VornaCLIPTextEncode", global(m, "VornaCLIPTextEncode")}}));
    bind(m, "NODE_DISPLAY_NAME_MAPPINGS", make_dict({{"VornaCLIPLoader", py::str("Vorna CLIP Loader")},
                                                     {"VornaCLIPTextEncode", py::str("Vorna CLIP Text Encode")}}));
}

}  // namespace vorna
