"""Opening a client: a service that cannot be reached, answers 5xx or 429 or
fails its schema is tried again with growing pauses within the readiness
budget (a refusing port only briefly), a refused key or a missing service
fails at once, and an unreachable service is named with what failed and the
setting to check."""
import socket

import pytest

from tests.support import BASE_LOGGER, KEY
from tests.support.reliability import bounded
from tests.support.request import call_logged, logged
from tools.service.loopback import ANSWER, JSON

base = pytest.importorskip("vorna_comfyui_engine.base")
httpx = pytest.importorskip("httpx")
bentoml_exceptions = pytest.importorskip("bentoml.exceptions")

def test_nothing_listening_fails_with_the_connection_error_after_the_readiness_budget(caplog):
    httpx = pytest.importorskip("httpx")
    node = base.BaseNode()
    node.BASE_URL, node.SERVER_READY_TIMEOUT = "http://127.0.0.1:9", 1
    with pytest.raises(httpx.ConnectError):
        node.send_request("sampler", {})
    assert [m.split(":")[0] for m in logged(caplog)] == ["send request failed"]

class Unreachable:
    """Clients of the fake class that fail to open `times` times, then open;
    `pauses` the sleeps taken between tries."""

    def __init__(self, client, monkeypatch, times, error=None):
        self.pauses = []
        self.error = error or httpx.ConnectError("[Errno 111] Connection refused")
        left = [times]

        def refuse(url, kwargs):
            if left[0]:
                left[0] -= 1
                raise self.error

        client.on_build = refuse
        monkeypatch.setattr("time.sleep", self.pauses.append)


@pytest.mark.parametrize("error", ["connect", "timeout"])
def test_unreachable_service_is_retried_with_growing_pauses_within_the_budget(client, monkeypatch, caplog, error):
    httpx = pytest.importorskip("httpx")
    failure = httpx.ConnectError("refused") if error == "connect" else httpx.ConnectTimeout("timed out")
    down = Unreachable(client, monkeypatch, 6, failure)
    client.answer = {"ok": True}
    node = base.BaseNode()
    node.SERVER_READY_TIMEOUT = 60
    assert node.send_request("vae_decode", {}) is client.answer
    assert down.pauses == [0.1, 0.2, 0.4, 0.8, 1.0, 1.0]      # paced, never a busy loop
    assert [c.kwargs["server_ready_timeout"] for c in client.instances] == [0] * 7
    assert client.instances[-1].events[-1] == ("exit", None)
    assert logged(caplog) == []

def test_a_failing_schema_is_paced_like_an_unreachable_service_never_the_library_wait(client, monkeypatch):
    exceptions = pytest.importorskip("bentoml.exceptions")
    down = Unreachable(client, monkeypatch, 2, exceptions.BentoMLException("Failed to fetch schema from x"))
    node = base.BaseNode()
    node.SERVER_READY_TIMEOUT = 60
    node.send_request("vae_decode", {})
    assert down.pauses == [0.1, 0.2]
    assert [c.kwargs["server_ready_timeout"] for c in client.instances] == [0, 0, 0]

@pytest.mark.parametrize("ready", [0, -1, None, "30", True, float("nan")])
def test_no_budget_or_no_number_means_one_build(client, monkeypatch, ready):
    httpx = pytest.importorskip("httpx")
    down = Unreachable(client, monkeypatch, 1)
    node = base.BaseNode()
    node.SERVER_READY_TIMEOUT = ready
    if ready is None:
        node.REQUEST_TIMEOUT = 0          # then the budget is the request timeout
    with pytest.raises(httpx.ConnectError):
        node.send_request("vae_decode", {})
    assert down.pauses == [] and len(client.instances) == 1
    assert client.instances[0].kwargs["server_ready_timeout"] == 0

def test_other_build_errors_are_not_retried(client, monkeypatch):
    down = Unreachable(client, monkeypatch, 1, ValueError("bad url"))
    node = base.BaseNode()
    with pytest.raises(ValueError, match="bad url"):
        node.send_request("vae_decode", {})
    assert down.pauses == [] and len(client.instances) == 1

@pytest.mark.parametrize("fault, error_type, text, most", [
    ("schema 401", bentoml_exceptions.BentoMLException, "refused the API key (HTTP 401 Unauthorized)", 1),
    ("schema 403", bentoml_exceptions.BentoMLException, "refused the API key (HTTP 403 Forbidden)", 1),
    ("post 401", bentoml_exceptions.BentoMLException, "refused the API key (HTTP 401 Unauthorized)", 2),
    ("schema 404", bentoml_exceptions.NotFound, "/schema.json answered HTTP 404 Not Found", 1),
    ("schema 503", bentoml_exceptions.ServiceUnavailable, "answered HTTP 503 Service Unavailable", 12),
    ("schema 429", bentoml_exceptions.BentoMLException, "answered HTTP 429 Too Many Requests", 12),
    ("schema reset", httpx.TransportError, "", 12),
])
def test_each_failure_class_ends_at_once_or_paced(pair, caplog, fault, error_type, text, most):
    a, _ = pair
    path, what = fault.split()
    path = "/schema.json" if path == "schema" else "/vae_encode"
    if what == "reset":
        a.answer(path, reset=True)
    else:
        a.answer(path, int(what), b"{}", JSON)
    error, _ = call_logged(a, caplog, ready=2)
    assert isinstance(error, error_type), repr(error)
    assert text in str(error)
    # At once: one request per step; paced: a handful within the 2 s budget, never a busy loop.
    assert (len(a.requests) == most) if most <= 2 else (2 < len(a.requests) <= most)
    if hasattr(error, "error_code") and what.isdigit():
        assert int(error.error_code) == int(what)

def test_a_listener_that_never_answers_costs_the_readiness_budget_not_a_request_timeout(caplog):
    with socket.socket() as hole:
        hole.bind(("127.0.0.1", 0))
        hole.listen(8)          # connections complete in the kernel; nothing ever reads them
        node = base.BaseNode()
        node.BASE_URL = "http://127.0.0.1:%d/" % hole.getsockname()[1]
        node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = 1, 3600
        _, error, _, _ = bounded(lambda: node.send_request("vae_encode", {}), 300)
    assert isinstance(error, httpx.ReadTimeout)

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

@pytest.fixture
def full_listener():
    """A port whose accept queue is full: the kernel drops further connection attempts."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        waiting = []
        for _ in range(4):
            waiting.append(socket.socket())
            waiting[-1].setblocking(False)
            waiting[-1].connect_ex(listener.getsockname())
        yield listener.getsockname()[1]
        for s in waiting:
            s.close()

@pytest.mark.parametrize("case, error_type, how, setting", [
    ("refused", httpx.ConnectError, "the connection was refused", "check VORNA_API_BASE_URL and that the service"),
    ("unresolvable", httpx.ConnectError, "the name nowhere.vorna.test was not found",
     "check the host name in VORNA_API_BASE_URL"),
    ("timed out", httpx.ConnectTimeout, "connecting to it timed out", "check VORNA_API_BASE_URL and that the service"),
    ("TLS", httpx.ConnectError, "the TLS handshake failed", "check VORNA_API_BASE_URL (https:// only"),
])
def test_an_unreachable_service_is_named_with_what_failed_and_the_setting(pair, full_listener, caplog, monkeypatch,
                                                                          case, error_type, how, setting):
    clip = pytest.importorskip("vorna_comfyui_engine.clip_loader")
    origin = {"refused": f"http://127.0.0.1:{free_port()}", "unresolvable": "http://nowhere.vorna.test:8080",
              "timed out": f"http://127.0.0.1:{full_listener}", "TLS": pair[0].origin.replace("http:", "https:")}[case]
    lookup = socket.getaddrinfo

    def resolver(host, *args, **kwargs):
        if host == "nowhere.vorna.test":
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return lookup(host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", resolver)
    node = clip.VornaCLIPTextEncode()
    node.BASE_URL, node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = origin + "/", 1, 1
    caplog.clear()
    with pytest.raises(ValueError) as failed:
        node.encode(text="a red fox", clip=None)
    cause = failed.value.__context__
    assert isinstance(cause, error_type) and str(failed.value) == f"Failed to encode text: {cause}"
    assert str(cause).startswith(f"the service at {origin} cannot be reached: {how}") and setting in str(cause)
    assert KEY not in str(cause)
    assert [r.getMessage() for r in caplog.records if r.name == BASE_LOGGER] == [
        f"send request failed: {cause}"]

@pytest.mark.parametrize("listening_after", [None, 2])
def test_a_refusing_port_is_not_waited_for_but_a_service_that_starts_is_reached(caplog, listening_after):
    """Ready budget 600 s: a port that refuses on every try ends the call long
    before it (the hang guard would fail the test otherwise); a service that
    starts listening a couple of seconds in is still reached."""
    import threading

    from tools.service.loopback import Service

    port, started = free_port(), []
    if listening_after:
        threading.Timer(listening_after, lambda: started.append(
            Service(port=port).serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON))).start()
    node = base.BaseNode()
    node.BASE_URL, node.SERVER_READY_TIMEOUT = f"http://127.0.0.1:{port}/", 600
    try:
        answer, error, _, _ = bounded(lambda: node.send_request("vae_encode", {"image": "i"}), 120)
    finally:
        for service in started:
            service.stop()
    if listening_after:
        assert answer == {"samples": "ok"} and error is None
    else:
        assert isinstance(error, httpx.ConnectError) and "the connection was refused" in str(error)
