"""The one request path: client construction, context, logging and re-raise."""
import inspect
import logging

import pytest

from tests.support import BASE_LOGGER

base = pytest.importorskip("vorna_comfyui_engine.base")
import vorna_comfyui_engine.config as config  # noqa: E402


def errors(caplog):
    return [r for r in caplog.records if r.name == BASE_LOGGER]


def test_builds_a_client_per_request_and_returns_the_answer(client, caplog):
    client.answer = {"ok": True}
    node = base.BaseNode()
    config.set_api_key("k1")
    assert node.send_request("vae_encode", {"image": "i", "vae": {"a": 1}}) is client.answer
    config.set_api_key("k2")
    node.send_request("text_encode", {})
    first, second = client.instances
    assert first.url == base.BaseNode.BASE_URL
    # A service that is up needs no readiness wait.
    assert first.kwargs == {"token": "k1", "timeout": base.BaseNode.REQUEST_TIMEOUT, "server_ready_timeout": 0}
    assert second.kwargs["token"] == "k2"
    assert first.events == ["init", "enter", ("call", "vae_encode", {"image": "i", "vae": {"a": 1}}),
                            ("exit", None)]
    assert errors(caplog) == []


def test_instance_settings_and_patched_globals_are_read_at_call_time(client, monkeypatch):
    node = base.BaseNode()
    node.BASE_URL, node.REQUEST_TIMEOUT, node.SERVER_READY_TIMEOUT = "http://x/", 7, 2
    monkeypatch.setattr(base, "get_api_key", lambda: "patched")
    node.send_request("sampler", {})
    opened = client.instances[0]
    assert opened.url == "http://x/" and opened.kwargs == {"token": "patched", "timeout": 7,
                                                           "server_ready_timeout": 0}


@pytest.mark.parametrize("fail_on", ["init", "enter", "call"])
def test_failure_is_logged_once_and_reraised_unchanged(client, caplog, fail_on):
    client.fail_on = fail_on
    client.error = ConnectionError("service down")
    with pytest.raises(ConnectionError) as info:
        base.BaseNode().send_request("vae_decode", {"latent": 1})
    assert info.value is client.error
    assert [(r.levelno, r.getMessage()) for r in errors(caplog)] == [
        (logging.ERROR, "send request failed: service down")]
    events = client.instances[0].events
    assert (("exit", ConnectionError) in events) == (fail_on == "call")


def test_payload_that_is_not_a_mapping_fails_before_any_call(client, caplog):
    with pytest.raises(TypeError, match=r"argument after \*\* must be a mapping, not list"):
        base.BaseNode().send_request("sampler", [1, 2])
    assert not any(isinstance(e, tuple) and e[0] == "call" for e in client.instances[0].events)
    assert len(errors(caplog)) == 1 and errors(caplog)[0].getMessage().startswith("send request failed: ")


def test_mapping_payloads_and_suppressing_context(client):
    class Mapping:
        def keys(self):
            return ["text"]

        def __getitem__(self, k):
            return "hello"

    base.BaseNode().send_request("text_encode", Mapping())
    assert client.instances[0].events[2] == ("call", "text_encode", {"text": "hello"})
    client.fail_on, client.error, client.suppress = "call", RuntimeError("x"), True
    assert base.BaseNode().send_request("text_encode", {}) is None


def test_missing_global_and_base_exceptions(client, caplog, monkeypatch):
    monkeypatch.delattr(base, "SyncHTTPClient")
    with pytest.raises(NameError, match="SyncHTTPClient"):
        base.BaseNode().send_request("sampler", {})
    assert len(errors(caplog)) == 1
    monkeypatch.setattr(base, "SyncHTTPClient", client, raising=False)
    client.fail_on, client.error = "call", KeyboardInterrupt()
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
    assert base.logger.name == BASE_LOGGER and base.logger.level == logging.DEBUG


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
