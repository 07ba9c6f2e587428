// vorna_comfyui_engine.model_sampling_aura_flow: wraps a model descriptor with
// the sampling shift, so chained model nodes nest.
#include "../module_loader/module_table.hpp"

namespace vorna {
namespace {

py::object input_types(FunctionObject *, py::handle *) {
    return make_dict({{"required",
                       make_dict({{"model", tuple_of({py::str("MODEL")})},
                                  {"shift", tuple_of({py::str("FLOAT"),
                                                      make_dict({{"default", py::float_(1.73)},
                                                                 {"min", py::float_(0.0)},
                                                                 {"max", py::float_(100.0)},
                                                                 {"step", py::float_(0.01)}})})}})}});
}

const FunctionDef kInputTypes{"INPUT_TYPES", {"s"}, input_types};
const FunctionDef kPatchAura{"patch_aura", {"self", "model", "shift"}, describe_node, "ModelSamplingAuraFlow"};

}  // namespace

void body_model_sampling_aura_flow(py::module_ m) {
    from_import(m, "base", {"NodeIO", "BaseNode"}, 1);
    bind(m, "VornaModelSamplingAuraFlow",
         make_class(m, "VornaModelSamplingAuraFlow", py::make_tuple(global(m, "BaseNode")),
                    {{"INPUT_TYPES", make_classmethod(m, kInputTypes)},
                     {"RETURN_TYPES", tuple_of({py::str("MODEL")})},
                     {"FUNCTION", py::str("patch_aura")},
                     {"CATEGORY", py::str("Vorna/sampling")},
                     {"patch_aura", make_function(m, kPatchAura)}}));
    bind(m, "NODE_CLASS_MAPPINGS",
         make_dict({{"Vorna ModelSamplingAuraFlow", global(m, "VornaModelSamplingAuraFlow")}}));
    bind(m, "NODE_DISPLAY_NAME_MAPPINGS",
         make_dict({{"Vorna ModelSamplingAuraFlow", py::str("Vorna ModelSamplingAuraFlow")}}));
}

}  // namespace vorna
