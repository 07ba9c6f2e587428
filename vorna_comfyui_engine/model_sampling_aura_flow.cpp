// vorna_comfyui_engine.model_sampling_aura_flow: wraps a model descriptor with
// the sampling shift, so chained model nodes nest.
#include "../module_loader/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required", make_dict({{"model", node_input("MODEL")},
                                              {"shift", node_input("FLOAT", make_dict({{"default", py::float_(1.73)},
                                                                                       {"min", py::float_(0.0)},
                                                                                       {"max", py::float_(100.0)},
                                                                                       {"step", py::float_(0.01)}}))}})}});
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kPatchAura{"patch_aura", {"self", "model", "shift"}, describe_node, "ModelSamplingAuraFlow"};

}  // namespace

void body_model_sampling_aura_flow(py::module_ m) {
    from_import(m, "base", {"NodeIO", "BaseNode"}, 1);
    define_node_class(m, py::make_tuple(global(m, "BaseNode")), {"VornaModelSamplingAuraFlow", kInputTypes, {"MODEL"}, "Vorna/sampling", kPatchAura});
    register_nodes(m, {{"Vorna ModelSamplingAuraFlow", "VornaModelSamplingAuraFlow", "Vorna ModelSamplingAuraFlow"}});
}

}  // namespace vorna
