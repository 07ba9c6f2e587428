"""The request path against misbehaving services on loopback: the key goes only
to the configured origin, failures end paced and clearly, the request timeout
bounds the whole call, and no URL password or content coding gets through."""
import gzip
import time

import pytest

from tools.service.loopback import ANSWER, JSON, services

base = pytest.importorskip("vorna_comfyui_engine.base")
httpx = pytest.importorskip("httpx")
bentoml_exceptions = pytest.importorskip("bentoml.exceptions")
import vorna_comfyui_engine.config as config  # noqa: E402

KEY = "vornaKEY-" + "0123456789abcdef"


@pytest.fixture
def pair():
    """Service A (the configured one, serving a good endpoint) and B (another origin)."""
    config.set_api_key(KEY)
    with services(2) as (a, b):
        a.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
        b.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
        yield a, b
    config.set_api_key(None)


def call(service, caplog, ready=2, timeout=10, base_url=None):
    """One node call; returns (answer or exception, the request path's log messages)."""
    node = base.BaseNode()
    node.BASE_URL = base_url or service.origin + "/"
    node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = ready, timeout
    caplog.clear()
    try:
        outcome = node.send_request("vae_encode", {"image": "i"})
    except Exception as e:      # noqa: BLE001 - the outcome is inspected by the test
        outcome = e
    messages = [r.getMessage() for r in caplog.records if r.name == "vorna_comfyui_engine.base"]
    if isinstance(outcome, Exception):
        assert messages == ["send request failed: " + str(outcome)]
        assert KEY not in str(outcome)
    return outcome, messages


@pytest.mark.parametrize("where, status", [("schema", s) for s in (301, 302, 307, 308)]
                         + [("post", s) for s in (301, 302, 307, 308)] + [("route", None)])
def test_nothing_goes_to_another_origin(pair, caplog, where, status):
    a, b = pair
    if where == "schema":
        a.redirect("/schema.json", status, b.origin + "/schema.json")
    elif where == "post":
        a.redirect("/vae_encode", status, b.origin + "/vae_encode")
    else:
        a.serve_schema(vae_encode=b.origin + "/steal/vae_encode")
    error, _ = call(a, caplog)
    assert isinstance(error, PermissionError)
    assert b.origin in str(error)
    assert b.requests == []
    assert a.paths() == (["/schema.json"] if where != "post" else ["/schema.json", "/vae_encode"])


def test_redirects_within_the_configured_origin_are_followed(pair, caplog):
    a, _ = pair
    moved = a.answers["/schema.json"]
    a.redirect("/schema.json", 302, "/moved/schema.json").answers["/moved/schema.json"] = moved
    assert call(a, caplog)[0] == {"samples": "ok"}
    assert all(h["Authorization"] == f"Bearer {KEY}" for _, _, h in a.requests)


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
    error, _ = call(a, caplog, ready=2)
    assert isinstance(error, error_type), repr(error)
    assert text in str(error)
    # At once: one request per step; paced: a handful within the 2 s budget, never a busy loop.
    assert (len(a.requests) == most) if most <= 2 else (2 < len(a.requests) <= most)
    if hasattr(error, "error_code") and what.isdigit():
        assert int(error.error_code) == int(what)


def test_the_request_timeout_bounds_a_drip_fed_answer(pair, caplog):
    a, _ = pair
    a.answer("/vae_encode", 200, b'{"samples": "' + b"x" * 40 + b'"}', JSON, drip=0.2)
    error, _ = call(a, caplog, timeout=1)
    assert isinstance(error, httpx.ReadTimeout)
    assert str(error) == "the request took longer than the configured timeout of 1 s"
    for _ in range(100):                 # the service notices the closed connection
        if a.drip_finished:
            break
        time.sleep(0.1)
    assert a.drip_finished == [False]


def test_an_answer_with_a_content_coding_is_refused_unread(pair, caplog):
    a, _ = pair
    a.answer("/vae_encode", 200, gzip.compress(ANSWER * 1000), {**JSON, "Content-Encoding": "gzip"})
    error, _ = call(a, caplog)
    assert isinstance(error, ValueError) and "content coding 'gzip'" in str(error)
    assert {h["Accept-Encoding"] for _, _, h in a.requests} == {"identity"}


def test_a_password_in_the_service_url_is_hidden(pair, caplog, monkeypatch):
    a, _ = pair
    a.answer("/schema.json", 404, b"{}", JSON)
    secret_url = a.origin.replace("http://", "http://alice:S3cret@") + "/api/"
    error, _ = call(a, caplog, base_url=secret_url)
    assert isinstance(error, bentoml_exceptions.NotFound) and "S3cret" not in str(error)

    # Texts written by the client itself are cleaned as well.
    class Client:
        def __init__(self, url, **kwargs):
            raise ValueError(f"cannot reach {url}schema.json")

    monkeypatch.setattr(base, "SyncHTTPClient", Client)
    error, messages = call(a, caplog, base_url=secret_url)
    assert "S3cret" not in messages[0] and "S3cret" not in str(error) and "alice:***@" in str(error)


@pytest.mark.parametrize("how", ["httpcore pool without a network backend", "library client builds its own"])
def test_a_client_that_cannot_be_guarded_fails_instead_of_running_unguarded(pair, caplog, monkeypatch, how):
    a, _ = pair
    if how.startswith("httpcore"):
        import httpcore

        class OlderPool(httpcore.ConnectionPool):
            def __init__(self, **kwargs):
                if "network_backend" in kwargs:
                    raise TypeError("__init__() got an unexpected keyword argument 'network_backend'")
                super().__init__(**kwargs)

        monkeypatch.setattr(httpcore, "ConnectionPool", OlderPool)
    else:
        import bentoml

        class OwnHTTP(bentoml.SyncHTTPClient):
            def __init__(self, url, **kwargs):
                self.__dict__["client"] = httpx.Client(base_url=url)
                super().__init__(url, **kwargs)

        monkeypatch.setattr(base, "SyncHTTPClient", OwnHTTP)
    error, _ = call(a, caplog)
    assert isinstance(error, RuntimeError) and "cannot be installed" in str(error)
    assert "/vae_encode" not in a.paths()


def test_a_listener_that_never_answers_costs_the_readiness_budget_not_a_request_timeout(caplog):
    from reliability_support import bounded
    import socket

    with socket.socket() as hole:
        hole.bind(("127.0.0.1", 0))
        hole.listen(8)          # connections complete in the kernel; nothing ever reads them
        node = base.BaseNode()
        node.BASE_URL = "http://127.0.0.1:%d/" % hole.getsockname()[1]
        node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = 1, 3600
        _, error, _, _ = bounded(lambda: node.send_request("vae_encode", {}), 300)
    assert isinstance(error, httpx.ReadTimeout)


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def full_listener():
    """A port whose accept queue is full: the kernel drops further connection attempts."""
    import socket

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
    import socket

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
    assert [r.getMessage() for r in caplog.records if r.name == "vorna_comfyui_engine.base"] == [
        f"send request failed: {cause}"]


@pytest.mark.parametrize("listening_after", [None, 2])
def test_a_refusing_port_is_not_waited_for_but_a_service_that_starts_is_reached(caplog, listening_after):
    """Ready budget 600 s: a port that refuses on every try ends the call long
    before it (the hang guard would fail the test otherwise); a service that
    starts listening a couple of seconds in is still reached."""
    import threading

    from reliability_support import bounded
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
