"""A user name and password in the service URL, or in a proxy's, go where
they belong only (the service is authorised by the API key alone, the proxy
by its own password) and show in no error or log record."""
import base64
import logging
import traceback

import pytest

from tests.support import forget_kept_clients
from tests.support.request import call, call_logged
from tools.service.fake_client import fake_client
from tools.service.loopback import JSON

base = pytest.importorskip("vorna_comfyui_engine.base")
bentoml = pytest.importorskip("bentoml")


def test_a_password_in_the_service_url_is_hidden(pair, caplog, monkeypatch):
    a, _ = pair
    a.answer("/schema.json", 404, b"{}", JSON)
    secret_url = a.origin.replace("http://", "http://alice:S3cret@") + "/api/"
    error, _ = call_logged(a, caplog, base_url=secret_url)
    assert isinstance(error, bentoml.exceptions.NotFound) and "S3cret" not in str(error)

    # Texts written by the client itself are cleaned as well.
    def unreachable(url, kwargs):
        raise ValueError(f"cannot reach {url}schema.json")

    monkeypatch.setattr(base, "SyncHTTPClient", fake_client(on_build=unreachable))
    error, messages = call_logged(a, caplog, base_url=secret_url)
    assert "S3cret" not in messages[0] and "S3cret" not in str(error) and "alice:***@" in str(error)


def test_a_password_in_the_url_is_neither_sent_nor_logged_and_the_key_is(keyed, service, caplog):
    caplog.set_level(logging.DEBUG)
    assert call(service, host="alice:S3cret@127.0.0.1") == {"samples": "ok"}
    assert {h.get("Authorization") for _, _, h in service.requests} == {f"Bearer {keyed}"}
    service.answer("/vae_encode", 500, b"{}", JSON)
    assert isinstance(call(service, host="alice:S3cret@127.0.0.1"), bentoml.exceptions.BentoMLException)
    assert caplog.records and not [r for r in caplog.records if "S3cret" in r.getMessage()]

def test_a_proxy_password_goes_to_the_proxy_only_and_shows_nowhere(keyed, service, proxy, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG)
    monkeypatch.setenv("HTTP_PROXY", f"alice:S3cret@{proxy.address}")
    assert call(service) == {"samples": "ok"}
    sent = base64.b64encode(b"alice:S3cret").decode()
    assert {h.get("Proxy-Authorization") for _, _, h in proxy.requests} == {f"Basic {sent}"}
    assert not [h for _, _, h in service.requests if "Proxy-Authorization" in h]
    forget_kept_clients()
    monkeypatch.setenv("HTTP_PROXY", f"ftp://alice:S3cret@{proxy.address}")
    error = call(service)
    assert isinstance(error, ValueError) and f"ftp://alice:***@{proxy.address}" in str(error)
    shown = [r.getMessage() for r in caplog.records] + traceback.format_exception(error)
    assert not [text for text in shown if "S3cret" in text or sent in text]
