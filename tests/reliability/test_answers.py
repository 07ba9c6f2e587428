"""Hostile answers that are small on the wire and huge (or endless) once
decoded: every path that decodes an answer refuses them with an ordinary
exception before the memory is taken (checked in a child process by its peak
memory, never by time), deep nesting raises RecursionError on a small thread
stack, and a thread caught mid-encode by the interpreter's exit does not crash
the process.
"""
from __future__ import annotations

import dataclasses
import json
import os
import subprocess
import sys
import textwrap

import pytest

from tests.support import PACKAGE, ROOT
from tests.support.answers import HOSTILE_ARCHIVES, LIMIT, TENSOR_ANSWERS
from tests.support.nodes import BY_NAME

torch = pytest.importorskip("torch")
CASES = BY_NAME


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


MEMORY_CHILD = """
    import gc, json, os, resource, sys
    sys.path[:0] = [{root!r}]
    import torch
    import tests.support.answers as hostile
    from tests.support import module
    from tests.support.nodes import NODES

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
                                    # (tests.support.answers)
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
    code = MEMORY_CHILD.format(root=str(ROOT), limit=limit, runs=list(runs))
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
