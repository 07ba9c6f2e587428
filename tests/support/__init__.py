"""What the tests share besides fixtures (those are in tests/conftest.py):
`values` (encoded tensors and pictures), `nodes` (the node table and the
executing nodes' good inputs and answers), `host` (copies of the folder, a
stand-in of a running ComfyUI), `reliability` (hang guard, figures, secret
scans, tensor archives). Standard library only here: the entry and
configuration tests also run where neither torch nor bentoml is installed."""
import importlib
import os
from pathlib import Path

PACKAGE = "vorna_comfyui_engine"
ROOT = Path(__file__).resolve().parents[2]
# Long runs (full soak, many examples) only when asked for.
LONG = os.environ.get("VORNA_RELIABILITY_LONG", "") not in ("", "0")
BASE_LOGGER = f"{PACKAGE}.base"
# The run-time key of the request-layer tests (fixture `keyed`).
KEY = "vornaKEY-" + "0123456789abcdef"


def module(name: str):
    """A module of the package, or the test skipped where it is not built."""
    import pytest

    return pytest.importorskip(f"{PACKAGE}.{name}")


def forget_kept_clients():
    """Closes and drops the clients the package keeps between calls."""
    base = importlib.import_module(f"{PACKAGE}.base")
    for kept in list(base._client_pool.entries.values()):
        kept.client.close()
    base._client_pool.entries.clear()
