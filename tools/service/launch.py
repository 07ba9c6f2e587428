"""Starting the stand-in service and waiting until it answers: the one place
for it, used by `python -m tools.service`, the tests, the benchmarks and the
scripts. Standard library only: the tests' conftest imports this under
interpreters that have neither bentoml nor torch."""
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

ROOT = Path(__file__).resolve().parents[2]
READY_TIMEOUT = 120.0
STOP_GRACE = 30.0


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def is_ready(url: str, cafile: str | None = None) -> bool:
    context = ssl.create_default_context(cafile=cafile) if cafile else None
    try:
        with urllib.request.urlopen(url + "/readyz", timeout=2, context=context) as resp:
            return resp.status == 200
    except (urllib.error.URLError, OSError):
        return False


def wait_ready(url: str, process: subprocess.Popen, timeout: float, cafile: str | None = None,
               stop_waiting=lambda: False) -> bool:
    """Polls /readyz until it answers; False when `process` exits, `timeout`
    seconds pass or stop_waiting() says so first."""
    deadline = time.monotonic() + timeout
    while process.poll() is None and not stop_waiting():
        if is_ready(url, cafile):
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return False


@dataclasses.dataclass
class StandIn:
    url: str
    key: str
    process: subprocess.Popen
    log_path: Path
    temporary_log: bool = True

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")

    def stop(self, remove_log: bool = True) -> None:
        """SIGTERM to the launcher (it stops bentoml), then make sure nothing of
        the process group it leads is left behind. A temporary log goes too,
        unless remove_log is false."""
        proc = self.process
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(timeout=STOP_GRACE)
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        if remove_log and self.temporary_log:
            self.log_path.unlink(missing_ok=True)


def start_standin(key: str = "", fault: str = "none", env: dict | None = None,
                  ready_timeout: float = READY_TIMEOUT, tls: tuple[str, str] | None = None,
                  port: int | None = None, log_path: Path | None = None) -> StandIn:
    """One stand-in service on loopback (a free port unless `port` is given),
    ready to answer.

    `key` empty means no bearer check. `fault` is VORNA_STANDIN_FAULT; `env`
    adds or overrides other VORNA_STANDIN_* variables (see tools/service/README.md).
    `tls` = (certificate file, key file) serves HTTPS. The service's output
    goes to `log_path` (appended, kept) or to a temporary file removed at
    stop. Call .stop() when done, or use running_standin().
    """
    tls_args = ["--ssl-certfile", tls[0], "--ssl-keyfile", tls[1]] if tls else []
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("VORNA_STANDIN_")}
    child_env.update(BENTOML_DO_NOT_TRACK="true", VORNA_STANDIN_API_KEY=key,
                     VORNA_STANDIN_FAULT=fault, PYTHONUNBUFFERED="1")
    child_env.update(env or {})
    attempts = 1 if port else 3  # a port found free can be taken before bentoml binds it
    for attempt in range(attempts):
        use_port = port or free_port()
        url = f"{'https' if tls else 'http'}://127.0.0.1:{use_port}"
        if log_path is None:
            fd, name = tempfile.mkstemp(prefix=f"standin-{use_port}-", suffix=".log")
            log, path = os.fdopen(fd, "wb"), Path(name)
        else:
            log, path = open(log_path, "ab"), Path(log_path)
        with log:
            proc = subprocess.Popen(
                [sys.executable, "-m", "tools.service", "--host", "127.0.0.1", "--port", str(use_port),
                 "--ready-timeout", str(ready_timeout), *tls_args],
                cwd=ROOT, env=child_env, stdout=log, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL, start_new_session=True)
        server = StandIn(url=url, key=key, process=proc, log_path=path, temporary_log=log_path is None)
        started = time.monotonic()
        if wait_ready(url, proc, ready_timeout, tls[0] if tls else None):
            return server
        server.stop(remove_log=False)
        tail = server.log()[-4000:]
        server.stop()
        if time.monotonic() - started >= ready_timeout or attempt == attempts - 1:
            raise RuntimeError(f"stand-in service on {url} did not become ready:\n{tail}")
    raise AssertionError("unreachable")


@contextlib.contextmanager
def running_standin(**kwargs):
    server = start_standin(**kwargs)
    try:
        yield server
    finally:
        server.stop()
