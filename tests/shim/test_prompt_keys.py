"""A prompt's own key, in the harness with a stand-in ComfyUI server
(POST /prompt through its aiohttp app, on-prompt handlers, the queue):
which key every call of a prompt carries, what is refused at once and how,
when a prompt's key is forgotten, and that nothing changes when no prompt
has a key of its own."""
import json
import sys
import threading
import time

import pytest

from tests.support.host import KEY_VARIABLE, FakeComfyUI, copy_root, need_node_modules, workflow
from tests.support.nodes import good_answers
from tools.harness import Host, NodeExecutionError, sample_inputs

config = pytest.importorskip("vorna_comfyui_engine.config")
base = pytest.importorskip("vorna_comfyui_engine.base")

SERVER_KEY = "vk-server-0123456789"      # the process-wide key
REQUEST_KEY = "vk-request-abcdef0123"    # extra_data["vorna_api_key"]
NODE_KEY = "vk-node-9876543210"          # what the prompt's key node names
WAIT = 60


def key_node(name=KEY_VARIABLE, source="environment"):
    return {"class_type": "VornaAPIClient", "inputs": {"source": source, "name": name}}


def body(prompt, request_key=None, **extra):
    sent = {"prompt": prompt, "client_id": "tester", "extra_data": {"extra_pnginfo": {"workflow": {}}, **extra}}
    if request_key is not None:
        sent["extra_data"]["vorna_api_key"] = request_key
    return sent


@pytest.fixture
def comfy(client, tmp_path, monkeypatch):
    """(harness host, stand-in ComfyUI, the folder's prompt keys): the folder
    loaded as in a ComfyUI that runs coroutine nodes, every call answered
    well by the fake client, the process-wide key SERVER_KEY and the
    key node's variable NODE_KEY."""
    need_node_modules()
    client.answers.update(good_answers())
    fake = FakeComfyUI()
    fake.install(monkeypatch)
    host = Host(tmp_path / "input", tmp_path / "output")
    sample_inputs.write(tmp_path / "input")
    folder = host.load_custom_nodes(copy_root(tmp_path / "vorna_nodes"))
    keys = sys.modules[folder.__name__ + ".prompt_keys"].ACTIVE
    assert keys is not None
    forgotten = []
    monkeypatch.setattr(base, "_forget_api_key", forgotten.append)
    keys.forgotten = forgotten
    monkeypatch.setenv(KEY_VARIABLE, NODE_KEY)
    config.set_api_key(SERVER_KEY)
    yield host, fake, keys
    fake.close()
    config.set_api_key(None)


def queued(fake):
    running, pending = fake.prompt_server.prompt_queue.get_current_queue_volatile()
    return running + pending


# --- which key the calls carry ------------------------------------------------------------------

@pytest.mark.parametrize("request_key, node, calls_carry, later", [
    (None, None, SERVER_KEY, SERVER_KEY),
    (REQUEST_KEY, None, REQUEST_KEY, SERVER_KEY),
    (None, key_node(), NODE_KEY, NODE_KEY),
    (REQUEST_KEY, key_node(), REQUEST_KEY, NODE_KEY),
    (None, key_node(source="startup"), "startup", "startup"),
], ids=["process-wide", "request", "key node", "request over key node", "key node: startup"])
@pytest.mark.parametrize("node_id", ["0", "99"], ids=["key node first", "key node last"])
def test_every_call_of_a_prompt_carries_its_own_key_whatever_runs_first(comfy, client, request_key,
                                                                        node, calls_carry, later, node_id):
    host, fake, keys = comfy
    startup = config._CONFIG.api_key
    prompt = workflow("text_to_image")
    if node is not None:
        prompt[node_id] = node
    status, answer = fake.post(body(prompt, request_key))
    assert status == 200, answer
    item, = queued(fake)
    # Out of extra_data before ComfyUI queued it: never in /queue, /history or a picture.
    assert "vorna_api_key" not in item[3] and item[3]["client_id"] == "tester"
    fake.run_next(host)
    expected = startup if calls_carry == "startup" else calls_carry
    assert client.tokens() == [expected] * 4
    assert config.get_api_key() == (startup if later == "startup" else later)
    shown = [text for shown_on, text in fake.texts if shown_on == node_id and node is not None]
    if node is not None:
        # Which source is in effect, for later prompts and for this one; never a key.
        assert len(shown) == 1 and ("start-up" in shown[0] or KEY_VARIABLE in shown[0])
        assert ("the key sent with it" in shown[0]) == (request_key is not None)
    assert not any(key in text for _, text in fake.texts for key in (SERVER_KEY, REQUEST_KEY, NODE_KEY))
    assert keys._prompts == {}


def test_a_key_node_that_cannot_read_its_key_fails_every_call_of_its_prompt(comfy, client, monkeypatch):
    host, fake, keys = comfy
    monkeypatch.delenv(KEY_VARIABLE)
    prompt = workflow("text_to_image")
    prompt["99"] = key_node()
    assert fake.post(body(prompt))[0] == 200
    with pytest.raises(NodeExecutionError) as info:
        fake.run_next(host)
    # No call went out with another key than the one the node names.
    assert client.tokens() == []
    assert f"{KEY_VARIABLE} is not set" in str(info.value) and "Vorna API Key node (99)" in str(info.value)


# --- refused at once ----------------------------------------------------------------------------

def two_key_nodes(prompt):
    prompt["20"], prompt["21"] = key_node(), key_node("VORNA_OTHER_KEY")


def linked_key_node(prompt):
    prompt["20"] = key_node()
    prompt["20"]["inputs"]["name"] = ["4", 0]


@pytest.mark.parametrize("change, request_key, message, node_ids", [
    (two_key_nodes, None, "the Vorna API Key nodes 20, 21 name different keys", ["20", "21"]),
    (linked_key_node, None, "the Vorna API Key node 20 must have its source and name typed in", ["20"]),
    (None, "", 'extra_data["vorna_api_key"] is empty', []),
    (None, f"{REQUEST_KEY}\n", 'extra_data["vorna_api_key"] holds a line break', []),
    (None, f"{REQUEST_KEY}é", 'extra_data["vorna_api_key"] holds a non-ASCII character', []),
    (None, 12345, 'extra_data["vorna_api_key"] is not text', []),
], ids=["two key nodes", "linked key node", "empty", "line break", "non-ASCII", "not text"])
@pytest.mark.parametrize("path", ["/prompt", "/api/prompt"])
def test_what_cannot_run_as_asked_is_refused_at_once_without_the_key(comfy, client, change, request_key,
                                                                      message, node_ids, path):
    host, fake, keys = comfy
    prompt = workflow("text_to_image")
    if change is not None:
        change(prompt)
    status, answer = fake.post(body(prompt, request_key), path)
    assert status == 400
    assert answer["error"]["details"].startswith(message) and sorted(answer["node_errors"]) == node_ids
    assert REQUEST_KEY not in json.dumps(answer)
    assert queued(fake) == [] and keys._prompts == {}


def test_a_prompt_id_already_queued_is_refused(comfy):
    host, fake, keys = comfy
    sent = body(workflow("text_to_image"), REQUEST_KEY, )
    sent["prompt_id"] = "11111111-2222-3333-4444-555555555555"
    assert fake.post(sent)[0] == 200
    status, answer = fake.post(sent)
    assert status == 400 and "is already queued" in answer["error"]["details"]
    assert len(queued(fake)) == 1


def test_a_prompt_that_bypasses_the_middleware_does_not_run_and_loses_its_key(comfy):
    host, fake, keys = comfy
    sent = body(workflow("text_to_image"), REQUEST_KEY)
    # What ComfyUI's POST /prompt would go on with: no prompt, so "No prompt provided".
    kept = fake.prompt_server.trigger_on_prompt(sent)
    assert "prompt" not in kept and "vorna_api_key" not in kept["extra_data"]
    assert keys._prompts == {}


# --- forgotten when the prompt ends ---------------------------------------------------------------

def fail_sampler(client, fake, host, monkeypatch):
    def fail():
        raise RuntimeError("the service went away")
    client.answers["sampler"] = fail


def interrupt_sampler(client, fake, host, monkeypatch):
    """Cancel while the sampler waits; its call is sent only after the prompt has ended."""
    release, cls = threading.Event(), host.classes["Vorna KSampler"]
    package_send = super(cls, cls).send_request

    def send_request(self, url, payload):
        assert release.wait(WAIT)
        return package_send(self, url, payload)

    monkeypatch.setattr(cls, "send_request", send_request)
    fake.on_text = lambda node_id, text: text.startswith("waiting") and fake.interrupt()
    return release


@pytest.mark.parametrize("ending", ["success", "error", "cancel", "removed", "cleared"])
def test_a_prompts_key_is_forgotten_and_its_client_closed_however_it_ends(comfy, client, monkeypatch,
                                                                          ending):
    host, fake, keys = comfy
    queue = fake.prompt_server.prompt_queue
    release = {"error": fail_sampler, "cancel": interrupt_sampler}.get(ending, lambda *a: None)(
        client, fake, host, monkeypatch)
    status, answer = fake.post(body(workflow("text_to_image"), REQUEST_KEY))
    prompt_id = answer["prompt_id"]
    assert status == 200 and list(keys._prompts) == [prompt_id] and keys.forgotten == []
    try:
        if ending == "removed":
            queue.delete_queue_item(prompt_id)
        elif ending == "cleared":
            queue.wipe_queue()
        elif ending == "success":
            fake.run_next(host)
        else:
            with pytest.raises(NodeExecutionError):
                fake.run_next(host)
    finally:
        if release is not None:
            release.set()
    assert keys._prompts == {} and keys.forgotten == [REQUEST_KEY]
    if ending == "cancel":
        # The abandoned sampler call, sent after its prompt was forgotten.
        deadline = time.monotonic() + WAIT
        while len(client.tokens()) < 3 and time.monotonic() < deadline:
            time.sleep(0.05)
    # Every call that went out carried the prompt's key.
    assert client.tokens() == [REQUEST_KEY] * {"success": 4, "error": 3, "cancel": 3}.get(ending, 0)


def test_a_call_bound_while_its_prompt_ran_keeps_the_request_key_once_the_prompt_is_forgotten(comfy):
    host, fake, keys = comfy
    prompt_id = fake.post(body(workflow("text_to_image"), REQUEST_KEY))[1]["prompt_id"]
    with fake.utils.CurrentNodeContext(prompt_id, "7"):
        call = keys.bind(config.get_api_key)
    fake.prompt_server.prompt_queue.delete_queue_item(prompt_id)
    assert keys._prompts == {} and call() == REQUEST_KEY


def test_a_key_two_live_prompts_were_sent_with_is_forgotten_with_the_last(comfy):
    host, fake, keys = comfy
    first, second = (fake.post(body(workflow("text_to_image"), REQUEST_KEY))[1]["prompt_id"] for _ in range(2))
    fake.run_next(host)
    assert list(keys._prompts) == [second] and keys.forgotten == []
    fake.run_next(host)
    assert keys._prompts == {} and keys.forgotten == [REQUEST_KEY]


# --- unused: nothing changes ----------------------------------------------------------------------

def test_without_a_key_of_its_own_a_prompt_and_its_requests_are_what_they_were(comfy, client, tmp_path):
    host, fake, keys = comfy
    sent = body(workflow("text_to_image"))
    status, answer = fake.post(sent)
    assert status == 200
    item, = queued(fake)
    assert item[3] == {**sent["extra_data"], "client_id": "tester"} and keys._prompts == {}
    fake.run_next(host)
    through_comfyui = (client.built[:], client.calls[:])

    # The same graph in a host that is no ComfyUI, where nothing of this is installed.
    client.built.clear()
    client.calls.clear()
    plain = Host(tmp_path / "input", tmp_path / "plain_output")
    sys.modules.pop("comfy_execution.utils")
    plain.load_custom_nodes(copy_root(tmp_path / "plain_nodes"))
    plain.execute(workflow("text_to_image"))
    assert (client.built, client.calls) == through_comfyui
    assert client.tokens() == [SERVER_KEY] * 4
