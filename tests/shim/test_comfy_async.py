"""The executing nodes as coroutine nodes, in the harness with stand-ins for
ComfyUI's interrupt flag and progress text: side-by-side calls, Cancel,
an abandoned call's late outcome, and the fallback to the synchronous nodes."""
import asyncio
import gc
import inspect
import itertools
import threading
import types

import pytest
import torch

from tests.support.host import (WORKFLOWS, FakeComfyUI, copy_root, live_host, need_node_modules,
                                set_key_through_node)
from tools.harness import Host, NodeExecutionError

import comfy_async

WAIT = 60        # bounds a wait that should end at once, so a fault fails instead of hanging
# ComfyUI's interrupt derives from Exception before April 2026, from BaseException since.
INTERRUPT_KINDS = (Exception, BaseException)


@pytest.fixture
def unhandled(monkeypatch):
    """Exceptions that escape a thread: a worker must never leave one."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen


@pytest.fixture(params=INTERRUPT_KINDS, ids=lambda kind: f"interrupt is {kind.__name__}")
def interrupt_base(request):
    return request.param


@pytest.fixture
def comfyui(standin, tmp_path, monkeypatch, interrupt_base):
    """A harness host with the folder loaded as in a ComfyUI that runs
    coroutine nodes, pointed at the stand-in service."""
    need_node_modules()
    fake = FakeComfyUI(interrupt_base)
    fake.install(monkeypatch)
    with live_host(standin, tmp_path) as host:
        set_key_through_node(host)
        yield host, fake


def patch_requests(monkeypatch, host, fake_send):
    """Routes every remote call of the host's nodes through fake_send(node, url,
    payload, original), on the class the host registered."""
    for key in comfy_async.EXECUTING_NODES:
        cls = host.classes[key]
        original = super(cls, cls).send_request       # the package's, also when patched before

        def send_request(self, url, payload, original=original):
            return fake_send(self, url, payload, lambda: original(self, url, payload))

        monkeypatch.setattr(cls, "send_request", send_request)


# --- which nodes a host gets ---------------------------------------------------------------------

@pytest.mark.parametrize("host_kind, why_not", [
    ("comfyui", None), ("no ComfyUI", None), ("no PromptServer", "PromptServer.send_progress_text"),
    ("ComfyUI before coroutine nodes", "runs no coroutine nodes")])
def test_only_a_comfyui_that_runs_coroutine_nodes_gets_them(host_kind, why_not, tmp_path, monkeypatch, caplog):
    modules = need_node_modules()
    package_classes = {k: c for m in modules.values() for k, c in m.NODE_CLASS_MAPPINGS.items()}
    if host_kind != "no ComfyUI":
        FakeComfyUI().install(monkeypatch, server=host_kind != "no PromptServer",
                              async_execution=host_kind != "ComfyUI before coroutine nodes")
    host = Host(tmp_path, tmp_path)
    with caplog.at_level("DEBUG"):
        host.load_custom_nodes(copy_root(tmp_path / "vorna_nodes"))
    # A ComfyUI where the wrapping does not apply says so, once, and why.
    said = [(r.levelname, r.getMessage()) for r in caplog.records if r.name.endswith(".comfy_async")]
    if why_not is None:
        assert said == []
    else:
        assert len(said) == 1 and said[0][0] == "WARNING" and why_not in said[0][1]
    assert {k: host.display_names[k] for k in package_classes} == \
        {k: v for m in modules.values() for k, v in m.NODE_DISPLAY_NAME_MAPPINGS.items()}
    if host_kind != "comfyui":
        # Today's nodes, untouched.
        assert all(host.classes[k] is c for k, c in package_classes.items())
        return

    assert host.check() == {}
    for key, package_cls in package_classes.items():
        cls = host.classes[key]
        assert issubclass(cls, package_cls) and cls.DESCRIPTION == package_cls.DESCRIPTION
        assert (cls.RETURN_TYPES, cls.FUNCTION, cls.CATEGORY) == \
            (package_cls.RETURN_TYPES, package_cls.FUNCTION, package_cls.CATEGORY)
        schema, original = cls.INPUT_TYPES(), package_cls.INPUT_TYPES()
        hidden = schema.pop("hidden", {})
        # Saved workflows keep working: the same inputs in the same order.
        assert {s: list(v) for s, v in schema.items()} == {s: list(v) for s, v in original.items()}
        entry = getattr(cls(), cls.FUNCTION)
        if key in comfy_async.EXECUTING_NODES:
            assert inspect.iscoroutinefunction(entry)
            assert hidden == {comfy_async.NODE_ID_INPUT: "UNIQUE_ID"}
        else:
            assert not inspect.iscoroutinefunction(entry) and hidden == {}


# --- one waiting call ----------------------------------------------------------------------------

class WaitingNode:
    """What wait_for_call asks of ComfyUI, for one node: the texts it was
    shown and, once three seconds of waiting were shown, `interrupt` raised."""

    def __init__(self, interrupt=None):
        self.texts, self.interrupt, self.waited = [], interrupt, threading.Event()

    def check_interrupt(self):
        if self.interrupt is not None and self.waited.is_set():
            raise self.interrupt

    def show(self, text, node_id):
        self.texts.append(text)
        if len(set(self.texts)) == 3:
            self.waited.set()


@pytest.mark.parametrize("way_out, ending", [
    ("answer", comfy_async.ANSWERED), ("error", comfy_async.FAILED), ("timeout", comfy_async.TIMED_OUT),
    ("cancel", comfy_async.CANCELLED),
    *[(kind, comfy_async.CANCELLED) for kind in INTERRUPT_KINDS]], ids=lambda v: getattr(v, "__name__", v))
def test_a_waiting_call_shows_each_second_once_then_how_long_it_waited_however_it_ends(
        way_out, ending, monkeypatch, unhandled):
    httpx = pytest.importorskip("httpx")
    # Polls come at once, and each moves a clock of our own on by a quarter second.
    clock = itertools.count()
    monkeypatch.setattr(comfy_async, "POLL_SECONDS", 0.001)
    monkeypatch.setattr(comfy_async, "time", types.SimpleNamespace(monotonic=lambda: next(clock) / 4))
    outcome = {"error": RuntimeError("the service went away"),
               "timeout": httpx.ReadTimeout("the request took longer than the configured timeout of 1 s")
               }.get(way_out, "answer")
    node = WaitingNode(type("InterruptProcessingException", (way_out,), {})() if way_out in INTERRUPT_KINDS else None)

    # An abandoned call ends only after its wait has.
    release = node.waited if way_out in ("answer", "error", "timeout") else threading.Event()

    def call():
        assert release.wait(timeout=WAIT)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    async def scenario():
        task = asyncio.ensure_future(comfy_async.wait_for_call(call, "9", node, "vorna test call"))
        if way_out == "cancel":
            while not node.waited.is_set():
                await asyncio.sleep(0.001)
            task.cancel()
        return await task

    if way_out == "answer":
        assert asyncio.run(scenario()) == "answer"
    else:
        with pytest.raises(BaseException) as info:
            asyncio.run(scenario())
        assert isinstance(info.value, asyncio.CancelledError) if way_out == "cancel" else \
            info.value is (node.interrupt or outcome)
    *waiting, last = node.texts
    # One message per distinct text, then how long the wait took.
    assert waiting == [f"waiting for the service: {n} s" for n in range(len(waiting))] and len(waiting) >= 2
    assert last.startswith(ending + " ") and last.endswith(" s")
    release.set()
    assert not unhandled


# --- running graphs ------------------------------------------------------------------------------

@pytest.mark.standin
def test_independent_calls_wait_side_by_side_off_the_loop_and_show_progress(comfyui, monkeypatch, unhandled):
    host, fake = comfyui
    # image-to-image: both text encodes (4, 5) and the VAE encode (8) depend on no other call.
    side_by_side = threading.Barrier(3)
    sampler_shown = threading.Event()
    fake.on_text = lambda node_id, text: node_id == "9" and sampler_shown.set()
    threads = []

    def send(node, url, payload, original):
        threads.append((threading.current_thread(), torch.is_inference_mode_enabled()))
        if url in ("text_encode", "vae_encode"):
            side_by_side.wait(timeout=WAIT)     # breaks unless all three are in flight at once
        if url == "sampler":
            assert sampler_shown.wait(timeout=WAIT)
        return original()

    patch_requests(monkeypatch, host, send)
    with torch.inference_mode():        # as ComfyUI runs its prompts; the mode is per thread
        run = host.run_file(WORKFLOWS / "image_to_image.json")
    assert len(run.saved_images()) == 1
    assert len(threads) == 5
    assert all(t.daemon and t is not threading.main_thread() and inference for t, inference in threads)
    sampler_texts = [text for node_id, text in fake.texts if node_id == "9"]
    assert sampler_texts[0].startswith("waiting for the service: ")
    assert sampler_texts[-1].startswith("service answered in ")
    assert not unhandled


@pytest.mark.standin
def test_a_failed_call_raises_its_own_exception_and_the_node_says_it_failed(comfyui, monkeypatch):
    host, fake = comfyui
    shown, error = threading.Event(), RuntimeError("the service went away")
    fake.on_text = lambda node_id, text: node_id == "7" and shown.set()

    def send(node, url, payload, original):
        if url != "sampler":
            return original()
        assert shown.wait(timeout=WAIT)
        raise error

    patch_requests(monkeypatch, host, send)
    with pytest.raises(NodeExecutionError) as info:
        host.run_file(WORKFLOWS / "text_to_image.json")
    assert info.value.__cause__ is error
    assert fake.texts[-1][0] == "7" and fake.texts[-1][1].startswith("the service call failed after ")


@pytest.mark.standin
@pytest.mark.parametrize("late", ["answer", "error"])
def test_interrupt_ends_the_prompt_and_the_abandoned_calls_late_outcome_is_dropped(
        comfyui, monkeypatch, unhandled, caplog, late):
    host, fake = comfyui
    fake.on_text = lambda node_id, text: node_id == "7" and text.startswith("waiting") and fake.interrupt()
    release, abandoned = threading.Event(), []

    def first(node, url, payload, original):
        if url != "sampler":
            return original()
        abandoned.append(threading.current_thread())
        assert release.wait(timeout=WAIT)
        if late == "error":
            raise RuntimeError("late failure of the abandoned call")
        return original()

    patch_requests(monkeypatch, host, first)
    with pytest.raises(NodeExecutionError) as info:
        host.run_file(WORKFLOWS / "text_to_image.json")
    # The host's own exception, unchanged.
    assert type(info.value.__cause__) is fake.Interrupt
    assert abandoned[0].is_alive()
    assert fake.texts[-1][0] == "7" and fake.texts[-1][1].startswith(comfy_async.CANCELLED)

    fake.on_text = lambda node_id, text: None

    def second(node, url, payload, original):
        if url == "sampler":
            # The abandoned call ends while the next prompt runs.
            release.set()
            abandoned[0].join(timeout=WAIT)
            assert not abandoned[0].is_alive()
        return original()

    patch_requests(monkeypatch, host, second)
    caplog.set_level("DEBUG")
    run = host.run_file(WORKFLOWS / "text_to_image.json")
    assert len(run.saved_images()) == 1
    gc.collect()        # an outcome set on a future nobody reads would be reported now
    assert not unhandled
    assert not [r for r in caplog.records if r.levelno >= 30 and r.name != "vorna_comfyui_engine.base"]


@pytest.mark.standin
def test_cancelled_wait_leaves_as_cancellation_and_the_call_runs_out_in_its_thread(comfyui, monkeypatch, unhandled):
    host, fake = comfyui
    entered, release, finished = threading.Event(), threading.Event(), []

    def send(node, url, payload, original):
        entered.set()
        assert release.wait(timeout=WAIT)
        finished.append(threading.current_thread())
        return original()

    patch_requests(monkeypatch, host, send)
    cls = host.classes["VornaCLIPTextEncode"]
    clip = host.classes["VornaCLIPLoader"]().load_clip(clip_name="c.safetensors", type="qwen_image")[0]

    async def scenario():
        task = asyncio.ensure_future(cls().encode(clip=clip, text="a cat", unique_id="4"))
        while not entered.is_set():
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = asyncio.run(scenario())
    assert task.cancelled()
    # The loop has closed; the call ends later and its answer goes nowhere.
    release.set()
    for thread in threading.enumerate():
        if thread.name.startswith("vorna VornaCLIPTextEncode node 4"):
            thread.join(timeout=WAIT)
    assert len(finished) == 1 and not unhandled
