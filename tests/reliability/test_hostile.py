"""Hostile input: random and mistyped values, and objects whose every special
method raises, fed to every public function and entry method, and hostile
answers fed back through a fake client. Only ordinary Python exceptions may
come out: never a crash, never a SystemError (an internal error), never a
held lock. A crash ends the pytest process, which fails the run.
"""
from __future__ import annotations

import base64
import collections
import importlib
import inspect
import io
import math
import struct
import subprocess
import sys
import textwrap
import zipfile

import pytest

from tests.support import LONG, PACKAGE, module
from tests.support.answers import archive_records, written
from tests.support.values import encode_png, encode_tensor

hypothesis = pytest.importorskip("hypothesis")
torch = pytest.importorskip("torch")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

EXAMPLES = 1000 if LONG else 60
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))

NODE_MODULES = importlib.import_module(PACKAGE)._node_modules


# ---------------------------------------------------------------------------
# Values

class Boom(Exception):
    pass


def _raise(*_a, **_k):
    raise Boom("hostile")


class Evil:
    """Every protocol the package might touch raises."""
    __bool__ = __len__ = __iter__ = __getitem__ = __contains__ = __eq__ = __ne__ = _raise
    __hash__ = _raise
    __str__ = __repr__ = __format__ = _raise
    __index__ = __int__ = __float__ = _raise
    __mul__ = __rmul__ = __truediv__ = _raise
    keys = items = get = to_dict = _raise

    def __getattr__(self, name):
        if name.startswith("_"):        # the test tools probe these
            raise AttributeError(name)
        raise Boom(f"no {name}")


class EvilInputs:
    """A descriptor-like object whose `inputs` raises something other than
    AttributeError."""

    @property
    def inputs(self):
        raise Boom("inputs")

    def to_dict(self):
        raise Boom("to_dict")


class EvilDict(dict):
    def get(self, *a, **k):
        raise Boom("get")

    def items(self):
        raise Boom("items")

    def keys(self):
        raise Boom("keys")

    def __getitem__(self, k):
        raise Boom("getitem")

    def __contains__(self, k):
        raise Boom("contains")


class EvilList(list):
    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        raise Boom("getitem")

    def __iter__(self):
        raise Boom("iter")


class ShapeShifter(dict):
    """A mapping that changes under the reader."""

    def get(self, key, default=None):
        self.clear()
        return default

    def items(self):
        self.clear()
        return [("cond", "AAAA"), ("x", [1])]


class WeirdStr(str):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = str.__hash__

    def startswith(self, *a):
        raise Boom("startswith")


DTYPES = [torch.float32, torch.float64, torch.float16, torch.bfloat16, torch.uint8, torch.int8,
          torch.int64, torch.bool, torch.complex64]


@st.composite
def tensors(draw):
    shape = draw(st.lists(st.integers(0, 5), max_size=5))
    dtype = draw(st.sampled_from(DTYPES))
    t = torch.zeros(shape, dtype=dtype) if dtype in (torch.bool, torch.complex64) else \
        (torch.arange(math.prod(shape)) % 7).reshape(shape).to(dtype)
    if draw(st.booleans()) and t.ndim >= 2:
        t = t.transpose(0, 1)               # not contiguous
    return t


def nodeio_values(inner):
    base = module("base")
    return st.builds(lambda n, i: base.NodeIO(name=n, inputs=i), inner, inner)


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=2**63, max_value=2**200),
    st.floats(allow_nan=True, allow_infinity=True), st.complex_numbers(),
    st.text(), st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), max_size=3),
    st.binary(), st.builds(bytearray, st.binary()), st.builds(memoryview, st.binary()),
    st.sampled_from(["", "=", "====", "A===", "AB=A", "not-base64!", "aGVsbG8=", "\x00", "é", "\u200b",
                     "__tensor__", "cond", "pooled", "ControlNetInpaintingAliMamaApply"]),
    st.builds(WeirdStr, st.text(max_size=5)),
)
EVIL_MAKERS = [Evil, EvilInputs, lambda: EvilDict(a=1), lambda: EvilList([1]),
               lambda: ShapeShifter(cond="x"), object, lambda: type, lambda: len, lambda: Boom("x")]
# Made fresh per draw: the test tools print strategies, and these cannot be printed.
evils = st.integers(0, len(EVIL_MAKERS) - 1).map(lambda i: EVIL_MAKERS[i]())


def values(max_leaves=12):
    leaves = st.one_of(scalars, evils, tensors())
    return st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.tuples(inner, inner),
            st.dictionaries(st.one_of(st.text(max_size=8), st.sampled_from(
                ["__tensor__", "cond", "pooled", "samples", "batch_index", "__deferred_node__", "inputs",
                 "parameters", "image", "mask", "image_binary", "images", "conditioning"])), inner, max_size=4),
            nodeio_values(inner),
        ),
        max_leaves=max_leaves,
    )


# A service answer: usually a mapping with the fields the nodes read.
@st.composite
def answers(draw):
    kind = draw(st.sampled_from(["mapping", "mapping", "mapping", "other"]))
    if kind == "other":
        return draw(values(4))
    fields = {}
    for key in ("samples", "batch_index", "image_binary", "images", "conditioning"):
        if draw(st.booleans()):
            fields[key] = draw(st.one_of(
                values(4),
                st.just(encode_tensor(torch.zeros(1, 4, 1, 2, 2))),
                st.just(encode_png(4, 4)),
                st.builds(lambda t: [[{"__tensor__": encode_tensor(t)}, {"pooled": encode_tensor(t)}]], tensors()),
            ))
    return fields


# ---------------------------------------------------------------------------
# Checks

def call_and_check(fn, *args, **kwargs):
    """Calls fn; only an ordinary exception may come out, never an internal
    error, and the key lock must be free afterwards."""
    try:
        fn(*args, **kwargs)
    except SystemError as e:
        raise AssertionError(f"internal error from {getattr(fn, '__qualname__', fn)}: {e!r}") from e
    except RecursionError:
        pass
    except Exception:  # noqa: BLE001 - any ordinary exception is fine
        pass
    lock = module("config")._api_key_lock
    assert lock.acquire(timeout=5), "the API key lock is still held"
    lock.release()


def entry_points():
    """(id, class, method name, parameter names) of every node entry method."""
    out = []
    for name in NODE_MODULES:
        mod = module(name)
        for key, cls in mod.NODE_CLASS_MAPPINGS.items():
            fn = getattr(cls, cls.FUNCTION)
            params = [p for p in inspect.signature(fn).parameters if p != "self"]
            out.append((f"{key}.{cls.FUNCTION}", cls, cls.FUNCTION, params))
    return out


ENTRY_POINTS = entry_points() if all(
    __import__("importlib").util.find_spec(f"{PACKAGE}.{m}") for m in ("base",)) else []


def answering(client, answer, suppress=False, fail_init=False):
    """Every call of the fake client (installed by the `client` fixture, so
    no request leaves the process) gives `answer` as it is, or raises it."""
    client.record = False
    client.answer = answer if isinstance(answer, Exception) else (lambda: answer)
    client.suppress = suppress
    client.error, client.fail_on = (Boom("client"), "init") if fail_init else (None, "call")


# ---------------------------------------------------------------------------
# Module functions

@SETTINGS
@given(value=values())
def test_codecs_take_any_value(value):
    base = module("base")
    for fn in (base.image_to_base64, base.base64_to_image, base.base64_to_tensor, base.tensor_to_base64,
               base.serialize_with_pyarrow, base.deserialize_conditioning):
        call_and_check(fn, value)


def genuine_archive():
    """torch.save's archive of an answer-like value, and where its pickle lies."""
    grid = torch.arange(6.0).reshape(2, 3)
    raw = base64.b64decode(encode_tensor({"a": torch.ones(3), "b": [torch.zeros(2), (1, 2.5, "x", None, True)],
                                          "v": grid[:, 1:], "e": grid[0].expand(4, 3),
                                          "o": collections.OrderedDict(k=torch.ones(1, dtype=torch.bfloat16))}))
    info = zipfile.ZipFile(io.BytesIO(raw)).getinfo("archive/data.pkl")
    name_len, extra_len = struct.unpack_from("<HH", raw, info.header_offset + 26)
    start = info.header_offset + 30 + name_len + extra_len
    return raw, range(start, start + info.file_size)


GENUINE, PICKLE_BYTES = genuine_archive()


@SETTINGS
@given(data=st.data())
def test_damaged_tensor_archives_load_or_raise(data):
    # Bytes changed where the archive's structure lies (its directory and end
    # records close it) or in its pickle, and the archive cut anywhere; or
    # the pickle changed and cut, and written again by torch's writer.
    raw = bytearray(GENUINE)
    where = data.draw(st.sampled_from([range(len(raw) - 700, len(raw)), PICKLE_BYTES]))
    for _ in range(data.draw(st.integers(1, 6))):
        raw[data.draw(st.sampled_from(where))] = data.draw(st.integers(0, 255))
    if where is PICKLE_BYTES and data.draw(st.booleans()):
        pickled = raw[where.start:where.stop]
        raw = written({**archive_records(GENUINE), "data.pkl": bytes(pickled[:data.draw(st.integers(0, len(where)))])})
    else:
        raw = raw[:data.draw(st.sampled_from([len(raw), data.draw(st.integers(0, len(raw)))]))]
    call_and_check(module("base").base64_to_tensor, base64.b64encode(bytes(raw)).decode())


@SETTINGS
@given(value=values(), url=values(4), base_url=values(4))
def test_config_and_request_path_take_any_value(value, url, base_url, client):
    config = module("config")
    base = module("base")
    call_and_check(config.set_api_key, value)
    for fn in (config.get_api_key, config.get_config, config.get_auth_headers):
        call_and_check(fn)
    node = base.BaseNode()
    node.BASE_URL = base_url
    call_and_check(node._build_url, url)
    answering(client, value)
    call_and_check(node.send_request, url, value)
    call_and_check(node.send_request, "sampler", {"x": value})
    call_and_check(base.NodeIO, name=value, inputs=url)
    descriptor = base.NodeIO(name="n", inputs={})
    del descriptor.inputs
    call_and_check(descriptor.to_dict)
    call_and_check(base.BaseNode.send_request, value, "sampler", {})
    config.set_api_key(None)


@SETTINGS
@given(args=st.lists(values(3), max_size=4), kwargs=st.dictionaries(st.text(max_size=6), values(3), max_size=3))
def test_wrong_arity_and_keywords(args, kwargs, client):
    answering(client, None)
    base = module("base")
    config = module("config")
    for fn in (base.image_to_base64, base.deserialize_conditioning, base.serialize_with_pyarrow,
               config.set_api_key, config.get_config, base.NodeIO, base.BaseNode().send_request,
               base.BaseNode()._build_url):
        call_and_check(fn, *args, **kwargs)
    for _, cls, method, _ in ENTRY_POINTS:
        call_and_check(getattr(cls(), method), *args, **kwargs)
        call_and_check(cls.INPUT_TYPES, *args, **kwargs)


# ---------------------------------------------------------------------------
# Node entry methods: every input hostile or ordinary, every answer hostile

def ordinary(param):
    """A plausible value for a parameter, so that one hostile input at a time
    reaches deep into the node."""
    base = module("base")
    vae = base.NodeIO(name="VAELoader", inputs={"vae_name": "v"})
    return {
        "model": base.NodeIO(name="UNETLoader", inputs={"unet_name": "u"}),
        "clip": base.NodeIO(name="CLIPLoader", inputs={"clip_name": "c", "type": "qwen_image", "device": "default"}),
        "vae": vae, "control_net": base.NodeIO(name="ControlNetLoader", inputs={"control_net_name": "n"}),
        "positive": [[torch.ones(1, 2, 3), {}]], "negative": [[torch.ones(1, 2, 3), {}]],
        "latent_image": {"samples": torch.zeros(1, 4, 1, 2, 2)}, "latent": {"samples": torch.zeros(1, 4, 1, 2, 2)},
        "image": torch.rand(1, 8, 8, 3), "mask": torch.zeros(1, 8, 8), "text": "a cat",
        "seed": 1, "steps": 2, "cfg": 1.0, "denoise": 1.0, "strength": 1.0, "start_percent": 0.0,
        "end_percent": 1.0, "shift": 1.0, "sampler_name": "euler", "scheduler": "normal",
    }.get(param, "x")


@pytest.mark.parametrize("entry", ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_entry_methods_take_hostile_inputs_and_answers(entry, client):
    _, cls, method, params = entry

    @SETTINGS
    @given(data=st.data())
    def run(data):
        kwargs = {}
        for p in params:
            kwargs[p] = data.draw(st.one_of(st.just(ordinary(p)), values()), label=p)
        answering(client, data.draw(st.one_of(answers(), st.sampled_from([Boom("down"), TimeoutError()])),
                                    label="answer"),
                  suppress=data.draw(st.booleans(), label="suppress"),
                  fail_init=data.draw(st.booleans(), label="fail_init") and data.draw(st.booleans()))
        node = cls()
        call_and_check(getattr(node, method), **kwargs)
        call_and_check(cls.INPUT_TYPES)

    run()


# ---------------------------------------------------------------------------
# The finder

@SETTINGS
@given(name=st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=40), other=values(3))
def test_finder_takes_any_name(name, other):
    pkg = pytest.importorskip(PACKAGE)
    finder = next(f for f in sys.meta_path if type(f).__name__ == "package_module_loader")
    import types
    full = f"{pkg.__name__}.{name}"
    for n in (name, full):
        call_and_check(finder.find_spec, n, other, other)
        call_and_check(finder.is_package, n)
        call_and_check(finder.get_source, n)
        call_and_check(finder.path_hook, n)
        call_and_check(finder.create_module, types.SimpleNamespace(name=n))
        if n not in sys.modules and not n.startswith(f"{pkg.__name__}.") or name not in (
                "base", "config", *NODE_MODULES, ""):
            call_and_check(finder.exec_module, types.ModuleType(n + "_not_in_table"))
    call_and_check(finder.find_spec, other)
    call_and_check(finder.is_package, other)
    call_and_check(finder.create_module, other)
    call_and_check(finder.exec_module, other)
    call_and_check(finder.path_hook, other)


SURROGATE_CHILD = textwrap.dedent("""
    import importlib, sys, types
    import {pkg}
    finder = next(f for f in sys.meta_path if type(f).__name__ == "package_module_loader")
    name = "caf\\udce9"       # a folder name that was not UTF-8, as os.fsdecode gives it
    for call in (lambda: importlib.import_module(name),
                 lambda: finder.find_spec(name),
                 lambda: finder.find_spec("{pkg}." + name),
                 lambda: finder.is_package(name),
                 lambda: finder.create_module(types.SimpleNamespace(name=name)),
                 lambda: finder.exec_module(types.ModuleType(name))):
        try:
            call()
        except Exception as e:
            assert not isinstance(e, SystemError), repr(e)
    print("ok")
""")


def test_finder_survives_names_that_are_not_utf8():
    proc = subprocess.run([sys.executable, "-c", SURROGATE_CHILD.format(pkg=PACKAGE)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr[-2000:]
