"""Configuration read at import time, and the run-time API key."""
import dataclasses
import inspect
import json
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import vorna_comfyui_engine.config as config


def read_config(env):
    """Imports the config module in a fresh interpreter under `env` (VORNA_* only)."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith("VORNA_")}
    clean.update(env)
    code = textwrap.dedent("""
        import json
        import vorna_comfyui_engine.config as c
        cfg = c.get_config()
        print(json.dumps({"url": cfg.api_base_url, "key": cfg.api_key, "timeout": cfg.request_timeout,
                          "retry": cfg.api_retry, "ready": c._SERVER_READY_TIMEOUT,
                          "max_answer": c._MAX_ANSWER_BYTES,
                          "get_key": c.get_api_key(), "headers": c.get_auth_headers()}))
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=clean, timeout=120)
    if proc.returncode:
        return proc.stderr
    return json.loads(proc.stdout)


def test_defaults_without_environment():
    out = read_config({})
    assert out["url"].startswith("https://") and out["url"].endswith("/api/v1/comfyui/")
    assert out["key"] == "" and out["get_key"] == "" and out["headers"] == {}
    assert out["timeout"] == 1800 and out["retry"] == 3 and out["ready"] == 30
    assert out["max_answer"] == 1 << 30


@pytest.mark.parametrize("env, field, expected", [
    ({"VORNA_REQUEST_TIMEOUT": "60"}, "timeout", 60),
    ({"VORNA_REQUEST_TIMEOUT": " 60 "}, "timeout", 60),
    ({"VORNA_REQUEST_TIMEOUT": "-5"}, "timeout", -5),
    ({"VORNA_API_RETRY": "+0"}, "retry", 0),
    ({"VORNA_API_BASE_URL": ""}, "url", ""),
    ({"VORNA_API_BASE_URL": " http://h/x "}, "url", " http://h/x "),
    ({"VORNA_SERVER_READY_TIMEOUT": "5"}, "ready", 5),
    ({"VORNA_MAX_ANSWER_BYTES": "268435456"}, "max_answer", 268435456),
    ({"VORNA_API_KEY": "env-key"}, "headers", {"Authorization": "Bearer env-key"}),
])
def test_values_are_taken_as_read(env, field, expected):
    assert read_config(env)[field] == expected


@pytest.mark.parametrize("env", [{"VORNA_REQUEST_TIMEOUT": ""}, {"VORNA_REQUEST_TIMEOUT": "1.5"},
                                 {"VORNA_API_RETRY": "three"}, {"VORNA_SERVER_READY_TIMEOUT": "x"},
                                 {"VORNA_MAX_ANSWER_BYTES": "1GiB"}])
def test_unconvertible_numbers_fail_the_import(env):
    err = read_config(env)
    assert isinstance(err, str) and "ValueError" in err


@pytest.fixture
def clean_key():
    config.set_api_key(None)
    yield
    config.set_api_key(None)


def test_runtime_key_overrides_and_clears(clean_key):
    base = config._CONFIG
    config.set_api_key("run-key")
    assert config.get_api_key() == "run-key"
    cfg = config.get_config()
    assert cfg.api_key == "run-key"
    assert (cfg.api_base_url, cfg.request_timeout, cfg.api_retry) == (
        base.api_base_url, base.request_timeout, base.api_retry)
    assert config.get_auth_headers() == {"Authorization": "Bearer run-key"}
    for cleared in ("", None, 0, []):
        config.set_api_key("x")
        assert config.set_api_key(cleared) is None
        assert config._dynamic_api_key is None
        assert config.get_api_key() == base.api_key
    # A true non-text key is kept as given and formatted into the header.
    config.set_api_key(12345)
    assert config.get_api_key() == 12345
    assert config.get_auth_headers() == {"Authorization": "Bearer 12345"}


def test_a_contexts_own_key_comes_first_there_only(clean_key):
    import contextvars
    config.set_api_key("run-key")

    def inside(key):
        config._prompt_api_key.set(key)
        return config.get_api_key(), config.get_config().api_key, config.get_auth_headers()

    assert contextvars.copy_context().run(inside, "prompt-key") == (
        "prompt-key", "prompt-key", {"Authorization": "Bearer prompt-key"})
    # The empty text is a key of its own too: none is sent, not the run-time key.
    assert contextvars.copy_context().run(inside, "") == ("", "", {})
    assert config.get_api_key() == "run-key" and config._prompt_api_key.get() is None
    assert "prompt-key" not in repr(config._prompt_api_key)


class RaisesInPython:
    def __bool__(self):
        raise RuntimeError("no truth")


class RaisesInC:
    # The error comes from C code with no Python frame, so it has no traceback
    # yet (like an array's "truth value is ambiguous").
    __bool__ = int.__bool__


@pytest.mark.parametrize("bad,error", [(RaisesInPython, RuntimeError), (RaisesInC, TypeError)])
def test_failing_truth_test_keeps_old_key_and_releases_lock(clean_key, bad, error):
    config.set_api_key("kept")
    with pytest.raises(error):
        config.set_api_key(bad())
    free = config._api_key_lock.acquire(blocking=False)
    config._api_key_lock.release()        # a plain lock: frees it even if it leaked, so teardown cannot hang
    assert free, "the key lock was left held"
    assert config.get_api_key() == "kept"
    config.set_api_key("next")
    assert config.get_api_key() == "next"


def test_records_are_new_equal_frozen_and_hide_the_key(clean_key):
    config.set_api_key("very-secret-key")
    a, b = config.get_config(), config.get_config()
    assert a is not b and a == b and hash(a) == hash(b)
    assert a is not config._CONFIG
    with pytest.raises(dataclasses.FrozenInstanceError):
        a.api_key = "other"
    assert a.api_key == "very-secret-key"
    assert "very-secret-key" not in repr(a) and "very-secret-key" not in str(a)
    assert repr(a).startswith("Config(api_base_url=")
    fields = [(f.name, f.type) for f in dataclasses.fields(config.Config)]
    assert fields == [("api_base_url", str), ("api_key", str), ("request_timeout", int), ("api_retry", int)]
    assert config.Config("u", "k", 1, 2) == config.Config(api_base_url="u", api_key="k", request_timeout=1,
                                                           api_retry=2)


def test_module_surface_introspects_like_python():
    assert config.__annotations__ == {"_dynamic_api_key": str}
    assert type(config._api_key_lock) is type(threading.Lock())
    assert str(inspect.signature(config.set_api_key)) == "(api_key: str) -> None"
    assert inspect.signature(config.get_config).return_annotation is config.Config
    assert config.get_config.__module__ == "vorna_comfyui_engine.config"
    with pytest.raises(TypeError, match="unexpected keyword"):
        config.set_api_key(key="x")
    with pytest.raises(TypeError, match="missing"):
        config.set_api_key()


class RecordingLock:
    """Stands in for the key lock: notes the dynamic key on entering and leaving."""

    def __init__(self):
        self.events = []

    def __enter__(self):
        self.events.append(("enter", config._dynamic_api_key))

    def __exit__(self, *exc):
        self.events.append(("exit", config._dynamic_api_key))
        return False


def test_the_key_is_written_and_read_inside_the_lock(clean_key, monkeypatch):
    # The lock is a module global looked up at each call: a recording stand-in
    # sees whether the write and the read happen while it is held.
    lock = RecordingLock()
    monkeypatch.setattr(config, "_api_key_lock", lock)
    config.set_api_key("inside")
    assert lock.events == [("enter", None), ("exit", "inside")]
    lock.events.clear()
    assert config.get_api_key() == "inside"
    config.get_config(), config.get_auth_headers()
    assert lock.events == [("enter", "inside"), ("exit", "inside")] * 3
