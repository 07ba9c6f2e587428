// vorna_comfyui_engine.ksampler: the sampler node. Sampling runs on the
// service; this node gathers the model chain, the settings, the input latent
// and any ControlNet inpainting record into one "sampler" request and turns
// the answer back into a LATENT.
#include "../runtime/module_table.hpp"
#include "base_codecs.hpp"
#include "deferred_node.hpp"

namespace vorna {
namespace {

// `isinstance(x, dict) and x.get("__deferred_node__") == "ControlNetInpaintingAliMamaApply"`
bool is_inpaint_record(py::handle x) {
    if (!PyDict_Check(x.ptr())) return false;
    py::object marker = x.attr("get")(kDeferredMarker);
    return equals(marker, py::str(kInpaintNodeType));
}

// `x[0]` when x is a non-empty list (subclasses included), else an empty handle.
py::object first_of_list(py::handle x) {
    if (!PyList_Check(x.ptr())) return py::object();
    Py_ssize_t n = PyObject_Size(x.ptr());
    if (n < 0) throw py::error_already_set();
    if (n == 0) return py::object();
    return x[py::int_(0)];
}

// The ControlNet inpainting record carried by one conditioning value: the bare
// record, or the first element of the first element of a list (where the apply
// node puts it). Nothing else is looked into.
py::object extract_deferred(py::handle x) {
    if (is_inpaint_record(x)) return py::reinterpret_borrow<py::object>(x);
    py::object first_item = first_of_list(x);
    if (first_item) {
        py::object deferred_obj = first_of_list(first_item);
        if (deferred_obj && is_inpaint_record(deferred_obj)) return deferred_obj;
    }
    return py::none();
}

// `model_inputs` as JSON can carry it: a descriptor nested anywhere inside
// (the AuraFlow patch holds the loader's descriptor) becomes its to_dict()
// form. Containers that hold no descriptor come back as the very same
// objects; neither the descriptors nor the caller's containers are changed.
py::object wire_form(py::handle value, py::handle nodeio_type) {
    NestingGuard guard(" while converting the model inputs");
    PyObject *o = value.ptr();
    int is_node = PyObject_IsInstance(o, nodeio_type.ptr());
    if (is_node < 0) throw py::error_already_set();
    if (is_node) return wire_form(value.attr("to_dict")(), nodeio_type);

    if (PyDict_Check(o)) {
        // A snapshot of the items, so that code run by to_dict() cannot pull
        // entries out from under the loop.
        PyObject *raw = PyDict_Items(o);
        if (!raw) throw py::error_already_set();
        py::list items = py::reinterpret_steal<py::list>(raw);
        py::dict out;
        bool changed = false;
        for (py::handle item : items) {
            py::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
            py::handle old = PyTuple_GET_ITEM(item.ptr(), 1);
            py::object converted = wire_form(old, nodeio_type);
            changed |= converted.ptr() != old.ptr();
            if (PyDict_SetItem(out.ptr(), key.ptr(), converted.ptr()) < 0) throw py::error_already_set();
        }
        return changed ? py::object(out) : py::reinterpret_borrow<py::object>(value);
    }

    const bool is_tuple = PyTuple_Check(o);
    if (is_tuple || PyList_Check(o)) {
        PyObject *raw = is_tuple ? PySequence_List(o) : PyList_GetSlice(o, 0, PY_SSIZE_T_MAX);
        if (!raw) throw py::error_already_set();
        py::list out = py::reinterpret_steal<py::list>(raw);
        bool changed = false;
        const Py_ssize_t n = PyList_GET_SIZE(out.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object old = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(out.ptr(), i));
            py::object converted = wire_form(old, nodeio_type);
            if (converted.ptr() == old.ptr()) continue;
            changed = true;
            if (PyList_SetItem(out.ptr(), i, converted.release().ptr()) < 0) throw py::error_already_set();
        }
        if (!changed) return py::reinterpret_borrow<py::object>(value);
        if (!is_tuple) return std::move(out);
        PyObject *t = PyList_AsTuple(out.ptr());
        if (!t) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(t);
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required",
                       make_dict({{"model", node_input("MODEL")},
                                  {"positive", node_input("CONDITIONING")},
                                  {"negative", node_input("CONDITIONING")},
                                  {"latent_image", node_input("LATENT")},
                                  {"seed", node_input("INT", make_dict({{"default", py::int_(0)},
                                                                        {"min", py::int_(0)},
                                                                        {"max", py::int_(18446744073709551615ULL)}}))},
                                  {"steps", node_input("INT", make_dict({{"default", py::int_(4)},
                                                                         {"min", py::int_(1)},
                                                                         {"max", py::int_(10000)}}))},
                                  {"cfg", node_input("FLOAT", make_dict({{"default", py::float_(1.0)},
                                                                         {"min", py::float_(0.0)},
                                                                         {"max", py::float_(100.0)}}))},
                                  {"sampler_name",
                                   node_input({"euler", "heun"}, make_dict({{"default", py::str("euler")}}))},
                                  {"scheduler", node_input({"normal", "karras", "exponential", "sgm_uniform", "simple",
                                                            "ddim_uniform"},
                                                           make_dict({{"default", py::str("normal")}}))},
                                  {"denoise", node_input("FLOAT", make_dict({{"default", py::float_(1.0)},
                                                                             {"min", py::float_(0.0)},
                                                                             {"max", py::float_(1.0)},
                                                                             {"step", py::float_(0.01)}}))}})}});
}

// What the sampler sends for a record it found: the settings as they are, and
// every tensor-bearing value serialised to text.
py::object preview_node(FunctionObject *fn, py::handle deferred, py::handle positive, py::handle negative) {
    py::dict preview;
    preview["node_type"] = py::str(kInpaintNodeType);
    preview["parameters"] = deferred.attr("get")("parameters", py::dict());
    py::dict inputs;
    inputs["positive"] = global(fn, "serialize_with_pyarrow")(positive);
    inputs["negative"] = global(fn, "serialize_with_pyarrow")(negative);
    for (const char *key : {"image", "mask"}) {
        py::object serialize = global(fn, "serialize_with_pyarrow");
        py::object value = deferred.attr("get")("inputs", py::dict()).attr("get")(key);
        inputs[key] = serialize(value);
    }
    preview["inputs"] = inputs;
    return std::move(preview);
}

py::object sample(FunctionObject *fn, py::handle *args) {
    Arguments in(fn, args);
    py::handle self = in["self"], model = in["model"], positive = in["positive"], negative = in["negative"],
               latent_image = in["latent_image"];

    py::object model_inputs = inputs_of(model);

    py::object deferred = extract_deferred(positive);
    if (deferred.is_none()) deferred = extract_deferred(negative);

    py::object preview = py::none();
    if (!deferred.is_none()) preview = preview_node(fn, deferred, positive, negative);

    py::dict latent;
    py::object encode = global(fn, "tensor_to_base64");
    latent["samples"] = encode(latent_image[py::str("samples")]);
    latent["batch_index"] = latent_image.attr("get")("batch_index", py::none());

    py::dict payload;
    payload["model_inputs"] = wire_form(model_inputs, global(fn, "NodeIO"));
    payload["seed"] = in["seed"];
    payload["steps"] = in["steps"];
    payload["cfg"] = in["cfg"];
    payload["sampler_name"] = in["sampler_name"];
    payload["scheduler"] = in["scheduler"];
    payload["denoise"] = in["denoise"];
    payload["latent_image"] = latent;
    payload["prev_deferred_node"] = preview;
    payload["positive"] = py::none();
    payload["negative"] = py::none();
    py::object resp = self.attr("send_request")("sampler", payload);

    // base64, io and torch are imported inside the call, after the request.
    py::object samples =
        decode_tensor_answer(module_of(fn), Libraries::imported, resp[py::str("samples")], node_answer_limit(self));

    py::dict latent_out;
    latent_out["samples"] = samples;
    py::object batch_index = resp.attr("get")("batch_index");
    if (!batch_index.is_none()) latent_out["batch_index"] = batch_index;
    return py::make_tuple(latent_out);
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kSample{"sample",
                          {"self", "model", "positive", "negative", "latent_image", "seed", "steps", "cfg",
                           "sampler_name", "scheduler", "denoise"},
                          sample};

}  // namespace

void body_ksampler(py::module_ m) {
    from_import(m, "base", {"BaseNode", "NodeIO", "tensor_to_base64", "serialize_with_pyarrow"}, 1);
    from_import(m, "typing", {"Any"});
    import_as(m, "logging", nullptr);
    from_import(m, "bentoml", {"SyncHTTPClient"});
    py::object logging = global(m, "logging");
    bind(m, "logger", logging.attr("getLogger")(global(m, "__name__")));
    global(m, "logger").attr("setLevel")(logging.attr("DEBUG"));

    define_node_class(m, py::make_tuple(global(m, "BaseNode")),
                      {"VornaKSampler", kInputTypes, {"LATENT"}, "Vorna/sampling",
                       "Samples a latent on the remote service from the model chain, the prompts and the input "
                       "latent.",
                       kSample});
    register_nodes(m, {{"Vorna KSampler", "VornaKSampler", "Vorna KSampler"}});
}

}  // namespace vorna
