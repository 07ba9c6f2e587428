// vorna_comfyui_engine.unet_loader: names the diffusion model for the service.
#include "../module_loader/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required",
                       make_dict({{"unet_name", tuple_of({py::str("STRING"),
                                                          make_dict({{"default", py::str("qwen_image_bf16.safetensors")}})})},
                                  {"weight_dtype", tuple_of({py::list(py::make_tuple("default")),
                                                             make_dict({{"default", py::str("default")}})})}})}});
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kLoadUnet{"load_unet", {"self", "unet_name", "weight_dtype"}, describe_node, "UNETLoader"};

}  // namespace

void body_unet_loader(py::module_ m) {
    from_import(m, "base", {"NodeIO", "BaseNode"}, 1);
    bind(m, "VornaUNetLoader",
         make_class(m, "VornaUNetLoader", py::make_tuple(global(m, "BaseNode")),
                    {{"INPUT_TYPES", make_classmethod(m, kInputTypes)},
                     {"RETURN_TYPES", tuple_of({py::str("MODEL")})},
                     {"FUNCTION", py::str("load_unet")},
                     {"CATEGORY", py::str("Vorna/loaders")},
                     {"load_unet", make_function(m, kLoadUnet)}}));
    bind(m, "NODE_CLASS_MAPPINGS", make_dict({{"Vorna UNETLoader", global(m, "VornaUNetLoader")}}));
    bind(m, "NODE_DISPLAY_NAME_MAPPINGS", make_dict({{"Vorna UNETLoader", py::str("Vorna UNETLoader")}}));
}

}  // namespace vorna
