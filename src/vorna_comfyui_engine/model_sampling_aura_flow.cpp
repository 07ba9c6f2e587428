// vorna_comfyui_engine.model_sampling_aura_flow: wraps a model descriptor with
// the sampling shift, so chained model nodes nest.
#include "../runtime/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    py::dict shift = make_dict(
        {{"default", py::float_(1.73)}, {"min", py::float_(0.0)}, {"max", py::float_(100.0)}, {"step", py::float_(0.01)}});
    return make_dict({{"required", make_dict({{"model", node_input("MODEL")}, {"shift", node_input("FLOAT", shift)}})}});
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kPatchAura{"patch_aura", {"self", "model", "shift"}, describe_node, "ModelSamplingAuraFlow"};

}  // namespace

void body_model_sampling_aura_flow(py::module_ m) {
    define_loader_module(m,
                         {"VornaModelSamplingAuraFlow", kInputTypes, {"MODEL"}, "Vorna/sampling",
                          "Sets the AuraFlow sampling shift of the remote model.", kPatchAura},
                         "Vorna ModelSamplingAuraFlow");
}

}  // namespace vorna
