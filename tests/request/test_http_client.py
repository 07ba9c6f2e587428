"""The HTTP client the package builds from httpx and httpcore parts: the
answer's body and JSON bounded before they are read or parsed, bytes past
an answer never taken for the next one, proxies taken from the environment
as httpx takes them, and no client at all where the installed versions
cannot take the guards."""
import json

import pytest

from tests.support import ROOT
from tests.support.request import call, call_logged
from tools.service.loopback import ANSWER, JSON

base = pytest.importorskip("vorna_comfyui_engine.base")
httpx = pytest.importorskip("httpx")

pytestmark = pytest.mark.usefixtures("keyed")

# Within the 2.97 MB that a 1 MiB limit allows on the wire, parsed to at most four times that.
@pytest.mark.parametrize("body, chunked, refused", [
    (b'{"samples": "' + b"A" * 2_900_000 + b'"}', False, False),     # a long string: twice its text
    ('{"samples": "' + "\u20ac" * 966_000 + '"}', 999, False),       # wider characters, split across chunks
    (b'{"samples": [' + b"[0]," * 725_000 + b"[]]}", 4096, True),    # a list per four bytes
])
def test_the_json_of_an_answer_is_sized_before_it_is_parsed(service, monkeypatch, body, chunked, refused):
    body = body if isinstance(body, bytes) else body.encode()
    monkeypatch.setattr(base.BaseNode, "MAX_ANSWER_BYTES", 1 << 20)
    service.answer("/vae_encode", 200, body, JSON, chunked=chunked)
    outcome = call(service)
    if refused:
        assert isinstance(outcome, ValueError) and str(outcome).startswith("answer refused: its JSON would take")
    else:
        assert outcome == json.loads(body)

def test_bytes_past_the_declared_body_do_not_answer_the_next_call(service):
    planted = json.dumps({"samples": "SMUGGLED"}).encode()
    service.answer("/vae_encode", 200, ANSWER, JSON, trailing=b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                   b"Content-Length: %d\r\n\r\n%s" % (len(planted), planted))
    answers = [call(service)]
    for n in (2, 3):
        service.answer("/vae_encode", 200, json.dumps({"samples": f"answer {n}"}).encode(), JSON)
        answers.append(call(service))
    assert answers == [{"samples": "ok"}, {"samples": "answer 2"}, {"samples": "answer 3"}]
    assert service.connections == 2        # the one that carried more was closed, the next one kept

@pytest.mark.parametrize("http_proxy, no_proxy, through", [
    ("http://{proxy}", "", True),
    ("{proxy}", "", True),                           # no scheme: http://
    ("http://{proxy}", "localhost,*", False),
    ("http://{proxy}", "127.0.0.1:{port}", False),
    ("http://{proxy}", "127.0.0.1:1", True),         # another port of the same host
    ("http://{proxy}", "example.com,127.0.0.1", False),
])
def test_proxy_settings_are_read_as_httpx_reads_them(service, proxy, monkeypatch, http_proxy, no_proxy, through):
    monkeypatch.setenv("HTTP_PROXY", http_proxy.format(proxy=proxy.address))
    monkeypatch.setenv("NO_PROXY", no_proxy.format(port=service.port))
    with httpx.Client() as plain:
        assert (plain._transport_for_url(httpx.URL(service.origin)) is not plain._transport) == through
    assert call(service) == {"samples": "ok"}
    went_through = [url for _, url, _ in proxy.requests]
    assert went_through == ([service.origin + path for path in service.paths()] if through else [])

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
    error, _ = call_logged(a, caplog)
    assert isinstance(error, RuntimeError) and "cannot be installed" in str(error)
    assert "/vae_encode" not in a.paths()

WIRE_BOUND_RUN = r"""
import json, resource, sys
from tools.service.loopback import JSON, services
import vorna_comfyui_engine.base as base

with services(1) as (svc,):
    svc.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, b'{"samples": "ok"}', JSON)
    node = base.BaseNode()
    node.BASE_URL = svc.origin + "/"
    node.send_request("vae_encode", {"image": "i"})          # imports done, client kept
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    svc.answer("/vae_encode", 200, b"A" * (1 << 20), JSON, repeat=256, chunked=sys.argv[1] == "chunked")
    try:
        outcome = repr(node.send_request("vae_encode", {"image": "i"}))[:100]
    except Exception as e:
        outcome = f"{type(e).__name__}: {e}"
    grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(json.dumps({"outcome": outcome, "grew_mib": grew / 1024}))
"""

@pytest.mark.parametrize("body", ["with length", "chunked"])
def test_a_body_longer_than_the_answer_limit_allows_is_refused_unread(body):
    """256 MiB on the wire, 4 MiB allowed: refused from its length before
    reading, or cut off while read when it has none."""
    import json
    import os
    import subprocess
    import sys

    env = {**os.environ, "VORNA_MAX_ANSWER_BYTES": str(4 << 20),
           "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    run = subprocess.run([sys.executable, "-c", WIRE_BOUND_RUN, body.split()[0]], capture_output=True, text=True,
                         env=env, timeout=300)
    result = json.loads(run.stdout.strip().splitlines()[-1])
    assert result["outcome"].startswith("ValueError: answer refused: its body"), result
    assert result["grew_mib"] < 64, result
