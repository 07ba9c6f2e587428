"""Small scriptable HTTP services on loopback addresses, for the request
path's misbehaving-service tests and benchmarks: each answers per path with a status,
headers and a body (or a redirect, a reset, a drip-fed body, a connection
closed without an answer, bytes past the declared body) and records every
request it receives (method, path, headers) and how many connections it
accepted. A request is recorded once its body was read whole."""
from __future__ import annotations

import contextlib
import http.client
import json
import socket
import struct
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


# An endpoint's good answer, and the headers it goes with.
ANSWER = json.dumps({"samples": "ok"}).encode()
JSON = {"Content-Type": "application/json"}


def schema(routes: dict[str, str], params=("image",), takes=None, gives=None) -> bytes:
    """A schema as the library's client reads it: endpoint name -> route, each
    taking the arguments `params` (or the input schema `takes`) and answering
    a JSON object (or what the output schema `gives` declares)."""
    takes = takes or {"type": "object", "properties": {name: {} for name in params}}
    return json.dumps({"routes": [
        {"name": name, "route": route, "input": takes, "output": gives or {"type": "object"}}
        for name, route in routes.items()]}).encode()


class Answer:
    def __init__(self, status=200, body=b"{}", headers=None, drip=None, reset=False, drop=None, hold=None,
                 close_after=False, slow_read=None, repeat=1, chunked=False, trailing=b""):
        self.status, self.body, self.headers = status, body, dict(headers or {})
        self.drip, self.reset = drip, reset      # drip: seconds between single bytes
        # drop: close the connection without a byte of answer, "always" or
        # only when it already served a request ("reused": it read the
        # request, then the connection was lost).
        self.drop = drop
        self.hold = hold                  # a threading.Event awaited (at most 60 s) before answering
        self.close_after = close_after    # close the connection after answering, without saying so
        self.slow_read = slow_read        # read the request body 16 KiB at a time, this many seconds apart
        # The body sent `repeat` times over, with its length or chunked without
        # one: a chunk per repetition, or (chunked=N) in chunks of N bytes.
        self.repeat, self.chunked = repeat, chunked
        # Bytes written after the body its headers declare, as a service
        # trying to plant the next answer on a kept connection would.
        self.trailing = trailing


class _Server(ThreadingHTTPServer):
    request_queue_size = 256      # many calls at once are no reason to refuse connections


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
                answer = service.answers.get(self.path.split("?")[0], Answer(404, b"not here"))
                length = int(self.headers.get("Content-Length") or 0)
                while length > 0:
                    part = self.rfile.read(min(length, 16384 if answer.slow_read else length))
                    if not part:
                        self.close_connection = True
                        return        # the client gave up on the request
                    length -= len(part)
                    if answer.slow_read:
                        time.sleep(answer.slow_read)
                service.requests.append((self.command, self.path, dict(self.headers)))
                if answer.hold is not None:
                    answer.hold.wait(60)
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
                if answer.chunked:
                    self.send_header("Transfer-Encoding", "chunked")
                else:
                    self.send_header("Content-Length", str(len(answer.body) * answer.repeat))
                self.end_headers()
                self.close_connection = answer.close_after
                if answer.drip is None:
                    frame = answer.body
                    if answer.chunked is True:
                        frame = b"%x\r\n%s\r\n" % (len(frame), frame)
                    elif answer.chunked:
                        frame = b"".join(b"%x\r\n%s\r\n" % (len(piece), piece) for piece in
                                         (frame[i:i + answer.chunked] for i in range(0, len(frame), answer.chunked)))
                    # Repetitions go out in writes of about 64 KiB: many small
                    # chunks cost the service no more than one large one.
                    batch = max(1, (1 << 16) // max(len(frame), 1))
                    # The end goes out with the last of the body, so that a client
                    # reading the body also reads what follows it.
                    end = (b"0\r\n\r\n" if answer.chunked else b"") + answer.trailing
                    try:
                        for done in range(0, answer.repeat, batch):
                            last = done + batch >= answer.repeat
                            self.wfile.write(frame * min(batch, answer.repeat - done) + (end if last else b""))
                    except OSError:
                        self.close_connection = True
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

        self.server = _Server((host, port), Handler)
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

    def serve_schema(self, takes=None, gives=None, params=("image",), **routes) -> "Service":
        return self.answer("/schema.json", 200, schema(routes, params, takes=takes, gives=gives),
                           {"Content-Type": "application/json"})

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


class ForwardProxy:
    """An HTTP forward proxy on 127.0.0.1 for plain http:// services: records
    each request it forwards (method, absolute URL, headers, the
    Proxy-Authorization among them) in `requests`, and relays the answer."""

    def __init__(self):
        self.requests: list[tuple[str, str, dict]] = []
        proxy = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _forward(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                proxy.requests.append((self.command, self.path, dict(self.headers)))
                target = urllib.parse.urlsplit(self.path)
                headers = {k: v for k, v in self.headers.items() if not k.lower().startswith("proxy-")}
                upstream = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=60)
                try:
                    upstream.request(self.command, target.path + (f"?{target.query}" if target.query else ""),
                                     body=body, headers=headers)
                    answer = upstream.getresponse()
                    data = answer.read()
                finally:
                    upstream.close()
                self.send_response(answer.status)
                for name, value in answer.getheaders():
                    if name.lower() not in ("content-length", "transfer-encoding", "connection"):
                        self.send_header(name, value)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            do_GET = do_POST = _forward

        self.server = _Server(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.server.handle_error = lambda request, address: None
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    @property
    def address(self) -> str:
        """"127.0.0.1:PORT", as a proxy setting names it."""
        return "%s:%d" % self.server.server_address[:2]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


@contextlib.contextmanager
def services(count: int = 2):
    """`count` services on distinct ports (distinct origins) of 127.0.0.1."""
    running = [Service() for _ in range(count)]
    try:
        yield running
    finally:
        for s in running:
            s.stop()
