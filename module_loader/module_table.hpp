// The fixed table of the eleven interpreter modules carried by the shared object.
#pragma once

#include "../support/vorna.hpp"

namespace vorna {

// A module body's own statements; the standard attributes are set before it runs.
using BodyStatements = void (*)(py::module_ module);

struct ModuleRow {
    std::string name;            // full dotted name (rewritten once under a dotted parent)
    BodyStatements statements;   // null for the package row, which only sets attributes
    bool is_package;
    const char *leaf;            // "__init__" for the package, else the last name component
};

// Module bodies, one per source file. Weak so that a module whose source is
// not built yet simply has no row.
#define VORNA_BODY(name) void body_##name(py::module_ module) __attribute__((weak, visibility("hidden")))
VORNA_BODY(base);
VORNA_BODY(clip_loader);
VORNA_BODY(config);
VORNA_BODY(controlnet);
VORNA_BODY(ksampler);
VORNA_BODY(model_sampling_aura_flow);
VORNA_BODY(unet_loader);
VORNA_BODY(vae_decode);
VORNA_BODY(vae_encode);
VORNA_BODY(vae_loader);
#undef VORNA_BODY

}  // namespace vorna
