"""Tensor answers (the strict reader of torch.save archives and their
pickles): archives that torch's reader and Python's zipfile would read
differently, pickles that would run code, and whatever torch.save does not
write for answers are refused before anything in them runs or is allocated,
through every node that decodes a tensor; what torch.save writes decodes as
torch.load reads it."""
from __future__ import annotations

import collections
import io
import logging
import math
import pickle
import struct
import threading
import zipfile

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tests.support import LONG, module
from tests.support.answers import (LIMIT, TENSOR_ANSWERS, TENSOR_BOMBS, Call, b64, directory_entries, rewritten,
                                   saved)
from tests.support.nodes import BY_NAME
from tests.support.values import encode_tensor

torch = pytest.importorskip("torch")
CASES = BY_NAME


@pytest.mark.parametrize("bomb", TENSOR_BOMBS)
@pytest.mark.parametrize("node_name", TENSOR_ANSWERS)
def test_tensor_answer_bombs_are_refused(limited, caplog, bomb, node_name):
    with pytest.raises(Exception) as info:
        limited(node_name, TENSOR_ANSWERS[node_name](b64(TENSOR_BOMBS[bomb]())))
    # Through the node's usual path: wrapped where the node wraps, nothing logged.
    error, prefix = info.value, CASES[node_name].wrap_prefix
    if prefix:
        assert type(error) is ValueError and str(error).startswith(prefix), repr(error)
        error = error.__context__
    assert isinstance(error, ValueError) and str(error).startswith("answer refused: "), repr(error)
    assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []
    limited(node_name, TENSOR_ANSWERS[node_name](encode_tensor(torch.ones(LIMIT // 8))))    # half the limit: fine


RAN = []


class Planted:
    """Unpickling this runs code: an answer must never get that far."""

    def __reduce__(self):
        return RAN.append, ("ran",)


@pytest.mark.parametrize("stream", ["torch", "pickle"])
@pytest.mark.parametrize("reader", ["codec", *TENSOR_ANSWERS])
def test_answer_that_would_run_code_is_refused(limited, reader, stream):
    text = b64(saved({"x": Planted()}) if stream == "torch" else pickle.dumps(Planted(), protocol=2))
    with pytest.raises(Exception) as info:
        if reader == "codec":
            module("base").base64_to_tensor(text)
        else:
            limited(reader, TENSOR_ANSWERS[reader](text))
    error, prefix = info.value, CASES[reader].wrap_prefix if reader in CASES else None
    if prefix:
        assert type(error) is ValueError and str(error).startswith(prefix), repr(error)
        error = error.__context__
    assert type(error) is ValueError and str(error).startswith("answer refused: "), repr(error)
    assert RAN == []


def with_torch_headers(raw: bytes) -> bytes:
    """Another writer's archive with the header fields torch's writer sets:
    versions made by and needed 0, no file attributes."""
    out = bytearray(raw)
    records, entries = directory_entries(raw)
    pos = len(records)
    for entry in entries:
        struct.pack_into("<HH", out, pos + 4, 0, 0)
        struct.pack_into("<I", out, pos + 38, 0)
        struct.pack_into("<H", out, struct.unpack_from("<I", entry, 42)[0] + 4, 0)
        pos += len(entry)
    return bytes(out)


def rebuilt(source, offset, size, stride, requires_grad=False):
    """torch.save's call of _rebuild_tensor_v2 with these arguments, on the
    storage of `source`."""
    storage = torch.storage.TypedStorage(wrap_storage=source.untyped_storage(), dtype=source.dtype, _internal=True)
    return saved(Call(torch._utils._rebuild_tensor_v2, storage, offset, size, stride, requires_grad,
                      collections.OrderedDict()))


def in_archive(pickled: bytes) -> bytes:
    return rewritten(torch.zeros(0), {"data.pkl": pickled, "data/0": None})


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def self_containing():
    value = []
    value.append(value)
    return value


# What torch.save does not write for answers, by the check that refuses it.
NOT_WRITTEN = {
    "view_past_storage": (lambda: rebuilt(torch.zeros(4), 2, (3,), (1,)), "reaches past its storage"),
    "negative_stride": (lambda: rebuilt(torch.zeros(4), 3, (4,), (-1,)), "negative stride"),
    "integer_gradients": (lambda: rebuilt(torch.zeros(4, dtype=torch.int32), 0, (4,), (1,), True),
                          "neither floating point nor complex"),
    "conjugate_view": (lambda: saved(torch.ones(2, dtype=torch.complex64).conj()), "metadata"),
    "newer_dtype": (lambda: saved(torch.zeros(2, dtype=torch.uint16)), "_rebuild_tensor_v3"),
    "storage_smaller_than_named": (lambda: rewritten(torch.zeros(4), {"data/0": bytes(12)}), "another size"),
    "record_not_named": (lambda: rewritten(torch.zeros(4), {"data/1": bytes(4)}), "unnamed"),
    "unknown_record": (lambda: rewritten(torch.zeros(4), {"notes.txt": b"x"}), "does not write (notes.txt)"),
    "big_endian": (lambda: rewritten(torch.zeros(4), {"byteorder": b"big"}), "big-endian"),
    "no_pickle": (lambda: rewritten(torch.zeros(4), {"data.pkl": None}), "no data.pkl"),
    "memo_out_of_order": (lambda: rewritten(torch.zeros(4), {"data.pkl": saved_pickle(torch.zeros(4)).replace(
        b"q\x00", b"q\x05", 1)}), "memo out of order"),
    "protocol_4": (lambda: in_archive(pickle.dumps([1], protocol=4)), "protocol 2 or 3"),
    "bytes_opcode": (lambda: in_archive(pickle.dumps(b"x", protocol=3)), "opcode 0x43"),
    "wide_integer": (lambda: in_archive(pickle.dumps(2**64, protocol=2)), "wider than 64 bits"),
    "float_key": (lambda: in_archive(pickle.dumps({1.5: 1}, protocol=2)), "dict key"),
    "deep_nesting": (lambda: in_archive(pickle.dumps(nested(100), protocol=2)), "levels deep"),
    "self_containing": (lambda: in_archive(pickle.dumps(self_containing(), protocol=2)), "after placing it"),
    "after_stop": (lambda: in_archive(pickle.dumps(1, protocol=2) + b"N"), "after its end"),
    # 40 KB of pickle making 20,000 lists: counted like the tensors.
    "many_lists": (lambda: in_archive(b"\x80\x02]" + b"]a" * 20000 + b"."), "more than the limit"),
    # A tensor as plain pickle writes it (its own torch.save stream inside).
    "tensor_pickled_apart": (lambda: in_archive(pickle.dumps(torch.zeros(4), protocol=2)),
                             "names torch.storage._load_from_bytes"),
}


def saved_pickle(value) -> bytes:
    return zipfile.ZipFile(io.BytesIO(saved(value))).read("archive/data.pkl")


@pytest.mark.parametrize("case", NOT_WRITTEN)
def test_what_torch_save_does_not_write_is_refused(limited, case):
    build, reason = NOT_WRITTEN[case]
    with pytest.raises(ValueError, match="^answer refused: ") as info:
        module("base").base64_to_tensor(b64(build()))
    assert reason in str(info.value)


GENUINE_DTYPES = [torch.float32, torch.float16, torch.bfloat16, torch.float64, torch.complex64, torch.complex128,
                  torch.int64, torch.int32, torch.int16, torch.int8, torch.uint8, torch.bool]


@st.composite
def stored_tensors(draw):
    """A tensor on its own storage, of any bytes (NaN payloads included)."""
    dtype, shape = draw(st.sampled_from(GENUINE_DTYPES)), draw(st.lists(st.integers(0, 4), max_size=4))
    n = math.prod(shape) * dtype.itemsize
    if n == 0:
        return torch.empty(shape, dtype=dtype)
    data = bytearray(draw(st.binary(min_size=n, max_size=n)))
    if dtype == torch.bool:
        data = bytearray(b & 1 for b in data)
    t = torch.frombuffer(data, dtype=torch.uint8).view(dtype).reshape(shape).clone()
    return t.requires_grad_((t.is_floating_point() or t.is_complex()) and draw(st.booleans()))


@st.composite
def views_of(draw, t):
    """`t` or a view of it: sliced with an offset and a step, transposed,
    expanded (stride 0, possibly to nothing), indexed down to 0-dim."""
    for _ in range(draw(st.integers(0, 2))):
        op = draw(st.sampled_from(["slice", "transpose", "expand", "index"]))
        if op == "slice" and t.ndim and t.shape[0]:
            t = t[draw(st.integers(0, t.shape[0]))::draw(st.integers(1, 3))]
        elif op == "transpose" and t.ndim >= 2:
            t = t.transpose(0, t.ndim - 1)
        elif op == "expand":
            t = t.unsqueeze(0).expand(draw(st.integers(0, 3)), *t.shape)
        elif op == "index" and t.ndim and t.shape[0]:
            t = t[draw(st.integers(0, t.shape[0] - 1))]
    return t


@st.composite
def answer_values(draw):
    """Tensors (views of a few storages, the same tensor more than once) and
    scalars in lists, tuples, dicts and OrderedDicts: what conditioning and
    latents are made of."""
    stored = draw(st.lists(stored_tensors(), min_size=1, max_size=3))
    scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**63, 2**63 - 1), st.floats(),
                        st.text(st.characters(blacklist_categories=()), max_size=4))
    keys = st.one_of(st.text(max_size=4), st.integers(-2**63, 2**63 - 1))
    return draw(st.recursive(
        st.one_of(st.sampled_from(stored).flatmap(views_of), scalars),
        lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                                st.dictionaries(keys, inner, max_size=3),
                                st.dictionaries(keys, inner, max_size=3).map(collections.OrderedDict)),
        max_leaves=8))


def assert_loaded_alike(ours, theirs, storages):
    """Same types, containers, scalars (floats by their bits) and tensors
    (dtype, layout, bytes of the storage, gradient flags), and storages
    shared exactly where torch.load shares them (`storages` maps ours to theirs)."""
    assert type(ours) is type(theirs), (ours, theirs)
    if isinstance(theirs, torch.Tensor):
        layout = lambda t: (t.dtype, t.shape, t.stride(), t.storage_offset(), t.requires_grad, t.is_leaf,
                            t.untyped_storage().tolist(), t._backward_hooks, t.device)
        assert layout(ours) == layout(theirs)
        a, b = ours.untyped_storage().data_ptr(), theirs.untyped_storage().data_ptr()
        assert storages.setdefault(("ours", a), b) == b and storages.setdefault(("theirs", b), a) == a
    elif isinstance(theirs, (list, tuple)):
        assert len(ours) == len(theirs)
        for x, y in zip(ours, theirs):
            assert_loaded_alike(x, y, storages)
    elif isinstance(theirs, dict):
        assert list(ours) == list(theirs)
        for key in theirs:
            assert_loaded_alike(ours[key], theirs[key], storages)
    elif isinstance(theirs, float):
        assert struct.pack("<d", ours) == struct.pack("<d", theirs)
    else:
        assert ours == theirs


@pytest.mark.filterwarnings("ignore:Detected pickle protocol 3")      # torch.load's, on the reference side
@settings(max_examples=400 if LONG else 40, deadline=None, suppress_health_check=list(HealthCheck))
@given(value=answer_values(), protocol=st.sampled_from([2, 3]))
def test_genuine_archives_decode_as_torch_loads_them(value, protocol):
    raw = saved(value, pickle_protocol=protocol)
    theirs = torch.load(io.BytesIO(raw), map_location="cpu", weights_only=True)
    assert_loaded_alike(module("base").base64_to_tensor(b64(raw)), theirs, {})


@pytest.mark.parametrize("zip64", [False, True])
@pytest.mark.parametrize("seekable", [False, True])
def test_stored_archives_of_other_writers_load_with_torchs_headers(limited, zip64, seekable):
    # Python's writer: sizes in the local headers, or after the data (a
    # stream it cannot seek back in); zip64 fields when asked for. Its file
    # attributes (permissions) are not what torch's reader expects.
    value = {"a": torch.arange(10.0), "b": [torch.zeros(0), torch.ones(3, dtype=torch.bfloat16)]}
    src, out = zipfile.ZipFile(io.BytesIO(saved(value))), io.BytesIO()
    target = out if seekable else type("Stream", (io.RawIOBase,), {"writable": lambda self: True,
                                                                   "write": lambda self, data: out.write(data)})()
    with zipfile.ZipFile(target, "w") as dst:
        for info in src.infolist():
            with dst.open(info.filename, "w", force_zip64=zip64) as record:
                record.write(src.read(info))
    with pytest.raises(ValueError, match="^answer refused: .*header is not as torch's writer sets it"):
        limited("sampler", {"samples": b64(out.getvalue())})
    (latent,) = limited("sampler", {"samples": b64(with_torch_headers(out.getvalue()))})
    assert torch.equal(latent["samples"]["a"], value["a"]) and latent["samples"]["b"][1].dtype == torch.bfloat16


def test_one_answer_holds_one_limit_whatever_its_tensor_count(limited, monkeypatch):
    # Each tensor is under the limit; together they are not.
    part = encode_tensor(torch.zeros(LIMIT * 3 // 16))        # 3/4 of the limit
    with pytest.raises(ValueError, match="^Failed to encode text: answer refused: ") as info:
        limited("text_encode", {"conditioning": [[{"__tensor__": part}, {"pooled_output": {"__tensor__": part}}]]})
    assert str(info.value.__context__).startswith("answer refused: ")
    base = module("base")
    with pytest.raises(ValueError, match="^answer refused: "):
        base.deserialize_conditioning([{"cond": part}, {"cond": part}])
    # The total belongs to one answer: answers decoded one after the other, or
    # side by side on other threads, each have the whole limit.
    results, errors = [], []

    def decode_some():
        try:
            for _ in range(4):
                results.append(base.deserialize_conditioning([{"cond": part}, "x"]))
        except Exception as error:      # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=decode_some) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and len(results) == 16
