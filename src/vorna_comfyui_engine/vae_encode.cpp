// vorna_comfyui_engine.vae_encode: turns an image into a latent by asking the
// remote service.
#include "../runtime/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required", make_dict({{"image", node_input("IMAGE")}, {"vae", node_input("VAE")}})}});
}

py::object encode(FunctionObject *fn, py::handle *args) {
    py::handle self = args[0];
    py::handle image = args[1];
    py::handle vae = args[2];
    return value_error_on_failure("Failed to encode vae: ", [&] {
        py::object send_request = self.attr("send_request");
        py::object encoded = global(fn, "image_to_base64")(image);
        py::object to_dict = vae.attr("to_dict");
        py::object descriptor = to_dict();
        py::object resp = send_request("vae_encode", make_dict({{"image", encoded}, {"vae", descriptor}}));

        py::object base64_to_tensor = global(fn, "base64_to_tensor");
        py::dict latent = make_dict({{"samples", base64_to_tensor(resp[py::str("samples")])}});
        // Only copied when present: a missing index stays missing, not None.
        if (contains(resp, "batch_index")) latent["batch_index"] = resp[py::str("batch_index")];
        return py::make_tuple(latent);
    });
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kEncode{"encode", {"self", "image", "vae"}, encode};

}  // namespace

void body_vae_encode(py::module_ m) {
    import_as(m, "logging", nullptr);
    // Not used here, but the module must not load without the client library.
    from_import(m, "bentoml", {"SyncHTTPClient"});
    from_import(m, "base", {"BaseNode", "image_to_base64", "base64_to_tensor"}, 1);
    define_node_class(m, py::make_tuple(global(m, "BaseNode")),
                      {"VornaVAEEncode", kInputTypes, {"LATENT"}, "Vorna/vae",
                       "Encodes a picture into a latent on the remote service.", kEncode});
    register_nodes(m, {{"Vorna VAEEncode", "VornaVAEEncode", "Vorna VAEEncode"}});
}

}  // namespace vorna
