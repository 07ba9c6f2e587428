"""Helpers shared by the host-level tests: copies of the custom-node folder,
the node modules, a host wired to the stand-in service, and a stand-in for
the parts of a running ComfyUI that the folder uses."""
import asyncio
import contextlib
import contextvars
import importlib
import json
import shutil
import sys
import threading
import types
import urllib.error
import urllib.request
import uuid
from pathlib import Path
from typing import NamedTuple, Optional

import pytest

from tools.bench.measure import shared_object
from tools.harness import Host, sample_inputs

from . import PACKAGE, ROOT

# The package's own list of the modules that register nodes.
NODE_MODULES = importlib.import_module(PACKAGE)._node_modules
WORKFLOWS = ROOT / "tools" / "api_workflows"
KEY_VARIABLE = "VORNA_TEST_KEY"


def need_node_modules():
    return {name: pytest.importorskip(f"{PACKAGE}.{name}") for name in NODE_MODULES}


def copy_root(dest, with_shared_object=False):
    """The custom-node folder as a user installs it: the root's Python files
    and requirements.txt (the release the folder asks for), and the shared
    object beside them when asked."""
    dest = Path(dest)
    dest.mkdir(parents=True)
    for path in [*ROOT.glob("*.py"), ROOT / "requirements.txt"]:
        shutil.copy(path, dest / path.name)
    if with_shared_object:
        so = shared_object()
        if so is None:
            pytest.skip("no built shared object on sys.path")
        shutil.copy(so, dest / Path(so).name)
    return dest


def workflow(name):
    return json.loads((WORKFLOWS / f"{name}.json").read_text())


@contextlib.contextmanager
def live_host(standin, tmp):
    """A host with the root folder loaded from site-packages, pointed at the
    stand-in; the key is set through the key node, as a user would."""
    config = importlib.import_module(f"{PACKAGE}.config")
    folder = copy_root(tmp / "custom_nodes" / "vorna_nodes")
    sample_inputs.write(tmp / "input")
    host = Host(input_dir=tmp / "input", output_dir=tmp / "output")
    host.load_custom_nodes(folder)
    with pytest.MonkeyPatch.context() as mp:
        # The URL is copied into the classes at import; the tests' service was started later.
        for key in host.custom_keys():
            for cls in host.classes[key].__mro__:
                if "BASE_URL" in vars(cls):
                    mp.setattr(cls, "BASE_URL", standin.url)
        mp.setenv(KEY_VARIABLE, standin.key)
        try:
            yield host
        finally:
            config.set_api_key(None)


def set_key_through_node(host, source="environment", name=KEY_VARIABLE):
    node = host.classes["VornaAPIClient"]
    return getattr(node(), node.FUNCTION)(source=source, name=name)


# --- a running ComfyUI, as far as the folder uses it ---------------------------------------------

class ExecutionContext(NamedTuple):
    prompt_id: str
    node_id: str
    list_index: Optional[int]


def comfy_execution_utils():
    """comfy_execution.utils: the running node's prompt and node id, set
    around each node call (CurrentNodeContext), as ComfyUI keeps them."""
    module = types.ModuleType("comfy_execution.utils")
    module.current_executing_context = contextvars.ContextVar("current_executing_context", default=None)
    module.get_executing_context = lambda: module.current_executing_context.get(None)

    class CurrentNodeContext:
        def __init__(self, prompt_id, node_id, list_index=None):
            self.context, self.token = ExecutionContext(prompt_id, node_id, list_index), None

        def __enter__(self):
            self.token = module.current_executing_context.set(self.context)
            return self

        def __exit__(self, *exc):
            module.current_executing_context.reset(self.token)

    module.CurrentNodeContext = CurrentNodeContext
    return module


class FakePromptQueue:
    """ComfyUI's PromptQueue as far as prompts come and go: items are
    (number, prompt_id, prompt, extra_data, outputs), and every change
    calls the server's queue_updated()."""

    def __init__(self, server):
        self.server, self.mutex = server, threading.RLock()
        self.queue, self.running = [], {}

    def put(self, item):
        with self.mutex:
            self.queue.append(item)
            self.server.queue_updated()

    def get(self):
        with self.mutex:
            item = self.queue.pop(0)
            self.running[item[1]] = item
            self.server.queue_updated()
            return item

    def task_done(self, prompt_id):
        with self.mutex:
            self.running.pop(prompt_id)
            self.server.queue_updated()

    def delete_queue_item(self, prompt_id):
        with self.mutex:
            self.queue = [item for item in self.queue if item[1] != prompt_id]
            self.server.queue_updated()

    def wipe_queue(self):
        with self.mutex:
            self.queue = []
            self.server.queue_updated()

    def get_current_queue_volatile(self):
        with self.mutex:
            return list(self.running.values()), list(self.queue)


class FakeComfyUI:
    """comfy.model_management's interrupt flag, comfy_execution.utils, and a
    PromptServer with progress text, on-prompt handlers, an aiohttp app
    whose POST /prompt queues as ComfyUI 0.3.64's does (less validation),
    and a prompt queue; the interrupt derives from `interrupt_base`."""

    def __init__(self, interrupt_base=Exception):
        self.interrupted = False
        self.lock = threading.Lock()
        self.texts = []                       # (node id, text)
        self.on_text = lambda node_id, text: None
        self.url = None
        self._loop = self._runner = None

        class InterruptProcessingException(interrupt_base):
            pass

        def throw_exception_if_processing_interrupted():
            # ComfyUI's clears the flag: of two waiting nodes only one sees it.
            with self.lock:
                if self.interrupted:
                    self.interrupted = False
                    raise InterruptProcessingException()

        fake = self

        class PromptServer:
            instance = None

            def __init__(self):
                from aiohttp import web
                self.on_prompt_handlers = []
                self.prompt_queue = FakePromptQueue(self)
                self.app = web.Application()
                for path in ("/prompt", "/api/prompt"):
                    self.app.router.add_post(path, self.post_prompt)

            def send_progress_text(self, text, node_id, sid=None):
                fake.texts.append((node_id, text))
                fake.on_text(node_id, text)

            def add_on_prompt_handler(self, handler):
                self.on_prompt_handlers.append(handler)

            def trigger_on_prompt(self, json_data):
                for handler in self.on_prompt_handlers:
                    try:
                        json_data = handler(json_data)
                    except Exception:       # as ComfyUI: logged, and the prompt goes on
                        pass
                return json_data

            def queue_updated(self):
                pass

            async def post_prompt(self, request):
                from aiohttp import web
                json_data = self.trigger_on_prompt(await request.json())
                if "prompt" not in json_data:
                    error = {"type": "no_prompt", "message": "No prompt provided", "details": "", "extra_info": {}}
                    return web.json_response({"error": error, "node_errors": {}}, status=400)
                prompt_id = str(json_data.get("prompt_id", uuid.uuid4()))
                extra_data = json_data.get("extra_data", {})
                if "client_id" in json_data:
                    extra_data["client_id"] = json_data["client_id"]
                self.prompt_queue.put((0, prompt_id, json_data["prompt"], extra_data, []))
                return web.json_response({"prompt_id": prompt_id, "number": 0, "node_errors": {}})

        self.Interrupt = InterruptProcessingException
        self.model_management = types.ModuleType("comfy.model_management")
        self.model_management.throw_exception_if_processing_interrupted = throw_exception_if_processing_interrupted
        self.model_management.InterruptProcessingException = InterruptProcessingException
        self.server = types.ModuleType("server")
        self.server.PromptServer = PromptServer
        self.utils = comfy_execution_utils()

    @property
    def prompt_server(self):
        if self.server.PromptServer.instance is None:
            self.server.PromptServer.instance = self.server.PromptServer()
        return self.server.PromptServer.instance

    def interrupt(self):
        with self.lock:
            self.interrupted = True

    def install(self, mp, server=True, async_execution=True):
        comfy = types.ModuleType("comfy")
        comfy.model_management = self.model_management
        mp.setitem(sys.modules, "comfy", comfy)
        mp.setitem(sys.modules, "comfy.model_management", self.model_management)
        if server:
            self.prompt_server     # made before the custom nodes load, as in ComfyUI
            mp.setitem(sys.modules, "server", self.server)
        package = types.ModuleType("comfy_execution")
        package.utils = self.utils
        mp.setitem(sys.modules, "comfy_execution", package)
        mp.setitem(sys.modules, "comfy_execution.utils", self.utils)

        # ComfyUI's execute() became a coroutine function with coroutine nodes.
        async def execute():
            pass

        execution = types.ModuleType("execution")
        execution.execute = execute if async_execution else (lambda: None)
        mp.setitem(sys.modules, "execution", execution)

    # --- the server at work: prompts posted over HTTP, run by a harness host ----------------------

    def post(self, body, path="/prompt"):
        """POSTs a prompt to the server's app; (status, answer)."""
        if self.url is None:
            self._serve()
        request = urllib.request.Request(self.url + path, data=json.dumps(body).encode(), method="POST",
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                return answer.status, json.loads(answer.read())
        except urllib.error.HTTPError as e:
            return e.code, json.loads(e.read())

    def run_next(self, host):
        """Runs the next queued prompt in `host` (a harness Host) as
        ComfyUI's worker does; the prompt leaves the queue however it ends."""
        item = self.prompt_server.prompt_queue.get()
        try:
            return host.execute(item[2], prompt_id=item[1])
        finally:
            self.prompt_server.prompt_queue.task_done(item[1])

    def _serve(self):
        from aiohttp import web
        started = threading.Event()

        def serve():
            self._loop = asyncio.new_event_loop()
            self._runner = web.AppRunner(self.prompt_server.app)
            self._loop.run_until_complete(self._runner.setup())
            site = web.TCPSite(self._runner, "127.0.0.1", 0)
            self._loop.run_until_complete(site.start())
            self.url = f"http://127.0.0.1:{self._runner.addresses[0][1]}"
            started.set()
            self._loop.run_forever()

        threading.Thread(target=serve, daemon=True, name="fake ComfyUI server").start()
        assert started.wait(60)

    def close(self):
        if self._loop is not None:
            asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop).result(60)
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._loop = None
