"""What a service can do to the request path beyond misbehaving on the wire:
steer the client through its schema, move a route, lose a request the
service may be working on, resolve or read slowly, hold many calls at once.
Loopback fakes only; outcomes and request counts, never durations."""
import json
import socket
import threading

import pytest

from tools.service.loopback import ANSWER, JSON, ForwardProxy, services
from reliability_support import bounded

base = pytest.importorskip("vorna_comfyui_engine.base")
httpx = pytest.importorskip("httpx")
httpcore = pytest.importorskip("httpcore")
bentoml = pytest.importorskip("bentoml")
import vorna_comfyui_engine.config as config  # noqa: E402

KEY = "vornaKEY-" + "0f1e2d3c4b5a6978"


def forget_kept_clients():
    for kept in list(base._client_pool.entries.values()):
        kept.client.close()
    base._client_pool.entries.clear()


@pytest.fixture(autouse=True)
def keyed():
    config.set_api_key(KEY)
    yield
    config.set_api_key(None)
    forget_kept_clients()


@pytest.fixture
def service():
    with services(1) as (a,):
        a.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
        yield a


def call(service, payload=None, timeout=10, ready=2, host="127.0.0.1"):
    """One node call: the answer or the exception."""
    node = base.BaseNode()
    node.BASE_URL = f"http://{host}:{service.port}/"
    node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = ready, timeout
    try:
        return node.send_request("vae_encode", payload or {"image": "i"})
    except Exception as e:      # noqa: BLE001 - inspected by the test
        return e


def nested_lists(depth: int) -> dict:
    schema = {"type": "string"}
    for _ in range(depth):
        schema = {"type": "array", "items": schema}
    return schema


@pytest.mark.parametrize("declared", [
    {"gives": {"type": "object", "is_stream": True}},
    {"gives": {"type": "file"}},
    {"gives": {"type": "object", "media_type": "text/event-stream"}},
    {"takes": {"type": "object", "properties": {"image": {"type": "file"}}}},
    {"takes": {"type": "object", "properties": {"image": {"type": "array", "items": {"type": "file"}}}}},
    {"takes": {"type": "string", "root_input": True}},
    # What the library would turn into something else than JSON, at any depth.
    {"gives": {"type": "object", "properties": {"samples": {"type": "tensor", "format": "numpy-array"}}}},
    {"gives": {"type": "object", "additionalProperties": {"type": "array", "items": {"type": "dataframe"}}}},
    {"gives": {"type": "object", "properties": {"s": {"anyOf": [{"type": "string", "format": "binary"},
                                                                 {"type": "null"}]}}}},
    {"gives": {"type": "object", "$defs": {"Latent": {"type": "object", "properties": {"x": {"type": "tensor"}}}}}},
    {"takes": {"type": "object", "properties": {"image": {"type": "string", "content_type": "image/png"}}}},
    {"gives": {"type": "array", "items": {"type": "object"}}},
    {"gives": {"type": "object", "properties": {"samples": "string"}}},
    {"gives": {"type": "object", "additionalProperties": nested_lists(100)}},
])
def test_a_schema_declaring_anything_but_json_fails_before_sending(service, declared):
    service.serve_schema(vae_encode="/vae_encode", **declared)
    error = call(service)
    assert isinstance(error, ValueError) and "JSON objects only, so nothing was sent" in str(error)
    assert service.paths() == ["/schema.json"]


def test_a_schema_of_plain_json_as_pydantic_writes_it_is_used(service):
    from typing import Any, Dict, List, Optional

    from pydantic import BaseModel

    class Latent(BaseModel):
        samples: str
        batch_index: Optional[List[int]] = None
        format: str = "latent"                  # a property named like a keyword

    class Answer(BaseModel):
        latent: Latent
        extra: Dict[str, Any] = {}

    service.serve_schema(vae_encode="/vae_encode", gives=Answer.model_json_schema())
    service.answer("/vae_encode", 200, json.dumps({"latent": {"samples": "ok"}}).encode(), JSON)
    assert call(service) == {"latent": {"samples": "ok"}}


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


def test_a_password_in_the_url_is_neither_sent_nor_logged_and_the_key_is(service, caplog):
    import logging

    caplog.set_level(logging.DEBUG)
    assert call(service, host="alice:S3cret@127.0.0.1") == {"samples": "ok"}
    assert {h.get("Authorization") for _, _, h in service.requests} == {f"Bearer {KEY}"}
    service.answer("/vae_encode", 500, b"{}", JSON)
    assert isinstance(call(service, host="alice:S3cret@127.0.0.1"), bentoml.exceptions.BentoMLException)
    assert caplog.records and not [r for r in caplog.records if "S3cret" in r.getMessage()]


@pytest.mark.parametrize("routes_after, sent_after, refused", [
    ({"vae_encode": "/v2/vae_encode"}, ["/vae_encode", "/schema.json", "/v2/vae_encode"], None),
    ({"vae_encode": "/vae_encode"}, ["/vae_encode", "/schema.json"], "not here"),     # the 404 stands
    ({"vae_decode": "/vae_decode"}, ["/vae_encode", "/schema.json"], "no longer names that endpoint"),
])
def test_a_404_rereads_the_schema_and_sends_again_only_to_another_route(service, routes_after, sent_after, refused):
    call(service)
    service.serve_schema(**routes_after).answer("/v2/vae_encode", 200, ANSWER, JSON)
    service.answers.pop("/vae_encode")      # answered 404 "not here" from now on
    outcome = call(service)
    if refused is None:
        assert outcome == {"samples": "ok"}
    else:
        assert isinstance(outcome, bentoml.exceptions.NotFound) and refused in str(outcome)
    assert service.paths() == ["/schema.json", "/vae_encode"] + sent_after


def test_name_resolution_ends_with_the_connect_deadline(service, monkeypatch):
    lookup, answer = socket.getaddrinfo, threading.Event()

    def slow_resolver(host, port, *args, **kwargs):
        if host == "slow.resolver.test":
            answer.wait(60)
            host = "127.0.0.1"
        return lookup(host, port, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", slow_resolver)
    try:
        outcome = bounded(lambda: call(service, timeout=1, ready=1, host="slow.resolver.test"), 30)[0]
        assert not answer.is_set()      # the call ended while the resolver still had no answer
    finally:
        answer.set()
    assert isinstance(outcome, httpx.ConnectTimeout) and service.requests == []


def test_a_resolver_that_never_answers_holds_one_thread_per_name_and_no_more_than_the_cap(service, monkeypatch):
    lookup, release, asked = socket.getaddrinfo, threading.Event(), []

    def stuck_resolver(host, port, *args, **kwargs):
        if host.endswith(".stuck.test"):
            asked.append(host)
            release.wait(60)
            host = "127.0.0.1"
        return lookup(host, port, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", stuck_resolver)
    try:
        same = [call(service, timeout=0.2, ready=0.2, host="one.stuck.test") for _ in range(4)]
        assert all(isinstance(e, httpx.ConnectTimeout) for e in same) and asked == ["one.stuck.test"]
        others = [call(service, timeout=0.2, ready=0.2, host=f"n{i}.stuck.test") for i in range(12)]
        assert len(set(asked)) == 8     # the cap: the first seven other names got a thread
        refused = others[-1]
        assert isinstance(refused, httpx.ConnectError) and "n11.stuck.test was not looked up" in str(refused)
    finally:
        release.set()
        for t in threading.enumerate():
            if t.name == "vorna-resolve":
                t.join(30)
    # Every thread came back: the stuck names resolve again, each once more.
    asked.clear()
    assert call(service, host="n11.stuck.test") == {"samples": "ok"} and asked == ["n11.stuck.test"]


EXIT_DURING_LOOKUP = r"""
import socket, time
dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
dns.bind(("127.0.0.1", 53))        # takes the resolver's queries and never answers
import vorna_comfyui_engine.base as base
node = base.BaseNode()
node.BASE_URL = "http://exit.vorna.test:9/"
node.SERVER_READY_TIMEOUT = node.REQUEST_TIMEOUT = 0.3
try:
    node.send_request("vae_encode", {"image": "i"})
except Exception as e:
    print(type(e).__name__)
class Slow:
    def __del__(self):
        time.sleep(1.5)            # finalisation lasts until the resolver gives up (1 s)
keep = Slow()
"""


def test_the_interpreter_exits_cleanly_while_a_lookup_is_in_flight(tmp_path):
    """The resolver's thread wakes while the interpreter finalises and is
    ended by it: that unwinds through the package's native frames, which
    must let it pass. The real system resolver, in a user and network
    namespace whose name server takes queries and never answers."""
    import shutil
    import subprocess
    import sys

    resolv = tmp_path / "resolv.conf"
    resolv.write_text("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    (tmp_path / "child.py").write_text(EXIT_DURING_LOOKUP)
    enter = f"mount --bind {resolv} /etc/resolv.conf && ip link set lo up"
    if not shutil.which("unshare") or subprocess.run(["unshare", "-rnm", "sh", "-c", enter],
                                                     capture_output=True).returncode:
        pytest.skip("no user, network and mount namespaces here (unshare -rnm)")
    for _ in range(3):
        run = subprocess.run(["unshare", "-rnm", "sh", "-c", f'{enter} && exec "$0" "$1"', sys.executable,
                              str(tmp_path / "child.py")], capture_output=True, text=True, timeout=120)
        assert run.returncode == 0 and run.stdout.split() == ["ConnectTimeout"], (run.returncode, run.stderr[-600:])


@pytest.fixture
def proxy(monkeypatch):
    """A recording forward proxy, with no proxy setting of the environment left."""
    for scheme in ("http", "https", "all", "no"):
        monkeypatch.delenv(f"{scheme}_proxy", raising=False)
        monkeypatch.delenv(f"{scheme.upper()}_PROXY", raising=False)
    forwarding = ForwardProxy()
    yield forwarding
    forwarding.stop()


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


def test_a_proxy_password_goes_to_the_proxy_only_and_shows_nowhere(service, proxy, monkeypatch, caplog):
    import base64
    import logging
    import traceback

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


def test_a_slowly_reading_service_cannot_stretch_the_deadline_of_a_large_request(service):
    service.answer("/vae_encode", 200, ANSWER, JSON, slow_read=0.05)
    outcome = bounded(lambda: call(service, {"image": "x" * (48 << 20)}, timeout=1), 120)[0]
    assert isinstance(outcome, httpx.WriteTimeout)
    assert service.paths() == ["/schema.json"]      # the body never arrived whole


def test_calls_held_by_the_service_do_not_delay_the_next_call(service):
    release = threading.Event()
    service.serve_schema(vae_encode="/vae_encode", vae_decode="/held")
    service.answer("/held", 200, ANSWER, JSON, hold=release)
    node = base.BaseNode()
    node.BASE_URL = f"http://127.0.0.1:{service.port}/"
    node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = 2, 10
    node.send_request("vae_encode", {"image": "i"})        # the client they all share
    held = [threading.Thread(target=lambda: bounded(lambda: node.send_request("vae_decode", {"image": "i"}), 60),
                             daemon=True) for _ in range(110)]
    try:
        for t in held:
            t.start()
        for _ in range(600):         # all of them reached the service
            if service.paths().count("/held") == len(held):
                break
            threading.Event().wait(0.05)
        assert service.paths().count("/held") == len(held)
        assert bounded(lambda: call(service, timeout=5), 30)[0] == {"samples": "ok"}
    finally:
        release.set()
        for t in held:
            t.join(60)


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

    tests = os.path.dirname(__file__)
    env = {**os.environ, "VORNA_MAX_ANSWER_BYTES": str(4 << 20),
           "PYTHONPATH": os.pathsep.join([tests, os.environ.get("PYTHONPATH", "")])}
    run = subprocess.run([sys.executable, "-c", WIRE_BOUND_RUN, body.split()[0]], capture_output=True, text=True,
                         env=env, timeout=300)
    result = json.loads(run.stdout.strip().splitlines()[-1])
    assert result["outcome"].startswith("ValueError: answer refused: its body"), result
    assert result["grew_mib"] < 64, result
