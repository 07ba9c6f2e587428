// vorna_comfyui_engine.vae_loader: names the VAE file for the service.
#include "../module_loader/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required", make_dict({{"vae_name", tuple_of({py::str("STRING"),
                                                                     make_dict({{"default", py::str("qwen_image_vae.safetensors")}})})}})}});
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kLoadVae{"load_vae", {"self", "vae_name"}, describe_node, "VAELoader"};

}  // namespace

void body_vae_loader(py::module_ m) {
    from_import(m, "base", {"NodeIO", "BaseNode"}, 1);
    bind(m, "VornaVAELoader",
         make_class(m, "VornaVAELoader", py::make_tuple(global(m, "BaseNode")),
                    {{"INPUT_TYPES", make_classmethod(m, kInputTypes)},
                     {"RETURN_TYPES", tuple_of({py::str("VAE")})},
                     {"FUNCTION", py::str("load_vae")},
                     {"CATEGORY", py::str("Vorna/loaders")},
                     {"load_vae", make_function(m, kLoadVae)}}));
    bind(m, "NODE_CLASS_MAPPINGS", make_dict({{"Vorna VAELoader", global(m, "VornaVAELoader")}}));
    bind(m, "NODE_DISPLAY_NAME_MAPPINGS", make_dict({{"Vorna VAELoader", py::str("Vorna VAELoader")}}));
}

}  // namespace vorna
