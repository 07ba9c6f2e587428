// vorna_comfyui_engine.unet_loader: names the diffusion model for the service.
#include "../runtime/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict(
        {{"required",
          make_dict({{"unet_name",
                      node_input("STRING", make_dict({{"default", py::str("qwen_image_bf16.safetensors")}}))},
                     {"weight_dtype", node_input({"default"}, make_dict({{"default", py::str("default")}}))}})}});
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kLoadUnet{"load_unet", {"self", "unet_name", "weight_dtype"}, describe_node, "UNETLoader"};

}  // namespace

void body_unet_loader(py::module_ m) {
    define_loader_module(m,
                         {"VornaUNetLoader", kInputTypes, {"MODEL"}, "Vorna/loaders",
                          "Names the diffusion model that the remote service loads; loads nothing here.", kLoadUnet},
                         "Vorna UNETLoader");
}

}  // namespace vorna
