// vorna_comfyui_engine.controlnet: ControlNet inpainting for the remote sampler.
// Nothing runs here: the loader names the model, and the apply node hands a
// deferred record along its conditioning outputs for the sampler to send.
#include "../runtime/module_table.hpp"
#include "deferred_node.hpp"

namespace vorna {
namespace {

py::object loader_input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required", make_dict({{"control_net_name",
                                               node_input("STRING", make_dict({{"default", py::str(
                                                   "InstantX_Qwen-Image-ControlNet-Inpainting.safetensors")}}))}})}});
}

py::dict fraction(double dflt, double lo, double hi, double step) {
    return make_dict(
        {{"default", py::float_(dflt)}, {"min", py::float_(lo)}, {"max", py::float_(hi)}, {"step", py::float_(step)}});
}

py::object apply_input_types(FunctionObject *, py::handle *) {
    return make_dict(
        {{"required",
          make_dict({{"positive", node_input("CONDITIONING")},
                     {"negative", node_input("CONDITIONING")},
                     {"control_net", node_input("CONTROL_NET")},
                     {"vae", node_input("VAE")},
                     {"vae_name", node_input("STRING", make_dict({{"default", py::str("")},
                                                                   {"multiline", py::bool_(false)}}))},
                     {"image", node_input("IMAGE")},
                     {"mask", node_input("MASK")},
                     {"strength", node_input("FLOAT", fraction(1.0, 0.0, 10.0, 0.01))},
                     {"start_percent", node_input("FLOAT", fraction(0.0, 0.0, 1.0, 0.001))},
                     {"end_percent", node_input("FLOAT", fraction(1.0, 0.0, 1.0, 0.001))}})}});
}

// The VAE the service should use: the descriptor's choice when it yields a
// non-empty mapping, else the stripped text input, else nothing.
py::object vae_selection(py::handle vae, py::handle vae_name) {
    py::object vae_inputs = py::none();
    if (has_attribute(vae, "inputs")) {
        py::object inputs = vae.attr("inputs");
        if (PyDict_Check(inputs.ptr()) && contains(inputs, "vae_name"))
            vae_inputs = make_dict({{"vae_name", inputs[py::str("vae_name")]}});
        else
            vae_inputs = inputs;
    }
    if (!vae_inputs.is_none() && PyDict_Check(vae_inputs.ptr())) {
        Py_ssize_t n = PyObject_Size(vae_inputs.ptr());
        if (n < 0) throw py::error_already_set();
        if (n > 0) return vae_inputs;
    }
    if (PyUnicode_Check(vae_name.ptr()) && truth(vae_name.attr("strip")()))
        return make_dict({{"vae_name", vae_name.attr("strip")()}});
    return py::dict();
}

py::object apply(FunctionObject *fn, py::handle *args) {
    Arguments in(fn, args);
    py::handle positive = in["positive"], negative = in["negative"], control_net = in["control_net"],
               vae = in["vae"], vae_name = in["vae_name"], image = in["image"], mask = in["mask"],
               strength = in["strength"], start_percent = in["start_percent"], end_percent = in["end_percent"];

    py::object controlnet_inputs = inputs_of(control_net);

    py::object vae_param = vae_selection(vae, vae_name);

    py::dict payload_params;
    payload_params["strength"] = strength;
    payload_params["start_percent"] = start_percent;
    payload_params["end_percent"] = end_percent;
    payload_params["vae"] = vae_param;
    if (!controlnet_inputs.is_none()) {
        // Only the model name travels when the descriptor names one.
        if (contains(controlnet_inputs, "control_net_name"))
            payload_params["controlnet"] =
                make_dict({{"control_net_name", controlnet_inputs[py::str("control_net_name")]}});
        else
            payload_params["controlnet"] = controlnet_inputs;
    }

    py::dict inputs;
    inputs["positive"] = positive;
    inputs["negative"] = negative;
    // The sampler sends them, and the record within the conditioning, as they are here.
    inputs["image"] = as_float32(image);
    inputs["mask"] = as_float32(mask);
    py::dict deferred;
    deferred[kDeferredMarker] = py::str(kInpaintNodeType);
    deferred["parameters"] = payload_params;
    deferred["inputs"] = inputs;

    // Two distinct outer lists around the one record: both outputs carry it to the sampler.
    py::list positive_inner, negative_inner, positive_conditioning, negative_conditioning;
    positive_inner.append(deferred);
    positive_conditioning.append(positive_inner);
    negative_inner.append(deferred);
    negative_conditioning.append(negative_inner);
    return py::make_tuple(positive_conditioning, negative_conditioning);
}

const FunctionDef kLoaderInputTypes{"INPUT_TYPES", {"s"}, loader_input_types};
const FunctionDef kLoadControlnet{"load_controlnet", {"self", "control_net_name"}, describe_node, "ControlNetLoader"};
const FunctionDef kApplyInputTypes{"INPUT_TYPES", {"s"}, apply_input_types};
const FunctionDef kApply{"apply",
                         {"self", "positive", "negative", "control_net", "vae", "vae_name", "image", "mask",
                          "strength", "start_percent", "end_percent"},
                         apply};

}  // namespace

void body_controlnet(py::module_ m) {
    from_import(m, "base", {"NodeIO"}, 1);
    from_import(m, "config", {"get_config"}, 1);
    from_import(m, "typing", {"Any", "Dict", "List", "Optional", "Tuple", "Union"});

    define_node_class(m, py::tuple(),
                      {"VornaControlNetLoader", kLoaderInputTypes, {"CONTROL_NET"}, "Vorna/loaders",
                       "Names the ControlNet model that the remote service loads; loads nothing here.",
                       kLoadControlnet});
    define_node_class(m, py::tuple(),
                      {"VornaControlNetInpaintingAliMamaApply", kApplyInputTypes, {"CONDITIONING", "CONDITIONING"},
                       "Vorna/conditioning",
                       "Adds a ControlNet inpainting step (picture, mask, strength) that the sampler sends to the "
                       "service.",
                       kApply});
    register_nodes(m, {{"Vorna ControlNetLoader", "VornaControlNetLoader", "Vorna ControlNetLoader"},
                       {"Vorna ControlNetInpaintingAliMamaApply", "VornaControlNetInpaintingAliMamaApply",
                        "Vorna ControlNetInpaintingAliMamaApply"}});
}

}  // namespace vorna
