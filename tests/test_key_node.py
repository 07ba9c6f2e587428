"""The API key node: where it takes the key from, what it refuses, and that the
key never shows up in its output, errors, logs, workflows or pictures."""
import json

import pytest
from PIL import Image

from host_support import (KEY_VARIABLE, ROOT, WORKFLOWS, live_host, need_node_modules, set_key_through_node,
                          standin_or_skip, workflow)
from harness import Host, NodeExecutionError, PromptError
from harness.schema import check_node

config = pytest.importorskip("vorna_comfyui_engine.config")

KEY = "vk-Secret_0123456789abcdef"


@pytest.fixture
def key_host(tmp_path):
    """A host with a folder holding only the key node, so it needs no node module."""
    folder = tmp_path / "key_only"
    folder.mkdir()
    for name in ("_engine.py", "api_key_node.py"):
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


def key_file(tmp_path, text, mode=0o600, name="api_key"):
    path = tmp_path / name
    path.write_text(text)
    path.chmod(mode)
    return path


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


def test_key_from_a_private_file_is_stripped_and_home_is_expanded(key_node, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    path = key_file(tmp_path, f"\n{KEY}\r\n")
    status, = key_node("file", "~/api_key")
    assert config.get_api_key() == KEY
    assert status == f"API key set from key file {path}"


def test_startup_source_goes_back_to_the_key_read_at_import(key_node, monkeypatch):
    monkeypatch.setenv(KEY_VARIABLE, KEY)
    key_node("environment", KEY_VARIABLE)
    status, = key_node("startup", "ignored")
    assert config.get_api_key() == config._CONFIG.api_key
    assert "start-up" in status


@pytest.mark.parametrize("source, setup, message", [
    ("environment", lambda tmp, mp: mp.delenv(KEY_VARIABLE, raising=False), f"{KEY_VARIABLE} is not set"),
    ("environment", lambda tmp, mp: mp.setenv(KEY_VARIABLE, "   "), f"{KEY_VARIABLE} is empty"),
    ("environment", lambda tmp, mp: mp.setenv(KEY_VARIABLE, KEY + " " + KEY), "white space"),
    ("file", lambda tmp, mp: None, "cannot open key file"),
    ("file", lambda tmp, mp: key_file(tmp, "\n \n"), "is empty"),
    ("file", lambda tmp, mp: key_file(tmp, f"{KEY}\n{KEY}\n"), "white space"),
    ("file", lambda tmp, mp: key_file(tmp, KEY, mode=0o644), "chmod 600"),
    ("file", lambda tmp, mp: key_file(tmp, KEY, mode=0o640), "accessible by other users (mode 0640)"),
    ("file", lambda tmp, mp: (tmp / "api_key").mkdir(), "not a regular file"),
])
def test_refusals_name_the_source_never_the_key_and_keep_the_old_key(key_node, tmp_path, monkeypatch,
                                                                      source, setup, message):
    config.set_api_key("previous-key")
    setup(tmp_path, monkeypatch)
    name = KEY_VARIABLE if source == "environment" else str(tmp_path / "api_key")
    with pytest.raises(ValueError) as info:
        key_node(source, name)
    assert message in str(info.value)
    assert name in str(info.value)
    assert KEY not in str(info.value)
    assert config.get_api_key() == "previous-key"


# --- against the stand-in service --------------------------------------------------------------

@pytest.fixture(scope="module")
def live(request, tmp_path_factory):
    need_node_modules()
    standin = standin_or_skip(request)
    with live_host(standin, tmp_path_factory.mktemp("key_live")) as host:
        yield host, standin


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


def test_key_set_from_a_file_reaches_the_service_and_stays_out_of_the_picture(live, tmp_path, caplog):
    host, standin = live
    caplog.set_level("DEBUG")
    path = key_file(tmp_path, standin.key + "\n")
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
