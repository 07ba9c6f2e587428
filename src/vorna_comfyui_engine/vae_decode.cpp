// vorna_comfyui_engine.vae_decode: turns a latent into an image by asking the
// remote service, preferring its raw image answer and falling back to the
// codec path when that answer cannot be read.
#include "../runtime/module_table.hpp"
#include "base_codecs.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required", make_dict({{"latent", node_input("LATENT")}, {"vae", node_input("VAE")}})}});
}

py::object decode(FunctionObject *fn, py::handle *args) {
    py::handle self = args[0];
    py::handle latent = args[1];
    py::handle vae = args[2];

    // Outside the guard: a broken descriptor is the caller's error, not a decode failure.
    py::object vae_inputs = inputs_of(vae);

    return value_error_on_failure("Failed to decode vae: ", [&]() -> py::object {
        py::object send_request = self.attr("send_request");
        py::object samples = global(fn, "tensor_to_base64")(latent[py::str("samples")]);
        py::object batch_index = latent.attr("get")("batch_index", py::none());
        py::dict body = make_dict({{"latent", make_dict({{"samples", samples}, {"batch_index", batch_index}})},
                                   {"vae", vae_inputs}});
        py::object resp = send_request("vae_decode", body);

        if (contains(resp, "image_binary")) {
            try {
                // The service's own image: the same decoding as the fallback's.
                return py::make_tuple(
                    decode_image_answer(module_of(fn), resp[py::str("image_binary")], node_answer_limit(self)));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                Handling handling(e);
                // The fallback comes first: if it fails too, nothing is logged.
                py::object image = global(fn, "base64_to_image")(resp.attr("get")("images", ""));
                py::object log_error = global(fn, "logging").attr("error");
                log_error(py::str("Failed to decode vae: ") + exception_text(e));
                return py::make_tuple(image);
            }
        }
        return py::make_tuple(global(fn, "base64_to_image")(resp.attr("get")("images", "")));
    });
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kDecode{"decode", {"self", "latent", "vae"}, decode};

}  // namespace

void body_vae_decode(py::module_ m) {
    import_as(m, "io", nullptr);
    import_as(m, "base64", nullptr);
    import_as(m, "torch", nullptr);
    import_as(m, "logging", nullptr);
    import_as(m, "numpy", "np");
    from_import(m, "PIL", {"Image"});
    from_import(m, "base", {"BaseNode", "tensor_to_base64", "base64_to_image"}, 1);
    define_node_class(m, py::make_tuple(global(m, "BaseNode")),
                      {"VornaVAEDecode", kInputTypes, {"IMAGE"}, "Vorna/vae",
                       "Decodes a latent into a picture on the remote service.", kDecode});
    register_nodes(m, {{"Vorna VAEDecode", "VornaVAEDecode", "Vorna VAEDecode"}});
}

}  // namespace vorna
