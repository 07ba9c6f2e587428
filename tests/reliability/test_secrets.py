"""The API key stays secret whatever fails: never in a log record (at any
level, from any library), a repr, an exception's text or arguments (the whole
chain), or a file written while the nodes run. The fault matrix
(test_faults.py) scans every service fault the same way."""
from __future__ import annotations

import json
import logging
import os
import secrets
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tests.support import PACKAGE, ROOT, module
from tests.support.nodes import NODES, NODE_IDS
from tests.support.reliability import bounded, texts_of_exception, texts_of_records
from tools.service.launch import free_port

torch = pytest.importorskip("torch")


def distinctive():
    return "vornaSECRET" + secrets.token_hex(12)


def leaks(key, texts):
    return [t for t in texts if key in t]


@pytest.fixture
def config():
    cfg = module("config")
    yield cfg
    cfg.set_api_key(None)


def test_config_records_never_show_the_key(config):
    key = distinctive()
    config.set_api_key(key)
    records = [config.get_config(), config.Config(api_base_url="u", api_key=key, request_timeout=1, api_retry=0)]
    for cls_module in ("base", "clip_loader"):
        for value in vars(module(cls_module)).values():
            if isinstance(value, type) and isinstance(getattr(value, "cfg", None), config.Config):
                records.append(value.cfg)
    for record in records:
        for text in (repr(record), str(record), f"{record}", f"{record!r}", repr([record]), repr({"c": record})):
            assert record.api_key not in text or not record.api_key, text
    assert config.get_config().api_key == key      # still there, just not shown


# ---------------------------------------------------------------------------
# Every failure the request path can meet, with a fake client

FAILURES = {
    "construction": ("init", ConnectionError("connection refused")),
    "enter": ("enter", RuntimeError("cannot enter")),
    "call": ("call", TimeoutError("read timed out")),
    "answer": (None, None),     # a bad answer: each node fails in its own way
}


@pytest.mark.parametrize("where", list(FAILURES))
@pytest.mark.parametrize("case", NODES, ids=NODE_IDS)
def test_failures_never_carry_the_key(case, where, config, client, caplog):
    key = distinctive()
    config.set_api_key(key)
    stage, error = FAILURES[where]
    client.fail_on, client.error = stage, error
    client.answer = {"samples": "bad!", "conditioning": [{"__tensor__": "bad!"}], "image_binary": "bad!"}
    caplog.set_level(logging.DEBUG)
    node = case.node_class()()
    with pytest.raises(Exception) as info:
        case.call(node)
    assert client.tokens() == [key]              # the key did reach the client
    texts = texts_of_exception(info.value) + texts_of_records(caplog.records)
    assert not leaks(key, texts)


# ---------------------------------------------------------------------------
# A key the HTTP layer refuses. Its own error texts quote the whole header
# ("Illegal header value b'Bearer <key>\n'"), so the request path refuses such
# a key itself, with a message that names only what is wrong.

BAD_HEADER_KEYS = {
    "trailing newline": ("\n", "a line break"),        # a key file or variable read without stripping
    "crlf": ("\r\n", "a line break"),                  # a Windows-edited key file
    "nul": ("\x00", "a control character"),
    "delete": ("\x7f", "a control character"),
    "non-ascii": ("é", "a non-ASCII character"),
    "trailing blank": (" ", "blanks at its start or end"),
}


@pytest.mark.standin
@pytest.mark.parametrize("suffix,problem", list(BAD_HEADER_KEYS.values()), ids=list(BAD_HEADER_KEYS))
@pytest.mark.parametrize("case", NODES, ids=NODE_IDS)
def test_key_that_cannot_be_a_header_does_not_leak(case, suffix, problem, standin, config, caplog):
    key = distinctive()
    config.set_api_key(key + suffix)
    node = case.node_class()()
    node.BASE_URL = standin.url
    node.SERVER_READY_TIMEOUT = 10
    node.REQUEST_TIMEOUT = 10
    caplog.set_level(logging.DEBUG)
    _, error, _, _ = bounded(lambda: case.call(node), 60)
    assert error is not None
    assert "the API key cannot be sent in an HTTP header: it holds " + problem in str(error)
    texts = texts_of_exception(error) + texts_of_records(caplog.records)
    found = leaks(key, texts)
    assert not found, found[0][:200]


def test_refused_key_is_logged_once_and_never_reaches_a_client(config, client, caplog):
    base = module("base")
    config.set_api_key(distinctive() + "\n")
    caplog.set_level(logging.DEBUG)
    with pytest.raises(ValueError, match="^the API key cannot be sent in an HTTP header: it holds a line break$"):
        base.BaseNode().send_request("vae_decode", {})
    assert client.built == []
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("ERROR", "send request failed: the API key cannot be sent in an HTTP header: it holds a line break")]


def test_keys_the_header_layer_accepts_still_go_through(config, client):
    base = module("base")
    client.answer = "ok"
    for key in (None, "", "sk-abc_DEF.123~+/=", "a\tb", "inner blank"):
        config.set_api_key(key)
        assert base.BaseNode().send_request("vae_decode", {}) == "ok"
    assert client.tokens()[1:] == ["", "sk-abc_DEF.123~+/=", "a\tb", "inner blank"]


# ---------------------------------------------------------------------------
# A host process at DEBUG logging into a file: every failure, then a scan of
# the log and of every file written under the home, temporary and working
# directories.

CHILD = textwrap.dedent("""
    import json, logging, os, sys
    logging.basicConfig(filename=os.environ["CHILD_LOG"], level=logging.DEBUG,
                        format="%(name)s %(levelname)s %(message)s")
    import torch
    import {pkg}.config as config
    from {pkg}.clip_loader import VornaCLIPTextEncode, VornaCLIPLoader
    from {pkg}.ksampler import VornaKSampler
    from {pkg}.vae_decode import VornaVAEDecode
    from {pkg}.vae_encode import VornaVAEEncode
    from {pkg}.vae_loader import VornaVAELoader
    from {pkg}.unet_loader import VornaUNetLoader

    clip = VornaCLIPLoader().load_clip("c", "qwen_image")[0]
    vae = VornaVAELoader().load_vae("v")[0]
    unet = VornaUNetLoader().load_unet("u", "default")[0]
    latent = {{"samples": torch.zeros(1, 16, 1, 4, 4)}}
    calls = [
        lambda n: n.encode(clip, "a cat"),
        lambda n: n.sample(unet, [[torch.ones(1, 2, 3), {{}}]], [[torch.ones(1, 2, 3), {{}}]], latent, 1, 2, 1.0,
                           "euler", "normal", 1.0),
        lambda n: n.decode(latent, vae),
        lambda n: n.encode(torch.rand(1, 16, 16, 3), vae),
    ]
    classes = [VornaCLIPTextEncode, VornaKSampler, VornaVAEDecode, VornaVAEEncode]
    outcomes = []
    for url in (os.environ["GOOD_URL"], os.environ["DEAD_URL"]):
        for dynamic in (None, os.environ["DYNAMIC_KEY"]):
            config.set_api_key(dynamic)
            for cls, call in zip(classes, calls):
                node = cls()
                node.BASE_URL, node.SERVER_READY_TIMEOUT, node.REQUEST_TIMEOUT = url, 2, 10
                try:
                    call(node)
                    outcomes.append("ok")
                except Exception as e:
                    outcomes.append(type(e).__name__)
                    logging.getLogger("host").exception("node failed")   # as a host would, with traceback
    print(json.dumps(outcomes))
""")


@pytest.mark.standin
def test_nothing_written_carries_the_key(standin, tmp_path):
    env_key, dynamic_key = distinctive(), distinctive()
    dirs = {name: tmp_path / name for name in ("home", "tmp", "cwd")}
    for d in dirs.values():
        d.mkdir()
    log = dirs["tmp"] / "host.log"
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORNA_")}
    env.update(HOME=str(dirs["home"]), TMPDIR=str(dirs["tmp"]), VORNA_API_KEY=env_key,
               VORNA_API_BASE_URL=standin.url, CHILD_LOG=str(log), GOOD_URL=standin.url,
               DEAD_URL=f"http://127.0.0.1:{free_port()}", DYNAMIC_KEY=dynamic_key,
               BENTOML_DO_NOT_TRACK="true", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", CHILD.format(pkg=PACKAGE)], cwd=dirs["cwd"], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcomes = json.loads(proc.stdout.strip().splitlines()[-1])
    # Both keys are wrong for the service (401) and the second address is dead.
    assert outcomes and "ok" not in outcomes, outcomes
    assert log.stat().st_size > 0
    for stream in (proc.stdout, proc.stderr):
        assert env_key not in stream and dynamic_key not in stream
    written = [p for d in dirs.values() for p in d.rglob("*") if p.is_file()]
    for path in written:
        data = path.read_bytes()
        for key in (env_key, dynamic_key):
            assert key.encode() not in data, f"the key is in {path.relative_to(tmp_path)}"
    # The package writes no file of its own.
    assert not [p for p in dirs["cwd"].rglob("*")], list(dirs["cwd"].rglob("*"))
