// The deferred node record: what the ControlNet inpainting node hands along
// its conditioning outputs, and the sampler finds and sends in its request.
#pragma once

namespace vorna {

// The record's marker key, and the node type it names as its value.
constexpr const char *kDeferredMarker = "__deferred_node__";
constexpr const char *kInpaintNodeType = "ControlNetInpaintingAliMamaApply";

}  // namespace vorna
