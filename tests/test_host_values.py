"""Host values as current ComfyUI hands them over and looks at them: its
cache reads attributes of every node output, and with --fp16-intermediates
pictures, masks and latents come in float16, latents with extra entries."""
from collections.abc import Mapping

import pytest
import torch

from host_support import copy_root, need_node_modules, workflow
from harness import Host, sample_inputs
from reliability_support import NODES

# What current ComfyUI reads off every output after each node, outside any
# error handling (comfy_execution/caching.py all_outputs_dynamic and
# RAMPressureCache.ram_release, comfy/model_patcher.py PromptModelTracker.add),
# and a name nobody reads.
INSPECTED = ("is_dynamic", "patcher", "get_models", "_comfy_cache_tensors", "vorna_any_name")
MISSING = object()


def objects_in(value):
    """The value and what it holds, walked as that cache walks outputs."""
    yield value
    if isinstance(value, (list, tuple, Mapping)):
        for item in value.values() if isinstance(value, Mapping) else value:
            yield from objects_in(item)


@pytest.fixture
def answering_client(recording_client):
    recording_client.answers.update({node.endpoint: node.make_answer() for node in NODES})
    return recording_client


def test_no_output_of_any_node_has_what_the_cache_looks_for(answering_client, tmp_path):
    modules = need_node_modules()
    host = Host(tmp_path, tmp_path)
    host.load_custom_nodes(copy_root(tmp_path / "vorna_nodes"))
    sample_inputs.write(tmp_path)
    seen = set()
    for name in ("text_to_image", "image_to_image", "inpainting"):
        graph = workflow(name)
        for node_id, outputs in host.execute(graph).outputs.items():
            class_type = graph[node_id]["class_type"]
            seen.add(class_type)
            for obj in objects_in(outputs):
                # Both raise nothing but AttributeError, which they take for "no".
                assert [getattr(obj, attr, MISSING) for attr in INSPECTED] == [MISSING] * len(INSPECTED), \
                    (class_type, type(obj))
                assert not any(hasattr(obj, attr) for attr in INSPECTED)
    assert {k for m in modules.values() for k in m.NODE_CLASS_MAPPINGS} <= seen
