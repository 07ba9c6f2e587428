"""Shared fixtures. Keep module-level imports to the standard library and
pytest: the entry and configuration tests also run on an interpreter that
has neither torch nor bentoml."""
import contextlib
import secrets

import pytest

from standin_helpers import running_standin, start_standin


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
def standin_factory():
    """Starts extra services for one test, each stopped when the test ends:
    `standin_factory(fault="status500", key="", env={"VORNA_STANDIN_FAULT_ON": "sampler"})`.
    For one server per module, use standin_helpers.running_standin in a module fixture."""
    with contextlib.ExitStack() as stack:
        yield lambda **kwargs: stack.enter_context(running_standin(**kwargs))
