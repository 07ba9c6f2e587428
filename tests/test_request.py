"""The one request path: client construction, context, logging and re-raise."""
import inspect
import logging

import pytest

base = pytest.importorskip("vorna_comfyui_engine.base")
import vorna_comfyui_engine.config as config  # noqa: E402

LOGGER = "vorna_comfyui_engine.base"


class FakeClient:
    """Records what the request path does with a client."""

    instances = []
    answer = {"ok": True}
    fail_on = None          # "init", "enter", "call"
    error = None
    suppress = False

    def __init__(self, url, **kwargs):
        self.url, self.kwargs, self.events = url, kwargs, ["init"]
        FakeClient.instances.append(self)
        if self.fail_on == "init":
            raise self.error

    def __enter__(self):
        self.events.append("enter")
        if self.fail_on == "enter":
            raise self.error
        return self

    def __exit__(self, *exc):
        self.events.append(("exit", exc[0]))
        return self.suppress

    def call(self, name, **kwargs):
        self.events.append(("call", name, kwargs))
        if self.fail_on == "call":
            raise self.error
        return self.answer


@pytest.fixture
def fake(monkeypatch):
    class Client(FakeClient):
        instances = []

    Client.instances = []
    FakeClient.instances = Client.instances
    monkeypatch.setattr(base, "SyncHTTPClient", Client)
    config.set_api_key(None)
    yield Client
    config.set_api_key(None)


def errors(caplog):
    return [r for r in caplog.records if r.name == LOGGER]


def test_builds_a_client_per_request_and_returns_the_answer(fake, caplog):
    node = base.BaseNode()
    config.set_api_key("k1")
    assert node.send_request("vae_encode", {"image": "i", "vae": {"a": 1}}) is fake.answer
    config.set_api_key("k2")
    node.send_request("text_encode", {})
    first, second = fake.instances
    assert first.url == base.BaseNode.BASE_URL
    # A service that is up needs no readiness wait.
    assert first.kwargs == {"token": "k1", "timeout": base.BaseNode.REQUEST_TIMEOUT, "server_ready_timeout": 0}
    assert second.kwargs["token"] == "k2"
    assert first.events == ["init", "enter", ("call", "vae_encode", {"image": "i", "vae": {"a": 1}}),
                            ("exit", None)]
    assert errors(caplog) == []


def test_instance_settings_and_patched_globals_are_read_at_call_time(fake, monkeypatch):
    node = base.BaseNode()
    node.BASE_URL, node.REQUEST_TIMEOUT, node.SERVER_READY_TIMEOUT = "http://x/", 7, 2
    monkeypatch.setattr(base, "get_api_key", lambda: "patched")
    node.send_request("sampler", {})
    client = fake.instances[0]
    assert client.url == "http://x/" and client.kwargs == {"token": "patched", "timeout": 7,
                                                           "server_ready_timeout": 0}


@pytest.mark.parametrize("fail_on", ["init", "enter", "call"])
def test_failure_is_logged_once_and_reraised_unchanged(fake, caplog, fail_on):
    fake.fail_on = fail_on
    fake.error = ConnectionError("service down")
    with pytest.raises(ConnectionError) as info:
        base.BaseNode().send_request("vae_decode", {"latent": 1})
    assert info.value is fake.error
    assert [(r.levelno, r.getMessage()) for r in errors(caplog)] == [
        (logging.ERROR, "send request failed: service down")]
    events = fake.instances[0].events
    assert (("exit", ConnectionError) in events) == (fail_on == "call")


def test_payload_that_is_not_a_mapping_fails_before_any_call(fake, caplog):
    with pytest.raises(TypeError, match=r"argument after \*\* must be a mapping, not list"):
        base.BaseNode().send_request("sampler", [1, 2])
    assert not any(isinstance(e, tuple) and e[0] == "call" for e in fake.instances[0].events)
    assert len(errors(caplog)) == 1 and errors(caplog)[0].getMessage().startswith("send request failed: ")


def test_mapping_payloads_and_suppressing_context(fake):
    class Mapping:
        def keys(self):
            return ["text"]

        def __getitem__(self, k):
            return "hello"

    base.BaseNode().send_request("text_encode", Mapping())
    assert fake.instances[0].events[2] == ("call", "text_encode", {"text": "hello"})
    fake.fail_on, fake.error, fake.suppress = "call", RuntimeError("x"), True
    assert base.BaseNode().send_request("text_encode", {}) is None


def test_missing_global_and_base_exceptions(fake, caplog, monkeypatch):
    monkeypatch.delattr(base, "SyncHTTPClient")
    with pytest.raises(NameError, match="SyncHTTPClient"):
        base.BaseNode().send_request("sampler", {})
    assert len(errors(caplog)) == 1
    monkeypatch.setattr(base, "SyncHTTPClient", fake, raising=False)
    fake.fail_on, fake.error = "call", KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        base.BaseNode().send_request("sampler", {})
    assert len(errors(caplog)) == 1


def test_descriptor_and_base_class_surface():
    node = base.NodeIO(name="VAELoader", inputs={"vae_name": "x"})
    d = node.to_dict()
    assert list(d) == ["name", "inputs"] and d["inputs"] is node.inputs
    node.inputs["extra"] = 1
    assert d["inputs"]["extra"] == 1
    assert not hasattr(base.BaseNode(), "__dict__") or vars(base.BaseNode()) == {}
    assert str(inspect.signature(base.BaseNode.send_request)) == (
        "(self, url: str, payload: Dict[str, Any])")
    assert base.BaseNode.send_request.__qualname__ == "BaseNode.send_request"
    assert base.BaseNode.cfg.api_base_url == base.BaseNode.BASE_URL
    # Binding order, seen in a fresh interpreter (tests here patch module globals).
    import json, subprocess, sys
    code = ("import json, vorna_comfyui_engine.base as b; "
            "print(json.dumps([n for n in vars(b) if not n.startswith('__')]))")
    names = json.loads(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                      check=True).stdout)
    assert names[:14] == ["io", "base64", "logging", "Dict", "Any", "json", "requests", "torch", "np", "Image",
                          "SyncHTTPClient", "get_config", "get_api_key", "pa"]
    # Module state, bound last: the kept clients (and the lookups in flight), the function that forgets a key's.
    assert names[14:17] == ["pas", "logger", "NodeIO"] and names[-3:] == ["BaseNode", "_client_pool",
                                                                          "_forget_api_key"]
    assert names[17:-3] in ([], ["image_to_base64", "base64_to_image", "base64_to_tensor", "tensor_to_base64",
                                 "serialize_with_pyarrow", "deserialize_conditioning"])
    assert base.logger.name == LOGGER and base.logger.level == logging.DEBUG


@pytest.mark.parametrize("url, expected", [
    ("http://svc/api/", "http://svc/api/"),
    ("http://svc/api/x", "http://svc/api/x"),
    ("", "http://svc/api//"),
    ("/x", "http://svc/api//x"),
    ("x", "http://svc/api//x"),
])
def test_build_url(url, expected):
    node = base.BaseNode()
    node.BASE_URL = "http://svc/api/"
    assert node._build_url(url) == expected


@pytest.mark.standin
def test_real_round_trip_carries_the_token(request, caplog):
    standin = request.getfixturevalue("standin")
    from bentoml.exceptions import BentoMLException

    node = base.BaseNode()
    node.BASE_URL = standin.url
    config.set_api_key(standin.key)
    try:
        answer = node.send_request("text_encode", {"text": "a red fox", "clip": None})
        assert "conditioning" in answer
        assert errors(caplog) == []
        config.set_api_key("wrong-" + standin.key)
        with pytest.raises(BentoMLException) as info:
            node.send_request("text_encode", {"text": "a red fox", "clip": None})
        records = errors(caplog)
        assert len(records) == 1 and records[0].getMessage() == "send request failed: " + str(info.value)
        assert standin.key not in records[0].getMessage()
    finally:
        config.set_api_key(None)


def test_nothing_listening_fails_with_the_connection_error_after_the_readiness_budget(caplog):
    httpx = pytest.importorskip("httpx")
    node = base.BaseNode()
    node.BASE_URL, node.SERVER_READY_TIMEOUT = "http://127.0.0.1:9", 1
    with pytest.raises(httpx.ConnectError):
        node.send_request("sampler", {})
    assert [r.getMessage().split(":")[0] for r in errors(caplog)] == ["send request failed"]


class Unreachable:
    """Client builds that fail to connect `times` times, then succeed."""

    def __init__(self, fake, monkeypatch, times, error=None):
        import httpx
        self.pauses = []
        self.error = error or httpx.ConnectError("[Errno 111] Connection refused")
        left = [times]
        original = fake.__init__

        def init(client, url, **kwargs):
            original(client, url, **kwargs)
            if left[0]:
                left[0] -= 1
                raise self.error

        monkeypatch.setattr(fake, "__init__", init)
        monkeypatch.setattr("time.sleep", self.pauses.append)


@pytest.mark.parametrize("error", ["connect", "timeout"])
def test_unreachable_service_is_retried_with_growing_pauses_within_the_budget(fake, monkeypatch, caplog, error):
    httpx = pytest.importorskip("httpx")
    failure = httpx.ConnectError("refused") if error == "connect" else httpx.ConnectTimeout("timed out")
    down = Unreachable(fake, monkeypatch, 6, failure)
    node = base.BaseNode()
    node.SERVER_READY_TIMEOUT = 60
    assert node.send_request("vae_decode", {}) is fake.answer
    assert down.pauses == [0.1, 0.2, 0.4, 0.8, 1.0, 1.0]      # paced, never a busy loop
    assert [c.kwargs["server_ready_timeout"] for c in fake.instances] == [0] * 7
    assert fake.instances[-1].events[-1] == ("exit", None)
    assert errors(caplog) == []


def test_a_failing_schema_is_paced_like_an_unreachable_service_never_the_library_wait(fake, monkeypatch):
    exceptions = pytest.importorskip("bentoml.exceptions")
    down = Unreachable(fake, monkeypatch, 2, exceptions.BentoMLException("Failed to fetch schema from x"))
    node = base.BaseNode()
    node.SERVER_READY_TIMEOUT = 60
    node.send_request("vae_decode", {})
    assert down.pauses == [0.1, 0.2]
    assert [c.kwargs["server_ready_timeout"] for c in fake.instances] == [0, 0, 0]


@pytest.mark.parametrize("ready", [0, -1, None, "30", True, float("nan")])
def test_no_budget_or_no_number_means_one_build(fake, monkeypatch, ready):
    httpx = pytest.importorskip("httpx")
    down = Unreachable(fake, monkeypatch, 1)
    node = base.BaseNode()
    node.SERVER_READY_TIMEOUT = ready
    if ready is None:
        node.REQUEST_TIMEOUT = 0          # then the budget is the request timeout
    with pytest.raises(httpx.ConnectError):
        node.send_request("vae_decode", {})
    assert down.pauses == [] and len(fake.instances) == 1
    assert fake.instances[0].kwargs["server_ready_timeout"] == 0


def test_other_build_errors_are_not_retried(fake, monkeypatch):
    down = Unreachable(fake, monkeypatch, 1, ValueError("bad url"))
    node = base.BaseNode()
    with pytest.raises(ValueError, match="bad url"):
        node.send_request("vae_decode", {})
    assert down.pauses == [] and len(fake.instances) == 1
