"""What a service can do to the request path beyond misbehaving on the wire:
steer the client through its schema, move a route, lose a request the
service may be working on, resolve or read slowly, hold many calls at once.
Loopback fakes only; outcomes and request counts, never durations."""
import json
import socket
import threading

import pytest

from tools.service.loopback import ANSWER, JSON, services
from reliability_support import bounded

base = pytest.importorskip("vorna_comfyui_engine.base")
httpx = pytest.importorskip("httpx")
httpcore = pytest.importorskip("httpcore")
bentoml = pytest.importorskip("bentoml")
import vorna_comfyui_engine.config as config  # noqa: E402

KEY = "vornaKEY-" + "0f1e2d3c4b5a6978"


@pytest.fixture(autouse=True)
def keyed():
    config.set_api_key(KEY)
    yield
    config.set_api_key(None)
    for kept in list(base._client_pool.entries.values()):
        kept.client.close()
    base._client_pool.entries.clear()


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
    monkeypatch.setattr(config, "_MAX_ANSWER_BYTES", 1 << 20)
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


def test_a_moved_route_rereads_the_schema_and_sends_once_more(service):
    call(service)
    service.serve_schema(vae_encode="/v2/vae_encode").answer("/v2/vae_encode", 200, ANSWER, JSON)
    service.answers.pop("/vae_encode")
    assert call(service) == {"samples": "ok"}
    assert service.paths() == ["/schema.json", "/vae_encode", "/vae_encode", "/schema.json", "/v2/vae_encode"]


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
