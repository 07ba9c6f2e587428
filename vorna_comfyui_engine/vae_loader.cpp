// vorna_comfyui_engine.vae_loader: names the VAE file for the service.
#include "../module_loader/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required", make_dict({{"vae_name", node_input("STRING", make_dict({{"default", py::str(
                                                               "qwen_image_vae.safetensors")}}))}})}});
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kLoadVae{"load_vae", {"self", "vae_name"}, describe_node, "VAELoader"};

}  // namespace

void body_vae_loader(py::module_ m) {
    from_import(m, "base", {"NodeIO", "BaseNode"}, 1);
    define_node_class(m, py::make_tuple(global(m, "BaseNode")), {"VornaVAELoader", kInputTypes, {"VAE"}, "Vorna/loaders", kLoadVae});
    register_nodes(m, {{"Vorna VAELoader", "VornaVAELoader", "Vorna VAELoader"}});
}

}  // namespace vorna
