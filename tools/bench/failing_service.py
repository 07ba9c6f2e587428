"""What one node call costs against a service that fails: requests sent, wall
time and CPU time, for a refused key, a service answering 503, and an answer
drip-fed past the request timeout.

    .venv/bin/python -m tools.bench.failing_service            # writes tools/bench/failing_service.md
    .venv/bin/python -m tools.bench.failing_service --no-write

The services are the loopback fakes of the tests, in this process; "thread CPU"
is the calling thread's (the package's own work), "process CPU" adds the fake
service's threads.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from tools.service.loopback import Service, schema

from .cases import picture

RESULTS = Path(__file__).resolve().parent / "failing_service.md"
KEY = "bench-key-0123456789"


def one_call(service: Service, ready: int, timeout: int):
    from vorna_comfyui_engine import config, vae_encode
    from vorna_comfyui_engine.base import NodeIO

    node = vae_encode.VornaVAEEncode()
    image, vae = picture(32), NodeIO(name="VAELoader", inputs={"vae_name": "qwen_image_vae.safetensors"})
    node.BASE_URL, node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = service.origin + "/", ready, timeout
    config.set_api_key(KEY)
    service.requests.clear()
    wall0, cpu0, thread0 = time.monotonic(), time.process_time(), time.thread_time()
    try:
        node.encode(image=image, vae=vae)
        outcome = "returned"
    except Exception as e:  # noqa: BLE001 - reported
        cause = e.__context__ or e
        outcome = f"{type(e).__name__} from {type(cause).__module__}.{type(cause).__name__}: {cause}"
    wall, cpu, thread = time.monotonic() - wall0, time.process_time() - cpu0, time.thread_time() - thread0
    config.set_api_key(None)
    return len(service.requests), wall, thread, cpu, outcome


def scenarios():
    refused = Service()
    for path in ("/schema.json", "/readyz", "/vae_encode"):
        refused.answer(path, 401, b'{"error": "unauthorized"}')
    busy = Service()
    for path in ("/schema.json", "/readyz", "/vae_encode"):
        busy.answer(path, 503, b'{"error": "busy"}')
    drip = Service()
    drip.answer("/schema.json", 200, schema({"vae_encode": "/vae_encode"}, params=("image", "vae")))
    drip.answer("/vae_encode", 200, b'{"samples": "' + b"x" * 200 + b'"}', drip=0.5)
    return [
        ("401 on every path", refused, 30, 1800),
        ("503 on every path, 30 s readiness budget", busy, 30, 1800),
        ("answer drip-fed one byte per 0.5 s, request timeout 2 s", drip, 30, 2),
    ]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args(argv)
    import logging
    logging.getLogger().addHandler(logging.NullHandler())
    lines = ["# One VAE-encode node call against a failing service", "",
             "Loopback fakes in this process. Targets: 401 everywhere at most 3 requests and under 0.5 s; "
             "503 with a 30 s budget at most 60 requests and 1.5 CPU s; a drip-fed answer ends about 1 s "
             "after the request timeout at the latest. Before this change the same calls cost 70,383 "
             "requests and 24 CPU s (401), 2,824 requests per 5 s (503) and 20 s (drip, timeout 2 s).", "",
             "| scenario | requests | wall s | thread CPU s | process CPU s | outcome |",
             "|---|---:|---:|---:|---:|---|"]
    for title, service, ready, timeout in scenarios():
        try:
            count, wall, thread, cpu, outcome = one_call(service, ready, timeout)
        finally:
            service.stop()
        lines.append(f"| {title} | {count} | {wall:.2f} | {thread:.2f} | {cpu:.2f} | {outcome[:110]} |")
        print(lines[-1], flush=True)
    if not args.no_write:
        RESULTS.write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
