"""Small scriptable HTTP services on loopback addresses, for the request
path's misbehaving-service tests: each answers per path with a status,
headers and a body (or a redirect, a reset, a drip-fed body, a connection
closed without an answer) and records every request it receives (method,
path, headers) and how many connections it accepted."""
from __future__ import annotations

import contextlib
import json
import socket
import struct
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


# An endpoint's good answer, and the headers it goes with.
ANSWER = json.dumps({"samples": "ok"}).encode()
JSON = {"Content-Type": "application/json"}


def schema(routes: dict[str, str], params=("image",)) -> bytes:
    """A schema as the library's client reads it: endpoint name -> route, each
    taking the arguments `params` and answering a JSON object."""
    takes = {"type": "object", "properties": {name: {} for name in params}}
    return json.dumps({"routes": [
        {"name": name, "route": route, "input": takes, "output": {"type": "object"}}
        for name, route in routes.items()]}).encode()


class Answer:
    def __init__(self, status=200, body=b"{}", headers=None, drip=None, reset=False, drop=None):
        self.status, self.body, self.headers = status, body, dict(headers or {})
        self.drip, self.reset = drip, reset      # drip: seconds between single bytes
        # drop: close the connection without a byte of answer, "always" or
        # only when it already served a request ("reused", as a server does
        # with an idle connection it times out just as a request arrives).
        self.drop = drop


class Service:
    def __init__(self, host="127.0.0.1", port=0):
        self.requests: list[tuple[str, str, dict]] = []
        self.connections = 0
        self.open_sockets: list[socket.socket] = []
        self.answers: dict[str, Answer] = {}
        self.drip_finished: list[bool] = []
        service = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                super().setup()
                service.connections += 1
                service.open_sockets.append(self.connection)
                self.served = 0

            def _serve(self):
                length = int(self.headers.get("Content-Length") or 0)
                if length:
                    self.rfile.read(length)
                service.requests.append((self.command, self.path, dict(self.headers)))
                answer = service.answers.get(self.path.split("?")[0], Answer(404, b"not here"))
                self.served += 1
                if answer.drop == "always" or (answer.drop == "reused" and self.served > 1):
                    self.close_connection = True
                    return
                if answer.reset:
                    # RST instead of FIN: the client sees a reset connection.
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    self.close_connection = True
                    return
                self.send_response(answer.status)
                for name, value in answer.headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(answer.body)))
                self.end_headers()
                if answer.drip is None:
                    self.wfile.write(answer.body)
                    return
                try:
                    for i in range(len(answer.body)):
                        self.wfile.write(answer.body[i:i + 1])
                        self.wfile.flush()
                        time.sleep(answer.drip)
                    service.drip_finished.append(True)
                except OSError:
                    service.drip_finished.append(False)
                    self.close_connection = True

            do_GET = do_POST = do_PUT = _serve

        self.server = ThreadingHTTPServer((host, port), Handler)
        self.server.daemon_threads = True
        self.server.handle_error = lambda request, address: None   # clients that hang up are expected
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()

    @property
    def origin(self) -> str:
        host, port = self.server.server_address[:2]
        return f"http://{host}:{port}"

    def answer(self, path: str, *args, **kwargs) -> "Service":
        self.answers[path] = Answer(*args, **kwargs)
        return self

    def serve_schema(self, **routes) -> "Service":
        return self.answer("/schema.json", 200, schema(routes), {"Content-Type": "application/json"})

    def redirect(self, path: str, status: int, to: str) -> "Service":
        return self.answer(path, status, b"", {"Location": to})

    def paths(self) -> list[str]:
        return [path for _, path, _ in self.requests]

    @property
    def port(self) -> int:
        return self.server.server_address[1]

    def stop(self):
        """Stops listening and closes the connections kept open, as a service going down does."""
        self.server.shutdown()
        self.server.server_close()
        for sock in self.open_sockets:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)


@contextlib.contextmanager
def services(count: int = 2):
    """`count` services on distinct ports (distinct origins) of 127.0.0.1."""
    running = [Service() for _ in range(count)]
    try:
        yield running
    finally:
        for s in running:
            s.stop()
