"""Many threads calling the nodes against the stand-in service while another
thread keeps replacing the API key: no deadlock, no crash, no lost request,
and every request carries a key that was current at some moment of its call.

The tokens are checked where the package hands them over: a wrapper around
the client records the token of every request on its thread, then talks to
the service with the service's own key (the stand-in accepts only one)."""
from __future__ import annotations

import collections
import random
import statistics
import threading
import time
import traceback

import pytest

from tests.support import LONG, module
from tests.support.nodes import NODES
from tests.support.reliability import bounded, write_figures
from tools.service.fake_client import fake_client

torch = pytest.importorskip("torch")

WORKERS = 8
CALLS_PER_WORKER = 120 if LONG else 20


class KeyHistory:
    """Generations of the effective key. `started` is bumped before a change,
    `done` after it, so a reader that saw done=a before its call and
    started=b after it knows the key it got is one of generations a..b."""

    def __init__(self, first):
        self.values = [first]
        self.started = 0
        self.done = 0
        self.lock = threading.Lock()

    def begin(self, value):
        with self.lock:
            self.values.append(value)
            self.started = len(self.values) - 1

    def end(self):
        with self.lock:
            self.done = self.started

    def window(self, low, high):
        with self.lock:
            return set(self.values[low:high + 1])


def recording_client(real_cls, service_key, seen):
    """A fake client class for base.SyncHTTPClient: records the token per
    thread, then has a real client with the service's key do the call."""
    return fake_client(record=False, on_build=lambda url, kwargs: seen.tokens.append(kwargs.get("token")),
                       delegate=lambda url, **kwargs: real_cls(url, **{**kwargs, "token": service_key}))


def inpainting_conditioning():
    controlnet = module("controlnet")
    base = module("base")
    apply = controlnet.VornaControlNetInpaintingAliMamaApply()
    cond = [[torch.ones(1, 2, 4), {"pooled_output": torch.ones(1, 4)}]]
    vae = base.NodeIO(name="VAELoader", inputs={"vae_name": "qwen_image_vae.safetensors"})
    net = controlnet.VornaControlNetLoader().load_controlnet("cn.safetensors")[0]
    image = torch.rand(1, 16, 16, 3)
    mask = torch.zeros(1, 16, 16)
    return apply.apply(cond, cond, net, vae, "", image, mask, 0.9, 0.0, 1.0)


@pytest.mark.standin
def test_threads_with_key_changes(standin, monkeypatch):
    base = module("base")
    config = module("config")
    available = []
    for case in NODES:
        try:
            available.append((case, case.node_class()))
        except pytest.skip.Exception:
            continue
    assert available, "no executing node module is built"

    seen = threading.local()
    monkeypatch.setattr(base, "SyncHTTPClient", recording_client(base.SyncHTTPClient, standin.key, seen))
    history = KeyHistory(config.get_api_key())
    stop = threading.Event()
    failures = []
    counts = collections.Counter()
    latencies = collections.defaultdict(list)
    key_changes = 0
    inpaint = None
    try:
        inpaint = inpainting_conditioning()
    except pytest.skip.Exception:
        pass

    def worker(index):
        rng = random.Random(index)
        seen.tokens = []
        for _ in range(CALLS_PER_WORKER):
            case, cls = rng.choice(available)
            node = cls()
            node.BASE_URL = standin.url
            node.REQUEST_TIMEOUT = 60
            node.SERVER_READY_TIMEOUT = 60
            overrides = {}
            label = case.name
            if case.name == "sampler" and inpaint is not None and rng.random() < 0.3:
                overrides = {"positive": inpaint[0], "negative": inpaint[1]}
                label = "sampler+inpaint"
            del seen.tokens[:]
            low = history.done
            t0 = time.monotonic()
            try:
                result = case.call(node, **overrides)
                case.check_good_result(result)
            except Exception:  # noqa: BLE001 - collected and reported below
                failures.append(f"{label}: {traceback.format_exc()}")
                continue
            latencies[label].append(time.monotonic() - t0)
            high = history.started
            allowed = history.window(low, high)
            if len(seen.tokens) != 1 or seen.tokens[0] not in allowed:
                failures.append(f"{label}: tokens {seen.tokens!r}, current during the call: {sorted(map(repr, allowed))}")
            counts[label] += 1

    def key_changer():
        nonlocal key_changes
        rng = random.Random(99)
        n = 0
        while not stop.is_set():
            n += 1
            # Mostly new keys; sometimes a clear, which brings back the configured key.
            value = f"rotating-key-{n}" if rng.random() < 0.85 else rng.choice(["", None])
            history.begin(value if value else config._CONFIG.api_key)
            config.set_api_key(value)
            history.end()
            key_changes += 1
            # Readers on this thread agree with what was just set.
            got = config.get_api_key()
            if got != (value if value else config._CONFIG.api_key):
                failures.append(f"get_api_key() gave {got!r} right after set_api_key({value!r})")
            headers = config.get_auth_headers()
            if got and headers != {"Authorization": f"Bearer {got}"}:
                failures.append(f"get_auth_headers() gave {headers!r}")
            time.sleep(rng.random() * 0.002)

    # A deadlock shows as pytest-timeout's failure, with every thread's stack.
    workers = [threading.Thread(target=worker, args=(i,), daemon=True, name=f"node-{i}")
               for i in range(WORKERS)]
    changer = threading.Thread(target=key_changer, daemon=True, name="keys")
    cpu0, wall0 = time.process_time(), time.monotonic()
    for t in [*workers, changer]:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    changer.join()
    wall, cpu = time.monotonic() - wall0, time.process_time() - cpu0
    config.set_api_key(None)

    # The key lock is free again and the readers answer at once.
    _, error, _, _ = bounded(config.get_api_key, 10)
    assert error is None

    total = sum(counts.values())
    lines = [
        "# Thread soak",
        "",
        f"{WORKERS} threads making {CALLS_PER_WORKER} node calls each against the stand-in while one "
        f"thread replaced the key {key_changes} times ({len(history.values) - 1} generations).",
        f"Node calls completed: {total}; failures: {len(failures)}; wall {wall:.1f} s, process CPU {cpu:.1f} s.",
        "",
        "| call | count | mean s | p95 s | max s |",
        "|---|---:|---:|---:|---:|",
    ]
    for label, values in sorted(latencies.items()):
        values = sorted(values)
        p95 = values[min(len(values) - 1, int(0.95 * len(values)))]
        lines.append(f"| {label} | {len(values)} | {statistics.mean(values):.3f} | {p95:.3f} | {values[-1]:.3f} |")
    write_figures("threads", lines)

    assert not failures, f"{len(failures)} failures, first: {failures[0]}"
    assert total >= WORKERS, counts
    assert key_changes > 100
