"""Shared fixtures. Keep module-level imports to the standard library and
pytest: the entry and configuration tests also run on an interpreter that
has neither torch nor bentoml."""
import contextlib
import json
import secrets

import pytest

from tools.service.launch import running_standin, start_standin


def pytest_configure(config):
    # scripts/sanitize.sh runs `-m "not standin"`: the service's processes
    # would inherit the sanitizer preload.
    config.addinivalue_line("markers", "standin: the test needs the stand-in service (or a live host on it)")


@pytest.fixture(scope="session")
def standin():
    """One stand-in service for the whole session, requiring a bearer key:
    `.url` ("http://127.0.0.1:PORT") and `.key`."""
    server = start_standin(key=secrets.token_urlsafe(24))
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def nodes_on_standin(standin, monkeypatch):
    """The package's nodes pointed at the session's stand-in service, with its
    key set for the test. The service URL is copied into the classes at
    import, so every class that keeps its own BASE_URL gets the service's."""
    import importlib

    package = importlib.import_module("vorna_comfyui_engine")
    config = importlib.import_module("vorna_comfyui_engine.config")
    classes = [importlib.import_module("vorna_comfyui_engine.base").BaseNode]
    for name in package._node_modules:
        classes += importlib.import_module(f"vorna_comfyui_engine.{name}").NODE_CLASS_MAPPINGS.values()
    for cls in classes:
        if "BASE_URL" in vars(cls):
            monkeypatch.setattr(cls, "BASE_URL", standin.url)
    config.set_api_key(standin.key)
    yield standin
    config.set_api_key(None)


@pytest.fixture
def standin_factory():
    """Starts extra services for one test, each stopped when the test ends:
    `standin_factory(fault="status500", key="", env={"VORNA_STANDIN_FAULT_ON": "sampler"})`.
    For one server per module, use tools.service.launch.running_standin in a module fixture."""
    with contextlib.ExitStack() as stack:
        yield lambda **kwargs: stack.enter_context(running_standin(**kwargs))


# ---- encoded values, made with the plain library steps (not the package's codecs)

def encode_tensor(tensor) -> str:
    """base64 text of torch.save(tensor)."""
    import base64
    import io

    import torch

    buf = io.BytesIO()
    torch.save(tensor, buf)
    return base64.b64encode(buf.getvalue()).decode()


def encode_png(height: int = 16, width: int = 16) -> str:
    """base64 text of an RGB PNG with varied pixels."""
    import base64
    import io

    import numpy as np
    from PIL import Image

    pixels = (np.arange(height * width * 3, dtype=np.uint32) % 251).astype(np.uint8)
    buf = io.BytesIO()
    Image.fromarray(pixels.reshape(height, width, 3)).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode()


# ---- a client that records, in place of the service's client library

class RecordingClient:
    """Stands in for bentoml's SyncHTTPClient without a network. Each class
    made by recording_client_class() keeps its own records: `built` (url,
    keyword arguments) per client opened, `calls` (endpoint, keyword
    arguments) per call. A call raises `error` when set, else answers
    `answers[endpoint]` or `answer` (a callable makes the answer). With
    `json_only` it refuses, as the library does, arguments JSON cannot hold;
    with `suppress` its __exit__ swallows the exception."""

    built: list = []
    calls: list = []
    answers: dict = {}
    answer = None
    error = None
    record = True
    json_only = False
    suppress = False

    def __init__(self, url, **kwargs):
        if self.record:
            type(self).built.append((url, kwargs))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self.suppress

    def call(self, name, **kwargs):
        if self.record:
            type(self).calls.append((name, kwargs))
        if self.json_only:
            json.dumps(kwargs)
        if self.error is not None:
            raise self.error
        answer = self.answers.get(name, self.answer)
        return answer() if callable(answer) else answer

    @classmethod
    def tokens(cls):
        return [kwargs.get("token") for _, kwargs in cls.built]


def recording_client_class(answers=None, record=True, **attrs):
    """A RecordingClient class with records of its own; record=False keeps
    none (for memory measurements)."""
    return type("Client", (RecordingClient,),
                {"built": [], "calls": [], "answers": dict(answers or {}), "record": record, **attrs})


@pytest.fixture
def recording_client(monkeypatch):
    """A fresh RecordingClient class, installed as the package's SyncHTTPClient."""
    base = pytest.importorskip("vorna_comfyui_engine.base")
    cls = recording_client_class()
    monkeypatch.setattr(base, "SyncHTTPClient", cls)
    return cls
