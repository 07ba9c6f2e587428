"""Reference and memory hygiene: thousands of calls of every entry point,
through its success and its failure paths, with a fake client (no network).

- the reference counts of the inputs (and of the objects nested in them) are
  the same before and after;
- the Python heap (tracemalloc) does not grow from one round of calls to the
  next;
- resident memory stays flat when the payloads are large enough that a lost
  buffer per call would show (a 1 MiB latent, a 512x512 image).
"""
from __future__ import annotations

import contextlib
import gc
import logging
import os
import sys
import tracemalloc

import pytest

from tests.support import LONG, PACKAGE, module
from tests.support.nodes import BY_NAME, NODE_IDS
from tests.support.reliability import write_figures
from tests.support.values import encode_png, encode_tensor

torch = pytest.importorskip("torch")

# Minutes of a suite run: `-m "not hygiene"` leaves them out, `-m hygiene` runs them alone.
pytestmark = pytest.mark.hygiene

ROUND = 3000 if LONG else 250
SANITIZED = os.environ.get("VORNA_SANITIZED", "") not in ("", "0")   # set by scripts/sanitize.sh
HEAVY_ROUND = 300 if LONG else 40
FIGURES = []


@contextlib.contextmanager
def quiet_logging():
    """Records are still made, then dropped: pytest keeps every captured
    record (also on loggers that do not propagate), which would look like a
    leak."""
    loggers = [logging.getLogger(), logging.getLogger(f"{PACKAGE}.base"), logging.getLogger(f"{PACKAGE}.ksampler")]
    saved = [lg.disabled for lg in loggers]
    for lg in loggers:
        lg.disabled = True
    try:
        yield
    finally:
        for lg, was in zip(loggers, saved):
            lg.disabled = was


def watched(*objects):
    """The objects and everything reachable through dicts, lists, tuples and
    NodeIO-like attributes, once each."""
    out, stack = [], list(objects)
    while stack:
        o = stack.pop()
        if any(o is x for x in out):
            continue
        out.append(o)
        if isinstance(o, dict):
            stack.extend(o.keys())
            stack.extend(o.values())
        elif isinstance(o, (list, tuple)):
            stack.extend(o)
        elif hasattr(o, "inputs") and hasattr(o, "name"):
            stack.extend([o.inputs, o.name])
    # Small ints, interned texts and singletons are shared with the whole
    # interpreter: their counts move with everything else.
    return [o for o in out if not isinstance(o, (bool, int, float, str, type(None)))]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(fn, n):
    for _ in range(n):
        try:
            fn()
        except Exception:  # noqa: BLE001 - failure paths are exercised on purpose
            pass


def check_flat(label, fn, inputs, n, rounds=4):
    """Reference counts of the inputs are the same after (warm-up +) `rounds`
    rounds of n calls, and the Python heap does not grow in every round: a
    cache fills once, a leak grows with every call."""
    objs = watched(*inputs)
    run(fn, 20)
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    growth = []
    # Traced from the warm-up on: objects made before tracing and replaced
    # during a round would count as growth.
    tracemalloc.start()
    try:
        run(fn, n)
        gc.collect()
        for _ in range(rounds):
            start, _ = tracemalloc.get_traced_memory()
            run(fn, n)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - start)
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objs]
    FIGURES.append((label, rounds * n, growth, None))
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b]
    assert not changed, f"{label}: reference counts moved (type, before, after): {changed}"
    # The heap wanders by up to about 10 KiB per round (caches of the
    # interpreter and the libraries, free lists); a loss per call grows every
    # round by n times its size. So this catches 64 bytes or more per call in
    # the default run, 16 bytes or more in the long one.
    assert min(growth) < max(16384, n * 16), f"{label}: the Python heap grew in every round: {growth} bytes"


def check_rss(label, fn, n):
    """Resident memory after 2n calls with payloads so large that a buffer
    lost per call would add megabytes each time."""
    run(fn, 10)
    gc.collect()
    rss0 = rss_bytes()
    run(fn, 2 * n)
    gc.collect()
    grown = rss_bytes() - rss0
    FIGURES.append((label, 2 * n, None, grown))
    if SANITIZED:
        return      # the sanitizer's allocator holds freed blocks back on purpose
    assert grown < 48 * 2**20, f"{label}: resident memory grew by {grown / 2**20:.1f} MiB over {2 * n} calls"


@pytest.fixture(scope="module", autouse=True)
def figures():
    yield
    if FIGURES:
        lines = ["# Hygiene: repeated calls", "",
                 "Calls per entry point and path after a warm-up. Heap: Python heap growth (tracemalloc) "
                 "of each round of calls, small payloads. RSS: resident memory growth over the calls with "
                 "large payloads (1 MiB latent, 512x512 image).", "",
                 "| entry point | calls | heap growth per round, B | RSS growth KiB |", "|---|---:|---|---:|"]
        for label, calls, heap, rss in FIGURES:
            lines.append(f"| {label} | {calls} | {'' if heap is None else ', '.join(map(str, heap))} | "
                         f"{'' if rss is None else rss // 1024} |")
        write_figures("hygiene", lines)


@pytest.fixture
def fake(client):
    """`fake(answers, error=None)`: the fake client (keeping no records)
    answers these, or raises `error` on every call; logging quiet."""
    def install(answers, error=None):
        client.record, client.answers, client.error, client.fail_on = False, dict(answers), error, "call"
        return client
    with quiet_logging():
        yield install


# ---------------------------------------------------------------------------

def test_config_functions():
    config = module("config")
    key = "k-" + "x" * 40
    check_flat("set_api_key", lambda: config.set_api_key(key), [key], ROUND)
    check_flat("get_api_key", config.get_api_key, [], ROUND)
    check_flat("get_config", config.get_config, [], ROUND)
    check_flat("get_auth_headers", config.get_auth_headers, [], ROUND)
    check_flat("_load_config", config._load_config, [], ROUND)
    config.set_api_key(None)
    bad = BadTruth()
    check_flat("set_api_key (truth test raises)", lambda: config.set_api_key(bad), [bad], ROUND)


class BadTruth:
    def __bool__(self):
        raise RuntimeError("no truth")


def test_descriptor_and_request_path(fake):
    base = module("base")
    inputs = {"vae_name": "x", "nested": [1, 2]}
    node = base.NodeIO(name="VAELoader", inputs=inputs)
    check_flat("NodeIO()", lambda: base.NodeIO(name="VAELoader", inputs=inputs), [inputs], ROUND)
    check_flat("NodeIO.to_dict", node.to_dict, [node], ROUND)
    bn = base.BaseNode()
    check_flat("BaseNode._build_url", lambda: bn._build_url("/x"), [bn], ROUND)
    payload = {"text": "t", "clip": {"a": [1, 2]}}
    fake({"text_encode": {"ok": [1]}})
    check_flat("send_request", lambda: bn.send_request("text_encode", payload), [bn, payload], ROUND)

    fake({}, ConnectionError("refused"))
    check_flat("send_request (call raises, logged)", lambda: bn.send_request("text_encode", payload),
               [bn, payload], ROUND)
    check_flat("send_request (payload not a mapping)", lambda: bn.send_request("text_encode", [1]),
               [bn], ROUND)


def test_codecs():
    base = module("base")
    small_latent = torch.linspace(0, 1, 16 * 8 * 8).reshape(1, 16, 1, 8, 8)
    small_image = torch.rand(1, 16, 16, 3)
    small_tensor_text, small_png = encode_tensor(small_latent), encode_png(16, 16)
    check_flat("tensor_to_base64", lambda: base.tensor_to_base64(small_latent), [small_latent], ROUND)
    check_flat("base64_to_tensor", lambda: base.base64_to_tensor(small_tensor_text), [small_tensor_text], ROUND)
    check_flat("image_to_base64", lambda: base.image_to_base64(small_image), [small_image], ROUND)
    check_flat("base64_to_image", lambda: base.base64_to_image(small_png), [small_png], ROUND)
    cond = [[{"__tensor__": encode_tensor(torch.ones(1, 4, 8))}, {"pooled": encode_tensor(torch.ones(1, 8)),
                                                                "other": ["x", {"y": 1}]}]]
    check_flat("deserialize_conditioning", lambda: base.deserialize_conditioning(cond), [cond], ROUND)
    obj = {"a": [1, 2, torch.ones(2)], "b": "x"}
    check_flat("serialize_with_pyarrow", lambda: base.serialize_with_pyarrow(obj), [obj], ROUND)
    with quiet_logging():
        unpicklable = {"f": lambda: 0, "t": [1, 2]}
        check_flat("serialize_with_pyarrow (fallback, logged)", lambda: base.serialize_with_pyarrow(unpicklable),
                   [unpicklable], ROUND)
    check_flat("base64_to_tensor (not base64)", lambda: base.base64_to_tensor("not-base64!"), [], ROUND)
    check_flat("base64_to_tensor (not a tensor stream)", lambda: base.base64_to_tensor("aGVsbG8="), [], ROUND)
    check_flat("base64_to_image (not an image)", lambda: base.base64_to_image("aGVsbG8="), [], ROUND)
    check_flat("image_to_base64 (not a tensor)", lambda: base.image_to_base64([1, 2]), [], ROUND)
    deep = []
    for _ in range(5000):
        deep = [deep]
    check_flat("deserialize_conditioning (too deep)", lambda: base.deserialize_conditioning(deep), [], 60)

    # Large payloads: a buffer lost per call would show in resident memory.
    latent = torch.linspace(0, 1, 16 * 128 * 128).reshape(1, 16, 1, 128, 128)   # 1 MiB
    image = torch.linspace(0, 1, 512 * 512 * 3).reshape(1, 512, 512, 3)
    tensor_text, png = encode_tensor(latent), encode_png(512, 512)
    check_rss("tensor_to_base64 (1 MiB)", lambda: base.tensor_to_base64(latent), HEAVY_ROUND)
    check_rss("base64_to_tensor (1 MiB)", lambda: base.base64_to_tensor(tensor_text), HEAVY_ROUND)
    check_rss("image_to_base64 (512x512)", lambda: base.image_to_base64(image), HEAVY_ROUND)
    check_rss("base64_to_image (512x512)", lambda: base.base64_to_image(png), HEAVY_ROUND)


def test_registry_schemas_and_loaders():
    pkg = pytest.importorskip(PACKAGE)
    found = 0
    for name in pkg._node_modules:
        try:
            mod = module(name)
        except pytest.skip.Exception:
            continue
        for key, cls in mod.NODE_CLASS_MAPPINGS.items():
            found += 1
            check_flat(f"{key}.INPUT_TYPES", cls.INPUT_TYPES, [cls], ROUND)
            schema = cls.INPUT_TYPES()
            if getattr(cls, "CATEGORY", "") != "Vorna/loaders" and "ModelSampling" not in key:
                continue
            # Loader-type nodes: call them with their schema's defaults.
            kwargs = {}
            for section in ("required", "optional"):
                for input_name, spec in schema.get(section, {}).items():
                    options = spec[1] if len(spec) > 1 else {}
                    if isinstance(spec[0], list):
                        kwargs[input_name] = options.get("default", spec[0][0])
                    elif "default" in options:
                        kwargs[input_name] = options["default"]
                    else:
                        kwargs[input_name] = module("base").NodeIO(name="X", inputs={"a": 1})
            node = cls()
            entry = getattr(node, cls.FUNCTION)
            check_flat(f"{key}.{cls.FUNCTION}", lambda: entry(**kwargs), list(kwargs.values()), ROUND)
    assert found
    finder = type(pkg.__loader__)
    loader = pkg.__loader__
    assert finder
    check_flat("finder.find_spec (own name)", lambda: loader.find_spec(f"{PACKAGE}.config"), [], ROUND)
    check_flat("finder.find_spec (foreign name)", lambda: loader.find_spec("json"), [], ROUND)
    check_flat("finder.is_package (unknown)", lambda: loader.is_package("nope"), [], ROUND)


def node_inputs(name, heavy=False):
    """The node's good inputs, its latent with a batch index."""
    kwargs = BY_NAME[name].make_inputs(heavy)
    for value in kwargs.values():
        if isinstance(value, dict) and "samples" in value:
            value["batch_index"] = [0]
    return kwargs


def answers(name, heavy=False):
    """A good answer (with a batch index where a latent comes back), and bad ones."""
    good = BY_NAME[name].make_answer(heavy)
    if "samples" in good:
        good["batch_index"] = [0]
    png = encode_png(512, 512) if heavy else encode_png(16, 16)
    bad = [{}, None, {"samples": "not-base64!", "conditioning": [{"__tensor__": "bad!"}],
                      "image_binary": "aGVsbG8=", "images": "aGVsbG8="}]
    if name == "vae_decode":
        bad.append({"image_binary": "aGVsbG8=", "images": png})   # the logged fallback
    return good, bad


@pytest.mark.parametrize("name", NODE_IDS)
def test_executing_nodes(name, fake):
    case = BY_NAME[name]
    endpoint = case.endpoint
    entry = getattr(case.node_class()(), case.method)
    kwargs = node_inputs(name)
    good, bad = answers(name)
    fake({endpoint: good})
    check_flat(f"{name} (good answer)", lambda: entry(**kwargs), list(kwargs.values()), ROUND)
    # The default run takes the last bad answer (the one that fails deepest).
    for i, answer in enumerate(bad if LONG else bad[-1:]):
        fake({endpoint: answer})
        check_flat(f"{name} (bad answer {i})", lambda: entry(**kwargs), list(kwargs.values()), ROUND)
    fake({}, TimeoutError("read timed out"))
    check_flat(f"{name} (request fails)", lambda: entry(**kwargs), list(kwargs.values()), ROUND)

    heavy_kwargs = node_inputs(name, heavy=True)
    heavy_good, heavy_bad = answers(name, heavy=True)
    for i, answer in enumerate([heavy_good] + heavy_bad[-1:]):
        fake({endpoint: answer})
        check_rss(f"{name} ({'good' if i == 0 else 'bad'} answer, large)", lambda: entry(**heavy_kwargs),
                  HEAVY_ROUND)
