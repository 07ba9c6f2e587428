"""Hostile answers that are small on the wire and huge (or endless) once
decoded: every path that decodes an answer refuses them with an ordinary
exception before the memory is taken, deep nesting raises RecursionError on a
small thread stack, and a thread caught mid-encode by the interpreter's exit
does not crash the process. Outcomes only: the memory these refusals cost is
measured by hand, never asserted.
"""
from __future__ import annotations

import base64
import io
import logging
import os
import pickle
import struct
import subprocess
import sys
import textwrap
import zipfile
import zlib

import pytest

from conftest import encode_png, encode_tensor, recording_client_class
from reliability_support import NODES, PACKAGE, module

torch = pytest.importorskip("torch")
Image = pytest.importorskip("PIL.Image")

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


def png_declaring(width: int, height: int) -> bytes:
    """A 1-bit PNG of the given size: all rows zero, compressed to almost nothing."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = zlib.compress((b"\x00" + bytes((width + 7) // 8)) * height, 9)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0))
            + chunk(b"IDAT", rows) + chunk(b"IEND", b""))


TENSOR_BOMBS = {
    "compressed_record": deflated_archive,
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
    monkeypatch.setattr(module("config"), "_MAX_ANSWER_BYTES", LIMIT)
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
    assert isinstance(error, pickle.UnpicklingError), repr(error)
    assert RAN == []


@pytest.mark.parametrize("where", ["codec", "image_binary", "images"])
def test_image_answer_bombs_are_refused_before_decoding(limited, caplog, monkeypatch, where):
    base = module("base")
    # Between Pillow's warning and its error; then over LIMIT but under Pillow's (3 MiB as float32).
    for text, error in ((b64(png_declaring(13376, 13376)), Image.DecompressionBombError),
                        (b64(png_declaring(512, 512)), ValueError)):
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
    # Under the limit still decodes; Pillow's own limit, whatever its value, is an error.
    assert base.base64_to_image(encode_png(128, 128)).shape == (1, 128, 128, 3)      # 768 KiB as float32
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)
    with pytest.raises(Image.DecompressionBombError):
        base.base64_to_image(encode_png(16, 16))


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
