"""Node calls of the request-layer tests: a BaseNode pointed at a loopback
service, one call, and what the request path logged."""
from . import BASE_LOGGER, KEY, module


def node_for(service=None, ready=2, timeout=10, host="127.0.0.1", port=None, base_url=None):
    """A BaseNode pointed at `service` (or `base_url`), with these budgets."""
    node = module("base").BaseNode()
    node.BASE_URL = base_url or f"http://{host}:{port or service.port}/"
    node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = ready, timeout
    return node


def send(node, endpoint="vae_encode", payload=None):
    """One request: the answer, or the exception it raised."""
    try:
        return node.send_request(endpoint, payload or {"image": "i"})
    except Exception as e:      # noqa: BLE001 - inspected by the test
        return e


def call(service, payload=None, timeout=10, ready=2, host="127.0.0.1"):
    """One call to `service`'s "vae_encode": the answer or the exception."""
    return send(node_for(service, ready, timeout, host), payload=payload)


def logged(caplog):
    """The request path's log messages."""
    return [r.getMessage() for r in caplog.records if r.name == BASE_LOGGER]


def call_logged(service, caplog, ready=2, timeout=10, base_url=None, endpoint="vae_encode"):
    """One call; (answer or exception, the request path's log messages). A
    failure is logged once, as raised, and never names the key."""
    caplog.clear()
    outcome = send(node_for(service, ready, timeout, base_url=base_url), endpoint)
    messages = logged(caplog)
    if isinstance(outcome, Exception):
        assert messages == ["send request failed: " + str(outcome)]
        assert KEY not in str(outcome)
    return outcome, messages
