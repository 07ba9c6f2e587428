"""Fault matrix: every executing node against a misbehaving service.

For each fault and node: the exception (or result) its failure handling
promises, the exact log records, no hang past the configured limits, the key
nowhere in what the failure leaves behind, and a good request served right
after. Times to failure and CPU times are measured (not asserted) and written
to build/reliability-figures/faults.md.
"""
from __future__ import annotations

import binascii
import concurrent.futures
import contextlib
import logging
import secrets
import socket
import threading
import time

import pytest

from tests.support import BASE_LOGGER, LONG, module
from tests.support.nodes import NODES, NODE_IDS
from tests.support.reliability import bounded, texts_of_exception, texts_of_records, write_figures
from tools.service.launch import free_port, start_standin

torch = pytest.importorskip("torch")
httpx = pytest.importorskip("httpx")
bentoml_exceptions = pytest.importorskip("bentoml.exceptions")

# Small limits so that waiting faults end quickly; the hang guard allows the
# configured limits plus a margin for a loaded machine.
REQUEST_TIMEOUT = 2
READY_BUDGET = 3
# Answer faults are not about waiting: a roomy timeout, so that building a
# very large answer on a loaded machine is not mistaken for a failure.
ANSWER_TIMEOUT = 60
SLOW_DELAY = 6
HANG_LIMIT = READY_BUDGET + ANSWER_TIMEOUT + 60

ALL_SERVICE_FAULTS = ("slow", "status400", "status500", "missing_fields", "bad_base64", "not_image",
                      "fallback_images", "bad_tensor", "pickle_payload", "huge")
# Each service fault needs a service of its own (about 5 s of CPU to start),
# so the default run takes the waiting, the error-status and the code-carrying
# answer; VORNA_RELIABILITY_LONG=1 runs them all.
SERVICE_FAULTS = ALL_SERVICE_FAULTS if LONG else ("slow", "status500", "pickle_payload")
# Faults that need no service of their own (a wrong key goes to the session's
# service; a listener that never answers costs a request timeout per
# readiness try, so it is in the long run only).
LOCAL_FAULTS = ("unreachable", "unauthorized") + (("blackhole",) if LONG else ())
FAULTS = LOCAL_FAULTS + SERVICE_FAULTS

FIGURES: dict = {}


# ---------------------------------------------------------------------------
# Services

class Blackhole:
    """Accepts connections and never answers: the readiness poll waits a whole
    request timeout on every try."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.url = f"http://127.0.0.1:{self.sock.getsockname()[1]}"
        self.conns = []
        self.stopping = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        self.sock.settimeout(0.2)
        while not self.stopping:
            with contextlib.suppress(OSError):
                self.conns.append(self.sock.accept()[0])

    def close(self):
        self.stopping = True
        self.thread.join(5)
        for c in self.conns:
            c.close()
        self.sock.close()


@pytest.fixture(scope="module")
def key():
    # Distinctive, so that any leak of it is unmistakable.
    return "vornaSECRET-" + secrets.token_hex(16)


@pytest.fixture(scope="module")
def marker(tmp_path_factory):
    return tmp_path_factory.mktemp("pickle") / "code_ran"


@pytest.fixture(scope="module")
def services(key, marker):
    """One stand-in per service fault, started side by side."""
    env = {"VORNA_STANDIN_DELAY": str(SLOW_DELAY), "VORNA_STANDIN_MARKER": str(marker)}
    started = {}
    t0 = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(len(SERVICE_FAULTS)) as pool:
        futures = {pool.submit(start_standin, key=key, fault=f, env=env): f for f in SERVICE_FAULTS}
        errors = []
        for fut in concurrent.futures.as_completed(futures):
            try:
                started[futures[fut]] = fut.result()
            except Exception as e:  # noqa: BLE001 - stop the others first
                errors.append(e)
    hole = Blackhole()
    try:
        if errors:
            raise errors[0]
        FIGURES["start"] = (len(started), time.monotonic() - t0)
        urls = {f: s.url for f, s in started.items()}
        urls["unreachable"] = f"http://127.0.0.1:{free_port()}"
        urls["blackhole"] = hole.url
        yield urls
    finally:
        hole.close()
        with concurrent.futures.ThreadPoolExecutor(max(1, len(started))) as pool:
            list(pool.map(lambda s: s.stop(), started.values()))
        write_fault_figures()


@pytest.fixture
def config_key():
    config = module("config")
    yield config
    config.set_api_key(None)


# ---------------------------------------------------------------------------
# What each node promises

REQUEST_FAILURES = {
    # fault: (client exception type, text it starts with or None)
    # Retried with pauses for the readiness budget; the last connection error stands.
    "unreachable": (httpx.ConnectError, None),
    "blackhole": (httpx.TimeoutException, None),
    "slow": (httpx.ReadTimeout, None),
    "unauthorized": (bentoml_exceptions.BentoMLException, None),
    "status400": (bentoml_exceptions.InvalidArgument, None),
    "status500": (bentoml_exceptions.BentoMLException, None),
}
REQUEST_FAILURE_STATUS = {"unauthorized": 401, "status400": 400, "status500": 500}

# Answer faults: per node, the cause that the node raises or wraps (None: the
# call succeeds). The causes are the libraries' own exceptions.
ANSWER_FAULTS = {
    "missing_fields": {"text_encode": "returns None", "sampler": KeyError,
                       "vae_decode": Exception, "vae_encode": KeyError},
    "bad_base64": {"text_encode": binascii.Error, "sampler": binascii.Error,
                   "vae_decode": Exception, "vae_encode": binascii.Error},
    "not_image": {"text_encode": None, "sampler": None, "vae_decode": Exception, "vae_encode": None},
    "fallback_images": {"text_encode": None, "sampler": None, "vae_decode": "fallback",
                        "vae_encode": None},
    # Bytes that are no tensor archive.
    "bad_tensor": {"text_encode": Exception, "sampler": Exception, "vae_decode": None,
                   "vae_encode": Exception},
    # The archive's pickle names a function torch.save does not write for
    # tensors: refused before anything in it is built.
    "pickle_payload": {"text_encode": ValueError, "sampler": ValueError, "vae_decode": None,
                       "vae_encode": ValueError},
    "huge": {"text_encode": None, "sampler": None, "vae_decode": None, "vae_encode": None},
}


def records_of_interest(caplog):
    """Records at WARNING and above from any logger, as (logger, level, message)."""
    return [(r.name, r.levelname, r.getMessage()) for r in caplog.records if r.levelno >= logging.WARNING]


def check_records(records, expected):
    """`expected`: list of (logger, level, prefix), in order, and nothing else."""
    assert len(records) == len(expected), records
    for (name, level, message), (want_name, want_level, prefix) in zip(records, expected):
        assert (name, level) == (want_name, want_level), records
        assert message.startswith(prefix), records


def check_failure(case, fault, error, records):
    if fault in REQUEST_FAILURES:
        client_type, text = REQUEST_FAILURES[fault]
        cause = error
        if case.wrap_prefix:
            assert type(error) is ValueError, repr(error)
            assert str(error).startswith(case.wrap_prefix), str(error)
            cause = error.__context__
            assert error.__cause__ is None
            assert str(error) == case.wrap_prefix + str(cause)
        assert isinstance(cause, client_type), repr(cause)
        if text:
            assert str(cause).startswith(text)
        if fault in REQUEST_FAILURE_STATUS:
            assert int(cause.error_code) == REQUEST_FAILURE_STATUS[fault]
        # One record from the request path, and nothing else.
        check_records(records, [(BASE_LOGGER, "ERROR", "send request failed: " + str(cause))])
        return
    want = ANSWER_FAULTS[fault][case.name]
    if case.wrap_prefix:
        assert type(error) is ValueError, repr(error)
        assert str(error).startswith(case.wrap_prefix)
        assert str(error) == case.wrap_prefix + str(error.__context__)
        cause = error.__context__
    else:
        cause = error
    assert isinstance(cause, want), repr(cause)
    if want is KeyError:
        assert str(cause) in ("'samples'",)
    check_records(records, [])


# ---------------------------------------------------------------------------
# The matrix

@pytest.mark.standin
@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("case", NODES, ids=NODE_IDS)
def test_fault(case, fault, services, standin, key, marker, config_key, caplog):
    cls = case.node_class()
    node = cls()
    node.REQUEST_TIMEOUT = REQUEST_TIMEOUT if fault in REQUEST_FAILURES else ANSWER_TIMEOUT
    node.SERVER_READY_TIMEOUT = READY_BUDGET
    node.BASE_URL = standin.url if fault == "unauthorized" else services[fault]
    sent_key = key
    if fault == "unauthorized":
        sent_key = "vornaWRONG-" + secrets.token_hex(16)
    config_key.set_api_key(sent_key)

    caplog.set_level(logging.DEBUG)
    caplog.clear()
    value, error, wall, cpu = bounded(lambda: case.call(node), HANG_LIMIT)
    records = records_of_interest(caplog)
    FIGURES[(fault, case.name)] = (wall, cpu, "raised " + type(error).__name__ if error else "returned")

    if error is not None and not isinstance(error, Exception):
        raise error
    expected_success = fault in ANSWER_FAULTS and ANSWER_FAULTS[fault][case.name] in (None, "fallback",
                                                                                      "returns None")
    if expected_success:
        assert error is None, f"{fault}: {error!r}"
        if ANSWER_FAULTS[fault][case.name] == "returns None":
            assert value == (None,)
            check_records(records, [])
        else:
            case.check_good_result(value)
            if ANSWER_FAULTS[fault][case.name] == "fallback":
                # One record through the root logger, nothing from the request path.
                check_records(records, [("root", "ERROR", "Failed to decode vae: ")])
            else:
                check_records(records, [])
    else:
        assert error is not None, f"{fault}: expected a failure, got {value!r}"
        check_failure(case, fault, error, records)

    # The key is nowhere in what the failure left behind.
    texts = texts_of_records(caplog.records)
    if error is not None:
        texts += texts_of_exception(error)
    leaked = [t for t in texts if sent_key in t or key in t]
    assert not leaked, "the API key leaked into: " + repr(leaked[0][:300])

    # No code from an answer ran.
    assert not marker.exists()

    # The process goes on serving: the next good request succeeds.
    good = cls()
    good.REQUEST_TIMEOUT = 30
    good.SERVER_READY_TIMEOUT = 30
    good.BASE_URL = standin.url
    config_key.set_api_key(standin.key)
    value, error, _, _ = bounded(lambda: case.call(good), HANG_LIMIT)
    assert error is None, repr(error)
    case.check_good_result(value)


# ---------------------------------------------------------------------------
# Figures

def write_fault_figures():
    if not FIGURES:
        return
    lines = [
        "# Fault matrix: time to failure and CPU time per node call",
        "",
        f"Request timeout {REQUEST_TIMEOUT} s, readiness budget {READY_BUDGET} s, slow answer after "
        f"{SLOW_DELAY} s. Wall: seconds from the call to its return or exception; CPU: process CPU "
        "seconds (all threads) over the same span.",
        "",
        "| fault | node | outcome | wall s | CPU s |",
        "|---|---|---|---:|---:|",
    ]
    cases = sorted((k for k in FIGURES if k != "start"), key=lambda k: (FAULTS.index(k[0]), NODE_IDS.index(k[1])))
    for fault, node in cases:
        wall, cpu, outcome = FIGURES[(fault, node)]
        lines.append(f"| {fault} | {node} | {outcome} | {wall:.2f} | {cpu:.2f} |")
    if "start" in FIGURES:
        count, seconds = FIGURES["start"]
        lines += ["", f"{count} fault services started side by side in {seconds:.1f} s."]
    write_figures("faults", lines)
