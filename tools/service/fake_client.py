"""An in-process stand-in for bentoml's SyncHTTPClient: no network, every
call answered at once. The tests and the benchmarks install it as the
package's `SyncHTTPClient`; standard library only, so that it loads where
neither pytest nor bentoml is installed."""
from __future__ import annotations

import json
from typing import Any, Callable


class FakeClient:
    """Take a class of your own from `fake_client()`: the records and
    settings below are per class.

    Records (left empty with `record = False`, for memory measurements):
    `built` (url, keyword arguments) per client opened, `calls` (endpoint,
    keyword arguments) per call, `instances` every client opened, each with
    its own `events`: "init", "enter", ("call", endpoint, kwargs),
    ("exit", exception type or None).

    Behaviour: a call answers `answers[endpoint]`, else `answer` (a callable
    makes the answer anew; an exception instance is raised); `error` is
    raised where `fail_on` says ("init", "enter" or "call"); `json_only`
    refuses, as the library does, arguments JSON cannot hold; `suppress`
    makes `__exit__` swallow the exception. Hooks: `on_build(url, kwargs)`
    runs first when a client is opened (it may raise); with `delegate`, a
    callable `(url, **kwargs)` giving a real client, that client does the
    work and this one only records."""

    built: list = []
    calls: list = []
    instances: list = []
    answers: dict = {}
    answer: Any = None
    error: BaseException | None = None
    fail_on = "call"
    record = True
    json_only = False
    suppress = False
    on_build: Callable[[str, dict], Any] | None = None
    delegate: Callable[..., Any] | None = None

    def __init__(self, url, **kwargs):
        cls = type(self)
        self.url, self.kwargs, self.events = url, kwargs, ["init"]
        if cls.record:
            cls.built.append((url, kwargs))
            cls.instances.append(self)
        if cls.on_build is not None:
            cls.on_build(url, kwargs)
        if cls.fail_on == "init" and cls.error is not None:
            _raise(cls.error)
        self.inner = cls.delegate(url, **kwargs) if cls.delegate is not None else None

    def __enter__(self):
        self.events.append("enter")
        if self.fail_on == "enter" and self.error is not None:
            _raise(self.error)
        if self.inner is not None:
            self.inner.__enter__()
        return self

    def __exit__(self, *exc):
        self.events.append(("exit", exc[0]))
        if self.inner is not None:
            return self.inner.__exit__(*exc)
        return self.suppress

    def call(self, name, **kwargs):
        cls = type(self)
        if cls.record:
            self.events.append(("call", name, kwargs))
            cls.calls.append((name, kwargs))
        if cls.json_only:
            json.dumps(kwargs)
        if cls.fail_on == "call" and cls.error is not None:
            _raise(cls.error)
        if self.inner is not None:
            return self.inner.call(name, **kwargs)
        answer = cls.answers.get(name, cls.answer)
        if isinstance(answer, BaseException):
            _raise(answer)
        return answer() if callable(answer) else answer

    @classmethod
    def tokens(cls):
        """The key each client was opened with, in order."""
        return [kwargs.get("token") for _, kwargs in cls.built]


def _raise(error: BaseException):
    # The same exception raised again would keep every earlier traceback (and
    # the frames and arguments it holds): each raise starts a fresh one.
    raise error.with_traceback(None)


def fake_client(answers: dict | None = None, **settings) -> type[FakeClient]:
    """A FakeClient class with records of its own; `settings` set its class
    attributes (`answer`, `error`, `fail_on`, `record`, hooks...)."""
    attrs = {"built": [], "calls": [], "instances": [], "answers": dict(answers or {})}
    return type("Client", (FakeClient,), {**attrs, **settings})
