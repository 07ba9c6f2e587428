"""Shared fixtures. Keep module-level imports to the standard library and
pytest: the entry and configuration tests also run on an interpreter that
has neither torch nor bentoml."""
import contextlib
import importlib
import secrets

import pytest

from tests.support import KEY, forget_kept_clients
from tools.service.fake_client import fake_client
from tools.service.launch import running_standin, start_standin


def pytest_configure(config):
    # scripts/sanitize.sh leaves both out: the service's processes would
    # inherit the sanitizer preload, and its allocator makes the hygiene
    # tests' memory counts meaningless.
    config.addinivalue_line("markers", "standin: the test needs the stand-in service (or a live host on it)")
    config.addinivalue_line("markers", "hygiene: reference counts and memory over thousands of calls (minutes)")


def pytest_collection_modifyitems(session, config, items):
    # The repository root is the custom-node folder: pytest takes it for a
    # package and imports its __init__.py before the first test, under the
    # checkout's folder name, which fails every test in a clone whose folder
    # name is no Python name (ci-tests/). tests/shim imports that folder in
    # copies with proper names; nothing is set up from it here.
    for node in items[0].listchain() if items else ():
        if isinstance(node, pytest.Package) and node.path == config.rootpath:
            node.setup = lambda: None


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
def standin_calls(nodes_on_standin, monkeypatch):
    """The nodes on the session's stand-in through the library's client, which
    notes every endpoint called: the list of their names."""
    base = importlib.import_module("vorna_comfyui_engine.base")
    calls = []

    class Counting(base.SyncHTTPClient):
        def call(self, name, **kwargs):
            calls.append(name)
            return super().call(name, **kwargs)

    monkeypatch.setattr(base, "SyncHTTPClient", Counting)
    return calls


@pytest.fixture
def standin_factory():
    """Starts extra services for one test, each stopped when the test ends:
    `standin_factory(fault="status500", key="", env={"VORNA_STANDIN_FAULT_ON": "sampler"})`.
    For one server per module, use tools.service.launch.running_standin in a module fixture."""
    with contextlib.ExitStack() as stack:
        yield lambda **kwargs: stack.enter_context(running_standin(**kwargs))


@pytest.fixture
def client(monkeypatch):
    """A fresh fake client class (tools.service.fake_client), installed as
    the package's SyncHTTPClient; the run-time key is cleared afterwards."""
    base = pytest.importorskip("vorna_comfyui_engine.base")
    cls = fake_client()
    monkeypatch.setattr(base, "SyncHTTPClient", cls)
    yield cls
    importlib.import_module("vorna_comfyui_engine.config").set_api_key(None)


@pytest.fixture
def limited(monkeypatch):
    """The answer limit lowered to tests.support.answers.LIMIT for the test; no
    request leaves the process. Returns a function that runs an executing
    node (by its short name) against one answer."""
    from tests.support.answers import LIMIT
    from tests.support.nodes import BY_NAME

    base = pytest.importorskip("vorna_comfyui_engine.base")
    monkeypatch.setattr(base.BaseNode, "MAX_ANSWER_BYTES", LIMIT)

    def run(node_name, answer):
        case = BY_NAME[node_name]
        monkeypatch.setattr(base, "SyncHTTPClient", fake_client({case.endpoint: answer}, record=False))
        return case.call(case.node_class()())

    return run


@pytest.fixture
def keyed():
    """KEY set for the test; the clients kept while it ran are closed after it."""
    config = pytest.importorskip("vorna_comfyui_engine.config")
    config.set_api_key(KEY)
    yield KEY
    config.set_api_key(None)
    forget_kept_clients()


@pytest.fixture
def service():
    """A loopback service answering "vae_encode" (tools.service.loopback)."""
    from tools.service.loopback import ANSWER, JSON, services

    with services(1) as (a,):
        a.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
        yield a


@pytest.fixture
def pair(keyed):
    """Loopback services A (the configured one) and B (another origin), both
    answering "vae_encode"."""
    from tools.service.loopback import ANSWER, JSON, services

    with services(2) as (a, b):
        for one in (a, b):
            one.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
        yield a, b


@pytest.fixture
def proxy(monkeypatch):
    """A recording forward proxy, with no proxy setting of the environment left."""
    from tools.service.loopback import ForwardProxy

    for scheme in ("http", "https", "all", "no"):
        monkeypatch.delenv(f"{scheme}_proxy", raising=False)
        monkeypatch.delenv(f"{scheme.upper()}_PROXY", raising=False)
    forwarding = ForwardProxy()
    yield forwarding
    forwarding.stop()
