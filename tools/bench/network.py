"""Node calls over a simulated network: the stand-in service on TLS (a
self-signed certificate made for the run, trusted through SSL_CERT_FILE)
behind a latency proxy that delays every chunk by half the round-trip time
(and the first chunk of a connection by one more round trip, its TCP
handshake). The package's `send_request` with kept clients, the same with
a client per request (VORNA_REUSE_CONNECTIONS=0), and the floor: one httpx
client kept, one POST of the same body.

    .venv/bin/python -m tools.bench.network              # updates its section of tools/bench/results.md
    .venv/bin/python -m tools.bench.network --no-write --rounds 5
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import secrets
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from .measure import ROOT, interleaved, median

RESULTS = ROOT / "tools" / "bench" / "results.md"
TITLE = "5. Node calls over a simulated network (TLS, latency proxy)"
RTTS_MS = (0, 20, 50, 100)


# ---- the latency proxy --------------------------------------------------------------

class LatencyProxy:
    """A TCP proxy on 127.0.0.1 in a thread of its own. Every chunk goes on
    `rtt / 2` seconds after it arrived, in order; the first chunk from the
    client waits one round trip more (the TCP handshake a real connection
    costs before it can send). Counts connections and those that begin
    with a TLS ClientHello."""

    def __init__(self, target_port: int, target_host: str = "127.0.0.1"):
        self.target = (target_host, target_port)
        self.rtt = 0.0
        self.connections = 0
        self.tls_handshakes = 0
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        self._ready.wait()

    def _run(self):
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(asyncio.start_server(self._serve, "127.0.0.1", 0))
        self.port = self._server.sockets[0].getsockname()[1]
        self._ready.set()
        self._loop.run_forever()

    async def _pipe(self, reader, writer, first_extra: float, client_side: bool):
        queue: asyncio.Queue = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await queue.get()
                pause = due - self._loop.time()
                if pause > 0:
                    await asyncio.sleep(pause)
                if data is None:
                    break
                writer.write(data)
                await writer.drain()
            with contextlib.suppress(Exception):
                writer.close()

        sender = asyncio.ensure_future(deliver())
        extra = first_extra
        try:
            while True:
                data = await reader.read(65536)
                if client_side and extra and data[:1] == b"\x16" and data[5:6] == b"\x01":
                    self.tls_handshakes += 1
                queue.put_nowait((self._loop.time() + self.rtt / 2 + extra, data or None))
                extra = 0.0
                if not data:
                    break
        except (ConnectionError, OSError):
            queue.put_nowait((0.0, None))
        with contextlib.suppress(Exception):
            await sender

    async def _serve(self, client_reader, client_writer):
        self.connections += 1
        try:
            server_reader, server_writer = await asyncio.open_connection(*self.target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(self._pipe(client_reader, server_writer, self.rtt or 1e-9, True),
                             self._pipe(server_reader, client_writer, 0.0, False),
                             return_exceptions=True)

    def close(self):
        async def shut():
            self._loop.set_exception_handler(lambda loop, context: None)   # connections cut short on purpose
            self._server.close()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            self._loop.stop()

        asyncio.run_coroutine_threadsafe(shut(), self._loop)
        self._thread.join(5)


# ---- the certificate ---------------------------------------------------------------

def self_signed(folder: Path) -> tuple[str, str]:
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", str(key), "-out", str(cert), "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    return str(cert), str(key)


# ---- requests counted where they leave ------------------------------------------------

class RequestCounter:
    """Counts requests sent by any httpx client of the process."""

    def __init__(self):
        import httpx
        self.count = 0
        self._original = httpx.Client.send
        counter = self

        def send(client, request, **kwargs):
            counter.count += 1
            return counter._original(client, request, **kwargs)

        httpx.Client.send = send

    def close(self):
        import httpx
        httpx.Client.send = self._original


# ---- the measurement ---------------------------------------------------------------

def measure(rounds: int) -> dict:
    import datetime
    started = datetime.datetime.now(datetime.timezone.utc)
    load = os.getloadavg()[0]
    from tools.service.launch import running_standin

    with tempfile.TemporaryDirectory(prefix="vorna-bench-tls-") as folder:
        cert, key_file = self_signed(Path(folder))
        os.environ["SSL_CERT_FILE"] = cert          # before any client builds its SSL context
        import bentoml
        import httpx
        import vorna_comfyui_engine.base as base
        import vorna_comfyui_engine.config as config

        from .roundtrip import tiny_sampler_payload

        api_key = secrets.token_urlsafe(24)
        payload = tiny_sampler_payload()
        body = json.dumps(payload).encode()
        saved = base.SyncHTTPClient
        base.SyncHTTPClient = bentoml.SyncHTTPClient
        with running_standin(key=api_key, tls=(cert, key_file)) as server:
            proxy = LatencyProxy(int(server.url.rsplit(":", 1)[1]))
            counter = RequestCounter()
            url = f"https://127.0.0.1:{proxy.port}"
            kept, per_request = base.BaseNode(), base.BaseNode()
            for node in (kept, per_request):
                node.BASE_URL = url + "/"
            per_request.REUSE_CONNECTIONS = False
            floor_client = httpx.Client(headers={"Authorization": f"Bearer {api_key}",
                                                 "Content-Type": "application/json"})
            config.set_api_key(api_key)
            tallies: dict = {}

            def counted(name, fn):
                def run():
                    before = (counter.count, proxy.connections, proxy.tls_handshakes)
                    fn()
                    t = tallies.setdefault(name, [0, 0, 0, 0])
                    after = (counter.count, proxy.connections, proxy.tls_handshakes)
                    t[0] += 1
                    for i in range(3):
                        t[i + 1] += after[i] - before[i]
                return run

            def floor():
                resp = floor_client.post(url + "/sampler", content=body)
                resp.raise_for_status()
                return resp.json()

            try:
                first = {}
                proxy.rtt = 0.05
                for name, fn in (("package", lambda: kept.send_request("sampler", payload)), ("floor", floor)):
                    before = (counter.count, proxy.connections, proxy.tls_handshakes)
                    t0 = time.perf_counter()
                    answer = fn()
                    first[name] = (time.perf_counter() - t0,
                                   *[a - b for a, b in zip((counter.count, proxy.connections,
                                                            proxy.tls_handshakes), before)])
                    first.setdefault("answers", []).append(answer)
                if first["answers"][0] != first["answers"][1]:
                    raise AssertionError("the package and the floor got different answers")
                results = {}
                for rtt_ms in RTTS_MS:
                    proxy.rtt = rtt_ms / 1000
                    tallies.clear()
                    samples = interleaved({
                        "package": counted("package", lambda: kept.send_request("sampler", payload)),
                        "per_request": counted("per_request", lambda: per_request.send_request("sampler", payload)),
                        "floor": counted("floor", floor),
                    }, repeats=rounds, warmup=1)
                    results[rtt_ms] = {name: (median(values), [c / tallies[name][0] for c in tallies[name][1:]])
                                       for name, values in samples.items()}
                    print(f"bench: network RTT {rtt_ms} ms: " + ", ".join(
                        f"{n} {v[0] * 1000:.1f} ms" for n, v in results[rtt_ms].items()), flush=True)
            finally:
                config.set_api_key("")
                base.SyncHTTPClient = saved
                floor_client.close()
                counter.close()
                proxy.close()
        return {"results": results, "first": first, "request_bytes": len(body),
                "when": f"{started:%Y-%m-%d %H:%M} UTC, 1-minute load average {load:.2f} at start",
                "answer_bytes": len(json.dumps(first["answers"][1]))}


# ---- the table ----------------------------------------------------------------------

def section(result: dict, rounds: int) -> tuple[str, list[str]]:
    rows, verdicts = [], []
    for rtt_ms, r in result["results"].items():
        pkg, per, fl = r["package"], r["per_request"], r["floor"]
        rtt = rtt_ms / 1000

        def counts(v):
            return " / ".join(f"{c:.2f}".rstrip("0").rstrip(".") for c in v[1])

        rows.append([str(rtt_ms), f"{pkg[0] * 1000:.1f}", counts(pkg), f"{per[0] * 1000:.1f}", counts(per),
                     f"{fl[0] * 1000:.1f}", counts(fl), f"{(pkg[0] - fl[0]) * 1000:+.1f}"])
        if rtt_ms == 50:
            limit = 1.3 * rtt + 0.010
            ok = pkg[0] - fl[0] <= limit
            verdicts.append(f"network at 50 ms RTT: package {pkg[0] * 1000:.1f} ms vs floor {fl[0] * 1000:.1f} ms "
                            f"(within {limit * 1000:.0f} ms of it: {'met' if ok else 'MISSED'})")
    header = ["RTT ms", "package ms", "package req / conn / TLS", "client per request ms",
              "per request req / conn / TLS", "floor ms", "floor req / conn / TLS", "package - floor ms"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    f = result["first"]
    text = "\n".join(lines)
    text += (f"\n\nRun {result['when']}. Endpoint \"sampler\" of the stand-in on TLS (self-signed certificate made for the run, trusted "
             f"through SSL_CERT_FILE) behind a latency proxy that delays every chunk by RTT/2, and the first "
             f"chunk of a connection by one RTT more (its TCP handshake); {result['request_bytes']} bytes of "
             f"JSON out, {result['answer_bytes']} back. Medians of {rounds} interleaved rounds per RTT, after a "
             f"warm-up; per call: HTTP requests sent / new connections / TLS handshakes. *package*: "
             f"`send_request` with kept clients (the default); *client per request*: "
             f"`VORNA_REUSE_CONNECTIONS=0`; *floor*: one httpx client kept, one POST of the same body. "
             f"First call of the process at 50 ms RTT: package {f['package'][0] * 1000:.1f} ms "
             f"({f['package'][1]} requests, {f['package'][2]} connection, {f['package'][3]} TLS handshake), "
             f"floor {f['floor'][0] * 1000:.1f} ms. Target: at 50 ms RTT, a package call within "
             f"1.3 RTT + 10 ms of the floor in steady state.")
    return text, verdicts


def write_section(text: str, path: Path = RESULTS) -> None:
    """Replaces this section in the results file (or adds it before the targets)."""
    old = path.read_text() if path.exists() else "# Benchmark results\n"
    block = f"## {TITLE}\n\n{text}\n"
    start = old.find(f"## {TITLE}")
    if start >= 0:
        end = old.find("\n## ", start + 3)
        new = old[:start] + block + (old[end:] if end >= 0 else "")
    else:
        at = old.find("## Targets")
        new = old[:at] + block + "\n" + old[at:] if at >= 0 else old.rstrip("\n") + "\n\n" + block
    path.write_text(new)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tools.bench.network", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args(argv)
    os.environ.setdefault("BENTOML_DO_NOT_TRACK", "true")
    result = measure(args.rounds)
    text, verdicts = section(result, args.rounds)
    print(text)
    print("\n".join(verdicts))
    if not args.no_write:
        write_section(text + "\n\n" + "\n".join(f"- {v}" for v in verdicts))
        print(f"bench: wrote {RESULTS}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
