// vorna_comfyui_engine.vae_loader: names the VAE file for the service.
#include "../runtime/module_table.hpp"

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
    define_loader_module(m,
                         {"VornaVAELoader", kInputTypes, {"VAE"}, "Vorna/loaders",
                          "Names the VAE that the remote service loads; loads nothing here.", kLoadVae},
                         "Vorna VAELoader");
}

}  // namespace vorna
