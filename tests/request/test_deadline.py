"""One deadline bounds a whole request: a drip-fed answer, a slowly reading
service, a name lookup that never ends; lookups hold one thread per name
and no more than the cap, and the interpreter exits cleanly while one is in
flight. Outcomes and request counts, never durations."""
import socket
import threading
import time

import pytest

from tests.support.reliability import bounded
from tests.support.request import call, call_logged
from tools.service.loopback import ANSWER, JSON

base = pytest.importorskip("vorna_comfyui_engine.base")
httpx = pytest.importorskip("httpx")

pytestmark = pytest.mark.usefixtures("keyed")

def test_the_request_timeout_bounds_a_drip_fed_answer(pair, caplog):
    a, _ = pair
    a.answer("/vae_encode", 200, b'{"samples": "' + b"x" * 40 + b'"}', JSON, drip=0.2)
    error, _ = call_logged(a, caplog, timeout=1)
    assert isinstance(error, httpx.ReadTimeout)
    assert str(error) == "the request took longer than the configured timeout of 1 s"
    for _ in range(100):                 # the service notices the closed connection
        if a.drip_finished:
            break
        time.sleep(0.1)
    assert a.drip_finished == [False]

def test_a_slowly_reading_service_cannot_stretch_the_deadline_of_a_large_request(service):
    service.answer("/vae_encode", 200, ANSWER, JSON, slow_read=0.05)
    outcome = bounded(lambda: call(service, {"image": "x" * (48 << 20)}, timeout=1), 120)[0]
    assert isinstance(outcome, httpx.WriteTimeout)
    assert service.paths() == ["/schema.json"]      # the body never arrived whole

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
