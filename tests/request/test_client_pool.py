"""Clients kept between calls: one schema request and one connection serve
many calls and threads; a new key, client type or setting gets a client of
its own; a kept client meets a lost idle connection, a service that went
down or came back, a changed schema or a moved route as a new client would,
and calls the service holds never delay the next one; the opt-out gives a
client per request again."""
import json
import subprocess
import sys
import threading

import pytest

from tests.support import KEY, ROOT
from tests.support.reliability import bounded
from tests.support.request import call, logged, node_for
from tools.service.loopback import ANSWER, JSON, Service, services

base = pytest.importorskip("vorna_comfyui_engine.base")
httpx = pytest.importorskip("httpx")
bentoml = pytest.importorskip("bentoml")
import vorna_comfyui_engine.config as config  # noqa: E402

pytestmark = pytest.mark.usefixtures("keyed")


def node_call(node, caplog, endpoint="vae_encode"):
    """(answer or exception, the request path's log messages)."""
    caplog.clear()
    payload = {"text": "a fox", "clip": None} if endpoint == "text_encode" else {"image": "i"}
    try:
        outcome = node.send_request(endpoint, payload)
    except Exception as e:      # noqa: BLE001 - inspected by the test
        outcome = e
    return outcome, logged(caplog)


def test_one_schema_request_and_connection_serve_calls_and_threads(service, caplog):
    node = node_for(service)
    for _ in range(3):
        assert node_call(node, caplog) == ({"samples": "ok"}, [])
    # The first call reads the schema; every call is then one POST on the one connection.
    assert service.paths() == ["/schema.json"] + ["/vae_encode"] * 3 and service.connections == 1

    answers = []
    threads = [threading.Thread(target=lambda: answers.extend(node_call(node, caplog)[0] for _ in range(10)))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert answers == [{"samples": "ok"}] * 40
    assert service.paths().count("/schema.json") == 1 and service.connections <= 4
    assert {h["Authorization"] for _, _, h in service.requests} == {f"Bearer {KEY}"}


def test_a_new_key_or_client_type_gets_a_client_of_its_own_and_the_old_one_is_closed(service, caplog):
    node = node_for(service)
    node_call(node, caplog)
    first = next(iter(base._client_pool.entries.values())).client
    assert KEY not in repr(base._client_pool)
    config.set_api_key("second-key")
    assert node_call(node, caplog)[0] == {"samples": "ok"}
    assert service.requests[-1][2]["Authorization"] == "Bearer second-key"
    assert service.paths()[-2:] == ["/schema.json", "/vae_encode"] and first.client.is_closed

    made = []

    class Patched(bentoml.SyncHTTPClient):
        def __init__(self, *args, **kwargs):
            made.append(self)
            super().__init__(*args, **kwargs)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(base, "SyncHTTPClient", Patched)
        assert node_call(node, caplog)[0] == {"samples": "ok"}
        node_call(node, caplog)
    assert len(made) == 1


def test_forgetting_a_key_closes_its_kept_client_and_no_other(service, caplog):
    node = node_for(service)
    node_call(node, caplog)
    kept = next(iter(base._client_pool.entries.values())).client
    base._forget_api_key("another-key")
    assert not kept.client.is_closed and len(base._client_pool.entries) == 1
    base._forget_api_key(KEY)
    assert kept.client.is_closed and base._client_pool.entries == {}
    # The next call with that key opens a client of its own again.
    assert node_call(node, caplog)[0] == {"samples": "ok"}
    assert service.paths()[-2:] == ["/schema.json", "/vae_encode"]


def test_kept_clients_share_the_module_classes_do_no_io_outside_a_call_and_are_collected(caplog):
    import gc
    import weakref

    with services(2) as (a, b):
        for s in (a, b):
            s.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
            assert node_call(node_for(s), caplog)[0] == {"samples": "ok"}
        kept = list(base._client_pool.entries.values())
        # The HTTP stack's classes are the module's, made once, not one set per client.
        stacks = [k.client.client._transport for k in kept]
        assert len(kept) == 2 and type(stacks[0]) is type(stacks[1])
        assert type(stacks[0]).__module__ == base.__name__
        # Outside a call there is no deadline: the client's HTTP stack sends nothing then.
        with pytest.raises(SystemError, match="outside a request"):
            kept[0].client.call("vae_encode", image="i")
        assert a.paths() == b.paths() == ["/schema.json", "/vae_encode"]
        # Guard, hooks and HTTP client hold one another: once forgotten, they are collected all the same.
        http = weakref.ref(kept[0].client.client)
        base._forget_api_key(KEY)
        del kept, stacks
        gc.collect()
        assert http() is None


def test_a_module_body_run_again_makes_its_own_pool_and_classes():
    code = """if True:
        import json, sys
        from tools.service.loopback import ANSWER, JSON, services
        import vorna_comfyui_engine.base as first

        def stack(b, port):
            node = b.BaseNode()
            node.BASE_URL = f"http://127.0.0.1:{port}/"
            node.send_request("vae_encode", {"image": "i"})
            return next(iter(b._client_pool.entries.values())).client.client._transport

        with services(1) as (s,):
            s.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
            old = stack(first, s.port)
            del sys.modules["vorna_comfyui_engine.base"]
            import vorna_comfyui_engine.base as second
            new = stack(second, s.port)
            print(json.dumps([first._client_pool is not second._client_pool, type(old) is not type(new),
                              len(first._client_pool.entries)]))
    """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=ROOT, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    assert json.loads(out.stdout) == [True, True, 1]


def test_only_a_request_that_never_left_is_sent_once_more(service, caplog, monkeypatch):
    # The service read the request on the kept connection, then lost it: it may
    # be working on it, so the call fails as a lost connection, sent once.
    service.answer("/vae_encode", 200, ANSWER, JSON, drop="reused")
    error, messages = node_call(node_for(service), caplog)
    assert isinstance(error, httpx.RemoteProtocolError) and messages == ["send request failed: " + str(error)]
    assert service.paths() == ["/schema.json", "/vae_encode"]

    # The service closed the kept connection before the request went out (just
    # after the pool's own check of idle connections passed): sent on a new one.
    service.answer("/vae_encode", 200, ANSWER, JSON)
    service.answer("/schema.json", 200, service.answers["/schema.json"].body, JSON, close_after=True)
    monkeypatch.setattr(pytest.importorskip("httpcore").HTTP11Connection, "has_expired", lambda self: False)
    assert node_call(node_for(service, timeout=9), caplog) == ({"samples": "ok"}, [])
    assert service.paths()[2:] == ["/schema.json", "/vae_encode"] and service.connections == 3


def test_a_service_down_or_restarted_between_calls(service, caplog):
    node = node_for(service, ready=1)
    port = service.port
    node_call(node, caplog)
    service.stop()
    # Down: the readiness wait and the error of a new client, one record.
    error, messages = node_call(node, caplog)
    assert isinstance(error, httpx.ConnectError) and messages == ["send request failed: " + str(error)]

    # Back while a call waits for it.
    node.SERVER_READY_TIMEOUT = 30
    restarted = []
    timer = threading.Timer(0.5, lambda: restarted.append(
        Service(port=port).serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)))
    timer.start()
    try:
        assert node_call(node, caplog) == ({"samples": "ok"}, [])
        timer.join()
        assert restarted[0].paths() == ["/schema.json", "/vae_encode"]

        # Restarted between calls: the kept client just opens a new connection.
        restarted[0].stop()
        again = Service(port=port).serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
        assert node_call(node, caplog) == ({"samples": "ok"}, [])
        assert again.paths() == ["/vae_encode"] and again.connections == 1
        again.stop()
    finally:
        timer.join()


def test_a_route_missing_from_the_kept_schema_reads_the_schema_once_more(service, caplog):
    node = node_for(service)
    node_call(node, caplog)
    service.serve_schema(vae_encode="/vae_encode", vae_decode="/vae_decode")
    service.answer("/vae_decode", 200, ANSWER, JSON)
    assert node_call(node, caplog, "vae_decode")[0] == {"samples": "ok"}
    error, messages = node_call(node, caplog, "sampler")
    assert isinstance(error, bentoml.exceptions.NotFound) and len(messages) == 1
    assert service.paths()[1:] == ["/vae_encode", "/schema.json", "/vae_decode", "/schema.json"]


@pytest.mark.parametrize("fault", ["redirect", "401", "gzip", "drip"])
def test_a_kept_client_keeps_the_guards(fault, caplog):
    with services(2) as (a, b):
        a.serve_schema(vae_encode="/vae_encode").answer("/vae_encode", 200, ANSWER, JSON)
        node = node_for(a, timeout=1)
        assert node_call(node, caplog)[0] == {"samples": "ok"}
        if fault == "redirect":
            a.redirect("/vae_encode", 307, b.origin + "/vae_encode")
        elif fault == "401":
            a.answer("/vae_encode", 401, b"{}", JSON)
        elif fault == "gzip":
            a.answer("/vae_encode", 200, b"\x1f\x8b" + b"\0" * 20, {**JSON, "Content-Encoding": "gzip"})
        else:
            a.answer("/vae_encode", 200, b'{"samples": "' + b"x" * 40 + b'"}', JSON, drip=0.2)
        error, messages = node_call(node, caplog)
        expected = {"redirect": PermissionError, "401": bentoml.exceptions.BentoMLException,
                    "gzip": ValueError, "drip": httpx.ReadTimeout}[fault]
        assert isinstance(error, expected) and len(messages) == 1
        assert b.requests == [] and a.paths().count("/vae_encode") == 2
        if fault == "401":
            assert "refused the API key" in str(error)


def test_the_opt_out_builds_a_client_per_request(service, caplog):
    node = node_for(service)
    node.REUSE_CONNECTIONS = False
    for _ in range(2):
        assert node_call(node, caplog)[0] == {"samples": "ok"}
    assert service.paths() == ["/schema.json", "/vae_encode"] * 2 and service.connections == 2

    code = "import vorna_comfyui_engine.base as b; print(b.BaseNode.REUSE_CONNECTIONS)"
    read = [subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                           env={**__import__("os").environ, "VORNA_REUSE_CONNECTIONS": value}).stdout.strip()
            for value in ("0", "1")]
    assert read == ["False", "True"]


@pytest.mark.standin
def test_the_stand_in_through_kept_clients(request, caplog):
    """The real service: threads share the kept client's connections, and a
    call made just before the service drops an idle connection (it does at
    5 s) still gets its answer."""
    import time
    from tools.bench.network import LatencyProxy

    standin = request.getfixturevalue("standin")
    counting = LatencyProxy(int(standin.url.rsplit(":", 1)[1]))
    node = base.BaseNode()
    node.BASE_URL = f"http://127.0.0.1:{counting.port}/"
    config.set_api_key(standin.key)
    try:
        assert "conditioning" in node_call(node, caplog, "text_encode")[0]
        answers = []
        threads = [threading.Thread(target=lambda: answers.extend(
            node_call(node, caplog, "text_encode")[0] for _ in range(5))) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert len(answers) == 20 and all("conditioning" in a for a in answers)
        assert counting.connections <= 4
        time.sleep(4.95)
        assert "conditioning" in node_call(node, caplog, "text_encode")[0]
    finally:
        counting.close()


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
