"""python -m service --port PORT [--host 127.0.0.1] [--ssl-certfile CERT --ssl-keyfile KEY]

Runs ``bentoml serve service.standin:StandIn`` as a child, prints the URL once
/readyz answers, and blocks. SIGTERM or SIGINT stops the child and exits.
"""

from __future__ import annotations

import argparse
import os
import signal
import ssl
import subprocess
import sys
import time
import urllib.error
import urllib.request

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STOP_GRACE = 20.0


def _ready(url: str, cafile: str | None = None) -> bool:
    context = ssl.create_default_context(cafile=cafile) if cafile else None
    try:
        with urllib.request.urlopen(url + "/readyz", timeout=2, context=context) as resp:
            return resp.status == 200
    except (urllib.error.URLError, OSError):
        return False


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m service",
                                     description="Start the stand-in inference service.")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--ready-timeout", type=float, default=120.0,
                        help="seconds to wait for /readyz before giving up")
    parser.add_argument("--ssl-certfile", help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--ssl-keyfile", help="the certificate's private key (PEM)")
    args = parser.parse_args(argv)
    tls = []
    if args.ssl_certfile:
        tls = ["--ssl-certfile", args.ssl_certfile, "--ssl-keyfile", args.ssl_keyfile or args.ssl_certfile]

    env = dict(os.environ, BENTOML_DO_NOT_TRACK="true")
    child = subprocess.Popen(
        [sys.executable, "-m", "bentoml", "serve", "service.standin:StandIn",
         "--host", args.host, "--port", str(args.port), "--working-dir", REPO_ROOT, *tls],
        env=env, cwd=REPO_ROOT)

    stopping = False
    gave_up = False

    def stop(signum, _frame):
        nonlocal stopping
        stopping = True
        if child.poll() is None:
            child.send_signal(signal.SIGTERM)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    url = f"{'https' if tls else 'http'}://{args.host}:{args.port}"
    deadline = time.monotonic() + args.ready_timeout
    while not stopping and child.poll() is None and not _ready(url, args.ssl_certfile):
        if time.monotonic() > deadline:
            print(f"stand-in service not ready after {args.ready_timeout:.0f} s",
                  file=sys.stderr)
            gave_up = True
            stop(None, None)
            break
        time.sleep(0.2)
    else:
        if child.poll() is None and not stopping:
            print(f"stand-in service ready at {url}", flush=True)

    stop_started = None
    while True:
        try:
            rc = child.wait(timeout=0.5)
            break
        except subprocess.TimeoutExpired:
            if not stopping:
                continue
            if stop_started is None:
                stop_started = time.monotonic()
            elif time.monotonic() - stop_started > STOP_GRACE:
                child.kill()
    if gave_up:
        return 1
    return 0 if stopping else rc


if __name__ == "__main__":
    sys.exit(main())
