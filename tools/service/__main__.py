"""python -m tools.service --port PORT [--host 127.0.0.1] [--ssl-certfile CERT --ssl-keyfile KEY]
python -m tools.service [--log FILE] -- COMMAND [ARG ...]

The first form runs ``bentoml serve tools.service.standin:StandIn`` as a child,
prints the URL once /readyz answers, and blocks. SIGTERM or SIGINT stops the
child and exits.

The second starts the service on a free loopback port with a key of its own,
runs COMMAND with VORNA_API_BASE_URL and VORNA_API_KEY naming them (the key
stays in the environment, never on a command line or in a file), stops the
service and exits with COMMAND's status.
"""

from __future__ import annotations

import argparse
import os
import secrets
import signal
import subprocess
import sys
import time

from .launch import ROOT, running_standin, wait_ready

STOP_GRACE = 20.0


def serve(args) -> int:
    tls = []
    if args.ssl_certfile:
        tls = ["--ssl-certfile", args.ssl_certfile, "--ssl-keyfile", args.ssl_keyfile or args.ssl_certfile]

    env = dict(os.environ, BENTOML_DO_NOT_TRACK="true")
    child = subprocess.Popen(
        [sys.executable, "-m", "bentoml", "serve", "tools.service.standin:StandIn",
         "--host", args.host, "--port", str(args.port), "--working-dir", str(ROOT), *tls],
        env=env, cwd=ROOT)

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
    if wait_ready(url, child, args.ready_timeout, args.ssl_certfile, lambda: stopping):
        print(f"stand-in service ready at {url}", flush=True)
    elif not stopping and child.poll() is None:
        print(f"stand-in service not ready after {args.ready_timeout:.0f} s", file=sys.stderr)
        gave_up = True
        stop(None, None)

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


def run_command(command: list[str], args) -> int:
    key = secrets.token_urlsafe(32)
    with running_standin(key=key, ready_timeout=args.ready_timeout, log_path=args.log) as server:
        return subprocess.call(command, env=dict(os.environ, VORNA_API_BASE_URL=server.url, VORNA_API_KEY=key))


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    command = argv[argv.index("--") + 1:] if "--" in argv else []
    options = argv[:argv.index("--")] if "--" in argv else argv
    parser = argparse.ArgumentParser(prog="python -m tools.service",
                                     description="Start the stand-in inference service.")
    parser.add_argument("--port", type=int, help="serve on this port (required without a command)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--ready-timeout", type=float, default=120.0,
                        help="seconds to wait for /readyz before giving up")
    parser.add_argument("--ssl-certfile", help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--ssl-keyfile", help="the certificate's private key (PEM)")
    parser.add_argument("--log", help="with a command: append the service's output to this file")
    args = parser.parse_args(options)
    if command:
        return run_command(command, args)
    if args.port is None:
        parser.error("--port is required without a command")
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
