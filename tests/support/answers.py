"""Service answers as a hostile service could make them, small on the wire:
tensor archives that torch's reader and Python's zipfile would read
differently, pickles that call what they name, images whose decoding costs
far more than their size, and the two ways of answering a node with one
(in-process through the fake client, or a loopback service through the
library's client). The codec tests refuse them in-process; the reliability
tests in a child process, measuring its memory."""
from __future__ import annotations

import base64
import importlib
import io
import json
import pickle
import struct
import zipfile
import zlib

import torch
from PIL import Image

from . import module
from .values import encode_tensor  # noqa: F401 - for the child processes' answer expressions
from tools.service.fake_client import fake_client
from tools.service.loopback import JSON, Answer, Service

LIMIT = 1 << 20     # the limit the in-process tests run under


def b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode()


def saved(value, **kwargs) -> bytes:
    buf = io.BytesIO()
    torch.save(value, buf, **kwargs)
    return buf.getvalue()


# ---- tensor archives as torch's own writer writes them

def archive_records(raw: bytes) -> dict:
    """The records of a torch.save archive by name inside its folder, less the
    two its writer adds itself (version, serialization id)."""
    src = zipfile.ZipFile(io.BytesIO(raw))
    records = {info.filename.split("/", 1)[1]: src.read(info) for info in src.infolist()}
    return {name: data for name, data in records.items() if name not in ("version", ".data/serialization_id")}


def written(records: dict) -> bytes:
    """An archive from torch's own writer holding these records (None: left out)."""
    buf = io.BytesIO()
    with torch.serialization._open_zipfile_writer(buf) as archive:
        for name, data in records.items():
            if data is not None:
                archive.write_record(name, data, len(data))
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


def fake_service(case):
    """Node calls answered in-process by the fake client."""
    def call(answer):
        module("base").SyncHTTPClient = fake_client({case.endpoint: answer}, record=False)
        return case.call(case.node_class()())
    return call


def loopback_service(case):
    """Node calls through the library's client to a loopback service, which
    answers a JSON object or an `Answer`; `call.declare(gives)` serves the
    schema again with another answer schema."""
    recorder = fake_client({case.endpoint: case.make_answer()})
    module("base").SyncHTTPClient = recorder
    case.call(case.node_class()())              # the keyword arguments the endpoint takes
    module("base").SyncHTTPClient = importlib.import_module("bentoml").SyncHTTPClient
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
