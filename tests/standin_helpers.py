"""Start and stop stand-in services for tests (standard library only: the
conftest that imports this also runs under interpreters without bentoml)."""
from __future__ import annotations

import contextlib
import dataclasses
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
READY_TIMEOUT = 120.0
STOP_GRACE = 30.0


@dataclasses.dataclass
class StandIn:
    url: str
    key: str
    process: subprocess.Popen
    log_path: Path

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")

    def stop(self, remove_log: bool = True) -> None:
        """SIGTERM to the launcher (it stops bentoml), then make sure nothing of
        the process group it leads is left behind."""
        proc = self.process
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=STOP_GRACE)
            except subprocess.TimeoutExpired:
                pass
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        if remove_log:
            self.log_path.unlink(missing_ok=True)


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _ready(url: str, cafile: str | None = None) -> bool:
    context = ssl.create_default_context(cafile=cafile) if cafile else None
    try:
        with urllib.request.urlopen(url + "/readyz", timeout=2, context=context) as resp:
            return resp.status == 200
    except (urllib.error.URLError, OSError):
        return False


def start_standin(key: str = "", fault: str = "none", env: dict | None = None,
                  ready_timeout: float = READY_TIMEOUT, tls: tuple[str, str] | None = None) -> StandIn:
    """One stand-in service on a free loopback port, ready to answer.

    `key` empty means no bearer check. `fault` is VORNA_STANDIN_FAULT; `env`
    adds or overrides other VORNA_STANDIN_* variables (see service/README.md).
    `tls` = (certificate file, key file) serves HTTPS. Call .stop() when
    done, or use running_standin().
    """
    tls_args = ["--ssl-certfile", tls[0], "--ssl-keyfile", tls[1]] if tls else []
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("VORNA_STANDIN_")}
    child_env.update(BENTOML_DO_NOT_TRACK="true", VORNA_STANDIN_API_KEY=key,
                     VORNA_STANDIN_FAULT=fault, PYTHONUNBUFFERED="1")
    child_env.update(env or {})
    attempts = 3  # a port found free can be taken before bentoml binds it
    for attempt in range(attempts):
        port = free_port()
        url = f"{'https' if tls else 'http'}://127.0.0.1:{port}"
        fd, log_name = tempfile.mkstemp(prefix=f"standin-{port}-", suffix=".log")
        with os.fdopen(fd, "wb") as log:
            proc = subprocess.Popen(
                [sys.executable, "-m", "service", "--host", "127.0.0.1", "--port", str(port),
                 "--ready-timeout", str(ready_timeout), *tls_args],
                cwd=ROOT, env=child_env, stdout=log, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL, start_new_session=True)
        server = StandIn(url=url, key=key, process=proc, log_path=Path(log_name))
        deadline = time.monotonic() + ready_timeout
        while proc.poll() is None and time.monotonic() < deadline:
            if _ready(url, tls[0] if tls else None):
                return server
            time.sleep(0.2)
        server.stop(remove_log=False)
        tail = server.log()[-4000:]
        server.log_path.unlink(missing_ok=True)
        if time.monotonic() >= deadline or attempt == attempts - 1:
            raise RuntimeError(f"stand-in service on {url} did not become ready:\n{tail}")
    raise AssertionError("unreachable")


@contextlib.contextmanager
def running_standin(**kwargs):
    server = start_standin(**kwargs)
    try:
        yield server
    finally:
        server.stop()
