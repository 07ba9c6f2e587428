"""Shared pieces of the reliability tests: a hang guard, the figures' files,
and a scanner that looks for a secret in everything an exception carries."""
from __future__ import annotations

import os
import threading
import time
from pathlib import Path
from typing import Any, Callable

from . import ROOT


# ---------------------------------------------------------------------------
# Hang guard

class Hung(AssertionError):
    pass


def bounded(fn: Callable[[], Any], limit: float):
    """Runs fn() on a daemon thread and waits at most `limit` seconds: a hang
    fails the test instead of stalling the run. Returns (value, exception,
    elapsed wall seconds, process CPU seconds)."""
    box: dict = {}

    def run():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back to the caller
            box["error"] = e

    wall0, cpu0 = time.monotonic(), time.process_time()
    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(limit)
    wall, cpu = time.monotonic() - wall0, time.process_time() - cpu0
    if worker.is_alive():
        raise Hung(f"call still running after {limit:.0f} s")
    return box.get("value"), box.get("error"), wall, cpu


# ---------------------------------------------------------------------------
# Figures

def write_figures(name: str, lines: list[str]) -> Path:
    """Measured figures go to build/reliability-figures/<name>.md (the
    directory can be changed with VORNA_RELIABILITY_FIGURES); never asserted."""
    folder = Path(os.environ.get("VORNA_RELIABILITY_FIGURES", ROOT / "build" / "reliability-figures"))
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"{name}.md"
    path.write_text("\n".join(lines) + "\n")
    return path


# ---------------------------------------------------------------------------
# Secrets

def exception_chain(exc: BaseException):
    """The exception and everything chained to it (context, cause), once each."""
    seen, stack = [], [exc]
    while stack:
        e = stack.pop()
        if e is None or any(e is s for s in seen):
            continue
        seen.append(e)
        stack.extend([e.__context__, e.__cause__])
    return seen


def texts_of_exception(exc: BaseException) -> list[str]:
    """Every text a host could show for an exception: str, repr, args, notes,
    the formatted traceback, for the whole chain."""
    import traceback

    out = ["".join(traceback.format_exception(exc))]
    for e in exception_chain(exc):
        out += [str(e), repr(e)]
        out += [repr(a) for a in getattr(e, "args", ())]
        out += [str(n) for n in getattr(e, "__notes__", ())]
    return out


def texts_of_records(records) -> list[str]:
    out = []
    for r in records:
        out.append(r.getMessage())
        out.append(repr(r.args))
        if r.exc_info and r.exc_info[1] is not None:
            out += texts_of_exception(r.exc_info[1])
    return out
