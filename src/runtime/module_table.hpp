// The table of the interpreter modules carried by the shared object: the
// package and one submodule per source file in vorna_comfyui_engine/.
#pragma once

#include "../runtime/runtime.hpp"

// One row per submodule: its name (the source file and the body function
// body_<name>) and whether it registers nodes for the host. Adding a module
// is one row here plus its source file; a body that is missing or misspelt
// fails at link time.
#define VORNA_MODULES(ROW)                    \
    ROW(base, false)                          \
    ROW(clip_loader, true)                    \
    ROW(config, false)                        \
    ROW(controlnet, true)                     \
    ROW(ksampler, true)                       \
    ROW(model_sampling_aura_flow, true)       \
    ROW(unet_loader, true)                    \
    ROW(vae_decode, true)                     \
    ROW(vae_encode, true)                     \
    ROW(vae_loader, true)

namespace vorna {

// A module body's own statements; the standard attributes are set before it runs.
using BodyStatements = void (*)(py::module_ module);

struct ModuleRow {
    std::string name;            // full dotted name (rewritten once under a dotted parent)
    BodyStatements statements;
    bool is_package;
    const char *leaf;            // "__init__" for the package, else the last name component
};

#define VORNA_DECLARE_BODY(name, nodes) void body_##name(py::module_ module);
VORNA_MODULES(VORNA_DECLARE_BODY)
#undef VORNA_DECLARE_BODY

}  // namespace vorna
