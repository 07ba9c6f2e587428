// vorna_comfyui_engine.vae_decode: turns a latent into an image by asking the
// remote service, preferring its raw image answer and falling back to the
// codec path when that answer cannot be read.
#include "../module_loader/module_table.hpp"
#include "../codec/codecs.hpp"
#include "../codec/answers.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required", make_dict({{"latent", node_input("LATENT")}, {"vae", node_input("VAE")}})}});
}

// `values / 255.0` where `values` is astype's result, in place when that is
// an unshared float32 ndarray (a fresh image-sized array is the costliest
// step for large pictures: fresh pages for every element).
py::object scaled_to_unit(py::object values) {
    py::float_ scale(255.0);
    py::object np = loaded_module("numpy");
    if (!np.is_none() && unshared(values) && py::type::of(values).is(np.attr("ndarray")) &&
        values.attr("dtype").equal(np.attr("float32")))
        return values /= scale;
    return values / scale;
}

// The service's own image, straight to a [1, H, W, 3] float tensor in 0..1.
// Each intermediate is let go once the next exists, so a large picture is
// not held three or four times over.
py::object image_from_binary(FunctionObject *fn, py::handle resp) {
    // Callables are fetched before their arguments are evaluated, as Python does.
    py::object b64decode = global(fn, "base64").attr("b64decode");
    py::object encoded = resp[py::str("image_binary")];
    py::object image_data = call_b64decode(b64decode, encoded);
    py::object bytes_io = global(fn, "io").attr("BytesIO");
    py::object buffer = bytes_io(image_data);
    image_data = py::object();
    py::object image_module = global(fn, "Image");
    py::object pil_image = image_module.attr("open")(buffer);
    buffer = py::object();
    // Opening reads only the header: the size is known before any decoding.
    check_image_answer(module_of(fn), image_module, pil_image);
    py::object image = pil_image.attr("convert")("RGB");
    pil_image = py::object();
    py::object array = global(fn, "np").attr("array");
    py::object pixels = array(image);
    image = py::object();
    py::object astype = pixels.attr("astype");
    pixels = py::object();
    py::object values = astype(global(fn, "np").attr("float32"));
    astype = py::object();
    py::object image_array = scaled_to_unit(std::move(values));
    py::object from_numpy = global(fn, "torch").attr("from_numpy");
    py::object tensor = from_numpy(image_array);
    py::object batched = tensor[py::make_tuple(py::none())];
    return py::make_tuple(batched);
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
                return image_from_binary(fn, resp);
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
    define_node_class(m, py::make_tuple(global(m, "BaseNode")), {"VornaVAEDecode", kInputTypes, {"IMAGE"}, "Vorna/vae", kDecode});
    register_nodes(m, {{"Vorna VAEDecode", "VornaVAEDecode", "Vorna VAEDecode"}});
}

}  // namespace vorna
