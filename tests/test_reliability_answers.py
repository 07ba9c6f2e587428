"""Hostile answers that are small on the wire and huge (or endless) once
decoded: every path that decodes an answer refuses them with an ordinary
exception before the memory is taken (checked in a child process by its peak
memory, never by time), deep nesting raises RecursionError on a small thread
stack, and a thread caught mid-encode by the interpreter's exit does not crash
the process.
"""
from __future__ import annotations

import base64
import collections
import dataclasses
import io
import json
import logging
import math
import os
import pickle
import struct
import subprocess
import sys
import textwrap
import threading
import zipfile
import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import encode_png, encode_tensor, recording_client_class
from reliability_support import LONG, NODES, PACKAGE, archive_records, module, written
from tools.service.loopback import JSON, Answer, Service

torch = pytest.importorskip("torch")
Image = pytest.importorskip("PIL.Image")
bentoml = pytest.importorskip("bentoml")

LIMIT = 1 << 20     # the limit the in-process tests run under


def b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode()


def saved(value, **kwargs) -> bytes:
    buf = io.BytesIO()
    torch.save(value, buf, **kwargs)
    return buf.getvalue()


def deflated_archive() -> bytes:
    """torch.save's archive with every record deflated: 4 MiB of zeros in a
    few kilobytes."""
    src = zipfile.ZipFile(io.BytesIO(saved(torch.zeros(1 << 20))))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression=zipfile.ZIP_DEFLATED) as dst:
        for info in src.infolist():
            dst.writestr(info.filename, src.read(info))
    return out.getvalue()


def legacy_stream() -> bytes:
    """The legacy format, whose storage sizes are allocated before reading."""
    return saved(torch.zeros(4), _use_new_zipfile_serialization=False)


def png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_declaring(width: int, height: int) -> bytes:
    """A 1-bit PNG of the given size: all rows zero, compressed to almost nothing."""
    rows = zlib.compress((b"\x00" + bytes((width + 7) // 8)) * height, 9)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0))
            + png_chunk(b"IDAT", rows) + png_chunk(b"IEND", b""))


# ---- archives that Python's zipfile and torch's reader would read differently

END = struct.Struct("<IHHHHIIH")        # end of central directory record
LOCAL = struct.Struct("<IHHHHHIIIHH")   # local file header


def directory_entries(raw: bytes) -> tuple[bytes, list[bytes]]:
    """A torch.save archive split into its records and its central entries."""
    count, size, offset = struct.unpack("<HII", raw[-12:-2])
    entries, pos = [], offset
    for _ in range(count):
        name_len, extra_len, comment_len = struct.unpack("<HHH", raw[pos + 28:pos + 34])
        end = pos + 46 + name_len + extra_len + comment_len
        entries.append(raw[pos:end])
        pos = end
    return raw[:offset], entries


def closed(records: bytes, entries: list[bytes], directory_at: int | None = None) -> bytes:
    """Records and central entries, then a plain end record naming the
    directory at `directory_at` (default: where the entries begin)."""
    directory = b"".join(entries)
    at = len(records) if directory_at is None else directory_at
    return records + directory + END.pack(0x06054B50, 0, 0, len(entries), len(entries), len(directory), at, 0)


def two_directories(inflated: int = 1 << 20) -> bytes:
    """A small stored tensor as Python's zipfile lists it (the directory just
    before the end record), while the directory the end record names, which
    torch reads, points its data record at `inflated` bytes of deflated zeros."""
    records, entries = directory_entries(saved(torch.zeros(4)))
    packer, chunk, crc, parts = zlib.compressobj(9, zlib.DEFLATED, -15), bytes(1 << 20), 0, []
    for _ in range(inflated >> 20):
        parts.append(packer.compress(chunk))
        crc = zlib.crc32(chunk, crc)
    deflated = b"".join(parts) + packer.flush()
    name = b"archive/data/0"
    hidden = LOCAL.pack(0x04034B50, 20, 0, 8, 0, 0, crc, len(deflated), inflated, len(name), 0) + name + deflated

    def redirect(entry):
        if entry[46:46 + len(name)] != name or len(entry) != 46 + len(name):
            return entry
        e = bytearray(entry)
        struct.pack_into("<HH", e, 8, 0, 8)                          # no descriptor, deflated
        struct.pack_into("<III", e, 16, crc, len(deflated), inflated)
        struct.pack_into("<I", e, 42, len(records))
        return bytes(e)

    for_torch = b"".join(redirect(e) for e in entries)
    return closed(records + hidden + for_torch, entries, directory_at=len(records) + len(hidden))


def overlapping_records() -> bytes:
    """A second entry naming the bytes of the first data record."""
    records, entries = directory_entries(saved([torch.zeros(4), torch.zeros(4)]))
    data = [e for e in entries if e[46:].startswith(b"archive/data/")]
    copy = bytearray(data[1])
    copy[42:46] = data[0][42:46]
    return closed(records, [bytes(copy) if e == data[1] else e for e in entries])


def central_sizes_larger() -> bytes:
    """The directory gives the data records more bytes than their local
    headers and descriptors do (torch reads what the directory says)."""
    records, entries = directory_entries(saved(torch.zeros(4)))

    def grown(entry):
        if not entry[46:].startswith(b"archive/data/"):
            return entry
        e = bytearray(entry)
        size = struct.unpack_from("<I", e, 24)[0] + 16
        struct.pack_into("<II", e, 20, size, size)
        return bytes(e)

    return closed(records, [grown(e) for e in entries])


def bytes_between_records() -> bytes:
    """Bytes that no record lists, between the records and the directory."""
    records, entries = directory_entries(saved(torch.zeros(4)))
    return closed(records + bytes(4096), entries)


def ico_holding(width: int, height: int) -> bytes:
    """An icon whose one entry is an RGBA PNG of the given size, all zeros:
    Pillow's icon reader decodes it while opening."""
    packer, row = zlib.compressobj(9), bytes(1 + 4 * width)
    rows = b"".join(packer.compress(row) for _ in range(height)) + packer.flush()
    png = (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
           + png_chunk(b"IDAT", rows) + png_chunk(b"IEND", b""))
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(png), 22) + png


class Call:
    """Pickled as a call of `fn` with `args`: what a hostile service can make
    torch.save write into data.pkl."""

    def __init__(self, fn, *args):
        self.fn, self.args = fn, args

    def __reduce__(self):
        return self.fn, self.args


def directory_bit() -> bytes:
    """The data record marked as a directory: torch's reader would extract
    nothing into the buffer it allocated for it."""
    records, entries = directory_entries(saved(torch.ones(4)))
    name = b"archive/data/0"
    marked = [entry[:38] + struct.pack("<I", 0x10) + entry[42:] if entry[46:46 + len(name)] == name else entry
              for entry in entries]
    return closed(records, marked)


def rewritten(value, changes: dict) -> bytes:
    """torch.save's archive of `value` written again by torch's writer, with
    records (names inside the archive's folder) replaced, added or, given
    None, left out."""
    return written({**archive_records(saved(value)), **changes})


def names_differ_in_case() -> bytes:
    """A second pickle whose name differs only in case: torch's reader may
    take either."""
    return rewritten(torch.ones(4), {"DATA.PKL": pickle.dumps(Call(bytearray, 10**9), protocol=2)})


# Answers the old checks let torch's unpickler or zip reader see, each small
# on the wire: calls that allocate by an argument, copy a view 400 MB by
# shape into 800 MB or iterate one, or make a tensor of whatever the heap
# held; a stream that is no archive; headers that make torch's reader read
# other bytes.
HOSTILE_ARCHIVES = {
    "bytearray_call": lambda: saved(Call(bytearray, 10**9)),
    "plain_pickle": lambda: pickle.dumps(Call(bytearray, 10**9), protocol=2),
    "device_copy_of_view": lambda: saved(Call(torch._utils._rebuild_device_tensor_from_cpu_tensor,
                                              torch.zeros(1).expand(10**8), torch.float64, "cpu", False)),
    "set_of_view": lambda: saved(Call(set, torch.zeros(1).expand(10**6))),
    "uninitialised_tensor": lambda: saved(Call(torch.FloatTensor, 1 << 16)),
    "directory_bit": directory_bit,
    "names_differ_in_case": names_differ_in_case,
}


TENSOR_BOMBS = {
    "compressed_record": deflated_archive,
    "two_directories": two_directories,
    "overlapping_records": overlapping_records,
    "bytes_between_records": bytes_between_records,
    "central_sizes_larger": central_sizes_larger,
    # The plain end record names another directory than its zip64 record (torch reads the former).
    "end_records_disagree": lambda: (lambda raw: raw[:-6] + bytes(4) + raw[-2:])(saved(torch.zeros(4))),
    "stored_over_limit": lambda: saved(torch.zeros(LIMIT // 2)),        # 2 MiB stored
    # 0.15 TiB claimed by a stride-0 view, found inside a container.
    "zero_stride_view": lambda: saved({"ok": torch.ones(2), "bomb": [torch.zeros(1).expand(1, 4, 10**5, 10**5)]}),
    "legacy_format": legacy_stream,
}

# How an encoded tensor answer reaches each decoding path.
TENSOR_ANSWERS = {
    "text_encode": lambda text: {"conditioning": [[{"__tensor__": text}, {"pooled_output": None}]]},
    "sampler": lambda text: {"samples": text},
    "vae_encode": lambda text: {"samples": text},
}
CASES = {case.name: case for case in NODES}


@pytest.fixture
def limited(monkeypatch):
    """The answer limit lowered to LIMIT for the test; no request leaves the
    process. Returns a function that runs a node against one answer."""
    monkeypatch.setattr(module("base").BaseNode, "MAX_ANSWER_BYTES", LIMIT)
    base = module("base")

    def run(node_name, answer):
        case = CASES[node_name]
        monkeypatch.setattr(base, "SyncHTTPClient", recording_client_class({case.endpoint: answer}, record=False))
        return case.call(case.node_class()())

    return run


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


# ---- genuine archives: what torch.save writes for answers decodes as torch.load reads it

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


def pillow_saved(image_format: str, **options) -> bytes:
    buf = io.BytesIO()
    Image.new("RGB", (5, 6), (255, 255, 255)).save(buf, format=image_format, **options)
    return buf.getvalue()


def png_with_some_text() -> bytes:
    from PIL.PngImagePlugin import PngInfo

    info = PngInfo()
    info.add_text("prompt", "{}" * 1000)
    info.add_text("workflow", "{}" * 1000, zip=True)
    info.add_itxt("comment", "\u00e9t\u00e9", zip=True)
    return pillow_saved("PNG", pnginfo=info)


# Images as encoders write them, in the layouts the checks before Pillow look at.
GENUINE_IMAGES = {
    **{name: (lambda name=name: pillow_saved(name)) for name in ("JPEG", "WEBP", "BMP", "GIF", "TIFF")},
    "progressive JPEG": lambda: pillow_saved("JPEG", progressive=True),
    "TIFF in strips": lambda: pillow_saved("TIFF", strip_size=16),
    "deflated TIFF in strips": lambda: pillow_saved("TIFF", compression="tiff_adobe_deflate", strip_size=16),
    "TIFF in one tile larger than the picture": lambda: tiff_image(5, 6, tile=(256, 256), deflated=True),
    "TIFF in tiles": lambda: tiff_image(40, 6, tile=(16, 16)),
    "PNG with text": png_with_some_text,
}


@pytest.mark.parametrize("image", GENUINE_IMAGES)
def test_images_as_encoders_write_them_still_decode(image):
    import numpy as np

    raw = GENUINE_IMAGES[image]()
    expected = np.asarray(Image.open(io.BytesIO(raw)).convert("RGB"), dtype=np.float32) / 255
    decoded = module("base").base64_to_image(b64(raw))
    assert decoded.shape == (1, *expected.shape) and np.array_equal(decoded[0].numpy(), expected)


@pytest.mark.parametrize("where", ["codec", "image_binary", "images"])
def test_image_answer_bombs_are_refused_before_decoding(limited, caplog, monkeypatch, where):
    base = module("base")
    # Between Pillow's warning and its error; then over LIMIT but under Pillow's (3 MiB as float32);
    # then small, but in a container that Pillow decodes while opening it.
    for text, error in ((b64(png_declaring(13376, 13376)), Image.DecompressionBombError),
                        (b64(png_declaring(512, 512)), ValueError),
                        (b64(ico_holding(64, 64)), ValueError)):
        caplog.clear()
        if where == "codec":
            with pytest.raises(error):
                base.base64_to_image(text)
        elif where == "image_binary":
            # A refusal is a decode failure like any other: the fallback answers, with one record.
            assert limited("vae_decode", {"image_binary": text, "images": encode_png(4, 4)})[0].shape == (1, 4, 4, 3)
            assert len([r for r in caplog.records if r.levelno >= logging.WARNING]) == 1
        else:
            with pytest.raises(ValueError, match="^Failed to decode vae: ") as info:
                limited("vae_decode", {"images": text})
            assert isinstance(info.value.__context__, error)
    with pytest.raises(ValueError, match=r"^answer refused: the image's format \(Pillow takes it for ICO\)"):
        base.base64_to_image(b64(ico_holding(64, 64)))
    # Under the limit still decodes; Pillow's own limit, whatever its value, is an error.
    assert base.base64_to_image(encode_png(128, 128)).shape == (1, 128, 128, 3)      # 768 KiB as float32
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)
    with pytest.raises(Image.DecompressionBombError):
        base.base64_to_image(encode_png(16, 16))


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


def run_child(code: str, env=None, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


DEPTH_CHILD = """
    import sys, threading, torch
    import {pkg}.base as base, {pkg}.ksampler as ksampler
    sys.setrecursionlimit(100000)
    threading.stack_size({stack_kib} * 1024)

    def conditioning(depth):
        value = "leaf"
        for i in range(depth):
            value = [value] if i % 2 else {{"x": value}}
        base.deserialize_conditioning(value)

    def sent(self, url, payload):
        raise LookupError("sent")       # the request was built: the conversion finished
    ksampler.VornaKSampler.send_request = sent

    def model_chain(depth):
        node = base.NodeIO(name="UNETLoader", inputs={{}})
        for _ in range(depth):
            node = base.NodeIO(name="ModelSamplingAuraFlow", inputs={{"model": node, "shift": 3.0}})
        try:
            ksampler.VornaKSampler().sample(node, [], [], {{"samples": torch.zeros(1)}}, 0, 1, 1.0, "euler",
                                            "normal", 1.0)
        except LookupError:
            pass

    out = []
    def walk():
        for call, depth in ((conditioning, 20), (conditioning, 50000), (model_chain, 5), (model_chain, 20000)):
            try:
                call(depth)
                out.append("ok")
            except RecursionError:
                out.append("RecursionError")
    thread = threading.Thread(target=walk)
    thread.start()
    thread.join()
    print(" ".join(out))
"""


def test_deep_nesting_raises_in_a_small_thread_stack_at_any_recursion_limit():
    # The sanitizer build's frames are several times larger than a release build's.
    sanitized = os.environ.get("VORNA_SANITIZED", "") not in ("", "0")
    proc = run_child(DEPTH_CHILD.format(pkg=PACKAGE, stack_kib=1024 if sanitized else 256))
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["ok", "RecursionError", "ok", "RecursionError"]


EXIT_CHILD = """
    import threading, time, torch
    from {pkg}.base import tensor_to_base64
    tensor = torch.rand(16 * 1024 * 1024)          # 64 MiB
    started = threading.Event()

    def encode_forever():
        started.set()
        while True:
            tensor_to_base64(tensor)

    threading.Thread(target=encode_forever, daemon=True).start()
    started.wait()
    time.sleep({pause})
"""


def test_interpreter_exit_during_an_encode_does_not_crash():
    # torch's own writer may abort the exit (as it does without this package);
    # a segmentation fault would be ours.
    codes = [run_child(EXIT_CHILD.format(pkg=PACKAGE, pause=0.1 + 0.05 * i)).returncode for i in range(6)]
    assert all(code in (0, -6) for code in codes), codes


# ---- answers that cost more to read than their size says: the schema, the
# body's JSON and chunks, an image's scans, strips and text

def fake_service(case):
    """Node calls answered in-process by the recording client."""
    def call(answer):
        module("base").SyncHTTPClient = recording_client_class({case.endpoint: answer}, record=False)
        return case.call(case.node_class()())
    return call


def loopback_service(case):
    """Node calls through the library's client to a loopback service, which
    answers a JSON object or an `Answer`; `call.declare(gives)` serves the
    schema again with another answer schema."""
    recorder = recording_client_class({case.endpoint: case.make_answer()})
    module("base").SyncHTTPClient = recorder
    case.call(case.node_class()())              # the keyword arguments the endpoint takes
    module("base").SyncHTTPClient = bentoml.SyncHTTPClient
    service, route = Service(), f"/{case.endpoint}"

    def declare(gives=None):
        service.serve_schema(gives=gives, params=list(recorder.calls[0][1]), **{case.endpoint: route})
        base = module("base")
        for kept in list(base._client_pool.entries.values()):     # the next call reads it
            kept.client.close()
        base._client_pool.entries.clear()

    def call(answer):
        service.answers[route] = answer if isinstance(answer, Answer) else Answer(200, json.dumps(answer).encode(), JSON)
        node = case.node_class()()
        node.BASE_URL = service.origin + "/"
        return case.call(node)

    declare()
    call.declare = declare
    return call


def declaring_a_tensor(call) -> dict:
    """A schema whose answer is a "tensor" of strings: the library would make
    a numpy array of 10,000 characters an element (640 MB) of 60 KB of JSON."""
    call.declare({"type": "object", "properties": {
        "samples": {"type": "tensor", "format": "numpy-array", "dtype": "str_"}}})
    return {"samples": ["x" * 10_000] + [1] * 16_000}


def json_of_empty_dicts() -> Answer:
    """2.9 MB (within the 2.97 MB a 1 MiB limit allows on the wire) that
    parse to a dict per three bytes."""
    return Answer(200, b"[" + b"{}," * 966_000 + b"{}]", JSON)


def two_byte_chunks() -> Answer:
    """A chunked body of 2-byte chunks that runs past the wire bound."""
    return Answer(200, b"  ", JSON, repeat=1_600_000, chunked=True)


def rescanned_jpeg(size: int = 288, copies: int = 60_000) -> bytes:
    """A progressive JPEG whose last scan (16 bytes: an end-of-band run over
    all blocks) comes `copies` times: each copy a pass over every pixel."""
    buf = io.BytesIO()
    Image.new("RGB", (size, size), (90, 120, 200)).save(buf, "JPEG", progressive=True)
    raw = buf.getvalue()
    last = raw.rindex(b"\xff\xda")
    return raw[:-2] + raw[last:-2] * copies + raw[-2:]


def png_with_text(count: int = 64, inflated: int = 1 << 20) -> bytes:
    """A 4x4 PNG carrying `count` compressed text chunks of `inflated` bytes
    each (1 KB apiece on the wire), which Pillow inflates while opening it."""
    buf = io.BytesIO()
    Image.new("RGB", (4, 4)).save(buf, "PNG")
    png, packed = buf.getvalue(), zlib.compress(bytes(inflated), 9)
    text = b"".join(png_chunk(b"zTXt", b"k%d\x00\x00" % i + packed) for i in range(count))
    return png[:33] + text + png[33:]          # after the signature and IHDR


def tiff_image(width: int, height: int, rows: int | None = None, tile: tuple | None = None,
               pieces: int | None = None, deflated: bool = False) -> bytes:
    """An RGB TIFF of zeros in strips of `rows` or tiles of `tile` (width,
    length), raw or deflated, listing `pieces` of them (default: as many as
    its size needs), all naming the same bytes."""
    across, down = tile or (width, rows or height)
    count = pieces or -(-width // across) * -(-height // down)
    packer, row = zlib.compressobj(9), bytes(across * 3)
    data = (b"".join(packer.compress(row) for _ in range(down)) + packer.flush()) if deflated else row * down
    values = {256: (4, [width]), 257: (4, [height]), 258: (3, [8, 8, 8]), 259: (3, [8 if deflated else 1]),
              262: (3, [2]), 277: (3, [3])}
    if tile:
        values.update({322: (4, [across]), 323: (4, [down]), 324: (4, None), 325: (4, [len(data)] * count)})
    else:
        values.update({273: (4, None), 278: (4, [down]), 279: (4, [len(data)] * count)})
    # The values longer than an entry's four bytes follow the directory, then the pixels.
    arrays_at = 8 + 2 + 12 * len(values) + 4
    data_at = arrays_at + sum(len(v or range(count)) * (2 if k == 3 else 4)
                              for k, v in values.values() if len(v or range(count)) * (2 if k == 3 else 4) > 4)
    entries, arrays = b"", b""
    for tag in sorted(values):
        kind, items = values[tag]
        items = items or [data_at] * count
        packed = struct.pack(f"<{len(items)}{'H' if kind == 3 else 'I'}", *items)
        if len(packed) <= 4:
            entries += struct.pack("<HHI", tag, kind, len(items)) + packed.ljust(4, b"\0")
        else:
            entries += struct.pack("<HHII", tag, kind, len(items), arrays_at + len(arrays))
            arrays += packed
    return b"II*\0" + struct.pack("<IH", 8, len(values)) + entries + bytes(4) + arrays + data


MEMORY_CHILD = """
    import gc, json, os, resource, sys
    sys.path[:0] = [{tests!r}, {root!r}]
    import torch
    import test_reliability_answers as hostile
    from reliability_support import NODES, module

    module("base").BaseNode.MAX_ANSWER_BYTES = {limit}
    cases = {{c.name: c for c in NODES}}
    calls = {{}}

    def call_for(node, service):
        if (node, service) not in calls:
            calls[node, service] = getattr(hostile, service)(cases[node])
        return calls[node, service]

    runs = {runs!r}
    for node, service in sorted({{(node, service) for _, node, service, _ in runs}}):
        call_for(node, service)(cases[node].make_answer())      # imports and first-call allocations
    answers = [eval(build, {{"hostile": hostile, "torch": torch, "node": node, "call": call_for(node, service)}})
               for _, node, service, build in runs]
    gc.collect()
    start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for (label, node, service, _), answer in zip(runs, answers):
        cpu = sum(os.times()[:2])
        try:
            call_for(node, service)(answer)
            outcome = wrapped = "decoded"
        except Exception as error:
            outcome, wrapped = str(error if error.__context__ is None else error.__context__), str(error)
        print(json.dumps({{"label": label, "node": node, "outcome": outcome, "wrapped": wrapped,
                           "cpu_s": sum(os.times()[:2]) - cpu,
                           "peak_growth_mib": (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start) / 1024}}))
"""


@dataclasses.dataclass
class Bomb:
    node: str
    build: str                      # an expression of the child: the answer, given `call` and `hostile`
    limit: int = LIMIT
    most_mib: float = 64            # peak memory growth allowed while it is refused
    service: str = "fake_service"
    refusal: str = "answer refused: "


# Each hostile answer with the node that decodes it; the older ones with a
# 16 MiB limit, and allowed a quarter of what they would decode to.
MEMORY_BOMBS = {
    "two_directories": Bomb("sampler", "{'samples': hostile.b64(hostile.two_directories(256 << 20))}", 16 << 20),
    "many_tensors": Bomb("text_encode", "(lambda part: {'conditioning': [[{'__tensor__': part}, {}]] * 32})"
                                        "(hostile.encode_tensor(torch.zeros((16 << 20) // 4 - 1024)))", 16 << 20, 128),
    "ico_holding_a_large_png": Bomb("vae_decode", "{'images': hostile.b64(hostile.ico_holding(8192, 8192))}",
                                    16 << 20),
    "schema_declaring_a_tensor": Bomb("sampler", "hostile.declaring_a_tensor(call)", service="loopback_service",
                                      refusal="the service's schema declares the type 'tensor' at properties.samples"),
    "json_of_empty_dicts": Bomb("sampler", "hostile.json_of_empty_dicts()", service="loopback_service",
                                refusal="answer refused: its JSON would take about"),
    "two_byte_chunks": Bomb("sampler", "hostile.two_byte_chunks()", service="loopback_service",
                            refusal="answer refused: its body runs longer than"),
    "rescanned_jpeg": Bomb("vae_decode", "{'images': hostile.b64(hostile.rescanned_jpeg())}",
                           refusal="answer refused: the JPEG image has more than 32 scans"),
    "png_text": Bomb("vae_decode", "{'images': hostile.b64(hostile.png_with_text())}",
                     refusal="answer refused: it would decode to"),
    # The first strip listed 100,000 times where two would do: each decoded as a tile of its own.
    "tiff_strips": Bomb("vae_decode", "{'images': hostile.b64(hostile.tiff_image(288, 288, rows=287, pieces=10**5))}",
                        refusal="answer refused: the TIFF image lists 100000 strips where its size needs 2"),
    # A 16 x 16 picture in one tile of 8192 x 8192, decoded into a buffer of the tile's size.
    "tiff_tile": Bomb("vae_decode", "{'images': hostile.b64(hostile.tiff_image(16, 16, tile=(8192, 8192), deflated=True))}",
                      refusal="answer refused: the TIFF image of 16 x 16 pixels comes in tiles of 8192 x 8192"),
}


def run_memory_child(runs, limit: int) -> list[dict]:
    """Runs (label, node, service, answer expression) in one child process,
    one call each after all are built; the peak growth reported is the
    child's high water mark so far."""
    tests = os.path.dirname(os.path.abspath(__file__))
    code = MEMORY_CHILD.format(tests=tests, root=os.path.dirname(tests), limit=limit, runs=list(runs))
    proc = run_child(code)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]


@pytest.mark.parametrize("bomb", MEMORY_BOMBS)
def test_hostile_answers_are_refused_before_their_memory_is_taken(bomb):
    spec = MEMORY_BOMBS[bomb]
    (figures,) = run_memory_child([(bomb, spec.node, spec.service, spec.build)], spec.limit)
    # The node's usual error: wrapped where the node wraps.
    assert figures["outcome"].startswith(spec.refusal), figures
    assert figures["wrapped"].startswith(CASES[spec.node].wrap_prefix or spec.refusal), figures
    # What stays is the answer's own bytes and at most one tensor under the limit.
    assert figures["peak_growth_mib"] < spec.most_mib, figures


def test_hostile_archives_are_refused_before_anything_in_them_runs():
    # Through each node, with the node's usual error, in one child at a 1 MiB limit.
    runs = [(name, node, "fake_service",
             f"hostile.TENSOR_ANSWERS[node](hostile.b64(hostile.HOSTILE_ARCHIVES[{name!r}]()))")
            for name in HOSTILE_ARCHIVES for node in TENSOR_ANSWERS]
    results = run_memory_child(runs, limit=LIMIT)
    assert [(r["label"], r["node"]) for r in results] == [run[:2] for run in runs]
    for figures in results:
        prefix = CASES[figures["node"]].wrap_prefix or ""
        assert figures["wrapped"] == prefix + figures["outcome"], figures
        assert figures["outcome"].startswith("answer refused: "), figures
    assert results[-1]["peak_growth_mib"] < 64, results
