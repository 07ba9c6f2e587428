"""Measuring: interleaved timing loops, and the fresh-process workers for
import cost and peak memory (`python -m tools.bench.measure import|memory ...`,
each prints one JSON line)."""
from __future__ import annotations

import gc
import importlib.machinery
import json
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = "vorna_comfyui_engine"

# What the node modules import from outside the package, in the package's order.
DEPENDENCY_IMPORTS = """\
import io, base64, logging, json, os, threading, dataclasses
from typing import Dict, Any, List, Optional, Tuple, Union
import requests
import torch
import numpy as np
from PIL import Image
from bentoml import SyncHTTPClient
import pyarrow
"""


def shared_object() -> str | None:
    """The extension file `import vorna_comfyui_engine` loads, or None when
    the import would find no built one. The package's __file__ names its
    build-time source, so the path finder is asked for the file."""
    spec = importlib.machinery.PathFinder.find_spec(PACKAGE)
    if spec is None or not spec.origin or not spec.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
        return None
    return spec.origin


# ---- timing -------------------------------------------------------------------

def interleaved(funcs: dict[str, Callable[[], object]], repeats: int, warmup: int = 2) -> dict[str, list[float]]:
    """Seconds per call for each function, run in rounds (the order rotating
    each round) so that drift in machine load hits all of them alike."""
    names = list(funcs)
    for _ in range(warmup):
        for name in names:
            funcs[name]()
    samples: dict[str, list[float]] = {name: [] for name in names}
    for r in range(repeats):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            gc.collect()
            gc.disable()
            try:
                t0 = time.perf_counter()
                funcs[name]()
                t1 = time.perf_counter()
            finally:
                gc.enable()
            samples[name].append(t1 - t0)
    return samples


def median(values: list[float]) -> float:
    return statistics.median(values)


# ---- fresh-process workers ------------------------------------------------------

def child_env(**extra: str) -> dict[str, str]:
    env = dict(os.environ)
    env.setdefault("BENTOML_DO_NOT_TRACK", "true")
    env.update(extra)
    return env


def run_worker(args: list[str], env: dict[str, str] | None = None, timeout: float = 600) -> dict:
    out = subprocess.run([sys.executable, "-m", "tools.bench.measure", *args], cwd=ROOT, env=env or child_env(),
                         capture_output=True, text=True, timeout=timeout)
    if out.returncode != 0:
        raise RuntimeError(f"worker {args} failed ({out.returncode}):\n{out.stderr[-4000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def _import_worker() -> dict:
    """Time the dependencies, then the package and its node modules on top."""
    t0 = time.perf_counter()
    exec(DEPENDENCY_IMPORTS, {})
    t1 = time.perf_counter()
    package = importlib.import_module(PACKAGE)
    for name in package._node_modules:      # the eight node modules, as the host imports them
        importlib.import_module(f"{PACKAGE}.{name}")
    t2 = time.perf_counter()
    return {"deps": t1 - t0, "own": t2 - t1}


def _status() -> dict[str, int]:
    text = Path("/proc/self/status").read_text()
    return {key: int(re.search(key + r":\s+(\d+) kB", text).group(1)) * 1024 for key in ("VmRSS", "VmHWM")}


def _reset_high_water_mark() -> None:
    Path("/proc/self/clear_refs").write_text("5")


def _memory_worker(case_key: str, variant: str) -> dict:
    """Peak resident memory of one call, above what the process holds just
    before it (inputs, answer text and all libraries already in place)."""
    from . import cases
    case = cases.CASES[case_key]()
    cases.install_client(case.answer)
    peak = peak_of(getattr(case, variant))
    return {"peak": peak, "payload": case.payload_bytes, "node": case.node, "label": case.label}


def peak_of(run: Callable[[], object]) -> int:
    """Bytes of resident memory that one call of `run` needed at its peak,
    its result included. Meaningful only in a process started with
    MEMORY_ENV, where freed large blocks are not kept for reuse."""
    run()  # first-use costs (lazy imports, plugin registration) are not the call's
    gc.collect()
    _reset_high_water_mark()
    before = _status()["VmRSS"]
    result = run()
    peak = _status()["VmHWM"]
    del result
    return peak - before


# Large blocks go back to the system when freed, so the resident size just
# before a call is what is live, not what the allocator kept from earlier.
MEMORY_ENV = {"MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_TRIM_THRESHOLD_": "131072"}


def main(argv: list[str]) -> None:
    kind = argv[0]
    if kind == "import":
        result = _import_worker()
    elif kind == "memory":
        result = _memory_worker(argv[1], argv[2])
    else:
        raise SystemExit(f"unknown worker {kind!r}")
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1:])
