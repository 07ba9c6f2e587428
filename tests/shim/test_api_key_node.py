"""The API key node: where it takes the key from, what it refuses, and that the
key never shows up in its output, errors, logs, workflows or pictures."""
import contextlib
import json
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image

from tests.support.host import (KEY_VARIABLE, ROOT, WORKFLOWS, live_host, need_node_modules, set_key_through_node,
                                workflow)
from tools.harness import Host, NodeExecutionError, PromptError
from tools.harness.schema import check_node

config = pytest.importorskip("vorna_comfyui_engine.config")

KEY = "vk-Secret_0123456789abcdef"


@pytest.fixture
def file_rules(request, monkeypatch):
    """How the node opens key files: "descriptors" (one name at a time from
    the directory's descriptor), or "paths", chosen where the POSIX calls are
    missing (Windows); here they are taken away before the node is loaded."""
    rules = getattr(request, "param", "descriptors")
    if rules == "paths":
        for name in ("O_NOFOLLOW", "O_DIRECTORY", "geteuid"):
            monkeypatch.delattr(os, name)
        monkeypatch.setattr(os, "supports_dir_fd", set())
    return rules


both_file_rules = pytest.mark.parametrize("file_rules", ["descriptors", "paths"], indirect=True)


@pytest.fixture
def key_host(tmp_path, file_rules):
    """A host with a folder holding only the key node, so it needs no node module."""
    folder = tmp_path / "key_only"
    folder.mkdir()
    for name in ("_engine.py", "api_key_node.py", "prompt_keys.py"):
        (folder / name).write_text((ROOT / name).read_text())
    (folder / "__init__.py").write_text("from .api_key_node import NODE_CLASS_MAPPINGS, NODE_DISPLAY_NAME_MAPPINGS\n")
    host = Host(tmp_path, tmp_path)
    host.load_custom_nodes(folder)
    yield host
    config.set_api_key(None)


@pytest.fixture
def key_node(key_host):
    cls = key_host.classes["VornaAPIClient"]
    return lambda source, name: getattr(cls(), cls.FUNCTION)(source=source, name=name)


def key_file(folder, text, mode=0o600, name="api_key"):
    path = folder / name
    path.write_text(text)
    path.chmod(mode)
    return path


@pytest.fixture
def key_dir(tmp_path, monkeypatch):
    """The key directory, named by the environment as an administrator would."""
    folder = tmp_path / "keys"
    folder.mkdir(mode=0o700)
    monkeypatch.setenv("VORNA_KEY_DIR", str(folder))
    return folder


def test_schema_is_an_output_node_with_no_place_for_the_key_itself(key_host):
    cls = key_host.classes["VornaAPIClient"]
    assert check_node("VornaAPIClient", cls) == []
    assert cls.OUTPUT_NODE is True and cls.RETURN_TYPES == ("STRING",)
    assert key_host.display_names["VornaAPIClient"] == "Vorna API Key"
    with pytest.raises(PromptError, match="'clipboard' is not one of"):
        key_host.validate({"1": {"class_type": "VornaAPIClient", "inputs": {"source": "clipboard", "name": "x"}}})


def test_key_from_environment_is_set_and_not_echoed(key_node, monkeypatch, caplog):
    caplog.set_level("DEBUG")
    monkeypatch.setenv(KEY_VARIABLE, f"  {KEY}\n")
    status, = key_node("environment", KEY_VARIABLE)
    assert config.get_api_key() == KEY
    assert config.get_auth_headers() == {"Authorization": f"Bearer {KEY}"}
    assert status == f"API key set from environment variable {KEY_VARIABLE}"
    assert all(KEY not in r.getMessage() for r in caplog.records)


@both_file_rules
def test_key_file_in_the_default_directory_by_name_or_by_path(key_node, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("VORNA_KEY_DIR", raising=False)
    folder = tmp_path / ".config" / "vorna"
    folder.mkdir(parents=True)
    path = key_file(folder, f"\n{KEY}\r\n")
    for name in ("api_key", "~/.config/vorna/api_key", str(path)):
        config.set_api_key(None)
        status, = key_node("file", name)
        assert config.get_api_key() == KEY
        assert status == f"API key set from key file {path}"


def test_startup_source_goes_back_to_the_key_read_at_import(key_node, monkeypatch):
    monkeypatch.setenv(KEY_VARIABLE, KEY)
    key_node("environment", KEY_VARIABLE)
    status, = key_node("startup", "ignored")
    assert config.get_api_key() == config._CONFIG.api_key
    assert "start-up" in status


@pytest.mark.parametrize("source, setup, message", [
    ("environment", lambda d, mp: mp.delenv(KEY_VARIABLE, raising=False), f"{KEY_VARIABLE} is not set"),
    ("environment", lambda d, mp: mp.setenv(KEY_VARIABLE, "   "), f"{KEY_VARIABLE} is empty"),
    ("environment", lambda d, mp: mp.setenv(KEY_VARIABLE, KEY + "é"), "holds a non-ASCII character"),
    ("file", lambda d, mp: key_file(d, "\n \n"), "is empty"),
    ("file", lambda d, mp: key_file(d, f"{KEY}\n{KEY}\n"), "holds a line break"),
])
def test_a_bad_key_in_an_allowed_place_names_the_place_never_the_key(key_node, key_dir, monkeypatch,
                                                                     source, setup, message):
    config.set_api_key("previous-key")
    setup(key_dir, monkeypatch)
    name = KEY_VARIABLE if source == "environment" else "api_key"
    with pytest.raises(ValueError) as info:
        key_node(source, name)
    assert message in str(info.value) and KEY not in str(info.value)
    assert config.get_api_key() == "previous-key"


def _outside(d):
    return key_file(d.parent, KEY, name="elsewhere")


def _another_users(d):
    if os.geteuid() != 0:
        pytest.skip("needs root to give a file to another user")
    os.chown(key_file(d, KEY), 65534, -1)
    return "api_key"


def _not_private(setup):
    # Owner and permission bits are ACLs on Windows, and not read there.
    setup.posix_only = True
    return setup


@pytest.mark.parametrize("source, setup", [
    ("environment", lambda d, mp: mp.setenv("AWS_SECRET_ACCESS_KEY", KEY) or "AWS_SECRET_ACCESS_KEY"),
    ("environment", lambda d, mp: mp.setenv("vorna_lower", KEY) or "vorna_lower"),
    ("file", lambda d, mp: str(_outside(d))),                                   # a private file elsewhere
    ("file", lambda d, mp: _outside(d) and "../elsewhere"),                      # climbing out
    ("file", lambda d, mp: (d / "link").symlink_to(_outside(d)) or "link"),      # a link leading out
    ("file", lambda d, mp: (d / "sub").mkdir() or (d / "sub" / "link").symlink_to(_outside(d)) or "sub/link"),
    ("file", lambda d, mp: (d / "sub").symlink_to(d.parent) or _outside(d) and "sub/elsewhere"),  # link above
    ("file", _not_private(lambda d, mp: key_file(d, KEY, mode=0o640) and "api_key")),  # others may read it
    ("file", _not_private(lambda d, mp: key_file(d, KEY, mode=0o604) and "api_key")),
    ("file", _not_private(lambda d, mp: _another_users(d))),
    ("file", lambda d, mp: os.mkfifo(d / "fifo", 0o600) or "fifo"),            # would block a reader
    ("file", lambda d, mp: (d / "sub").mkdir() or "sub"),                        # not a regular file
    ("file", lambda d, mp: "missing"),
    ("file", lambda d, mp: str(d)),
])
@both_file_rules
def test_everything_else_is_refused_alike_and_reveals_nothing(key_host, key_node, key_dir, monkeypatch,
                                                              file_rules, source, setup):
    if file_rules == "paths" and getattr(setup, "posix_only", False):
        pytest.skip("owner and permission bits are not read without the POSIX calls")
    config.set_api_key("previous-key")
    name = setup(key_dir, monkeypatch)
    with pytest.raises(ValueError) as info:
        key_node(source, name)
    # One text for every refused name: nothing about what is there, or not.
    assert str(info.value) == sys.modules[key_host.classes["VornaAPIClient"].__module__].REFUSED
    assert config.get_api_key() == "previous-key"


# The race: a process that may write in the key directory swaps a
# subdirectory for a link to a private file elsewhere while the node reads.
SWAPPER = textwrap.dedent("""
    import os, sys
    keys, outside, stop = sys.argv[1:]
    for i in range(1_000_000):
        if i % 64 == 0 and os.path.exists(stop):
            break
        os.rename(keys + "/sub", keys + "/real")
        os.symlink(outside, keys + "/sub")
        os.unlink(keys + "/sub")
        os.rename(keys + "/real", keys + "/sub")
""")


@both_file_rules
def test_a_directory_swapped_for_a_link_meanwhile_is_never_read_through(key_node, key_dir, tmp_path):
    (key_dir / "sub").mkdir()
    key_file(key_dir / "sub", KEY)
    outside = tmp_path / "outside"
    outside.mkdir()
    key_file(outside, "outside-" + KEY)
    stop = tmp_path / "stop"
    swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, str(key_dir), str(outside), str(stop)])
    keys = []
    try:
        for _ in range(5000):
            config.set_api_key(None)
            with contextlib.suppress(ValueError):      # refused while the link is there
                key_node("file", "sub/api_key")
            keys.append(config.get_api_key())
    finally:
        stop.touch()
        swapper.wait(timeout=60)
    assert swapper.returncode == 0
    assert KEY in keys and "outside-" + KEY not in keys


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0"), max_size=8))
def test_a_key_the_node_accepts_can_be_sent(key_node, client, monkeypatch, text):
    base = pytest.importorskip("vorna_comfyui_engine.base")
    monkeypatch.setattr(base.BaseNode, "REUSE_CONNECTIONS", False)
    monkeypatch.setenv(KEY_VARIABLE, text)
    try:
        key_node("environment", KEY_VARIABLE)
    except ValueError as e:
        assert str(e) in (f"environment variable {KEY_VARIABLE} is empty",
                          f"environment variable {KEY_VARIABLE} holds {config._api_key_problem(text.strip())}")
        return
    base.BaseNode().send_request("vae_decode", {})
    assert client.tokens()[-1] == text.strip()


# --- against the stand-in service --------------------------------------------------------------

@pytest.fixture(scope="module")
def live(standin, tmp_path_factory):
    need_node_modules()
    with live_host(standin, tmp_path_factory.mktemp("key_live")) as host:
        yield host, standin


@pytest.mark.standin
def test_wrong_key_fails_with_the_nodes_own_error_and_leaks_nothing(live, monkeypatch, caplog):
    host, standin = live
    caplog.set_level("DEBUG")
    wrong = "wrong-" + standin.key
    monkeypatch.setenv("VORNA_WRONG_KEY", wrong)
    set_key_through_node(host, name="VORNA_WRONG_KEY")
    with pytest.raises(NodeExecutionError) as info:
        host.run_file(WORKFLOWS / "text_to_image.json")
    error = info.value
    # The first request of the graph is a text encode; the node wraps the refusal.
    assert error.class_type == "VornaCLIPTextEncode"
    assert isinstance(error.__cause__, ValueError)
    assert str(error.__cause__).startswith("Failed to encode text: ")
    failed = [r for r in caplog.records if r.getMessage().startswith("send request failed: ")]
    assert len(failed) == 1
    for text in [str(error)] + [r.getMessage() for r in caplog.records]:
        assert wrong not in text and standin.key not in text


@pytest.mark.standin
def test_key_set_from_a_file_reaches_the_service_and_stays_out_of_the_picture(live, key_dir, caplog):
    host, standin = live
    caplog.set_level("DEBUG")
    path = key_file(key_dir, standin.key + "\n")
    prompt = workflow("text_to_image")
    # Node ids order ties in this harness; "0" puts the key first.
    prompt["0"] = {"class_type": "VornaAPIClient", "inputs": {"source": "file", "name": str(path)}}
    run = host.execute(prompt, extra_pnginfo={"workflow": prompt})
    assert run.outputs["0"] == (f"API key set from key file {path}",)
    saved, = run.saved_images()
    with Image.open(saved) as img:
        assert img.size == (1024, 1024)
        assert json.loads(img.text["prompt"])["0"]["inputs"] == {"source": "file", "name": str(path)}
    with open(saved, "rb") as f:
        assert standin.key.encode() not in f.read()
    assert standin.key not in json.dumps(prompt)
    assert all(standin.key not in r.getMessage() for r in caplog.records)
